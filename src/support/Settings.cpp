#include "support/Settings.h"

#include <QSettings>

namespace zorvel::Settings {

namespace {
constexpr auto languageKey = "transcriptionLanguage";
constexpr auto echoAnalysisKey = "echoAnalysis";
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

bool echoAnalysisEnabled() { return QSettings("Zorvel", "Zorvel").value(echoAnalysisKey, true).toBool(); }

void setEchoAnalysisEnabled(bool enabled) {
    QSettings settings("Zorvel", "Zorvel");
    settings.setValue(echoAnalysisKey, enabled);
    settings.sync();
}

} // namespace zorvel::Settings
