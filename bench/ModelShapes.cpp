#include "ModelShapes.h"

#include "GgmlModels.h"
#include "Measure.h"
#include "SpeechLikeAudio.h"

#include "pipeline/RecogniserCommand.h"
#include "support/NumberText.h"

#include <algorithm>
#include <fstream>
#include <iostream>
#include <map>
#include <regex>
#include <stdexcept>
#include <thread>
#include <utility>

namespace zorvel::bench {

namespace {

// whisper-cli's own account of its stages: "encode time = 23000.00 ms / 1 runs".
struct StageTimes {
    std::map<std::string, double> milliseconds;
    std::map<std::string, int> runs;
};

StageTimes stageTimes(const std::filesystem::path& log) {
    StageTimes times;
    std::ifstream in(log);
    const std::regex stage(R"((\w+) time =\s*([0-9.]+) ms /\s*(\d+) runs)");
    std::smatch match;
    for (std::string line; std::getline(in, line);)
        if (std::regex_search(line, match, stage)) {
            times.milliseconds[match[1]] = std::stod(match[2]);
            times.runs[match[1]] = std::stoi(match[3]);
        }
    return times;
}

struct ModelFile {
    ModelFile(std::string label_, test::WeightType weights_, std::filesystem::path path_)
        : label(std::move(label_)), weights(weights_), path(std::move(path_)) {}

    std::string label;
    test::WeightType weights;
    std::filesystem::path path;
    std::uintmax_t bytes = 0;
    std::vector<double> wall, cpu, encoder, decoder;
    long peakKiB = 0;
    int encoderPasses = 0;
    int decoderSteps = 0;
};

} // namespace

Table modelsTable(const std::filesystem::path& work, int runs) {
    Table table;
    table.title = "Recognition model: large-v3-turbo in f16 against q8_0 (real whisper-cli, random weights)";
    table.header = {"Model file", "Size", "Wall time", "CPU time", "Encoder pass", "Decoding", "Peak RSS"};
    const std::filesystem::path whisperDirectory = REAL_WHISPER_DIR;
    const auto whisper = whisperDirectory / "bin" / "whisper-cli";
    if (whisperDirectory.empty() || !std::filesystem::exists(whisper)) {
        table.rows.push_back({"not measured: no real whisper-cli in the build (scripts/setup builds it)", "", "", "",
                              "", "", ""});
        return table;
    }
    const auto folder = work / "models";
    std::filesystem::create_directories(folder);
    constexpr std::uintmax_t needed = std::uintmax_t{3} << 30;
    if (std::filesystem::space(folder).available < needed) {
        table.rows.push_back({"not measured: the two models need about 3 GB free in " + folder.string(), "", "", "",
                              "", "", ""});
        return table;
    }

    // large-v3-turbo's hyperparameters, as its published file states them.
    test::WhisperModelShape shape;
    shape.vocabulary = 51866;
    shape.audioContext = 1500;
    shape.state = 1280;
    shape.heads = 20;
    shape.audioLayers = 32;
    shape.textContext = 448;
    shape.textLayers = 4;
    shape.mels = 128;
    std::vector<ModelFile> models;
    models.emplace_back("`ggml-large-v3-turbo.bin` (f16)", test::WeightType::f16, folder / "f16.bin");
    models.emplace_back("`ggml-large-v3-turbo-q8_0.bin` (q8_0)", test::WeightType::q8_0, folder / "q8_0.bin");
    double writeSeconds = 0;
    for (auto& model : models) {
        std::cerr << "[bench] writing a random-weight " << model.label << " model\n";
        shape.weights = model.weights;
        writeSeconds += secondsOf([&] { test::writeRandomWhisperModel(model.path, shape); });
        model.bytes = std::filesystem::file_size(model.path);
    }
    constexpr std::int64_t lengthMs = 30000;
    const auto wav = folder / "speech-30s.wav";
    if (!writeTrack(wav, {16000, 1, SampleFormat::int16}, lengthMs, conversation(lengthMs, 9), 0, 9))
        throw std::runtime_error("models: cannot write the audio");

    // The app's own command line without voice-activity detection, bounded so that each run is
    // one encoder pass and one decode: random weights would otherwise have whisper-cli retry the
    // window at five higher temperatures (-nf) and step through it by whatever timestamps it
    // makes up (-nt advances by the whole window); -d keeps it to the 30 s.
    const int threads = static_cast<int>(std::max(1U, std::thread::hardware_concurrency()));
    const std::vector<std::string> bounds = {"-d", std::to_string(lengthMs), "-nt", "-nf"};
    for (int run = 0; run < runs; ++run)
        for (auto& model : models) {
            std::cerr << "[bench] whisper-cli with " << model.label << ", run " << run + 1 << "/" << runs << "\n";
            const RecogniserCommand command{model.path, "ru", threads, folder / "out", std::nullopt, wav};
            std::vector<std::string> arguments = command.arguments();
            // Without -np whisper-cli prints its own timings, which tell the encoder's share.
            std::erase(arguments, std::string("-np"));
            arguments.insert(arguments.end() - 1, bounds.begin(), bounds.end());
            arguments.insert(arguments.begin(), whisper.string());
            const auto log = folder / "whisper.log";
            const auto tool = runTool(arguments, "/dev/null", log);
            const auto times = stageTimes(log);
            if (!tool.succeeded || !times.runs.contains("encode"))
                throw std::runtime_error("models: whisper-cli failed with " + model.path.string() + ", see " +
                                         log.string());
            model.wall.push_back(tool.wallSeconds);
            model.cpu.push_back(tool.cpuSeconds);
            model.encoder.push_back(times.milliseconds.at("encode") / 1000.0);
            // The beams are decoded together ("batchd"); "decode" is the single first step.
            const auto stage = [&](const char* name, const auto& values) {
                return values.contains(name) ? values.at(name) : 0;
            };
            model.decoder.push_back((stage("decode", times.milliseconds) + stage("batchd", times.milliseconds)) / 1000.0);
            model.peakKiB = std::max(model.peakKiB, tool.maxrssKiB);
            model.encoderPasses = std::max(model.encoderPasses, times.runs.at("encode"));
            model.decoderSteps = std::max(model.decoderSteps, stage("decode", times.runs) + stage("batchd", times.runs));
        }
    const long ownPeakKiB = peakResidentKiB();
    std::filesystem::remove_all(folder);

    for (const auto& model : models)
        table.rows.push_back({model.label, mebibytes(static_cast<double>(model.bytes) / 1024.0), seconds(median(model.wall)),
                              seconds(median(model.cpu)), seconds(median(model.encoder)),
                              seconds(median(model.decoder)), mebibytes(static_cast<double>(model.peakKiB))});
    const auto& f16 = models[0];
    const auto& q8 = models[1];
    const auto ratio = [](double a, double b) { return times(a / b); };
    table.rows.push_back({"q8_0 / f16", ratio(static_cast<double>(q8.bytes), static_cast<double>(f16.bytes)),
                          ratio(median(q8.wall), median(f16.wall)), ratio(median(q8.cpu), median(f16.cpu)),
                          ratio(median(q8.encoder), median(f16.encoder)), ratio(median(q8.decoder), median(f16.decoder)),
                          ratio(static_cast<double>(q8.peakKiB), static_cast<double>(f16.peakKiB))});
    table.notes.push_back(
        "Both models have large-v3-turbo's real shape (51866 tokens, 128 mel bands, state 1280, 20 heads, 32 "
        "encoder and 4 decoder layers, 1500 audio and 448 text positions) and the same random weights, written by "
        "the benchmark (" + fixedText(writeSeconds, 0) + " s for both): the f16 one laid out as the published file, "
        "the q8_0 one as whisper.cpp's quantizer makes it of that (two-dimensional weight matrices in Q8_0 blocks, "
        "the convolutions in f16). The audio: 30 s of the speech-like conversation of the other benchmarks, 16 kHz "
        "mono 16-bit WAV. Each run is the real whisper-cli with the app's own arguments (`-l ru -t " +
        std::to_string(threads) + " -oj --suppress-nst`, but without `-np`, so that it prints its timings), no "
        "voice-activity detection, and `-d 30000 -nt -nf` "
        "so that it is one encoder pass (" + std::to_string(std::max(f16.encoderPasses, q8.encoderPasses)) +
        " counted by whisper-cli) and one beam-search decode (5 beams) of at most 224 tokens (" +
        std::to_string(f16.decoderSteps) + " and " + std::to_string(q8.decoderSteps) +
        " decoder runs): random weights would otherwise retry the window at higher temperatures and step through it "
        "by made-up timestamps. Medians of " +
        std::to_string(runs) + " runs, the two models taking turns. Wall and CPU time are the whole process's, "
        "model loading included; \"Encoder pass\" and \"Decoding\" are whisper-cli's own timings; peak RSS is "
        "getrusage's ru_maxrss of whisper-cli (the benchmark's own peak, " +
        mebibytes(static_cast<double>(ownPeakKiB)) + ", is below it). What random weights recognise is "
        "nonsense, so accuracy is not measured here; the published accuracy of the quantised model in Russian is "
        "the same as the full one's.");
    return table;
}

} // namespace zorvel::bench
