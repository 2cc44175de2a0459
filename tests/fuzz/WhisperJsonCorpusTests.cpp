// Replays the fuzzer's checked-in corpus on every test run, so that what fuzzing once found stays
// fixed in the ordinary build.
#include "WhisperJsonProperties.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>

namespace {

TEST(WhisperJsonCorpus, EveryCheckedInInputKeepsThePromises) {
    int inputs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(ZORVEL_FUZZ_CORPUS)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (const auto broken = zorvel::fuzz::checkWhisperJson(bytes))
            ADD_FAILURE() << entry.path().filename() << ": " << *broken;
        ++inputs;
    }
    EXPECT_GE(inputs, 20) << "the corpus at " << ZORVEL_FUZZ_CORPUS << " is missing";
}

} // namespace
