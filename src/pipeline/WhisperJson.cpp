#include "pipeline/WhisperJson.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace zorvel {

namespace {

// A piece of the document: either bytes outside any string literal, or the raw content of one
// string literal (between its quotes, escapes still in place).
struct Piece {
    std::string bytes;
    bool isString = false;
    bool isTextValue = false;
};

int sequenceLength(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 3;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    return 0;
}

bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The length of the valid UTF-8 sequence at `at`, or 0 when it is not one.
size_t validSequenceAt(std::string_view text, size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80)
        return 1;
    const int length = sequenceLength(lead);
    if (length == 0 || at + static_cast<size_t>(length) > text.size())
        return 0;
    const auto second = static_cast<unsigned char>(text[at + 1]);
    // Reject overlong forms, surrogates and code points beyond U+10FFFF.
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) || (lead == 0xF0 && second < 0x90) ||
        (lead == 0xF4 && second > 0x8F))
        return 0;
    for (int i = 1; i < length; ++i)
        if (!isContinuation(static_cast<unsigned char>(text[at + static_cast<size_t>(i)])))
            return 0;
    return static_cast<size_t>(length);
}

// How many bytes at the end of `text` form the start of a multibyte character cut short, and how
// many continuation bytes it still needs.
std::optional<std::pair<size_t, size_t>> truncatedTail(std::string_view text) {
    for (size_t back = 1; back <= 3 && back <= text.size(); ++back) {
        const auto byte = static_cast<unsigned char>(text[text.size() - back]);
        if (isContinuation(byte))
            continue;
        const int length = sequenceLength(byte);
        if (length > 0 && static_cast<size_t>(length) > back)
            return std::pair{back, static_cast<size_t>(length) - back};
        return std::nullopt;
    }
    return std::nullopt;
}

std::vector<Piece> split(std::string_view raw) {
    std::vector<Piece> pieces;
    Piece outside;
    size_t at = 0;
    while (at < raw.size()) {
        if (raw[at] != '"') {
            outside.bytes += raw[at++];
            continue;
        }
        pieces.push_back(std::move(outside));
        outside = Piece{};
        Piece literal;
        literal.isString = true;
        ++at;
        while (at < raw.size() && raw[at] != '"') {
            if (raw[at] == '\\' && at + 1 < raw.size())
                literal.bytes += raw[at++];
            literal.bytes += raw[at++];
        }
        ++at; // the closing quote (an unterminated literal is left for the decoder to reject)
        pieces.push_back(std::move(literal));
    }
    pieces.push_back(std::move(outside));

    // A string is a "text" value when it follows the key "text" and a colon.
    for (size_t i = 2; i < pieces.size(); ++i) {
        if (!pieces[i].isString || !pieces[i - 2].isString || pieces[i - 2].bytes != "text")
            continue;
        const std::string& between = pieces[i - 1].bytes;
        const auto colon = between.find_first_not_of(" \t\r\n");
        pieces[i].isTextValue = colon != std::string::npos && between[colon] == ':' &&
                                between.find_first_not_of(" \t\r\n", colon + 1) == std::string::npos;
    }
    return pieces;
}

void rejoinSplitCharacters(std::vector<Piece>& pieces) {
    Piece* previous = nullptr;
    for (auto& piece : pieces) {
        if (!piece.isTextValue)
            continue;
        if (previous) {
            if (const auto tail = truncatedTail(previous->bytes)) {
                const size_t missing = tail->second;
                bool fits = piece.bytes.size() >= missing;
                for (size_t i = 0; fits && i < missing; ++i)
                    fits = isContinuation(static_cast<unsigned char>(piece.bytes[i]));
                if (fits) {
                    previous->bytes += piece.bytes.substr(0, missing);
                    piece.bytes.erase(0, missing);
                }
            }
        }
        previous = &piece;
    }
}

std::string sanitized(std::string_view content) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(content.size());
    for (size_t at = 0; at < content.size();) {
        const auto byte = static_cast<unsigned char>(content[at]);
        if (byte < 0x20) {
            out += "\\u00";
            out += hex[byte >> 4];
            out += hex[byte & 0xF];
            ++at;
            continue;
        }
        if (byte == '\\' && at + 1 < content.size()) {
            out += content.substr(at, 2);
            at += 2;
            continue;
        }
        const size_t length = validSequenceAt(content, at);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++at;
            while (at < content.size() && isContinuation(static_cast<unsigned char>(content[at])) &&
                   validSequenceAt(content, at) == 0)
                ++at; // the rest of the same broken sequence is one replacement
            continue;
        }
        out += content.substr(at, length);
        at += length;
    }
    return out;
}

} // namespace

std::string repairWhisperJson(std::string_view raw) {
    auto pieces = split(raw);
    rejoinSplitCharacters(pieces);
    std::string out;
    out.reserve(raw.size() + raw.size() / 16);
    for (const auto& piece : pieces) {
        if (!piece.isString) {
            out += piece.bytes;
            continue;
        }
        out += '"';
        out += sanitized(piece.bytes);
        out += '"';
    }
    return out;
}

} // namespace zorvel
