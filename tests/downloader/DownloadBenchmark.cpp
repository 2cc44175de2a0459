// Downloads a generated file of the given size from a server on loopback and prints the throughput
// and the peak resident memory of the process, which must not grow with the size of the file.
//
//   downloader_benchmark <MiB> [parent folder]
//
// The model is stored in a new folder inside the parent (default /tmp), removed afterwards.

#include "LoopbackHttpServer.h"
#include "model/ModelDownloader.h"
#include "model/ModelPaths.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/resource.h>

namespace {

long peakResidentKiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss; // NOLINT(cppcoreguidelines-pro-type-union-access): glibc declares it in a union
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <MiB> [parent folder]\n", argv[0]);
        return 2;
    }
    const std::uint64_t mebibytes = std::stoull(argv[1]);
    std::string folderTemplate = std::string(argc > 2 ? argv[2] : "/tmp") + "/zorvel-download-benchmark-XXXXXX";
    if (!::mkdtemp(folderTemplate.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::filesystem::path folder = folderTemplate;
    ::setenv("XDG_DATA_HOME", folder.c_str(), 1);

    QCoreApplication application(argc, argv);
    const std::uint64_t size = mebibytes * 1024 * 1024;
    // A body that starts like a model, verified by its SHA-1 as the download from the model hub is.
    std::string first(std::size_t{1024} * 1024, 'z');
    first.replace(0, 4, "lmgg");
    const std::string block(std::size_t{1024} * 1024, 'z');
    QCryptographicHash hash(QCryptographicHash::Sha1);
    for (std::uint64_t sent = 0; sent < size; sent += block.size())
        hash.addData(sent == 0 ? first : block);
    zorvel::test::LoopbackHttpServer server(
        [&](zorvel::test::HttpConnection& connection, const std::string& path, int) {
            if (path == "/vad.bin") {
                connection.send("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
                return;
            }
            connection.send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n");
            for (std::uint64_t sent = 0; sent < size && connection.send(sent == 0 ? first : block);
                 sent += block.size()) {
            }
        });

    zorvel::ModelDownloader downloader;
    downloader.setSourceURL(QUrl(QString::fromStdString(server.url("/model.bin"))),
                            hash.result().toHex().toStdString());
    downloader.setVoiceActivitySourceURL(QUrl(QString::fromStdString(server.url("/vad.bin"))));
    int status = 0;
    QElapsedTimer clock;
    downloader.onFinish = [&](const zorvel::Result<void>& outcome) {
        const double seconds = static_cast<double>(clock.elapsed()) / 1000.0;
        std::error_code ignored;
        const auto stored = std::filesystem::file_size(zorvel::Paths::modelURL(), ignored);
        if (!outcome || stored != size) {
            std::fprintf(stderr, "failed: %s (stored %ju bytes)\n",
                         outcome ? "size" : outcome.error().description().c_str(),
                         static_cast<std::uintmax_t>(stored));
            status = 1;
        } else {
            std::printf("%ju MiB in %.2f s: %.0f MB/s, peak RSS %ld KiB\n", static_cast<std::uintmax_t>(mebibytes),
                        seconds, static_cast<double>(size) / 1e6 / seconds, peakResidentKiB());
        }
        QCoreApplication::quit();
    };
    std::printf("before the download: peak RSS %ld KiB\n", peakResidentKiB());
    clock.start();
    downloader.start();
    QCoreApplication::exec();
    std::filesystem::remove_all(folder);
    return status;
}
