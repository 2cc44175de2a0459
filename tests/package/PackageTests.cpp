// Builds the Debian package of this build, unpacks it with dpkg-deb into a temporary root (a
// prefix other than the one it was built for) and runs the unpacked program from there.

#include "GgmlModels.h"
#include "TestAudio.h"
#include "TestEnvironment.h"
#include "model/ModelPaths.h"
#include "support/ChildProcess.h"

#include <gtest/gtest.h>

namespace zorvel {
namespace {

using test::readText;
using test::runProgram;
using test::TemporaryFolder;

std::filesystem::path onlyDebIn(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> found;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.path().extension() == ".deb")
            found.push_back(entry.path());
    return found.size() == 1 ? found.front() : std::filesystem::path();
}

TEST(Package, UnpackedAnywhereItFindsItsResourcesAndTranscribes) {
    const auto dpkgDeb = findInPath("dpkg-deb");
    if (!dpkgDeb)
        GTEST_SKIP() << "dpkg-deb is not installed";
    TemporaryFolder work{"package"};

    const auto cpack =
        runProgram(CPACK_COMMAND, {"-G", "DEB", "--config", CPACK_CONFIG, "-B", (work / "out").string()});
    ASSERT_EQ(cpack.exitStatus, 0) << cpack.standardOutput << cpack.standardError;
    const auto deb = onlyDebIn(work / "out");
    ASSERT_FALSE(deb.empty()) << cpack.standardOutput;

    // The libraries come from dpkg-shlibdeps; what is only started or loaded is named by hand.
    const std::string depends = runProgram(*dpkgDeb, {"-f", deb.string(), "Depends"}).standardOutput;
    for (const char* package : {"ffmpeg", "libqt6svg6", "libqt6widgets6", "libqt6dbus6", "libpulse0",
                                "libsndfile1", "libsoxr0", "libc6"})
        EXPECT_NE(depends.find(package), std::string::npos) << package << " missing from: " << depends;

    const auto root = work / "some other root";
    const auto unpacked = runProgram(*dpkgDeb, {"-x", deb.string(), root.string()});
    ASSERT_EQ(unpacked.exitStatus, 0) << unpacked.standardError;
    const auto prefix = root / "usr";
    EXPECT_TRUE(isExecutableFile(prefix / "bin" / "zorvel"));
    EXPECT_NE(readText(prefix / "share" / "applications" / "zorvel.desktop").find("\nIcon=zorvel\n"),
              std::string::npos);
    EXPECT_TRUE(std::filesystem::is_regular_file(prefix / "share/icons/hicolor/scalable/apps/zorvel.svg"));

    const auto resources = prefix / "share" / "zorvel";
    const auto vadModel = resources / "models" / "ggml-silero-v6.2.0.bin";
    if (!test::realWhisperDirectory().empty()) {
        // The packaged recogniser starts on its own: it needs no shared library of whisper.cpp.
        const auto help = runProgram(resources / "bin" / "whisper-cli", {"--help"});
        EXPECT_EQ(help.exitStatus, 0) << help.standardError;
        EXPECT_TRUE(std::filesystem::is_regular_file(vadModel));
    }

    // From here on the recogniser is the double, so that the run's command line can be read.
    std::filesystem::create_directories(resources / "bin");
    std::filesystem::remove(resources / "bin" / "whisper-cli");
    std::filesystem::copy_file(test::whisperDouble(), resources / "bin" / "whisper-cli");
    std::filesystem::create_directories(Paths::modelURL().parent_path());
    test::writeWeightlessWhisperModel(Paths::modelURL());
    const auto recording = work / "2025-03-05 14-03-27";
    std::filesystem::create_directories(recording);
    test::writeAudio(recording / "mic.caf", {48000, 1, SampleFormat::float32},
                     test::noise(48000 * 2, 1, 0.3F, 3));
    test::writeText(recording / "mic-16k.wav.segments", "100 900 Из пакета.\n");

    const auto run = runProgram(prefix / "bin" / "zorvel", {"--transcribe", recording.string()},
                                {"WHISPER_DOUBLE_RECORD=" + (work / "invocations").string()});
    std::filesystem::remove(Paths::modelURL());
    ASSERT_EQ(run.exitStatus, 0) << run.standardError;
    EXPECT_NE(readText(recording / "transcript.md").find("**Я** [00:00:00]: Из пакета.\n"),
              std::string::npos);
    const std::string invocation = readText(work / "invocations");
    if (std::filesystem::is_regular_file(vadModel)) {
        EXPECT_NE(invocation.find("--vad-model\x1f" + vadModel.string() + "\x1f"), std::string::npos)
            << invocation;
    }
}

} // namespace
} // namespace zorvel
