// A test double of a desktop notification daemon, for a private session bus that starts it on
// demand (D-Bus activation), as desktops start theirs.
//
// Contract kept from org.freedesktop.Notifications, version 1.2 of the desktop notifications
// interface: Notify returns a new id greater than 0; GetCapabilities lists "body" and, unless
// started with --no-actions, "actions"; ActionInvoked(id, key) is the signal a click sends.
//
// For the test it also serves org.zorvel.test.NotificationDaemon on /Test:
//   Received() -> as      every Notify so far, fields joined by \x1f: app_name, replaces_id,
//                         app_icon, summary, body, actions (joined by ','), hint "desktop-entry"
//   Click(u id, s key)    emits ActionInvoked(id, key), as a click on the notification would

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>
#include <cstdio>

namespace {

class Daemon : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    explicit Daemon(bool withActions) : m_withActions(withActions) {}
    QStringList received;

public slots:
    uint Notify(const QString& appName, uint replacesId, const QString& appIcon, const QString& summary,
                const QString& body, const QStringList& actions, const QVariantMap& hints, int) {
        received << QStringList{appName,  QString::number(replacesId), appIcon, summary, body, actions.join(','),
                                hints.value("desktop-entry").toString()}
                        .join(QChar(0x1f));
        return static_cast<uint>(received.size());
    }
    QStringList GetCapabilities() {
        return m_withActions ? QStringList{"body", "actions"} : QStringList{"body"};
    }
    void CloseNotification(uint) {}
    QString GetServerInformation(QString& vendor, QString& version, QString& specVersion) {
        vendor = "Zorvel tests";
        version = "1";
        specVersion = "1.2";
        return "notification-daemon-double";
    }

signals:
    void ActionInvoked(uint id, const QString& actionKey);
    void NotificationClosed(uint id, uint reason);

private:
    bool m_withActions;
};

class Control : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.zorvel.test.NotificationDaemon")

public:
    explicit Control(Daemon& daemon) : m_daemon(daemon) {}

public slots:
    QStringList Received() { return m_daemon.received; }
    void Click(uint id, const QString& actionKey) {
        emit m_daemon.ActionInvoked(id, actionKey);
        emit m_daemon.NotificationClosed(id, 2);
    }

private:
    Daemon& m_daemon;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const bool withActions = !app.arguments().contains("--no-actions");
    // Started by the bus, which says in DBUS_STARTER_ADDRESS where it listens.
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::ActivationBus, "starter");
    Daemon daemon(withActions);
    Control control(daemon);
    if (!bus.registerObject("/org/freedesktop/Notifications", &daemon,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals) ||
        !bus.registerObject("/Test", &control, QDBusConnection::ExportAllSlots) ||
        !bus.registerService("org.freedesktop.Notifications")) {
        std::fprintf(stderr, "notification-daemon-double: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    // Ends with its bus: a test's private bus goes away with the test.
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &app, [&bus] {
        if (!bus.isConnected())
            QCoreApplication::quit();
    });
    watch.start(200);
    return QCoreApplication::exec();
}

#include "NotificationDaemonDouble.moc"
