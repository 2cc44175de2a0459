// A test double of whisper.cpp's whisper-cli.
//
// Contract kept from the real program (whisper.cpp 1.7.6):
//  - writes exactly BASE + ".json" for "-oj -of BASE", tab-indented, with the keys systeminfo,
//    model, params, result and transcription; segments carry timestamps, offsets and text;
//  - escapes only '"' and '\' in strings: control bytes and broken UTF-8 go out raw;
//  - exits 0 WITHOUT writing JSON on undecodable input (garbage, 0 bytes, header only), a missing
//    output folder, an unknown flag or an unknown language;
//  - exits 2 when the input file is missing, 3 when the model can't be loaded, 10 for --vad
//    without a readable VAD model;
//  - prints segments on standard output and a few lines on standard error even with -np.
//
// What it "recognises" comes from the side file INPUT + ".segments", one segment per line:
//     FROM_MS TO_MS TEXT        TEXT may use \n \t \\ and \xHH escapes for raw bytes
// and the directives "!exit N" (exit with N, no JSON), "!signal N" (die of signal N, as a crash
// does) and "!nojson" (exit 0, no JSON). Two more show what the real program can't be made to do
// on demand:
//     !shorten MS    cut its input WAV down to its first MS milliseconds, then go on
//     !wait FILE     write its PID to INPUT + ".pid", then wait until FILE exists (at most 60 s)
// A missing side file means no speech, unless WHISPER_DOUBLE_SPEECH is set: then every stretch of
// sound (10 ms windows above RMS 0.02, gaps under 200 ms bridged) is an utterance "Фраза LANG N",
// N its length in tenths of a second, so that the same sound gives the same text wherever it
// lies in the input. When WHISPER_DOUBLE_RECORD names a file, every
// invocation appends its arguments to it, separated by \x1f, one invocation per line.
// WHISPER_DOUBLE_CPU_SHARE=S makes it a stand-in with a recogniser's cost: before it answers it
// keeps one core busy for S seconds of its own CPU time per second of input audio.

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct Segment {
    std::int64_t from = 0;
    std::int64_t to = 0;
    std::string text;
};

bool readable(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return in.good();
}

bool isDirectory(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

std::string parentOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A 16 kHz mono 16-bit WAVE with at least one frame, as the run's converter produces.
bool decodable(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() < 12 || !bytes.starts_with("RIFF") || bytes.compare(8, 4, "WAVE") != 0)
        return false;
    const auto u16 = [&](size_t at) {
        return static_cast<unsigned>(static_cast<unsigned char>(bytes[at])) |
               static_cast<unsigned>(static_cast<unsigned char>(bytes[at + 1])) << 8;
    };
    const auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
    bool formatOk = false;
    size_t at = 12;
    while (at + 8 <= bytes.size()) {
        const std::string id = bytes.substr(at, 4);
        const size_t size = u32(at + 4);
        if (id == "fmt " && at + 24 <= bytes.size())
            formatOk = u16(at + 8) == 1 && u16(at + 10) == 1 && u32(at + 12) == 16000 && u16(at + 22) == 16;
        if (id == "data")
            return formatOk && size >= 2 && at + 8 + 2 <= bytes.size();
        at += 8 + size + (size & 1);
    }
    return false;
}

// Keeps the first `ms` milliseconds of a 16 kHz mono 16-bit WAVE: the file is cut and its RIFF and
// data sizes are written anew.
void shorten(const std::string& path, std::int64_t ms) {
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto u32 = [&](size_t at) {
        std::uint32_t value = 0;
        for (int i = 3; i >= 0; --i)
            value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<size_t>(i)]);
        return value;
    };
    const auto put32 = [&](size_t at, std::uint32_t value) {
        for (int i = 0; i < 4; ++i)
            bytes[at + static_cast<size_t>(i)] = static_cast<char>(value >> (8 * i) & 0xFF);
    };
    for (size_t at = 12; at + 8 <= bytes.size(); at += 8 + u32(at + 4) + (u32(at + 4) & 1)) {
        if (bytes.compare(at, 4, "data") != 0)
            continue;
        const auto size = static_cast<std::uint32_t>(std::min<std::int64_t>(ms * 32, u32(at + 4)));
        put32(at + 4, size);
        bytes.resize(at + 8 + size);
        put32(4, static_cast<std::uint32_t>(bytes.size() - 8));
        file.close();
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        return;
    }
}

// Stands in for a long recognition: tells the test its PID, then waits for the test to go on.
void waitFor(const std::string& input, const std::string& file) {
    // Written beside and renamed, so that a test that sees the file sees the whole number.
    const std::string pid = input + ".pid";
    std::ofstream(pid + ".new") << ::getpid() << "\n";
    std::rename((pid + ".new").c_str(), pid.c_str());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!readable(file) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// The length of a 16 kHz mono 16-bit WAV with the usual 44-byte header.
double inputSeconds(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || status.st_size < 44)
        return 0;
    return static_cast<double>(status.st_size - 44) / 32000.0;
}

double ownCpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Spins until this process has used `seconds` of CPU time, however long the scheduler makes that.
void burnCpu(double seconds) {
    const double until = ownCpuSeconds() + seconds;
    volatile std::uint64_t sink = 1;
    while (ownCpuSeconds() < until)
        for (int i = 0; i < 100000; ++i)
            sink = sink * 6364136223846793005ULL + 1442695040888963407ULL;
}

// The utterances of WHISPER_DOUBLE_SPEECH: found in the sound itself.
std::vector<Segment> soundedStretches(const std::string& path, const std::string& language) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto data = bytes.find("data");
    std::vector<Segment> segments;
    if (data == std::string::npos)
        return segments;
    const size_t first = data + 8;
    const size_t samples = (bytes.size() - first) / 2;
    constexpr size_t window = 160;
    constexpr std::int64_t bridged = 20;
    std::int64_t start = -1;
    std::int64_t end = -1;
    const auto close = [&] {
        if (start >= 0)
            segments.push_back({start * 10, end * 10,
                                "Фраза " + language + " " + std::to_string((end - start + 5) / 10)});
        start = -1;
    };
    for (size_t w = 0; (w + 1) * window <= samples; ++w) {
        double sum = 0;
        for (size_t i = 0; i < window; ++i) {
            const size_t at = first + 2 * (w * window + i);
            const auto value = static_cast<std::int16_t>(static_cast<unsigned char>(bytes[at]) |
                                                         static_cast<unsigned char>(bytes[at + 1]) << 8);
            sum += (value / 32768.0) * (value / 32768.0);
        }
        if (sum / window < 0.02 * 0.02)
            continue;
        const auto index = static_cast<std::int64_t>(w);
        if (start >= 0 && index - end >= bridged)
            close();
        if (start < 0)
            start = index;
        end = index + 1;
    }
    close();
    return segments;
}

std::string unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char next = text[++i];
        if (next == 'n')
            out += '\n';
        else if (next == 't')
            out += '\t';
        else if (next == 'x' && i + 2 < text.size() + 0) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else
            out += next;
    }
    return out;
}

// whisper.cpp's JSON writer escapes only these two characters.
std::string escapeLikeWhisper(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}

std::string timestamp(std::int64_t ms, char separator) {
    char text[64];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld%c%03lld", static_cast<long long>(ms / 3600000),
                  static_cast<long long>(ms / 60000 % 60), static_cast<long long>(ms / 1000 % 60), separator,
                  static_cast<long long>(ms % 1000));
    return text;
}

const std::set<std::string>& languages() {
    static const std::set<std::string> codes = {
        "auto", "en", "zh", "de", "es", "ru", "ko", "fr", "ja", "pt", "tr", "pl", "ca", "nl", "ar", "sv", "it",
        "id",   "hi", "fi", "vi", "he", "uk", "el", "ms", "cs", "ro", "da", "hu", "ta", "no", "th", "ur", "hr",
        "bg",   "lt", "la", "mi", "ml", "cy", "sk", "te", "fa", "lv", "bn", "sr", "az", "sl", "kn", "et", "mk",
        "br",   "eu", "is", "hy", "ne", "mn", "bs", "kk", "sq", "sw", "gl", "mr", "pa", "si", "km", "sn", "yo",
        "so",   "af", "oc", "ka", "be", "tg", "sd", "gu", "am", "yi", "lo", "uz", "fo", "ht", "ps", "tk", "nn",
        "mt",   "sa", "lb", "my", "bo", "tl", "mg", "as", "tt", "haw", "ln", "ha", "ba", "jw", "su", "yue"};
    return codes;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    if (const char* record = std::getenv("WHISPER_DOUBLE_RECORD")) {
        std::ofstream out(record, std::ios::app | std::ios::binary);
        for (size_t i = 0; i < arguments.size(); ++i)
            out << (i ? "\x1f" : "") << arguments[i];
        out << '\n';
    }

    std::string model;
    std::string language = "en";
    std::string outputBase;
    std::string input;
    std::string vadModel;
    bool json = false;
    bool vad = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const auto value = [&]() -> std::string { return i + 1 < arguments.size() ? arguments[++i] : std::string(); };
        if (argument == "-m" || argument == "--model")
            model = value();
        else if (argument == "-l" || argument == "--language")
            language = value();
        else if (argument == "-t" || argument == "--threads")
            (void)value();
        else if (argument == "-of" || argument == "--output-file")
            outputBase = value();
        else if (argument == "-oj" || argument == "--output-json")
            json = true;
        else if (argument == "-np" || argument == "--no-prints" || argument == "--suppress-nst")
            continue;
        else if (argument == "--vad")
            vad = true;
        else if (argument == "-vm" || argument == "--vad-model")
            vadModel = value();
        else if (!argument.empty() && argument[0] == '-') {
            std::cerr << "error: unknown argument: " << argument << "\n";
            return 0;
        } else
            input = argument;
    }

    std::cerr << "whisper_init_from_file_with_params_no_state: loading model from '" << model << "'\n";
    if (!readable(model)) {
        std::cerr << "error: failed to initialize whisper context\n";
        return 3;
    }
    if (!languages().contains(language)) {
        std::cerr << "error: unknown language '" << language << "'\n";
        return 0;
    }
    if (vad && !readable(vadModel)) {
        std::cerr << "error: failed to initialize VAD context\n";
        return 10;
    }
    if (input.empty() || !readable(input)) {
        std::cerr << "error: input file not found '" << input << "'\n";
        return 2;
    }
    if (!decodable(input)) {
        std::cerr << "error: failed to read audio file '" << input << "'\n";
        return 0;
    }
    std::cerr << "system_info: n_threads = 4 | AVX = 1 |\n";
    std::cerr << "main: processing '" << input << "' (16000 Hz), lang = " << language << ", task = transcribe\n";

    if (const char* share = std::getenv("WHISPER_DOUBLE_CPU_SHARE"))
        burnCpu(std::atof(share) * inputSeconds(input));

    std::vector<Segment> segments;
    if (std::getenv("WHISPER_DOUBLE_SPEECH") != nullptr && !readable(input + ".segments"))
        segments = soundedStretches(input, language);
    std::ifstream side(input + ".segments", std::ios::binary);
    std::string line;
    while (std::getline(side, line)) {
        if (line.empty())
            continue;
        if (line.starts_with("!exit ")) {
            std::cerr << "simulated failure\n";
            return std::atoi(line.c_str() + 6);
        }
        if (line.starts_with("!signal ")) {
            std::cerr.flush();
            std::signal(std::atoi(line.c_str() + 8), SIG_DFL);
            std::raise(std::atoi(line.c_str() + 8));
            return 0;
        }
        if (line == "!nojson")
            return 0;
        if (line.rfind("!shorten ", 0) == 0) {
            shorten(input, std::atoll(line.c_str() + 9));
            continue;
        }
        if (line.rfind("!wait ", 0) == 0) {
            waitFor(input, line.substr(6));
            continue;
        }
        std::istringstream fields(line);
        Segment segment;
        fields >> segment.from >> segment.to;
        std::string rest;
        std::getline(fields, rest);
        if (!rest.empty() && rest.front() == ' ')
            rest.erase(0, 1);
        segment.text = unescape(rest);
        segments.push_back(segment);
    }

    for (const auto& segment : segments)
        std::cout << "[" << timestamp(segment.from, '.') << " --> " << timestamp(segment.to, '.') << "]  "
                  << segment.text << "\n";
    std::cout.flush();

    if (!json || outputBase.empty())
        return 0;
    if (!isDirectory(parentOf(outputBase))) {
        std::cerr << "error: failed to open '" << outputBase << ".json' for writing\n";
        return 0;
    }
    std::ofstream out(outputBase + ".json", std::ios::binary | std::ios::trunc);
    out << "{\n\t\"systeminfo\": \"AVX = 1 | test double\",\n\t\"model\": {\n\t\t\"type\": \"large\",\n"
        << "\t\t\"multilingual\": true,\n\t\t\"vocab\": 51866\n\t},\n\t\"params\": {\n\t\t\"model\": \""
        << escapeLikeWhisper(model) << "\",\n\t\t\"language\": \"" << escapeLikeWhisper(language)
        << "\",\n\t\t\"translate\": false\n\t},\n\t\"result\": {\n\t\t\"language\": \""
        << escapeLikeWhisper(language == "auto" ? "ru" : language) << "\"\n\t},\n\t\"transcription\": [";
    for (size_t i = 0; i < segments.size(); ++i) {
        const auto& segment = segments[i];
        out << (i ? ",\n" : "\n") << "\t\t{\n\t\t\t\"timestamps\": {\n\t\t\t\t\"from\": \""
            << timestamp(segment.from, ',') << "\",\n\t\t\t\t\"to\": \"" << timestamp(segment.to, ',')
            << "\"\n\t\t\t},\n\t\t\t\"offsets\": {\n\t\t\t\t\"from\": " << segment.from << ",\n\t\t\t\t\"to\": "
            << segment.to << "\n\t\t\t},\n\t\t\t\"text\": \"" << escapeLikeWhisper(segment.text) << "\"\n\t\t}";
    }
    out << (segments.empty() ? "" : "\n\t") << "]\n}\n";
    return 0;
}
