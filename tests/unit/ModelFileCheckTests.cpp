// The model check against files laid out as whisper.cpp writes them: models written by the test
// helper, whisper.cpp's own test models when the build has them, and copies damaged on purpose.

#include "GgmlModels.h"
#include "TestEnvironment.h"
#include "model/ModelFileCheck.h"

#include <functional>
#include <gtest/gtest.h>

namespace zorvel {
namespace {

using test::TemporaryFolder;

// The size of the last tensor the model writer puts out (a decoder bias of `state` floats), with
// its description: cutting this much leaves a whole file that lacks one tensor.
std::uintmax_t lastTensorBytes(const test::WhisperModelShape& shape) {
    const std::string name =
        "decoder.blocks." + std::to_string(shape.textLayers - 1) + ".cross_attn.out.bias";
    return 4 * 4 + name.size() + 4 * static_cast<std::uintmax_t>(shape.state);
}

TEST(ModelFileCheck, WholeWhisperModelsArePresent) {
    TemporaryFolder folder;
    test::writeRandomWhisperModel(folder / "f32.bin");
    test::WhisperModelShape shape;
    shape.weights = test::WeightType::f16;
    test::writeRandomWhisperModel(folder / "f16.bin", shape);
    // Q8_0 blocks among f16 convolutions and f32 biases, as the quantizer leaves them.
    shape.weights = test::WeightType::q8_0;
    test::writeRandomWhisperModel(folder / "q8_0.bin", shape);
    test::writeWeightlessWhisperModel(folder / "weightless.bin");
    for (const char* name : {"f32.bin", "f16.bin", "q8_0.bin", "weightless.bin"})
        EXPECT_TRUE(checkWhisperModel(folder / name).isPresent())
            << name << ": " << checkWhisperModel(folder / name).reason;

    if (test::realWhisperDirectory().empty())
        GTEST_SKIP() << test::noRealWhisperReason;
    const auto upstream = test::realWhisperDirectory() / "models";
    EXPECT_TRUE(checkWhisperModel(upstream / "for-tests-ggml-tiny.bin").isPresent());
    EXPECT_TRUE(checkVoiceActivityModel(upstream / "ggml-silero-v6.2.0.bin").isPresent());
    // Each is no model of the other kind.
    EXPECT_TRUE(checkWhisperModel(upstream / "ggml-silero-v6.2.0.bin").isDamaged());
    EXPECT_TRUE(checkVoiceActivityModel(upstream / "for-tests-ggml-tiny.bin").isDamaged());
}

TEST(ModelFileCheck, MissingIsNotDamaged) {
    TemporaryFolder folder;
    EXPECT_EQ(checkWhisperModel(folder / "absent.bin").state, ModelFileCheck::State::missing);
    EXPECT_EQ(checkVoiceActivityModel(folder / "absent.bin").state, ModelFileCheck::State::missing);
    // A folder where the file should be is in the way, not missing.
    EXPECT_TRUE(checkWhisperModel(folder.path()).isDamaged());
}

TEST(ModelFileCheck, DamagedWhisperModelsAreToldApart) {
    const test::WhisperModelShape shape;
    struct Damage {
        const char* name;
        std::function<void(const std::filesystem::path&)> apply;
        const char* reason;
    };
    const std::vector<Damage> damages = {
        {"empty", [](const auto& model) { test::writeText(model, ""); }, "файл пуст"},
        {"an error page served with success",
         [](const auto& model) { test::writeText(model, "<!DOCTYPE html>\n<html><body>502</body></html>"); },
         "вместо модели сохранена веб-страница"},
        {"another format's magic", [](const auto& model) { test::overwriteStart(model, "GGUF"); },
         "это не модель в формате ggml"},
        {"shorter than the magic", [](const auto& model) { test::truncateFile(model, 3); },
         "это не модель в формате ggml"},
        {"cut in the hyperparameters", [](const auto& model) { test::truncateFile(model, 30); },
         "файл обрывается в заголовке"},
        {"cut in the mel filters", [](const auto& model) { test::truncateFile(model, 1000); },
         "файл обрывается в заголовке"},
        {"cut in the vocabulary", [](const auto& model) { test::truncateFile(model, 100000); },
         "файл обрывается в словаре"},
        {"cut in the last tensor",
         [](const auto& model) { test::truncateFile(model, std::filesystem::file_size(model) - 1); },
         "файл обрывается в тензоре «decoder.blocks.3.cross_attn.out.bias»"},
        {"one whole tensor short",
         [&](const auto& model) {
             test::truncateFile(model, std::filesystem::file_size(model) - lastTensorBytes(shape));
         },
         "в файле 166 тензоров из 167"},
        {"bytes after the last tensor",
         [](const auto& model) { test::truncateFile(model, std::filesystem::file_size(model) + 64); },
         "описание тензора испорчено"},
        {"zero layers in the header",
         [](const auto& model) {
             test::WhisperModelShape broken;
             broken.audioLayers = 0;
             test::writeWeightlessWhisperModel(model, broken);
         },
         "заголовок испорчен"},
    };
    TemporaryFolder folder;
    const auto model = folder / "ggml-large-v3-turbo.bin";
    for (const auto& [name, apply, reason] : damages) {
        SCOPED_TRACE(name);
        test::writeRandomWhisperModel(model, shape);
        apply(model);
        const auto check = checkWhisperModel(model);
        EXPECT_TRUE(check.isDamaged());
        EXPECT_EQ(check.reason, reason);
    }
}

TEST(ModelFileCheck, DamagedVoiceActivityModels) {
    if (test::realWhisperDirectory().empty())
        GTEST_SKIP() << test::noRealWhisperReason;
    TemporaryFolder folder;
    const auto original = test::realWhisperDirectory() / "models" / "ggml-silero-v6.2.0.bin";
    const auto model = folder / "ggml-silero-v6.2.0.bin";
    for (const std::uintmax_t size :
         {std::uintmax_t{0}, std::uintmax_t{20}, std::filesystem::file_size(original) / 2,
          std::filesystem::file_size(original) - 1}) {
        SCOPED_TRACE(size);
        std::filesystem::copy_file(original, model, std::filesystem::copy_options::overwrite_existing);
        test::truncateFile(model, size);
        EXPECT_TRUE(checkVoiceActivityModel(model).isDamaged());
    }
}

TEST(ModelFileCheck, GgmlMagicIsReadFromTheFirstFourBytes) {
    EXPECT_TRUE(startsWithGgmlMagic(std::string_view("lmgg\x01\x02", 6)));
    EXPECT_FALSE(startsWithGgmlMagic("lmg"));
    EXPECT_FALSE(startsWithGgmlMagic("ggml"));
    EXPECT_FALSE(startsWithGgmlMagic("<!DOCTYPE html>"));
}

} // namespace
} // namespace zorvel
