#pragma once

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <functional>

namespace zorvel::test {

// The recorders do their device-change work on the main thread through the Qt event loop; tests
// keep one application object and turn the loop explicitly.
inline void ensureApplication() {
    static int argc = 1;
    static char name[] = "zorvel-tests";
    static char* argv[] = {name, nullptr};
    if (QCoreApplication::instance() == nullptr)
        new QCoreApplication(argc, argv);
}

inline void runEventLoop(std::chrono::milliseconds duration) {
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec();
}

// Turns the loop until everything posted to the main thread before the call has been handled:
// a marker posted now runs after all of it. Returns false if that took longer than 10 s.
inline bool drainEventLoop() {
    bool handled = false;
    QMetaObject::invokeMethod(QCoreApplication::instance(), [&handled] { handled = true; }, Qt::QueuedConnection);
    QEventLoop loop;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!handled && std::chrono::steady_clock::now() < deadline)
        loop.processEvents(QEventLoop::WaitForMoreEvents, 5);
    return handled;
}

// Turns the loop until `done` holds or `timeout` passed; returns whether it holds.
inline bool runEventLoopUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        runEventLoop(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace zorvel::test
