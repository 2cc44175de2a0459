#pragma once

#include "app/AppServices.h"

#include <QIcon>
#include <QSystemTrayIcon>
#include <memory>

// The real desktop behind the controller's seams: the tray icon, message boxes, notifications over
// D-Bus and the desktop's opener.

namespace zorvel {

// The tray item. It is square, with no room for text: the recording clock goes into the tooltip
// ("Zorvel — Идёт запись — 0:05").
class TrayStatusIcon final : public StatusIcon {
public:
    TrayStatusIcon();
    void setLook(IconLook look, const QString& accessibilityText) override;
    void setTitle(const QString& title) override;
    void attachMenu(QMenu* menu) override;

    QSystemTrayIcon& trayIcon() { return m_tray; }

private:
    void updateToolTip();

    QSystemTrayIcon m_tray;
    QString m_accessibilityText = "Zorvel";
    QString m_title;
};

class MessageBoxAlerts final : public Alerts {
public:
    void show(AlertStyle style, const QString& message, const QString& informativeText) override;
};

// org.freedesktop.Notifications on the session bus; the system beep where there is no such
// service or the request fails.
class DBusNotifier final : public Notifier {
public:
    void notify(const QString& title, const QString& body) override;
};

class DesktopOpener final : public Opener {
public:
    void open(const QUrl& url) override;
};

QIcon iconFor(IconLook look);

} // namespace zorvel
