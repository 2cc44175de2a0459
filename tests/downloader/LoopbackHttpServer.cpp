#include "LoopbackHttpServer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace zorvel::test {

namespace {

// The request line's path; the headers are read and ignored.
std::string readRequestPath(int fd) {
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            return {};
        request.append(buffer, static_cast<std::size_t>(got));
    }
    const auto start = request.find(' ');
    const auto end = request.find(' ', start + 1);
    if (start == std::string::npos || end == std::string::npos)
        return {};
    return request.substr(start + 1, end - start - 1);
}

} // namespace

bool HttpConnection::send(std::string_view bytes) {
    while (!bytes.empty()) {
        if (stopping())
            return false;
        // MSG_NOSIGNAL: a client that went away must not kill the test with SIGPIPE.
        const ssize_t sent = ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

bool HttpConnection::sendChunk(std::string_view bytes) {
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", bytes.size());
    return send(size) && send(bytes) && send("\r\n");
}

bool HttpConnection::waitForClose(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!stopping()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        // Short polls, so that a stopping server is noticed.
        pollfd watched{m_fd, POLLIN | POLLRDHUP, 0};
        const int ready = ::poll(&watched, 1, static_cast<int>(std::min<std::int64_t>(left.count(), 50)));
        if (ready < 0 && errno != EINTR)
            return false;
        if (ready <= 0)
            continue;
        if ((watched.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0)
            return true;
        char buffer[4096];
        const ssize_t got = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (got == 0)
            return true;
        if (got < 0 && errno != EINTR)
            return true;
    }
    return false;
}

LoopbackHttpServer::LoopbackHttpServer(Responder responder)
    : m_responder(std::move(responder)), m_listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listener, 8) != 0 || ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("loopback server: cannot listen");
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { serve(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
    m_stopping = true;
    // Wakes the thread from accept().
    ::shutdown(m_listener, SHUT_RDWR);
    m_thread.join();
    ::close(m_listener);
}

std::string LoopbackHttpServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

void LoopbackHttpServer::serve() {
    while (!m_stopping) {
        const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        const std::string path = readRequestPath(fd);
        if (!path.empty()) {
            HttpConnection connection(fd, m_stopping);
            m_responder(connection, path, ++m_requests);
        }
        ::close(fd);
    }
}

} // namespace zorvel::test
