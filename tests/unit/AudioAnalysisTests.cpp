#include "TestAudio.h"
#include "TestEnvironment.h"
#include "audio/SampleConversion.h"
#include "pipeline/LoudnessEnvelope.h"
#include "pipeline/Mixdown.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <sndfile.h>

namespace zorvel {
namespace {

using test::readAudio;
using test::TemporaryFolder;
using test::writeAudio;

constexpr AudioFormat wav16k{16000, 1, SampleFormat::int16};

TEST(AudioFiles, SixteenBitRoundTripIsExactAndFullScaleNegativeReadsAsMinusOne) {
    TemporaryFolder folder;
    std::vector<float> samples;
    for (int s = -32768; s <= 32767; s += 7)
        samples.push_back(static_cast<float>(s) / 32768.0F);
    samples.push_back(-1.0F);
    writeAudio(folder / "a.wav", wav16k, samples);
    const auto back = readAudio(folder / "a.wav");
    ASSERT_EQ(back.size(), samples.size());
    for (size_t i = 0; i < samples.size(); ++i)
        ASSERT_EQ(back[i], samples[i]) << i;
    writeAudio(folder / "b.wav", wav16k, back);
    EXPECT_EQ(test::readText(folder / "a.wav"), test::readText(folder / "b.wav"));
}

TEST(AudioFiles, OutOfRangeFloatsClipInsteadOfWrapping) {
    TemporaryFolder folder;
    writeAudio(folder / "a.wav", wav16k, {1.5F, -1.5F, 1.0F});
    const auto back = readAudio(folder / "a.wav");
    EXPECT_FLOAT_EQ(back[0], 32767.0F / 32768.0F);
    EXPECT_EQ(back[1], -1.0F);
}

TEST(AudioFiles, OpeningAMissingFileSaysWhichFile) {
    const auto file = AudioFileReader::open("/nonexistent/x.wav");
    ASSERT_FALSE(file);
    EXPECT_NE(file.error().description().find("/nonexistent/x.wav"), std::string::npos);
}

TEST(LoudnessEnvelopeAnalyze, WindowsFollowTheChunksAndTheFileEnd) {
    TemporaryFolder folder;
    writeAudio(folder / "short.wav", wav16k, std::vector<float>(400, 0.5F));
    const auto envelope = LoudnessEnvelope::analyze(folder / "short.wav");
    ASSERT_TRUE(envelope);
    ASSERT_EQ(envelope->values.size(), 3U); // 160, 160 and 80 frames
    for (float value : envelope->values)
        EXPECT_FLOAT_EQ(value, 0.5F);

    // The last of 100 windows covers the final 160 frames: a loud tail shows only there.
    std::vector<float> second(16000, 0.0F);
    std::fill(second.end() - 160, second.end(), 0.25F);
    writeAudio(folder / "second.wav", wav16k, second);
    const auto full = LoudnessEnvelope::analyze(folder / "second.wav");
    ASSERT_EQ(full->values.size(), 100U);
    EXPECT_FLOAT_EQ(full->values[99], 0.25F);
    EXPECT_EQ(full->values[98], 0.0F);

    // 1.5 s at 48 kHz: windows of 480 frames, 150 in all.
    writeAudio(folder / "48k.caf", {48000, 1, SampleFormat::float32}, std::vector<float>(72000, 0.0F));
    EXPECT_EQ(LoudnessEnvelope::analyze(folder / "48k.caf")->values.size(), 150U);
}

TEST(LoudnessEnvelopeAnalyze, LevelsAreLinearRmsOverFramesAndChannels) {
    TemporaryFolder folder;
    std::vector<float> square;
    for (int i = 0; i < 320; ++i)
        square.push_back(i % 2 ? 32767.0F / 32768.0F : -1.0F);
    writeAudio(folder / "square.wav", wav16k, square);
    const auto squareEnvelope = LoudnessEnvelope::analyze(folder / "square.wav");
    EXPECT_NEAR(squareEnvelope->values[0], 1.0F, 2e-5F);

    std::vector<float> stereo;
    for (int i = 0; i < 160; ++i)
        stereo.insert(stereo.end(), {0.5F, 0.0F});
    writeAudio(folder / "stereo.caf", {16000, 2, SampleFormat::float32}, stereo);
    const auto stereoEnvelope = LoudnessEnvelope::analyze(folder / "stereo.caf");
    ASSERT_EQ(stereoEnvelope->values.size(), 1U);
    EXPECT_NEAR(stereoEnvelope->values[0], std::sqrt(0.125F), 1e-6F);

    writeAudio(folder / "silent.wav", wav16k, std::vector<float>(1000, 0.0F));
    const auto silent = LoudnessEnvelope::analyze(folder / "silent.wav");
    ASSERT_EQ(silent->values.size(), 7U);
    for (float value : silent->values)
        EXPECT_EQ(value, 0.0F);

    writeAudio(folder / "empty.wav", wav16k, {});
    const auto empty = LoudnessEnvelope::analyze(folder / "empty.wav");
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->values.empty());
    EXPECT_EQ(empty->rms(0, 1000), 0.0F);

    EXPECT_FALSE(LoudnessEnvelope::analyze(folder / "missing.wav"));
}

// The envelope computed the plain way: chunks of 100 windows, each window's squares added
// sample after sample in a 32-bit float.
std::vector<float> plainEnvelope(const std::vector<float>& samples, int channels, std::int64_t windowFrames) {
    std::vector<float> values;
    const auto frames = static_cast<std::int64_t>(samples.size()) / channels;
    for (std::int64_t chunk = 0; chunk < frames; chunk += 100 * windowFrames) {
        const std::int64_t chunkEnd = std::min(frames, chunk + 100 * windowFrames);
        for (std::int64_t start = chunk; start < chunkEnd; start += windowFrames) {
            const std::int64_t end = std::min(chunkEnd, start + windowFrames);
            float sum = 0.0F;
            for (std::int64_t i = start * channels; i < end * channels; ++i)
                sum += samples[static_cast<size_t>(i)] * samples[static_cast<size_t>(i)];
            values.push_back(std::sqrt(sum / static_cast<float>((end - start) * channels)));
        }
    }
    return values;
}

TEST(LoudnessEnvelopeAnalyze, EqualsThePlainSumBitForBitInEveryFormat) {
    TemporaryFolder folder;
    struct Case {
        const char* name;
        AudioFormat format;
        std::int64_t frames;
    };
    // Lengths that end inside a chunk and inside a block of windows; 44.1 kHz gives windows of
    // 441 frames, an odd number of samples per window.
    const Case cases[] = {{"mono16.wav", {16000, 1, SampleFormat::int16}, 16000 * 3 + 1234},
                          {"stereo48.caf", {48000, 2, SampleFormat::float32}, 48000 * 2 + 4321},
                          {"stereo44.wav", {44100, 2, SampleFormat::int16}, 44100 + 999},
                          {"three.caf", {8000, 3, SampleFormat::float32}, 8000 + 77}};
    for (const auto& [name, format, frames] : cases) {
        // Loud and quiet stretches, so that rounding differences would show.
        auto samples = test::noise(frames, format.channels, 0.9F, 7);
        for (size_t i = 0; i < samples.size(); i += 2000)
            for (size_t j = i; j < std::min(samples.size(), i + 700); ++j)
                samples[j] *= 0.001F;
        writeAudio(folder / name, format, samples);
        const auto stored = readAudio(folder / name);
        const auto envelope = LoudnessEnvelope::analyze(folder / name);
        ASSERT_TRUE(envelope) << name;
        EXPECT_EQ(envelope->values, plainEnvelope(stored, format.channels, format.sampleRate / 100)) << name;
    }
}

TEST(AudioFiles, FloatsWrittenToSixteenBitsMatchLibsndfilesOwnClippingConversion) {
    std::vector<float> values = {0.0F, -0.0F, 1.0F, -1.0F, 1.5F, -1.5F, 1e30F, -1e30F,
                                 std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                                 std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::denorm_min(),
                                 32767.5F / 32768.0F, -32768.5F / 32768.0F, 32766.5F / 32768.0F};
    // Every step between the 16-bit values, halves included, past both ends.
    for (int k = -33000; k <= 33000; ++k)
        for (float fraction : {0.0F, 0.25F, 0.5F, 0.75F})
            values.push_back((static_cast<float>(k) + fraction) / 32768.0F);
    // Tiny values, where the rounding at 32-bit precision shows.
    for (int m = -140000; m <= 140000; m += 7)
        values.push_back((static_cast<float>(m) + 0.5F) / 2147483648.0F);
    for (float value : test::noise(10001, 1, 1.2F, 3))
        values.push_back(value);

    TemporaryFolder folder;
    writeAudio(folder / "ours.wav", wav16k, values);
    SF_INFO info{};
    info.samplerate = 16000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* reference = sf_open((folder / "theirs.wav").c_str(), SFM_WRITE, &info);
    ASSERT_NE(reference, nullptr);
    sf_command(reference, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    ASSERT_EQ(sf_writef_float(reference, values.data(), static_cast<sf_count_t>(values.size())),
              static_cast<sf_count_t>(values.size()));
    sf_close(reference);
    const auto stored = [&](const char* name) {
        SF_INFO readInfo{};
        SNDFILE* file = sf_open((folder / name).c_str(), SFM_READ, &readInfo);
        std::vector<short> samples(static_cast<size_t>(readInfo.frames));
        sf_readf_short(file, samples.data(), readInfo.frames);
        sf_close(file);
        return samples;
    };
    const auto ours = stored("ours.wav");
    const auto theirs = stored("theirs.wav");
    ASSERT_EQ(ours.size(), values.size());
    ASSERT_EQ(theirs.size(), values.size());
    for (size_t i = 0; i < values.size(); ++i)
        ASSERT_EQ(ours[i], theirs[i]) << "sample " << i << ": " << values[i];

    // The vector path and the one-sample path agree everywhere.
    std::vector<std::int16_t> bulk(values.size()), single(values.size());
    floatToInt16(values.data(), bulk.data(), values.size());
    for (size_t i = 0; i < values.size(); ++i)
        floatToInt16(&values[i], &single[i], 1);
    EXPECT_TRUE(bulk == single);
}

TEST(AudioFiles, SixteenBitSamplesConvertExactlyToFloats) {
    std::vector<std::int16_t> all;
    for (int s = -32768; s <= 32767; ++s)
        all.push_back(static_cast<std::int16_t>(s));
    all.push_back(-5); // a count that is not a multiple of the vector width
    std::vector<float> converted(all.size());
    int16ToFloat(all.data(), converted.data(), all.size());
    for (size_t i = 0; i < all.size(); ++i)
        ASSERT_EQ(converted[i], static_cast<float>(all[i]) / 32768.0F) << all[i];
}

TEST(LoudnessEnvelopeRms, SpansMapToWindowsAndFallBackToOne) {
    const LoudnessEnvelope envelope{{0.1F, 0.2F, 0.3F}};
    EXPECT_NEAR(envelope.rms(0, 30), 0.2160247F, 1e-6F);
    EXPECT_FLOAT_EQ(envelope.rms(15, 15), 0.2F);
    EXPECT_FLOAT_EQ(envelope.rms(-5, 5), 0.1F);
    EXPECT_FLOAT_EQ(envelope.rms(-15, 9), 0.1F);
    EXPECT_FLOAT_EQ(envelope.rms(1000, 2000), 0.3F);
    EXPECT_FLOAT_EQ(envelope.rms(25, 10), 0.3F);
    EXPECT_EQ(LoudnessEnvelope{}.rms(0, 100), 0.0F);
}

TEST(MixdownMix, LengthOfTheLongestInputAndTheSumAfterwards) {
    TemporaryFolder folder;
    const auto longer = test::noise(40000, 1, 0.3F, 7);
    const auto shorter = test::noise(10000, 1, 0.3F, 9);
    writeAudio(folder / "a.wav", wav16k, longer);
    writeAudio(folder / "b.wav", wav16k, shorter);
    ASSERT_TRUE(Mixdown::mix({folder / "a.wav", folder / "b.wav"}, folder / "mixdown.wav"));
    int channels = 0, rate = 0;
    const auto mixed = readAudio(folder / "mixdown.wav", &channels, &rate);
    const auto a = readAudio(folder / "a.wav");
    const auto b = readAudio(folder / "b.wav");
    ASSERT_EQ(mixed.size(), 40000U);
    EXPECT_EQ(channels, 1);
    EXPECT_EQ(rate, 16000);
    EXPECT_NEAR(mixed[5000], a[5000] + b[5000], 1.0F / 32768);
    for (size_t i = 10000; i < 40000; i += 997)
        EXPECT_EQ(mixed[i], a[i]) << i;
}

TEST(MixdownMix, SumsAtUnityGainAndClipsAtFullScale) {
    TemporaryFolder folder;
    writeAudio(folder / "a.wav", wav16k, {0.75F, -0.75F, 0.25F});
    writeAudio(folder / "b.wav", wav16k, {0.5F, -0.5F, -0.5F});
    ASSERT_TRUE(Mixdown::mix({folder / "a.wav", folder / "b.wav"}, folder / "m.wav"));
    const auto mixed = readAudio(folder / "m.wav");
    EXPECT_FLOAT_EQ(mixed[0], 32767.0F / 32768.0F);
    EXPECT_EQ(mixed[1], -1.0F);
    EXPECT_EQ(mixed[2], -0.25F);
}

TEST(MixdownMix, ASingleInputComesOutUnchanged) {
    TemporaryFolder folder;
    writeAudio(folder / "a.wav", wav16k, readAudio([&] {
                   writeAudio(folder / "src.wav", wav16k, test::noise(20000, 1, 0.9F));
                   return folder / "src.wav";
               }()));
    ASSERT_TRUE(Mixdown::mix({folder / "a.wav"}, folder / "m.wav"));
    EXPECT_EQ(readAudio(folder / "m.wav"), readAudio(folder / "a.wav"));
}

TEST(MixdownMix, NothingToMixOrMismatchedInputsFail) {
    TemporaryFolder folder;
    writeAudio(folder / "empty1.wav", wav16k, {});
    writeAudio(folder / "empty2.wav", wav16k, {});
    writeAudio(folder / "some.wav", wav16k, {0.1F, 0.2F});
    writeAudio(folder / "stereo.wav", {16000, 2, SampleFormat::int16}, {0.1F, 0.2F});

    auto result = Mixdown::mix({folder / "empty1.wav", folder / "empty2.wav"}, folder / "m.wav");
    ASSERT_FALSE(result);
    EXPECT_TRUE(result.error().is(ZorvelError::Kind::noAudioFiles));
    result = Mixdown::mix({}, folder / "m.wav");
    ASSERT_FALSE(result);
    EXPECT_TRUE(result.error().is(ZorvelError::Kind::noAudioFiles));

    // An empty input beside a longer one adds nothing.
    ASSERT_TRUE(Mixdown::mix({folder / "empty1.wav", folder / "some.wav"}, folder / "m.wav"));
    EXPECT_EQ(readAudio(folder / "m.wav").size(), 2U);

    result = Mixdown::mix({folder / "some.wav", folder / "stereo.wav"}, folder / "m2.wav");
    ASSERT_FALSE(result);
    EXPECT_FALSE(result.error().zorvelError());
    EXPECT_FALSE(Mixdown::mix({folder / "some.wav", folder / "missing.wav"}, folder / "m3.wav"));
}

} // namespace
} // namespace zorvel
