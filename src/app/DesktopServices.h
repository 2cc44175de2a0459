#pragma once

#include "app/AppServices.h"

#include <QDBusConnection>
#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>
#include <functional>
#include <map>

// The real desktop behind the controller's seams: the tray icon, message boxes, notifications over
// D-Bus and the desktop's opener.

namespace zorvel {

// The tray item. It is square, with no room for text: the recording clock and the progress of
// background work go into the tooltip, which the controller writes.
//
// Left-click opens the menu as the right button does: the panel's StatusNotifier host sends
// Activate for it (Qt always reports the item as one that can be activated), and an XEmbed tray a
// plain click. A middle click does nothing.
class TrayStatusIcon final : public QObject, public StatusIcon {
    Q_OBJECT

public:
    TrayStatusIcon();
    void setLook(IconLook look, const QString& accessibilityText) override;
    void setTitle(const QString& title) override;
    void setToolTip(const QString& toolTip) override;
    void attachMenu(QMenu* menu) override;

private:
    void activated(QSystemTrayIcon::ActivationReason reason);

    QSystemTrayIcon m_tray;
    IconLook m_look = IconLook::idle;
    QPointer<QMenu> m_menu;
};

// Modal message boxes of a readable width, with paths wrapped at their separators.
class MessageBoxAlerts final : public Alerts {
public:
    void show(AlertStyle style, const QString& message, const QString& informativeText) override;
};

// org.freedesktop.Notifications on the session bus. The call itself starts a notification service
// that the bus activates on demand; only when the call fails does the system beep stand in.
// Notifications with a target get a default action where the service supports actions, and the
// target opens when the user clicks the notification.
//
// Threads: main thread only; replies and signals arrive through its event loop.
class DBusNotifier final : public QObject, public Notifier {
    Q_OBJECT

public:
    explicit DBusNotifier(Opener& opener, QDBusConnection bus = QDBusConnection::sessionBus(),
                          std::function<void()> beep = nullptr);
    void notify(const QString& title, const QString& body, const QUrl& target = {}) override;

private slots:
    void actionInvoked(uint id, const QString& actionKey);

private:
    void send(const QString& title, const QString& body, const QUrl& target, bool withAction);

    Opener& m_opener;
    QDBusConnection m_bus;
    std::function<void()> m_beep;
    // What to open for each recent notification, by its id.
    std::map<uint, QUrl> m_targets;
};

class DesktopOpener final : public Opener {
public:
    void open(const QUrl& url) override;
};

QIcon iconFor(IconLook look);

// The application's own icon: "zorvel" from the icon theme, or the copy built into the program.
QIcon applicationIcon();

// Lets `text` wrap after each path separator, where a label would otherwise break a long path at
// any letter (a zero-width space after every '/').
QString wrappableAtSeparators(const QString& text);

} // namespace zorvel
