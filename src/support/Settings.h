#pragma once

#include <optional>
#include <string>

namespace zorvel::Settings {

// Per-user settings, read afresh on every call.

// "transcriptionLanguage": "ru", "en" or "auto" from the menu, but any text another tool stored
// there is passed on unchanged.
std::optional<std::string> transcriptionLanguage();
void setTranscriptionLanguage(const std::string& code);

// The stored language, or "ru" when none is stored.
std::string effectiveTranscriptionLanguage();

// "echoAnalysis": whether microphone utterances that are the other side's voice heard from the
// speakers are dropped. On unless "false" (or 0) is stored.
bool echoAnalysisEnabled();
void setEchoAnalysisEnabled(bool enabled);

// "recogniseWhileRecording": whether finished stretches of a recording are recognised while it
// goes on, at the lowest priority, so that the transcript is ready soon after the stop. On unless
// "false" (or 0) is stored.
bool recogniseWhileRecording();
void setRecogniseWhileRecording(bool enabled);

// "recognitionModel": the file name of the recognition model in the per-user models folder, as
// stored; nothing when none is stored. Paths::modelURL() decides what is accepted.
std::optional<std::string> recognitionModel();
void setRecognitionModel(const std::string& fileName);

} // namespace zorvel::Settings
