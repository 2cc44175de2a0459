#include "support/Settings.h"

#include <QSettings>

namespace zorvel::Settings {

namespace {
constexpr auto languageKey = "transcriptionLanguage";
constexpr auto echoAnalysisKey = "echoAnalysis";
constexpr auto recogniseWhileRecordingKey = "recogniseWhileRecording";

bool flag(const char* key) { return QSettings("Zorvel", "Zorvel").value(key, true).toBool(); }

void setFlag(const char* key, bool enabled) {
    QSettings settings("Zorvel", "Zorvel");
    settings.setValue(key, enabled);
    settings.sync();
}
}

std::optional<std::string> transcriptionLanguage() {
    QSettings settings("Zorvel", "Zorvel");
    const QVariant value = settings.value(languageKey);
    if (!value.isValid() || value.typeId() != QMetaType::QString)
        return std::nullopt;
    return value.toString().toStdString();
}

void setTranscriptionLanguage(const std::string& code) {
    QSettings settings("Zorvel", "Zorvel");
    settings.setValue(languageKey, QString::fromStdString(code));
    settings.sync();
}

std::string effectiveTranscriptionLanguage() { return transcriptionLanguage().value_or("ru"); }

bool echoAnalysisEnabled() { return flag(echoAnalysisKey); }

void setEchoAnalysisEnabled(bool enabled) { setFlag(echoAnalysisKey, enabled); }

bool recogniseWhileRecording() { return flag(recogniseWhileRecordingKey); }

void setRecogniseWhileRecording(bool enabled) { setFlag(recogniseWhileRecordingKey, enabled); }

} // namespace zorvel::Settings
