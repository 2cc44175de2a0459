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
#if defined(__APPLE__)
        return "Не найден whisper-cli. Установите его: brew install whisper-cpp — или пересоберите приложение со "
               "встроенным whisper (scripts/vendor-whisper).";
#else
        return "Не найден whisper-cli. Соберите его командой scripts/setup в папке исходников Zorvel или "
               "установите whisper-cli так, чтобы он был в PATH, в /usr/local/bin, /usr/bin или "
               "~/.local/bin.";
#endif
    case Kind::modelMissing:
        return "Модель распознавания не скачана. Выберите «Скачать модель» в меню Zorvel.";
    case Kind::microphoneUnavailable:
        return "Микрофон недоступен. Проверьте в Настройках → Звук, что выбрано устройство ввода.";
    case Kind::noAudioFiles:
        return "В папке записи нет аудиофайлов.";
    case Kind::modelDamaged:
        return "Файл модели распознавания повреждён: " + m_text +
               ". Выберите «Скачать модель» в меню Zorvel, чтобы скачать её заново.";
    }
    return {};
}

} // namespace zorvel
