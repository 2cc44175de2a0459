#include "LoopbackHttpServer.h"
#include "support/Files.h"
#include "support/ModelDownloader.h"
#include "support/Paths.h"
#include "support/TestEnvironment.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace zorvel {
namespace {

using namespace std::chrono_literals;
using test::HttpConnection;
using test::LoopbackHttpServer;

// The downloader needs a running Qt event loop on the test's own thread.
class QtApplication : public testing::Environment {
public:
    void SetUp() override { m_application = std::make_unique<QCoreApplication>(m_argc, m_argv.data()); }
    void TearDown() override { m_application.reset(); }

private:
    int m_argc = 1;
    char m_name[16] = "downloader";
    std::array<char*, 2> m_argv{m_name, nullptr};
    std::unique_ptr<QCoreApplication> m_application;
};
[[maybe_unused]] const auto* const qtApplication = testing::AddGlobalTestEnvironment(new QtApplication);

// Bytes that differ from offset to offset, so a lost or repeated piece shows.
std::string patternBody(std::size_t size) {
    std::string body(size, '\0');
    std::uint32_t state = 12345;
    for (auto& byte : body) {
        state = state * 1664525U + 1013904223U;
        byte = static_cast<char>(state >> 24);
    }
    return body;
}

std::string folderListing() {
    const auto folder = Paths::modelURL().parent_path();
    std::string names;
    if (!std::filesystem::exists(folder))
        return names;
    for (const auto& name : test::listFolder(folder))
        names += name + " ";
    return names;
}

// What one download reported.
struct Outcome {
    int finishes = 0;
    std::optional<Error> error;
    std::vector<double> progress;
    bool offMainThread = false;
    bool succeeded() const { return finishes == 1 && !error; }
    std::string errorText() const { return error ? error->description() : std::string("(no error)"); }
};

class ModelDownloaderTest : public testing::Test {
protected:
    void SetUp() override {
        // Every test starts without the models folder or any of its parents.
        std::filesystem::remove_all(Paths::applicationSupportDirectory());
    }

    // Wires the callbacks into `outcome`; a separate step so a test can add its own.
    static void observe(ModelDownloader& downloader, Outcome& outcome) {
        const auto check = [&outcome] {
            if (QThread::currentThread() != QCoreApplication::instance()->thread())
                outcome.offMainThread = true;
        };
        downloader.onProgress = [&outcome, check](double fraction) {
            check();
            outcome.progress.push_back(fraction);
        };
        downloader.onFinish = [&outcome, check](std::optional<Error> error) {
            check();
            ++outcome.finishes;
            outcome.error = std::move(error);
        };
    }

    // Runs the event loop until the download has finished, and a little longer so that a second
    // report would be seen.
    static void waitForFinish(const Outcome& outcome, std::chrono::milliseconds limit = 30s) {
        QElapsedTimer clock;
        clock.start();
        while (outcome.finishes == 0 && clock.elapsed() < limit.count())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        QElapsedTimer after;
        after.start();
        while (after.elapsed() < 200)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }

    static Outcome download(const std::string& url, std::chrono::milliseconds timeLimit = 1h,
                            std::chrono::milliseconds stallLimit = 60s) {
        ModelDownloader downloader;
        downloader.setSourceURL(QUrl(QString::fromStdString(url)));
        downloader.setTimeLimit(timeLimit);
        downloader.setStallLimit(stallLimit);
        Outcome outcome;
        observe(downloader, outcome);
        downloader.start();
        EXPECT_TRUE(downloader.isDownloading());
        EXPECT_EQ(outcome.finishes, 0) << "reported from inside start()";
        waitForFinish(outcome);
        EXPECT_FALSE(downloader.isDownloading());
        EXPECT_FALSE(outcome.offMainThread);
        return outcome;
    }

    static void writeOldModel() {
        std::filesystem::create_directories(Paths::modelURL().parent_path());
        test::writeText(Paths::modelURL(), "old model");
    }
};

TEST_F(ModelDownloaderTest, KnownSizeFollowsRedirectReportsRisingProgressAndStoresByteForByte) {
    const std::string body = patternBody(4 * 1024 * 1024 + 17);
    LoopbackHttpServer server([&](HttpConnection& connection, const std::string& path, int) {
        if (path == "/resolve/model.bin") {
            connection.send("HTTP/1.1 302 Found\r\nLocation: /cdn/model.bin\r\nContent-Length: 0\r\n"
                            "Connection: close\r\n\r\n");
            return;
        }
        const std::string response = test::fixedResponse("200 OK", body);
        const std::string_view head(response.data(), response.size() - body.size());
        connection.send(head);
        // Slow enough for the throttled progress to fire several times.
        for (std::size_t offset = 0; offset < body.size(); offset += 64 * 1024) {
            if (!connection.send(std::string_view(body).substr(offset, 64 * 1024)))
                return;
            std::this_thread::sleep_for(8ms);
        }
    });

    const Outcome outcome = download(server.url("/resolve/model.bin"));

    ASSERT_TRUE(outcome.succeeded()) << outcome.errorText() << ", finishes " << outcome.finishes;
    EXPECT_EQ(readWholeFile(Paths::modelURL()).value_or(""), body);
    EXPECT_EQ(folderListing(), "ggml-large-v3-turbo.bin ");
    ASSERT_GE(outcome.progress.size(), 2U);
    for (std::size_t i = 1; i < outcome.progress.size(); ++i)
        EXPECT_LE(outcome.progress[i - 1], outcome.progress[i]) << "at " << i;
    EXPECT_GT(outcome.progress.front(), 0.0);
    EXPECT_LE(outcome.progress.back(), 1.0);
}

TEST_F(ModelDownloaderTest, UnknownSizeGivesNoProgressAndReplacesTheOldModel) {
    writeOldModel();
    const std::string body = patternBody(1024 * 1024 + 3);
    LoopbackHttpServer server([&](HttpConnection& connection, const std::string&, int) {
        connection.send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n");
        for (std::size_t offset = 0; offset < body.size(); offset += 100'000) {
            connection.sendChunk(std::string_view(body).substr(offset, 100'000));
            std::this_thread::sleep_for(5ms);
        }
        connection.send("0\r\n\r\n");
    });

    const Outcome outcome = download(server.url("/model.bin"));

    ASSERT_TRUE(outcome.succeeded()) << outcome.errorText() << ", finishes " << outcome.finishes;
    EXPECT_TRUE(outcome.progress.empty()) << outcome.progress.size() << " progress reports";
    EXPECT_EQ(readWholeFile(Paths::modelURL()).value_or(""), body);
    EXPECT_EQ(folderListing(), "ggml-large-v3-turbo.bin ");
}

TEST_F(ModelDownloaderTest, ErrorStatusIsReportedWithItsNumberAndNothingIsStored) {
    const std::pair<const char*, const char*> statuses[] = {
        {"404 Not Found", "HTTP 404 (Not Found)"},
        {"403 Forbidden", "HTTP 403 (Forbidden)"},
        {"503 Service Unavailable", "HTTP 503 (Service Unavailable)"},
    };
    for (const auto& [status, named] : statuses) {
        for (const bool hadModel : {true, false}) {
            SCOPED_TRACE(std::string(status) + (hadModel ? ", old model present" : ", no model"));
            std::filesystem::remove_all(Paths::applicationSupportDirectory());
            if (hadModel)
                writeOldModel();
            LoopbackHttpServer server([&](HttpConnection& connection, const std::string&, int) {
                connection.send(test::fixedResponse(status, "<html><body>" + std::string(20000, 'x') + "</body></html>"));
            });

            const Outcome outcome = download(server.url("/model.bin"));

            EXPECT_EQ(outcome.finishes, 1);
            ASSERT_TRUE(outcome.error);
            EXPECT_NE(outcome.errorText().find("Не удалось скачать модель"), std::string::npos) << outcome.errorText();
            EXPECT_NE(outcome.errorText().find(named), std::string::npos) << outcome.errorText();
            EXPECT_TRUE(outcome.progress.empty());
            if (hadModel) {
                EXPECT_EQ(test::readText(Paths::modelURL()), "old model");
                EXPECT_EQ(folderListing(), "ggml-large-v3-turbo.bin ");
            } else {
                EXPECT_FALSE(std::filesystem::exists(Paths::modelURL()));
                EXPECT_EQ(folderListing(), "");
            }
        }
    }
}

TEST_F(ModelDownloaderTest, ConnectionDroppedMidBodyLeavesNoPartialFileAndTheOldModel) {
    const std::string body = patternBody(2 * 1024 * 1024);
    const std::string_view half = std::string_view(body).substr(0, body.size() / 2);
    // Qt 6.4 reports the first as a success with a short body, and does not notice the end of the
    // second at all: the length check and the stall limit have to catch them.
    const std::pair<const char*, LoopbackHttpServer::Responder> cases[] = {
        {"with Content-Length",
         [&](HttpConnection& connection, const std::string&, int) {
             connection.send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n");
             connection.send(half);
         }},
        {"chunked, no last chunk",
         [&](HttpConnection& connection, const std::string&, int) {
             connection.send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
             connection.sendChunk(half);
         }},
    };
    for (const auto& [name, responder] : cases) {
        SCOPED_TRACE(name);
        std::filesystem::remove_all(Paths::applicationSupportDirectory());
        writeOldModel();
        LoopbackHttpServer server(responder);

        const Outcome outcome = download(server.url("/model.bin"), 1h, 2s);

        EXPECT_EQ(outcome.finishes, 1);
        EXPECT_TRUE(outcome.error);
        EXPECT_EQ(test::readText(Paths::modelURL()), "old model");
        EXPECT_EQ(folderListing(), "ggml-large-v3-turbo.bin ");
    }
}

TEST_F(ModelDownloaderTest, UnreachableServerIsAnErrorAndStoresNothing) {
    std::string url;
    {
        // A port that was just free: nothing listens there any more.
        LoopbackHttpServer closed([](HttpConnection&, const std::string&, int) {});
        url = closed.url("/model.bin");
    }
    const Outcome outcome = download(url);
    EXPECT_EQ(outcome.finishes, 1);
    ASSERT_TRUE(outcome.error);
    EXPECT_NE(outcome.errorText().find("Не удалось скачать модель: "), std::string::npos) << outcome.errorText();
    EXPECT_FALSE(std::filesystem::exists(Paths::modelURL().parent_path()));
}

TEST_F(ModelDownloaderTest, WholeDownloadTimeLimitEndsASlowDownload) {
    writeOldModel();
    LoopbackHttpServer server([](HttpConnection& connection, const std::string&, int) {
        connection.send("HTTP/1.1 200 OK\r\nContent-Length: 100000000\r\n\r\n");
        // Steady data, so only the limit on the whole download can end it.
        while (connection.send(std::string(1000, 'm')))
            std::this_thread::sleep_for(10ms);
    });

    QElapsedTimer clock;
    clock.start();
    const Outcome outcome = download(server.url("/model.bin"), 700ms);

    EXPECT_EQ(outcome.finishes, 1);
    ASSERT_TRUE(outcome.error);
    EXPECT_NE(outcome.errorText().find("не завершилась"), std::string::npos) << outcome.errorText();
    EXPECT_GE(clock.elapsed(), 700);
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_FALSE(outcome.progress.empty()) << "the body did arrive";
    EXPECT_EQ(test::readText(Paths::modelURL()), "old model");
    EXPECT_EQ(folderListing(), "ggml-large-v3-turbo.bin ");
}

TEST_F(ModelDownloaderTest, SilentServerIsGivenUpAfterTheStallLimit) {
    LoopbackHttpServer server([](HttpConnection& connection, const std::string&, int) {
        connection.send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(1000, 'm'));
        while (!connection.stopping())
            std::this_thread::sleep_for(10ms);
    });
    ModelDownloader downloader;
    downloader.setSourceURL(QUrl(QString::fromStdString(server.url("/model.bin"))));
    downloader.setStallLimit(1s);
    Outcome outcome;
    observe(downloader, outcome);
    downloader.start();
    waitForFinish(outcome, 10s);

    EXPECT_EQ(outcome.finishes, 1);
    ASSERT_TRUE(outcome.error);
    EXPECT_NE(outcome.errorText().find("не присылал данных 1 с"), std::string::npos) << outcome.errorText();
    EXPECT_EQ(folderListing(), "");
}

TEST_F(ModelDownloaderTest, StartDuringADownloadChangesNothing) {
    const std::string body = patternBody(1024 * 1024);
    LoopbackHttpServer server([&](HttpConnection& connection, const std::string&, int) {
        connection.send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n");
        for (std::size_t offset = 0; offset < body.size(); offset += 32 * 1024) {
            connection.send(std::string_view(body).substr(offset, 32 * 1024));
            std::this_thread::sleep_for(10ms);
        }
    });
    ModelDownloader downloader;
    downloader.setSourceURL(QUrl(QString::fromStdString(server.url("/model.bin"))));
    Outcome outcome;
    observe(downloader, outcome);
    downloader.onProgress = [&](double fraction) {
        outcome.progress.push_back(fraction);
        downloader.start();
    };
    downloader.start();
    downloader.start();
    waitForFinish(outcome);

    EXPECT_TRUE(outcome.succeeded()) << outcome.errorText() << ", finishes " << outcome.finishes;
    EXPECT_FALSE(outcome.progress.empty());
    EXPECT_EQ(server.requestCount(), 1);
    EXPECT_EQ(readWholeFile(Paths::modelURL()).value_or(""), body);
}

TEST_F(ModelDownloaderTest, FreshDownloadAfterAFailureStartedFromTheFinishCallback) {
    writeOldModel();
    const std::string body = patternBody(300'000);
    LoopbackHttpServer server([&](HttpConnection& connection, const std::string&, int request) {
        connection.send(request == 1 ? test::fixedResponse("500 Internal Server Error", "broken")
                                     : test::fixedResponse("200 OK", body));
    });
    ModelDownloader downloader;
    downloader.setSourceURL(QUrl(QString::fromStdString(server.url("/model.bin"))));
    std::vector<std::string> outcomes;
    downloader.onFinish = [&](std::optional<Error> error) {
        outcomes.push_back(error ? error->description() : "stored");
        if (outcomes.size() == 1) {
            EXPECT_FALSE(downloader.isDownloading());
            EXPECT_EQ(test::readText(Paths::modelURL()), "old model");
            downloader.start();
        }
    };
    downloader.start();
    QElapsedTimer clock;
    clock.start();
    while (outcomes.size() < 2 && clock.elapsed() < 30000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);

    ASSERT_EQ(outcomes.size(), 2U);
    EXPECT_NE(outcomes[0].find("HTTP 500"), std::string::npos) << outcomes[0];
    EXPECT_EQ(outcomes[1], "stored");
    EXPECT_EQ(server.requestCount(), 2);
    EXPECT_EQ(readWholeFile(Paths::modelURL()).value_or(""), body);
    EXPECT_EQ(folderListing(), "ggml-large-v3-turbo.bin ");
}

TEST_F(ModelDownloaderTest, DroppingTheDownloaderMidDownloadRemovesThePartialFile) {
    LoopbackHttpServer server([](HttpConnection& connection, const std::string&, int) {
        connection.send("HTTP/1.1 200 OK\r\nContent-Length: 100000000\r\n\r\n");
        while (connection.send(std::string(10000, 'm')))
            std::this_thread::sleep_for(5ms);
    });
    int finishes = 0;
    {
        ModelDownloader downloader;
        downloader.setSourceURL(QUrl(QString::fromStdString(server.url("/model.bin"))));
        downloader.onFinish = [&](std::optional<Error>) { ++finishes; };
        bool receiving = false;
        downloader.onProgress = [&](double) { receiving = true; };
        downloader.start();
        QElapsedTimer clock;
        clock.start();
        while (!receiving && clock.elapsed() < 10000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        ASSERT_TRUE(receiving);
        ASSERT_NE(folderListing(), "") << "the body is being written";
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(finishes, 0);
    EXPECT_EQ(folderListing(), "");
}

} // namespace
} // namespace zorvel
