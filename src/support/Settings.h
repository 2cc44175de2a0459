#pragma once

#include <optional>
#include <string>

namespace zorvel::Settings {

// The one per-user setting, "transcriptionLanguage": "ru", "en" or "auto" from the menu, but any
// text another tool stored there is passed on unchanged. Read afresh on every call.
std::optional<std::string> transcriptionLanguage();
void setTranscriptionLanguage(const std::string& code);

// The stored language, or "ru" when none is stored.
std::string effectiveTranscriptionLanguage();

} // namespace zorvel::Settings
