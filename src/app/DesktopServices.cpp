#include "app/DesktopServices.h"

#include <QApplication>
#include <QCursor>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QGridLayout>
#include <QMenu>
#include <QMessageBox>
#include <QSpacerItem>

namespace zorvel {

namespace {

const QString notificationService = "org.freedesktop.Notifications";
const QString notificationPath = "/org/freedesktop/Notifications";
const QString defaultAction = "default";

// Targets of the latest notifications. They are not dropped when a notification closes, since
// some services report the closing before the click that caused it.
constexpr std::size_t rememberedTargets = 32;

// About sixty characters of the message font: long enough for a sentence, short enough to read.
constexpr int alertWidthInCharacters = 60;

} // namespace

QIcon iconFor(IconLook look) {
    // The idle and working looks are symbolic icons: a panel that knows the icon theme draws them
    // in its own foreground colour, light on a dark panel and dark on a light one. The built-in
    // copies are a grey that reads on both.
    switch (look) {
    case IconLook::idle:
        return QIcon::fromTheme("zorvel-symbolic", QIcon(":/icons/zorvel-symbolic.svg"));
    case IconLook::working:
        return QIcon::fromTheme("zorvel-working-symbolic", QIcon(":/icons/zorvel-working-symbolic.svg"));
    case IconLook::recording:
        return QIcon(":/icons/recording.svg");
    case IconLook::warning:
        return QIcon(":/icons/warning.svg");
    }
    return {};
}

QIcon applicationIcon() { return QIcon::fromTheme("zorvel", QIcon(":/icons/zorvel.svg")); }

QString wrappableAtSeparators(const QString& text) {
    QString wrappable = text;
    wrappable.replace(u'/', QStringLiteral(u"/\u200B"));
    return wrappable;
}

TrayStatusIcon::TrayStatusIcon() {
    m_tray.setIcon(iconFor(m_look));
    m_tray.setToolTip("Zorvel");
    connect(&m_tray, &QSystemTrayIcon::activated, this, &TrayStatusIcon::activated);
    m_tray.show();
}

void TrayStatusIcon::setLook(IconLook look, const QString& accessibilityText) {
    // A tray item has no accessible name of its own; the tooltip says the same.
    static_cast<void>(accessibilityText);
    // Every change makes the panel fetch the icon again; the clock asks every second.
    if (look == m_look)
        return;
    m_look = look;
    m_tray.setIcon(iconFor(look));
}

void TrayStatusIcon::setTitle(const QString&) {}

void TrayStatusIcon::setToolTip(const QString& toolTip) {
    if (m_tray.toolTip() != toolTip)
        m_tray.setToolTip(toolTip);
}

void TrayStatusIcon::attachMenu(QMenu* menu) {
    m_menu = menu;
    m_tray.setContextMenu(menu);
}

void TrayStatusIcon::activated(QSystemTrayIcon::ActivationReason reason) {
    if (reason != QSystemTrayIcon::Trigger || !m_menu)
        return;
    if (m_menu->isVisible())
        m_menu->hide();
    else
        m_menu->popup(QCursor::pos());
}

void MessageBoxAlerts::show(AlertStyle style, const QString& message, const QString& informativeText) {
    QMessageBox box(style == AlertStyle::warning ? QMessageBox::Warning : QMessageBox::Information, "Zorvel",
                    wrappableAtSeparators(message), QMessageBox::Ok);
    // Paths and the platform's words are shown as they are, never as markup.
    box.setTextFormat(Qt::PlainText);
    box.setInformativeText(wrappableAtSeparators(informativeText));
    box.setWindowIcon(applicationIcon());
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    // A message box is as narrow as its longest word; a spacer across the whole grid gives it a
    // readable width. The box rebuilds its layout when its texts change, so this comes last.
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
        const int width = box.fontMetrics().averageCharWidth() * alertWidthInCharacters;
        grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Minimum), grid->rowCount(), 0, 1,
                      grid->columnCount());
    }
    box.activateWindow();
    box.raise();
    box.exec();
}

DBusNotifier::DBusNotifier(Opener& opener, QDBusConnection bus, std::function<void()> beep)
    : m_opener(opener), m_bus(std::move(bus)), m_beep(beep ? std::move(beep) : [] { QApplication::beep(); }) {
    // The signals come from whichever process owns the service name, also one started later.
    m_bus.connect(notificationService, notificationPath, notificationService, "ActionInvoked", this,
                  SLOT(actionInvoked(uint, QString)));
}

void DBusNotifier::notify(const QString& title, const QString& body, const QUrl& target) {
    if (!m_bus.isConnected()) {
        m_beep();
        return;
    }
    if (target.isEmpty()) {
        send(title, body, target, false);
        return;
    }
    // Some services show a notification with actions as a dialog that waits for an answer, so the
    // action is offered only to services that say they support actions.
    const QDBusMessage query =
        QDBusMessage::createMethodCall(notificationService, notificationPath, notificationService, "GetCapabilities");
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(query), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, title, body, target](QDBusPendingCallWatcher* finished) {
                const QDBusPendingReply<QStringList> capabilities = *finished;
                send(title, body, target, !capabilities.isError() && capabilities.value().contains("actions"));
                finished->deleteLater();
            });
}

void DBusNotifier::send(const QString& title, const QString& body, const QUrl& target, bool withAction) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(notificationService, notificationPath, notificationService, "Notify");
    QStringList actions;
    if (withAction)
        actions << defaultAction << QStringLiteral("Открыть");
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("zorvel"));
    call.setArguments({QStringLiteral("Zorvel"), 0U, QStringLiteral("zorvel"), title, body, actions, hints, -1});
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, target, withAction](QDBusPendingCallWatcher* finished) {
                const QDBusPendingReply<uint> reply = *finished;
                if (reply.isError()) {
                    m_beep();
                } else if (withAction) {
                    m_targets[reply.value()] = target;
                    if (m_targets.size() > rememberedTargets)
                        m_targets.erase(m_targets.begin());
                }
                finished->deleteLater();
            });
}

void DBusNotifier::actionInvoked(uint id, const QString& actionKey) {
    const auto found = m_targets.find(id);
    if (found == m_targets.end() || actionKey != defaultAction)
        return;
    const QUrl target = found->second;
    m_targets.erase(found);
    m_opener.open(target);
}

void DesktopOpener::open(const QUrl& url) { QDesktopServices::openUrl(url); }

} // namespace zorvel
