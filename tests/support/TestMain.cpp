#include "TestEnvironment.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

// Points HOME, the XDG folders and the settings of this test binary (and of every program it
// starts) into a private folder, so that nothing touches a real home.
int main(int argc, char** argv) {
    const auto& root = zorvel::test::privateRoot();
    const auto set = [&](const char* name, const std::filesystem::path& path) {
        std::filesystem::create_directories(path);
        ::setenv(name, path.c_str(), 1);
    };
    set("HOME", root / "home");
    set("XDG_CONFIG_HOME", root / "home" / ".config");
    set("XDG_DATA_HOME", root / "home" / ".local" / "share");
    set("XDG_CACHE_HOME", root / "home" / ".cache");
    ::unsetenv("XDG_DATA_DIRS");
    ::unsetenv("ZORVEL_RESOURCE_DIR");
    ::unsetenv("ZORVEL_MODEL_URL");
    ::setenv("LC_ALL", "C.UTF-8", 1);
    testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    return status;
}
