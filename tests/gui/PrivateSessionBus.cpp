#include "PrivateSessionBus.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QElapsedTimer>
#include <atomic>

namespace zorvel::test {

PrivateSessionBus::PrivateSessionBus() { std::filesystem::create_directories(m_folder / "services"); }

PrivateSessionBus::~PrivateSessionBus() {
    if (m_connection)
        QDBusConnection::disconnectFromBus(m_connectionName);
    if (m_daemon.state() != QProcess::NotRunning) {
        m_daemon.kill();
        m_daemon.waitForFinished(3000);
    }
}

void PrivateSessionBus::addService(const QString& name, const std::filesystem::path& executable,
                                   const QString& arguments) {
    writeText(m_folder / "services" / (name.toStdString() + ".service"),
              "[D-BUS Service]\nName=" + name.toStdString() + "\nExec=" + executable.string() +
                  (arguments.isEmpty() ? "" : " " + arguments.toStdString()) + "\n");
}

bool PrivateSessionBus::start() {
    const auto config = m_folder / "bus.conf";
    writeText(config, "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                      " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                      "<busconfig>\n"
                      "  <type>session</type>\n"
                      "  <keep_umask/>\n"
                      "  <listen>unix:tmpdir=/tmp</listen>\n"
                      "  <servicedir>" +
                          (m_folder / "services").string() +
                          "</servicedir>\n"
                          "  <policy context=\"default\">\n"
                          "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                          "    <allow eavesdrop=\"true\"/>\n"
                          "    <allow own=\"*\"/>\n"
                          "  </policy>\n"
                          "</busconfig>\n");
    m_daemon.start("/usr/bin/dbus-daemon",
                   {"--config-file=" + QString::fromStdString(config.string()), "--nofork", "--nopidfile",
                    "--print-address=1"});
    if (!m_daemon.waitForReadyRead(5000))
        return false;
    m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
    static std::atomic<int> counter{0};
    m_connectionName = "test-bus-" + QString::number(counter++);
    m_connection = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(m_address, m_connectionName));
    return m_connection->isConnected();
}

bool PrivateSessionBus::hasOwner(const QString& name) {
    return m_connection->interface()->isServiceRegistered(name).value();
}

std::vector<ReceivedNotification> receivedNotifications(QDBusConnection& bus) {
    const QDBusReply<QStringList> reply = bus.call(QDBusMessage::createMethodCall(
        "org.freedesktop.Notifications", "/Test", "org.zorvel.test.NotificationDaemon", "Received"));
    std::vector<ReceivedNotification> received;
    if (!reply.isValid())
        return received;
    for (const QString& record : reply.value()) {
        const QStringList fields = record.split(QChar(0x1f));
        if (fields.size() == 7)
            received.push_back({fields[0], fields[2], fields[3], fields[4], fields[5], fields[6]});
    }
    return received;
}

bool clickNotification(QDBusConnection& bus, uint id, const QString& actionKey) {
    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.Notifications", "/Test",
                                                       "org.zorvel.test.NotificationDaemon", "Click");
    call << id << actionKey;
    return bus.call(call).type() == QDBusMessage::ReplyMessage;
}

bool waitUntil(const std::function<bool()>& done, int milliseconds) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < milliseconds)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    return done();
}

} // namespace zorvel::test
