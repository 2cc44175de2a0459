#pragma once

#include <cstdint>
#include <string>

namespace zorvel {

// The program's own failure kinds, each with its fixed user-facing message in Russian.
class ZorvelError {
public:
    enum class Kind {
        coreAudio,
        processFailed,
        whisperNotFound,
        modelMissing,
        microphoneUnavailable,
        noAudioFiles,
        modelDamaged,
    };

    static ZorvelError coreAudio(std::string operation, std::int32_t status) {
        return {Kind::coreAudio, std::move(operation), status};
    }
    static ZorvelError processFailed(std::string tool, std::int32_t status) {
        return {Kind::processFailed, std::move(tool), status};
    }
    static ZorvelError whisperNotFound() { return {Kind::whisperNotFound, {}, 0}; }
    static ZorvelError modelMissing() { return {Kind::modelMissing, {}, 0}; }
    static ZorvelError microphoneUnavailable() { return {Kind::microphoneUnavailable, {}, 0}; }
    static ZorvelError noAudioFiles() { return {Kind::noAudioFiles, {}, 0}; }
    // The model file exists but is no whisper model (cut short, another format, a web page).
    static ZorvelError modelDamaged(const std::string& path) { return {Kind::modelDamaged, path, 0}; }

    Kind kind() const { return m_kind; }
    // The failed step for coreAudio, the tool's file name for processFailed, the model's path for
    // modelDamaged; empty otherwise.
    const std::string& text() const { return m_text; }
    std::int32_t status() const { return m_status; }

    std::string errorDescription() const;

private:
    ZorvelError(Kind kind, std::string text, std::int32_t status)
        : m_kind(kind), m_text(std::move(text)), m_status(status) {}

    Kind m_kind;
    std::string m_text;
    std::int32_t m_status;
};

} // namespace zorvel
