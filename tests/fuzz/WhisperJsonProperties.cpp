#include "WhisperJsonProperties.h"

#include "pipeline/WhisperJson.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <vector>

namespace zorvel::fuzz {

namespace {

bool isValidUtf8(std::string_view text) {
    for (size_t at = 0; at < text.size();) {
        const auto lead = static_cast<unsigned char>(text[at]);
        size_t length = 0;
        char32_t low = 0;
        if (lead < 0x80) {
            ++at;
            continue;
        }
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            low = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = 0x10000;
        } else {
            return false;
        }
        if (at + length > text.size())
            return false;
        char32_t code = lead & (0xFF >> (length + 1));
        for (size_t i = 1; i < length; ++i) {
            const auto byte = static_cast<unsigned char>(text[at + i]);
            if ((byte & 0xC0) != 0x80)
                return false;
            code = code << 6 | (byte & 0x3F);
        }
        if (code < low || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        at += length;
    }
    return true;
}

// whisper.cpp's JSON writer escapes only these two characters.
std::string escapedLikeWhisper(std::string_view text) {
    std::string out;
    for (const char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}

// A document laid out exactly as whisper-cli 1.7.6 writes one with -oj.
std::string whisperDocument(const std::vector<std::string>& texts) {
    std::string out = "{\n\t\"systeminfo\": \"AVX = 1\",\n\t\"model\": {\n\t\t\"type\": \"large\"\n\t},\n"
                      "\t\"params\": {\n\t\t\"language\": \"ru\"\n\t},\n\t\"result\": {\n\t\t\"language\": \"ru\"\n\t},\n"
                      "\t\"transcription\": [";
    for (size_t i = 0; i < texts.size(); ++i) {
        const std::string from = std::to_string(i * 10);
        const std::string to = std::to_string(i * 10 + 10);
        out += (i ? ",\n" : "\n");
        out += "\t\t{\n\t\t\t\"timestamps\": {\n\t\t\t\t\"from\": \"00:00:00,000\",\n\t\t\t\t\"to\": \"00:00:00,010\"\n"
               "\t\t\t},\n\t\t\t\"offsets\": {\n\t\t\t\t\"from\": " +
               from + ",\n\t\t\t\t\"to\": " + to + "\n\t\t\t},\n\t\t\t\"text\": \"" + escapedLikeWhisper(texts[i]) +
               "\"\n\t\t}";
    }
    out += texts.empty() ? "]\n}\n" : "\n\t]\n}\n";
    return out;
}

std::optional<std::string> checkDecodedTexts(const std::vector<WhisperSegment>& segments) {
    for (const auto& segment : segments) {
        if (!isValidUtf8(segment.text))
            return "a decoded text is not valid UTF-8";
        for (const char c : replaceControlCharacters(segment.text))
            if (static_cast<unsigned char>(c) < 0x20)
                return "a control character is left after replacing them";
    }
    return std::nullopt;
}

std::optional<std::string> checkAnyDocument(std::string_view document) {
    const std::string repaired = repairWhisperJson(document);
    // The parser takes a NUL byte for the end of its input, so only documents without one count.
    if (document.find('\0') == std::string_view::npos && nlohmann::json::accept(document) && repaired != document)
        return "the repair changed a valid document";
    const auto decoded = decodeWhisperSegments(repaired);
    if (!decoded)
        return std::nullopt;
    return checkDecodedTexts(*decoded);
}

std::optional<std::string> checkWhisperWrittenDocument(std::string_view bytes) {
    std::vector<std::string> texts;
    for (size_t at = 0; at < bytes.size();) {
        const size_t length = static_cast<unsigned char>(bytes[at++]);
        texts.emplace_back(bytes.substr(at, length));
        at += length;
    }
    const auto decoded = decodeWhisperSegments(repairWhisperJson(whisperDocument(texts)));
    if (!decoded)
        return "a document written like whisper-cli's does not decode: " + decoded.error().description();
    if (decoded->size() != texts.size())
        return "segments were lost or invented";
    std::string written, read;
    bool everyTextHoldsACharacter = true;
    for (size_t i = 0; i < texts.size(); ++i) {
        const auto& segment = (*decoded)[i];
        if (segment.from != static_cast<std::int64_t>(i * 10) || segment.to != static_cast<std::int64_t>(i * 10 + 10))
            return "offsets changed";
        written += texts[i];
        read += segment.text;
        everyTextHoldsACharacter = everyTextHoldsACharacter && texts[i].size() >= 3;
    }
    // A letter is rejoined only across two neighbouring segments; with three bytes or more in each
    // segment no letter can span three.
    if (everyTextHoldsACharacter && isValidUtf8(written) && read != written)
        return "the texts' bytes changed although together they were valid UTF-8";
    return checkDecodedTexts(*decoded);
}

} // namespace

std::optional<std::string> checkWhisperJson(std::string_view input) {
    if (input.empty())
        return std::nullopt;
    const auto mode = static_cast<unsigned char>(input.front());
    input.remove_prefix(1);
    return mode % 2 == 0 ? checkAnyDocument(input) : checkWhisperWrittenDocument(input);
}

} // namespace zorvel::fuzz
