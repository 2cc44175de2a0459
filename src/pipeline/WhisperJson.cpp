#include "pipeline/WhisperJson.h"

#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
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

// Whether the repair would change anything: a raw control byte, broken UTF-8 or an unusual
// escape inside a string literal, or a literal left open. Almost every document passes, and
// checking is far cheaper than taking it apart.
bool needsRepair(std::string_view raw) {
    bool inString = false;
    for (size_t at = 0; at < raw.size();) {
        const auto byte = static_cast<unsigned char>(raw[at]);
        if (!inString) {
            inString = byte == '"';
            ++at;
        } else if (byte == '"') {
            inString = false;
            ++at;
        } else if (byte == '\\') {
            if (at + 1 >= raw.size() || static_cast<unsigned char>(raw[at + 1]) < 0x20 ||
                static_cast<unsigned char>(raw[at + 1]) >= 0x80)
                return true;
            at += 2;
        } else if (byte < 0x20) {
            return true;
        } else {
            const size_t length = validSequenceAt(raw, at);
            if (length == 0)
                return true;
            at += length;
        }
    }
    return inString;
}

// Follows the parser's events and keeps only what the segment filter needs. Where a value sits
// is told by the role of the enclosing object or array and the key it is stored under.
class SegmentCollector : public nlohmann::json_sax<nlohmann::json> {
public:
    Result<std::vector<WhisperSegment>> result() {
        if (m_error)
            return failure(std::move(*m_error));
        if (m_transcriptionError)
            return failure(Error::platform(*m_transcriptionError));
        if (!m_transcription)
            return failure(Error::platform("нет ключа \"transcription\""));
        return std::move(*m_transcription);
    }

    bool null() override { return scalar(Kind::other); }
    bool boolean(bool) override { return scalar(Kind::other); }
    bool number_integer(number_integer_t value) override {
        m_integer = value;
        return scalar(Kind::integer);
    }
    bool number_unsigned(number_unsigned_t value) override {
        if (value > static_cast<number_unsigned_t>(std::numeric_limits<std::int64_t>::max()))
            return scalar(Kind::other);
        m_integer = static_cast<std::int64_t>(value);
        return scalar(Kind::integer);
    }
    bool number_float(number_float_t, const string_t&) override { return scalar(Kind::other); }
    bool string(string_t& value) override {
        m_string = &value;
        return scalar(Kind::string);
    }
    bool binary(binary_t&) override { return scalar(Kind::other); }

    bool start_object(std::size_t) override { return open(Kind::object); }
    bool start_array(std::size_t) override { return open(Kind::array); }
    bool key(string_t& name) override {
        m_frames.back().key = name;
        return true;
    }
    bool end_object() override { return close(); }
    bool end_array() override { return close(); }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) override {
        m_error = Error::platform(error.what(), ErrorSource::json, error.id, error.what());
        return false;
    }

private:
    enum class Kind { object, array, integer, string, other };
    enum class Role { root, transcription, element, offsets, ignored };

    struct Frame {
        Role role;
        std::string key;
    };

    // What the value about to be read is for, given where it sits.
    enum class Slot { none, transcription, offsets, text, from, to };
    Slot slot() const {
        if (m_frames.empty())
            return Slot::none;
        const Frame& parent = m_frames.back();
        switch (parent.role) {
        case Role::root:
            return parent.key == "transcription" ? Slot::transcription : Slot::none;
        case Role::element:
            if (parent.key == "offsets")
                return Slot::offsets;
            return parent.key == "text" ? Slot::text : Slot::none;
        case Role::offsets:
            if (parent.key == "from")
                return Slot::from;
            return parent.key == "to" ? Slot::to : Slot::none;
        case Role::transcription:
        case Role::ignored:
            return Slot::none;
        }
        return Slot::none;
    }

    void failTranscription(std::string why) {
        if (!m_transcriptionError)
            m_transcriptionError = std::move(why);
    }

    bool open(Kind kind) {
        if (m_frames.empty()) {
            if (kind != Kind::object)
                return stop("документ не объект");
            m_frames.push_back({Role::root, {}});
            return true;
        }
        if (m_frames.back().role == Role::transcription) {
            if (kind != Kind::object)
                failTranscription("элемент \"transcription\" не объект");
            m_current = Element{};
            m_frames.push_back({kind == Kind::object ? Role::element : Role::ignored, {}});
            return true;
        }
        switch (slot()) {
        case Slot::transcription:
            // A key given twice: the last value counts.
            m_transcription.reset();
            m_transcriptionError.reset();
            if (kind == Kind::array) {
                m_transcription.emplace();
                m_frames.push_back({Role::transcription, {}});
                return true;
            }
            m_transcriptionError = "\"transcription\" не массив";
            break;
        case Slot::offsets:
            m_current.offsets = kind == Kind::object ? Presence::valid : Presence::wrongType;
            if (kind == Kind::object) {
                m_current.from = m_current.to = Presence::absent;
                m_frames.push_back({Role::offsets, {}});
                return true;
            }
            break;
        case Slot::text:
            m_current.text = Presence::wrongType;
            break;
        case Slot::from:
            m_current.from = Presence::wrongType;
            break;
        case Slot::to:
            m_current.to = Presence::wrongType;
            break;
        case Slot::none:
            break;
        }
        m_frames.push_back({Role::ignored, {}});
        return true;
    }

    bool close() {
        const Role role = m_frames.back().role;
        m_frames.pop_back();
        if (role == Role::element)
            finishElement();
        return true;
    }

    bool scalar(Kind kind) {
        if (m_frames.empty())
            return stop("документ не объект");
        if (m_frames.back().role == Role::transcription) {
            failTranscription("элемент \"transcription\" не объект");
            return true;
        }
        switch (slot()) {
        case Slot::transcription:
            m_transcription.reset();
            m_transcriptionError = "\"transcription\" не массив";
            break;
        case Slot::offsets:
            m_current.offsets = Presence::wrongType;
            break;
        case Slot::text:
            m_current.text = kind == Kind::string ? Presence::valid : Presence::wrongType;
            if (kind == Kind::string)
                m_current.segment.text = std::move(*m_string);
            break;
        case Slot::from:
            m_current.from = kind == Kind::integer ? Presence::valid : Presence::wrongType;
            m_current.segment.from = m_integer;
            break;
        case Slot::to:
            m_current.to = kind == Kind::integer ? Presence::valid : Presence::wrongType;
            m_current.segment.to = m_integer;
            break;
        case Slot::none:
            break;
        }
        return true;
    }

    void finishElement() {
        const auto check = [&](Presence presence, const char* name) {
            if (presence == Presence::absent)
                failTranscription(std::string("нет ключа \"") + name + "\"");
            else if (presence == Presence::wrongType)
                failTranscription(std::string("\"") + name + "\" неверного типа");
            return presence == Presence::valid;
        };
        if (check(m_current.offsets, "offsets") && check(m_current.from, "from") && check(m_current.to, "to") &&
            check(m_current.text, "text") && m_transcription && !m_transcriptionError)
            m_transcription->push_back(std::move(m_current.segment));
    }

    bool stop(std::string why) {
        m_error = Error::platform(std::move(why));
        return false;
    }

    enum class Presence { absent, valid, wrongType };
    struct Element {
        Presence offsets = Presence::absent, from = Presence::absent, to = Presence::absent,
                 text = Presence::absent;
        WhisperSegment segment;
    };

    std::vector<Frame> m_frames;
    Element m_current;
    std::optional<std::vector<WhisperSegment>> m_transcription;
    std::optional<std::string> m_transcriptionError;
    std::optional<Error> m_error;
    std::int64_t m_integer = 0;
    string_t* m_string = nullptr;
};

} // namespace

Result<std::vector<WhisperSegment>> decodeWhisperSegments(const std::string& json) {
    SegmentCollector collector;
    nlohmann::json::sax_parse(json, &collector);
    return collector.result();
}

std::string replaceControlCharacters(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20)
            c = ' ';
    return text;
}

std::string repairWhisperJson(std::string_view raw) {
    if (!needsRepair(raw))
        return std::string(raw);
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
