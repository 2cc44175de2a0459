#include "app/SingleInstance.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QProcessEnvironment>

namespace zorvel {

namespace {

// Long enough for an instance that is busy starting a recording, short enough for a launcher.
constexpr int activationTimeoutMs = 10000;

} // namespace

SingleInstance::SingleInstance(QDBusConnection bus, QString name) : m_bus(std::move(bus)), m_name(std::move(name)) {}

SingleInstance::Claim SingleInstance::claim() {
    if (!m_bus.isConnected() || !m_bus.interface())
        return Claim::primary;
    // The object is there before the name, so a caller that sees the name also finds the object.
    if (!m_bus.registerObject(objectPath, this, QDBusConnection::ExportAllSlots))
        return Claim::primary;
    // The owner may end between a failed request and the call; then the name is free again.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const auto reply = m_bus.interface()->registerService(m_name, QDBusConnectionInterface::DontQueueService,
                                                              QDBusConnectionInterface::DontAllowReplacement);
        if (!reply.isValid())
            return Claim::primary;
        if (reply.value() == QDBusConnectionInterface::ServiceRegistered)
            return Claim::primary;

        QVariantMap platformData;
        const auto environment = QProcessEnvironment::systemEnvironment();
        if (environment.contains("DESKTOP_STARTUP_ID"))
            platformData.insert("desktop-startup-id", environment.value("DESKTOP_STARTUP_ID"));
        if (environment.contains("XDG_ACTIVATION_TOKEN"))
            platformData.insert("activation-token", environment.value("XDG_ACTIVATION_TOKEN"));
        QDBusMessage call = QDBusMessage::createMethodCall(m_name, objectPath, "org.freedesktop.Application", "Activate");
        call << platformData;
        const QDBusMessage answer = m_bus.call(call, QDBus::Block, activationTimeoutMs);
        if (answer.type() == QDBusMessage::ReplyMessage)
            return Claim::toldRunning;
        if (answer.errorName() != "org.freedesktop.DBus.Error.ServiceUnknown" &&
            answer.errorName() != "org.freedesktop.DBus.Error.NameHasNoOwner")
            return Claim::runningButSilent;
    }
    return Claim::runningButSilent;
}

void SingleInstance::Activate(const QVariantMap&) { emit activated(); }

void SingleInstance::Open(const QStringList&, const QVariantMap&) { emit activated(); }

void SingleInstance::ActivateAction(const QString&, const QVariantList&, const QVariantMap&) { emit activated(); }

} // namespace zorvel
