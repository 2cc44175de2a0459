#include "support/ZorvelError.h"

namespace zorvel {

std::string ZorvelError::errorDescription() const {
    switch (m_kind) {
    case Kind::coreAudio:
        return "Ошибка Core Audio (" + m_text + "), код " + std::to_string(m_status) +
               ". Проверьте, что приложению разрешена запись системного звука в Настройках → Конфиденциальность.";
    case Kind::processFailed:
        return m_text + " завершился с ошибкой (код " + std::to_string(m_status) +
               "). Подробности в whisper.log в папке записи.";
    case Kind::whisperNotFound:
        return "Не найден whisper-cli. Установите его: brew install whisper-cpp — или пересоберите приложение со "
               "встроенным whisper (scripts/vendor-whisper).";
    case Kind::modelMissing:
        return "Модель распознавания не скачана. Выберите «Скачать модель» в меню Zorvel.";
    case Kind::microphoneUnavailable:
        return "Микрофон недоступен. Проверьте в Настройках → Звук, что выбрано устройство ввода.";
    case Kind::noAudioFiles:
        return "В папке записи нет аудиофайлов.";
    }
    return {};
}

} // namespace zorvel
