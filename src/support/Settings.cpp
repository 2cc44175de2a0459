#include "support/Settings.h"

#include <QSettings>

namespace zorvel::Settings {

namespace {
constexpr auto languageKey = "transcriptionLanguage";
constexpr auto echoAnalysisKey = "echoAnalysis";
constexpr auto recogniseWhileRecordingKey = "recogniseWhileRecording";
constexpr auto recognitionModelKey = "recognitionModel";

bool flag(const char* key) { return QSettings("Zorvel", "Zorvel").value(key, true).toBool(); }

void setFlag(const char* key, bool enabled) {
    QSettings settings("Zorvel", "Zorvel");
    settings.setValue(key, enabled);
    settings.sync();
}

std::optional<std::string> text(const char* key) {
    QSettings settings("Zorvel", "Zorvel");
    const QVariant value = settings.value(key);
    if (!value.isValid() || value.typeId() != QMetaType::QString)
        return std::nullopt;
    return value.toString().toStdString();
}

void setText(const char* key, const std::string& value) {
    QSettings settings("Zorvel", "Zorvel");
    settings.setValue(key, QString::fromStdString(value));
    settings.sync();
}
}

std::optional<std::string> transcriptionLanguage() { return text(languageKey); }

void setTranscriptionLanguage(const std::string& code) { setText(languageKey, code); }

std::string effectiveTranscriptionLanguage() { return transcriptionLanguage().value_or("ru"); }

bool echoAnalysisEnabled() { return flag(echoAnalysisKey); }

void setEchoAnalysisEnabled(bool enabled) { setFlag(echoAnalysisKey, enabled); }

bool recogniseWhileRecording() { return flag(recogniseWhileRecordingKey); }

void setRecogniseWhileRecording(bool enabled) { setFlag(recogniseWhileRecordingKey, enabled); }

std::optional<std::string> recognitionModel() { return text(recognitionModelKey); }

void setRecognitionModel(const std::string& fileName) { setText(recognitionModelKey, fileName); }

} // namespace zorvel::Settings
