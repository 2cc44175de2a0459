#include "model/ModelFileCheck.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <optional>
#include <system_error>

namespace zorvel {

namespace {

constexpr std::uint32_t ggmlMagic = 0x67676d6c; // "ggml", stored little-endian

// Bounds far beyond any published model, so that a damaged header is not taken at its word.
constexpr std::int32_t maxDimension = 1 << 20;
constexpr std::uint32_t maxNameLength = 4096;

// The storage of the tensor types that whisper.cpp writes and its quantizer produces: bytes per
// block and elements per block.
struct BlockSize {
    std::int32_t type;
    std::uint64_t bytes;
    std::uint64_t elements;
};
constexpr BlockSize blockSizes[] = {
    {0, 4, 1},      {1, 2, 1},      {30, 2, 1},     // F32, F16, BF16
    {2, 18, 32},    {3, 20, 32},    {6, 22, 32},    // Q4_0, Q4_1, Q5_0
    {7, 24, 32},    {8, 34, 32},    {10, 84, 256},  // Q5_1, Q8_0, Q2_K
    {11, 110, 256}, {12, 144, 256}, {13, 176, 256}, // Q3_K, Q4_K, Q5_K
    {14, 210, 256},                                 // Q6_K
};

std::optional<BlockSize> blockSize(std::int32_t type) {
    for (const auto& size : blockSizes)
        if (size.type == type)
            return size;
    return std::nullopt;
}

ModelFileCheck present() {
    return {ModelFileCheck::State::present, {}};
}
ModelFileCheck damaged(std::string reason) {
    return {ModelFileCheck::State::damaged, std::move(reason)};
}

// Reads a model file front to back, little-endian as whisper.cpp writes it, and knows how much
// of it is left, so that a cut file is told from a whole one without reading the weights.
class LayoutReader {
public:
    explicit LayoutReader(const std::filesystem::path& path) : m_in(path, std::ios::binary) {
        std::error_code error;
        m_size = std::filesystem::file_size(path, error);
        if (error)
            m_in.setstate(std::ios::failbit);
    }

    bool opened() const { return static_cast<bool>(m_in); }
    std::uint64_t size() const { return m_size; }
    bool atEnd() const { return m_position == m_size; }

    bool bytes(void* out, std::uint64_t count) {
        if (count > m_size - m_position)
            return false;
        m_in.read(static_cast<char*>(out), static_cast<std::streamsize>(count));
        m_position += count;
        return static_cast<bool>(m_in);
    }
    bool integer(std::int32_t& value) { return bytes(&value, sizeof value); }
    bool word(std::uint32_t& value) { return bytes(&value, sizeof value); }

    bool skip(std::uint64_t count) {
        if (count > m_size - m_position)
            return false;
        m_position += count;
        m_in.seekg(static_cast<std::streamoff>(m_position));
        return static_cast<bool>(m_in);
    }

private:
    std::ifstream m_in;
    std::uint64_t m_size = 0;
    std::uint64_t m_position = 0;
};

// Opens the file and reads its magic; a result when there is nothing more to check.
std::optional<ModelFileCheck> openModel(const std::filesystem::path& path, LayoutReader& reader) {
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (!std::filesystem::exists(status))
        return ModelFileCheck{ModelFileCheck::State::missing, "файла нет"};
    if (!std::filesystem::is_regular_file(status))
        return damaged("это не файл");
    if (!reader.opened())
        return damaged("файл не открывается");
    if (reader.size() == 0)
        return damaged("файл пуст");
    std::array<char, 4> start{};
    if (!reader.bytes(start.data(), start.size()) ||
        !startsWithGgmlMagic(std::string_view(start.data(), start.size())))
        return damaged(start[0] == '<' ? "вместо модели сохранена веб-страница"
                                       : "это не модель в формате ggml");
    return std::nullopt;
}

// Walks the tensors up to the end of the file, counting them. A result when the walk found damage
// or met a type it cannot measure (then the file is taken as present).
std::optional<ModelFileCheck> walkTensors(LayoutReader& reader, std::int64_t& count) {
    count = 0;
    while (!reader.atEnd()) {
        std::int32_t dimensions = 0, nameLength = 0, type = 0;
        if (!reader.integer(dimensions) || !reader.integer(nameLength) || !reader.integer(type))
            return damaged("файл обрывается в описании тензора");
        if (dimensions < 0 || dimensions > 4 || nameLength <= 0 ||
            static_cast<std::uint32_t>(nameLength) > maxNameLength)
            return damaged("описание тензора испорчено");
        std::uint64_t elements = 1;
        for (std::int32_t i = 0; i < dimensions; ++i) {
            std::int32_t extent = 0;
            if (!reader.integer(extent))
                return damaged("файл обрывается в описании тензора");
            if (extent <= 0 || extent > maxDimension * 64)
                return damaged("описание тензора испорчено");
            elements *= static_cast<std::uint64_t>(extent);
            if (elements > std::numeric_limits<std::uint32_t>::max())
                return damaged("описание тензора испорчено");
        }
        std::string name(static_cast<std::size_t>(nameLength), '\0');
        if (!reader.bytes(name.data(), name.size()))
            return damaged("файл обрывается в описании тензора");
        const auto block = blockSize(type);
        if (!block)
            return present();
        if (elements % block->elements != 0)
            return damaged("размер тензора «" + name + "» испорчен");
        if (!reader.skip(elements / block->elements * block->bytes))
            return damaged("файл обрывается в тензоре «" + name + "»");
        ++count;
    }
    return std::nullopt;
}

bool plausible(std::int32_t value, std::int32_t limit = maxDimension) {
    return value > 0 && value <= limit;
}

} // namespace

bool startsWithGgmlMagic(std::string_view bytes) {
    if (bytes.size() < sizeof ggmlMagic)
        return false;
    std::uint32_t magic = 0;
    std::memcpy(&magic, bytes.data(), sizeof magic);
    return magic == ggmlMagic;
}

ModelFileCheck checkWhisperModel(const std::filesystem::path& path) {
    LayoutReader reader(path);
    if (auto early = openModel(path, reader))
        return *early;

    std::array<std::int32_t, 11> header{};
    for (auto& value : header)
        if (!reader.integer(value))
            return damaged("файл обрывается в заголовке");
    const auto [vocabulary, audioContext, audioState, audioHeads, audioLayers, textContext, textState,
                textHeads, textLayers, mels, fileType] = header;
    if (!plausible(vocabulary) || !plausible(audioContext) || !plausible(audioState) ||
        !plausible(audioHeads) || !plausible(audioLayers, 1024) || !plausible(textContext) ||
        textState != audioState || !plausible(textHeads) || !plausible(textLayers, 1024) ||
        !plausible(mels, 4096) || fileType < 0)
        return damaged("заголовок испорчен");

    std::int32_t filterMels = 0, filterBins = 0;
    if (!reader.integer(filterMels) || !reader.integer(filterBins))
        return damaged("файл обрывается в заголовке");
    if (!plausible(filterMels, 4096) || !plausible(filterBins, 1 << 16))
        return damaged("заголовок испорчен");
    if (!reader.skip(static_cast<std::uint64_t>(filterMels) * static_cast<std::uint64_t>(filterBins) *
                     sizeof(float)))
        return damaged("файл обрывается в заголовке");

    std::int32_t tokens = 0;
    if (!reader.integer(tokens))
        return damaged("файл обрывается в словаре");
    if (tokens < 0 || tokens > maxDimension)
        return damaged("словарь испорчен");
    for (std::int32_t i = 0; i < tokens; ++i) {
        std::uint32_t length = 0;
        if (!reader.word(length) || !reader.skip(length))
            return damaged("файл обрывается в словаре");
    }

    std::int64_t count = 0;
    if (auto walked = walkTensors(reader, count))
        return *walked;
    // What whisper.cpp's loader creates: 11 tensors around the blocks, 15 per encoder block and
    // 24 per decoder block. None at all is its convention for a test model without weights.
    const std::int64_t expected = 11 + 15 * std::int64_t{audioLayers} + 24 * std::int64_t{textLayers};
    if (count != 0 && count != expected)
        return damaged("в файле " + std::to_string(count) + " тензоров из " + std::to_string(expected));
    return present();
}

ModelFileCheck checkVoiceActivityModel(const std::filesystem::path& path) {
    LayoutReader reader(path);
    if (auto early = openModel(path, reader))
        return *early;

    std::int32_t typeLength = 0;
    if (!reader.integer(typeLength))
        return damaged("файл обрывается в заголовке");
    if (!plausible(typeLength, 256))
        return damaged("заголовок испорчен");
    std::int32_t version[3]{}, window = 0, context = 0, layers = 0;
    if (!reader.skip(static_cast<std::uint64_t>(typeLength)) || !reader.integer(version[0]) ||
        !reader.integer(version[1]) || !reader.integer(version[2]) || !reader.integer(window) ||
        !reader.integer(context) || !reader.integer(layers))
        return damaged("файл обрывается в заголовке");
    if (!plausible(window) || !plausible(context) || !plausible(layers, 64))
        return damaged("заголовок испорчен");
    // Three numbers per encoder layer, then the recurrent and final layers' four.
    for (std::int32_t i = 0; i < 3 * layers + 4; ++i) {
        std::int32_t value = 0;
        if (!reader.integer(value))
            return damaged("файл обрывается в заголовке");
        if (!plausible(value))
            return damaged("заголовок испорчен");
    }

    std::int64_t count = 0;
    if (auto walked = walkTensors(reader, count))
        return *walked;
    // Two tensors per encoder layer, four of the recurrent layer, two of the output and the
    // transform's basis, as whisper.cpp's loader expects them.
    const std::int64_t expected = 2 * std::int64_t{layers} + 7;
    if (count != expected)
        return damaged("в файле " + std::to_string(count) + " тензоров из " + std::to_string(expected));
    return present();
}

} // namespace zorvel
