#include "cli/MicTest.h"

#include "pipeline/LoudnessEnvelope.h"
#include "platform/AudioConfigurationNotifier.h"
#include "recording/MicRecorder.h"
#include "support/FileDescriptor.h"
#include "support/NumberText.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace zorvel {

namespace {

constexpr double defaultSeconds = 8;

void printLine(const std::string& line) { (void)writeToDescriptor(STDOUT_FILENO, line + "\n"); }

// Reads text as a whole double in the C locale, whatever the process locale is.
std::optional<double> readNumber(const std::string& text) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text.front())))
        return std::nullopt;
    const locale_t c = ::newlocale(LC_ALL_MASK, "C", nullptr);
    if (c == nullptr)
        return std::nullopt;
    char* end = nullptr;
    const double value = ::strtod_l(text.c_str(), &end, c);
    ::freelocale(c);
    if (end != text.c_str() + text.size())
        return std::nullopt;
    return value;
}

// The folder the self-test writes into: "zorvel-<uid>" in the per-user temporary folder ($TMPDIR,
// else /tmp), created closed to others. A name in a shared folder can be taken by anyone, so it
// is used only when it is a real folder of ours that nobody else may enter; otherwise the test
// gets a fresh folder of its own. Fails, with a message, when there is no temporary folder.
Result<std::filesystem::path> privateTemporaryFolder() {
    const char* variable = std::getenv("TMPDIR");
    const std::filesystem::path base = variable && *variable ? variable : "/tmp";
    struct stat status {};
    if (::stat(base.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
        return failure(Error::platform("Временная папка «" + base.string() + "» не найдена. Проверьте переменную TMPDIR."));
    auto own = base / ("zorvel-" + std::to_string(::geteuid()));
    ::mkdir(own.c_str(), 0700);
    const int folder = ::open(own.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const bool safe = folder >= 0 && ::fstat(folder, &status) == 0 && S_ISDIR(status.st_mode) &&
                      status.st_uid == ::geteuid() && (status.st_mode & 077) == 0;
    if (folder >= 0)
        ::close(folder);
    if (safe)
        return own;
    std::string unique = (base / "zorvel-XXXXXX").string();
    if (::mkdtemp(unique.data()) == nullptr)
        return failure(Error::fromErrno("Не удалось создать временную папку", unique, errno));
    return std::filesystem::path(unique);
}

// Turns the main thread's event loop until `seconds` from now.
void runEventLoop(double seconds) {
    QEventLoop loop;
    QTimer::singleShot(std::chrono::milliseconds(std::lround(seconds * 1000)), Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

MicTestDuration micTestDuration(const std::optional<std::string>& operand) {
    double seconds = defaultSeconds;
    if (operand) {
        if (const std::optional<double> value = readNumber(*operand))
            seconds = *value;
    }
    // 2^63 is the first double beyond a signed 64-bit integer.
    if (!std::isfinite(seconds) || seconds >= 9223372036854775808.0)
        seconds = defaultSeconds;
    const auto steps = static_cast<long long>(std::trunc(std::max(seconds, 0.0)));
    return {seconds, std::max(1LL, steps)};
}

int runMicTest(int& argc, char** argv, const std::vector<std::string>& arguments, std::size_t flagIndex) {
    const QCoreApplication application(argc, argv);
    const MicTestDuration duration =
        micTestDuration(flagIndex + 1 < arguments.size() ? std::optional(arguments[flagIndex + 1]) : std::nullopt);
    const double halfPoint = duration.seconds * 0.5;
    const auto folder = privateTemporaryFolder();
    if (!folder) {
        // A failed write to standard error has nowhere else to go.
        (void)writeToDescriptor(STDERR_FILENO, folder.error().description() + "\n");
        return 1;
    }
    // The recorder replaces whatever is there by a new file, never writing through a link.
    const std::filesystem::path testFile = *folder / "zorvel-mic-test.caf";

    MicRecorder recorder;
    if (auto started = recorder.start(testFile); !started) {
        (void)writeToDescriptor(STDERR_FILENO, started.error().description() + "\n");
        return 1;
    }
    printLine("Пишу микрофон " + std::to_string(duration.steps) + " с…");
    bool simulated = false;
    for (long long step = 1; step <= duration.steps; ++step) {
        runEventLoop(1.0);
        if (!simulated && static_cast<double>(step) >= halfPoint) {
            printLine("  → имитирую смену аудиоустройства");
            AudioConfigurationNotifier::instance().post();
            runEventLoop(0.3);
            simulated = true;
        }
        const double silence = recorder.secondsSinceLastSound();
        printLine("  " + std::to_string(step) + " с: тишина " + fixedText(silence, 1) + " с");
    }
    const std::int64_t restarts = recorder.restarts();
    const bool broken = recorder.broken();
    recorder.stop();

    const auto envelope = LoudnessEnvelope::analyze(testFile);
    printLine("\nперезапусков движка: " + std::to_string(restarts) + ", движок сломан: " + (broken ? "true" : "false"));
    printLine("пик записи: " + (envelope ? fixedText(envelope->peak(), 4) : std::string("замерить не вышло")));
    printLine("файл: " + testFile.string());
    return broken ? 1 : 0;
}

} // namespace zorvel
