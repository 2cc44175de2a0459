#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

namespace zorvel::test {

// One accepted connection, as seen by a responder.
class HttpConnection {
public:
    HttpConnection(int fd, const std::atomic<bool>& stopping) : m_fd(fd), m_stopping(&stopping) {}

    // False once the client has gone or the server is stopping.
    bool send(std::string_view bytes);
    bool sendChunk(std::string_view bytes);
    // Waits until the client has closed the connection (true), or the server stops or `timeout`
    // passes (false). Whatever else the client sends meanwhile is read and dropped.
    bool waitForClose(std::chrono::milliseconds timeout);

private:
    bool stopping() const { return m_stopping->load(); }

    int m_fd;
    const std::atomic<bool>* m_stopping; // the server's, which outlives every connection
};

// A minimal HTTP/1.1 server on 127.0.0.1, serving from its own thread one connection at a time.
// The responder writes the whole response, status line included; the connection is closed when it
// returns, so a responder that stops early drops the connection in mid-body.
class LoopbackHttpServer {
public:
    using Responder = std::function<void(HttpConnection& connection, const std::string& path, int requestNumber)>;

    explicit LoopbackHttpServer(Responder responder);
    ~LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    std::string url(const std::string& path) const;
    int requestCount() const { return m_requests.load(); }

private:
    void serve();

    Responder m_responder;
    int m_listener = -1;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_requests{0};
    std::thread m_thread;
};

} // namespace zorvel::test
