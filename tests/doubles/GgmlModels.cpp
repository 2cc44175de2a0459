#include "GgmlModels.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>
#include <vector>

namespace zorvel::test {

namespace {

constexpr std::uint32_t ggmlMagic = 0x67676d6c;
// Token ids below this are text; whisper.cpp counts the special tokens from here.
constexpr std::int32_t textTokens = 50257;

// How one tensor is stored, by its ggml type number.
enum class Storage : std::int32_t { f32 = 0, f16 = 1, q8_0 = 8 };

// ggml's Q8_0 block: values per block, and a 16-bit float scale before their bytes.
constexpr std::size_t q8Block = 32;
constexpr std::size_t q8BlockBytes = sizeof(_Float16) + q8Block;

class ModelWriter {
public:
    ModelWriter(const std::filesystem::path& path, std::uint32_t seed)
        : m_out(path, std::ios::binary), m_random(seed) {
        if (!m_out)
            throw std::runtime_error("cannot write " + path.string());
    }

    void integer(std::int32_t value) { m_out.write(reinterpret_cast<const char*>(&value), sizeof value); }
    void word(std::uint32_t value) { m_out.write(reinterpret_cast<const char*>(&value), sizeof value); }
    void bytes(const std::string& text) {
        m_out.write(text.data(), static_cast<std::streamsize>(text.size()));
    }

    void randomFloats(std::size_t count, float centre, float spread, Storage storage = Storage::f32) {
        std::uniform_real_distribution<float> distribution(centre - spread, centre + spread);
        switch (storage) {
        case Storage::f32: {
            std::vector<float> values(count);
            for (auto& value : values)
                value = distribution(m_random);
            raw(values.data(), values.size() * sizeof(float));
            return;
        }
        case Storage::f16: {
            std::vector<_Float16> values(count);
            for (auto& value : values)
                value = static_cast<_Float16>(distribution(m_random));
            raw(values.data(), values.size() * sizeof(_Float16));
            return;
        }
        case Storage::q8_0:
            quantised(count, distribution);
            return;
        }
    }

    // A tensor kept in 32-bit float whatever the model's weight type: biases, norms, positions.
    void tensor(const std::string& name, std::vector<std::int32_t> dimensions, float centre, float spread) {
        write(name, std::move(dimensions), centre, spread, Storage::f32);
    }
    // A weight matrix, stored in the model's weight type; spread 0 scales it by its fan-in. The
    // quantizer leaves all but the two-dimensional ones (the convolutions) in f16.
    void weight(const std::string& name, std::vector<std::int32_t> dimensions, float spread = 0.0F) {
        Storage storage = Storage::f32;
        if (m_weights == WeightType::f16 || (m_weights == WeightType::q8_0 && dimensions.size() != 2))
            storage = Storage::f16;
        else if (m_weights == WeightType::q8_0)
            storage = Storage::q8_0;
        write(name, std::move(dimensions), 0.0F, spread, storage);
    }
    // A tensor in 16-bit float, whatever the model's weight type.
    void halfTensor(const std::string& name, std::vector<std::int32_t> dimensions, float spread) {
        write(name, std::move(dimensions), 0.0F, spread, Storage::f16);
    }
    void setWeightType(WeightType weights) { m_weights = weights; }

    void close() {
        m_out.close();
        if (!m_out)
            throw std::runtime_error("cannot finish the model file");
    }

private:
    void raw(const void* data, std::size_t size) {
        m_out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    }

    // The values the f16 model would hold, quantised as ggml's reference Q8_0 quantizer does it:
    // per block, the largest magnitude over 127 as the scale, each value divided by it and rounded.
    void quantised(std::size_t count, std::uniform_real_distribution<float>& distribution) {
        if (count % q8Block != 0)
            throw std::invalid_argument("q8_0 needs rows of a multiple of 32 values");
        std::vector<char> out(count / q8Block * q8BlockBytes);
        std::array<float, q8Block> values{};
        for (std::size_t block = 0; block < count / q8Block; ++block) {
            float largest = 0.0F;
            for (auto& value : values) {
                value = static_cast<float>(static_cast<_Float16>(distribution(m_random)));
                largest = std::max(largest, std::fabs(value));
            }
            const float scale = largest / 127.0F;
            const float inverse = scale != 0.0F ? 1.0F / scale : 0.0F;
            char* const at = out.data() + block * q8BlockBytes;
            const auto storedScale = static_cast<_Float16>(scale);
            std::memcpy(at, &storedScale, sizeof storedScale);
            for (std::size_t i = 0; i < q8Block; ++i)
                at[sizeof storedScale + i] = static_cast<char>(static_cast<std::int8_t>(std::round(values[i] * inverse)));
        }
        raw(out.data(), out.size());
    }

    // Dimensions in ggml's order (fastest first).
    void write(const std::string& name, std::vector<std::int32_t> dimensions, float centre, float spread,
               Storage storage) {
        if (storage == Storage::q8_0 && dimensions.front() % static_cast<std::int32_t>(q8Block) != 0)
            throw std::invalid_argument("q8_0 needs rows of a multiple of 32 values: " + name);
        integer(static_cast<std::int32_t>(dimensions.size()));
        integer(static_cast<std::int32_t>(name.size()));
        integer(static_cast<std::int32_t>(storage));
        std::size_t elements = 1;
        for (const auto dimension : dimensions) {
            integer(dimension);
            elements *= static_cast<std::size_t>(dimension);
        }
        bytes(name);
        if (spread == 0.0F && !dimensions.empty()) {
            // Scaled so that activations neither vanish nor blow up through the layers.
            const float fanIn =
                static_cast<float>(dimensions.front() * (dimensions.size() > 2 ? dimensions[1] : 1));
            spread = 1.7F / std::sqrt(fanIn);
        }
        randomFloats(elements, centre, spread, storage);
    }

    std::ofstream m_out;
    std::mt19937 m_random;
    WeightType m_weights = WeightType::f32;
};

// The header's file type: ggml's GGML_FTYPE_ALL_F32, GGML_FTYPE_MOSTLY_F16, or
// GGML_FTYPE_MOSTLY_Q8_0 with the quantization version (2) in its thousands, as the quantizer
// writes it.
std::int32_t fileType(WeightType weights) {
    switch (weights) {
    case WeightType::f32:
        return 0;
    case WeightType::f16:
        return 1;
    case WeightType::q8_0:
        return 2 * 1000 + 7;
    }
    return 0;
}

std::string syllables(std::int32_t token) {
    static constexpr std::array<char, 13> consonants = {'b', 'd', 'g', 'k', 'l', 'm', 'n',
                                                        'p', 'r', 's', 't', 'v', 'z'};
    static constexpr std::array<char, 5> vowels = {'a', 'e', 'i', 'o', 'u'};
    std::string text = " ";
    for (int i = 0; i < 2; ++i) {
        text += consonants[static_cast<std::size_t>(token % 13)];
        token /= 13;
        text += vowels[static_cast<std::size_t>(token % 5)];
        token /= 5;
    }
    return text;
}

// Magic, hyperparameters, mel filters and vocabulary: everything before the tensors.
void writeHeader(ModelWriter& out, const WhisperModelShape& shape) {
    out.word(ggmlMagic);
    for (const std::int32_t value : {shape.vocabulary, shape.audioContext, shape.state, shape.heads,
                                     shape.audioLayers, shape.textContext, shape.state, shape.heads,
                                     shape.textLayers, shape.mels, fileType(shape.weights)})
        out.integer(value);

    // Mel filters: whisper's 201 frequency bins of a 400-point FFT.
    constexpr std::int32_t fftBins = 201;
    out.integer(shape.mels);
    out.integer(fftBins);
    out.randomFloats(static_cast<std::size_t>(shape.mels * fftBins), 0.01F, 0.01F);

    out.integer(textTokens);
    for (std::int32_t token = 0; token < textTokens; ++token) {
        // whisper.cpp looks up the lone space by its text, as in the real vocabulary.
        const std::string text = token == 220 ? " " : syllables(token);
        out.word(static_cast<std::uint32_t>(text.size()));
        out.bytes(text);
    }
}

} // namespace

void writeWeightlessWhisperModel(const std::filesystem::path& path, const WhisperModelShape& shape) {
    ModelWriter out(path, 1);
    writeHeader(out, shape);
    out.close();
}

void writeRandomWhisperModel(const std::filesystem::path& path, const WhisperModelShape& shape,
                             std::uint32_t seed) {
    ModelWriter out(path, seed);
    const std::int32_t state = shape.state;
    writeHeader(out, shape);
    out.setWeightType(shape.weights);

    const auto norm = [&](const std::string& prefix) {
        out.tensor(prefix + ".weight", {state}, 1.0F, 0.1F);
        out.tensor(prefix + ".bias", {state}, 0.0F, 0.1F);
    };
    const auto block = [&](const std::string& prefix, bool cross) {
        norm(prefix + ".mlp_ln");
        out.weight(prefix + ".mlp.0.weight", {state, 4 * state});
        out.tensor(prefix + ".mlp.0.bias", {4 * state}, 0.0F, 0.05F);
        out.weight(prefix + ".mlp.2.weight", {4 * state, state});
        out.tensor(prefix + ".mlp.2.bias", {state}, 0.0F, 0.05F);
        for (const char* attention : {"attn", "cross_attn"}) {
            if (!cross && std::string_view(attention) == "cross_attn")
                continue;
            const std::string base = prefix + "." + attention;
            norm(base + "_ln");
            out.weight(base + ".query.weight", {state, state});
            out.tensor(base + ".query.bias", {state}, 0.0F, 0.05F);
            out.weight(base + ".key.weight", {state, state});
            out.weight(base + ".value.weight", {state, state});
            out.tensor(base + ".value.bias", {state}, 0.0F, 0.05F);
            out.weight(base + ".out.weight", {state, state});
            out.tensor(base + ".out.bias", {state}, 0.0F, 0.05F);
        }
    };

    out.tensor("encoder.positional_embedding", {state, shape.audioContext}, 0.0F, 0.5F);
    out.weight("encoder.conv1.weight", {3, shape.mels, state});
    out.tensor("encoder.conv1.bias", {1, state}, 0.0F, 0.05F);
    out.weight("encoder.conv2.weight", {3, state, state});
    out.tensor("encoder.conv2.bias", {1, state}, 0.0F, 0.05F);
    norm("encoder.ln_post");
    for (std::int32_t layer = 0; layer < shape.audioLayers; ++layer)
        block("encoder.blocks." + std::to_string(layer), false);

    out.tensor("decoder.positional_embedding", {state, shape.textContext}, 0.0F, 0.5F);
    out.weight("decoder.token_embedding.weight", {state, shape.vocabulary}, 1.0F);
    norm("decoder.ln");
    for (std::int32_t layer = 0; layer < shape.textLayers; ++layer)
        block("decoder.blocks." + std::to_string(layer), true);
    out.close();
}

void writeRandomVoiceActivityModel(const std::filesystem::path& path, std::uint32_t seed) {
    ModelWriter out(path, seed);
    out.word(ggmlMagic);
    const std::string type = "silero-16k";
    out.integer(static_cast<std::int32_t>(type.size()));
    out.bytes(type);
    // Version, window and context, then the encoder layers' input and output channels and kernels,
    // then the recurrent layer's sizes and the final convolution's.
    constexpr std::int32_t encoder[4][3] = {{129, 128, 3}, {128, 64, 3}, {64, 64, 3}, {64, 128, 3}};
    for (const std::int32_t value : {6, 2, 0, 512, 64, 4})
        out.integer(value);
    for (const auto& layer : encoder)
        for (const std::int32_t value : layer)
            out.integer(value);
    for (const std::int32_t value : {128, 128, 128, 1})
        out.integer(value);

    for (int i = 0; i < 4; ++i) {
        const std::string prefix = "_model.encoder." + std::to_string(i) + ".reparam_conv";
        out.halfTensor(prefix + ".weight", {encoder[i][2], encoder[i][0], encoder[i][1]}, 0.1F);
        out.tensor(prefix + ".bias", {encoder[i][1]}, 0.0F, 0.05F);
    }
    out.tensor("_model.decoder.rnn.weight_ih", {128, 512}, 0.0F, 0.1F);
    out.tensor("_model.decoder.rnn.weight_hh", {128, 512}, 0.0F, 0.1F);
    out.tensor("_model.decoder.rnn.bias_ih", {512}, 0.0F, 0.05F);
    out.tensor("_model.decoder.rnn.bias_hh", {512}, 0.0F, 0.05F);
    out.halfTensor("_model.decoder.decoder.2.weight", {128}, 0.1F);
    out.tensor("_model.decoder.decoder.2.bias", {}, 0.0F, 0.05F);
    out.halfTensor("_model.stft.forward_basis_buffer", {256, 1, 258}, 0.1F);
    out.close();
}

void truncateFile(const std::filesystem::path& path, std::uintmax_t bytes) {
    std::filesystem::resize_file(path, bytes);
}

void overwriteStart(const std::filesystem::path& path, const std::string& bytes) {
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!file)
        throw std::runtime_error("cannot overwrite " + path.string());
}

} // namespace zorvel::test
