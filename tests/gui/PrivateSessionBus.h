#pragma once

#include "TestEnvironment.h"

#include <QDBusConnection>
#include <QProcess>
#include <QString>
#include <filesystem>
#include <memory>

namespace zorvel::test {

// A session bus of the test's own, with a services folder of its own, so that a name is started
// on demand (D-Bus activation) exactly when the test has put a service file for it there.
class PrivateSessionBus {
public:
    PrivateSessionBus();
    ~PrivateSessionBus();
    PrivateSessionBus(const PrivateSessionBus&) = delete;
    PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

    // Lets the bus start `executable` with `arguments` when a client calls `name`.
    void addService(const QString& name, const std::filesystem::path& executable, const QString& arguments = {});
    // Starts the bus and connects the test to it; false when it does not come up.
    bool start();

    const QString& address() const { return m_address; }
    QDBusConnection& connection() { return *m_connection; }
    bool hasOwner(const QString& name);

private:
    TemporaryFolder m_folder{"bus"};
    QProcess m_daemon;
    QString m_address;
    QString m_connectionName;
    std::unique_ptr<QDBusConnection> m_connection;
};

// The notification daemon double, as the test sees it over the bus.
struct ReceivedNotification {
    QString appName, appIcon, summary, body, actions, desktopEntry;
};
std::vector<ReceivedNotification> receivedNotifications(QDBusConnection& bus);
bool clickNotification(QDBusConnection& bus, uint id, const QString& actionKey = "default");

// Turns the event loop until `done` or until `milliseconds` have passed.
bool waitUntil(const std::function<bool()>& done, int milliseconds);

} // namespace zorvel::test
