#include "app/DesktopServices.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QMessageBox>

namespace zorvel {

QIcon iconFor(IconLook look) {
    switch (look) {
    case IconLook::idle:
        return QIcon(":/icons/idle.svg");
    case IconLook::recording:
        return QIcon(":/icons/recording.svg");
    case IconLook::warning:
        return QIcon(":/icons/warning.svg");
    }
    return {};
}

TrayStatusIcon::TrayStatusIcon() {
    m_tray.setIcon(iconFor(IconLook::idle));
    updateToolTip();
    m_tray.show();
}

void TrayStatusIcon::setLook(IconLook look, const QString& accessibilityText) {
    m_tray.setIcon(iconFor(look));
    m_accessibilityText = accessibilityText;
    updateToolTip();
}

void TrayStatusIcon::setTitle(const QString& title) {
    m_title = title.trimmed();
    updateToolTip();
}

void TrayStatusIcon::attachMenu(QMenu* menu) { m_tray.setContextMenu(menu); }

void TrayStatusIcon::updateToolTip() {
    QString tip = "Zorvel";
    if (m_accessibilityText != "Zorvel")
        tip += " — " + m_accessibilityText;
    if (!m_title.isEmpty())
        tip += " — " + m_title;
    m_tray.setToolTip(tip);
}

void MessageBoxAlerts::show(AlertStyle style, const QString& message, const QString& informativeText) {
    QMessageBox box(style == AlertStyle::warning ? QMessageBox::Warning : QMessageBox::Information, "Zorvel", message,
                    QMessageBox::Ok);
    box.setInformativeText(informativeText);
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    box.activateWindow();
    box.raise();
    box.exec();
}

void DBusNotifier::notify(const QString& title, const QString& body) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QString service = "org.freedesktop.Notifications";
    if (!bus.isConnected() || !bus.interface() || !bus.interface()->isServiceRegistered(service).value()) {
        QApplication::beep();
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(service, "/org/freedesktop/Notifications", service, "Notify");
    call << QString("Zorvel") << 0U << QString("zorvel") << title << body << QStringList() << QVariantMap()
         << static_cast<qint32>(-1);
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [](QDBusPendingCallWatcher* finished) {
        if (finished->isError())
            QApplication::beep();
        finished->deleteLater();
    });
}

void DesktopOpener::open(const QUrl& url) { QDesktopServices::openUrl(url); }

} // namespace zorvel
