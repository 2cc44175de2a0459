#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QVariantList>
#include <QVariantMap>

namespace zorvel {

// One tray application per session. The first start owns a well-known name on the session bus
// and serves org.freedesktop.Application there; a later start finds the name taken, calls
// Activate on its owner and ends. Without a session bus every start runs on its own.
//
// Threads: main thread only; Activate arrives through its event loop.
class SingleInstance : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")

public:
    static constexpr const char* serviceName = "org.zorvel.Zorvel";
    static constexpr const char* objectPath = "/org/zorvel/Zorvel";

    enum class Claim {
        // This process is the one instance (or there is no bus to ask).
        primary,
        // Another instance runs and has been told.
        toldRunning,
        // Another instance owns the name but did not answer.
        runningButSilent,
    };

    explicit SingleInstance(QDBusConnection bus = QDBusConnection::sessionBus(), QString name = serviceName);

    Claim claim();

signals:
    // Another start asked this instance to show itself.
    void activated();

public slots:
    // org.freedesktop.Application; the platform data (startup ids) is not needed for a tray item.
    void Activate(const QVariantMap& platformData);
    void Open(const QStringList& uris, const QVariantMap& platformData);
    void ActivateAction(const QString& actionName, const QVariantList& parameter, const QVariantMap& platformData);

private:
    QDBusConnection m_bus;
    QString m_name;
};

} // namespace zorvel
