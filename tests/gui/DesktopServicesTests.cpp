// The desktop services behind the tray controller's seams, against a private session bus that
// starts the notification daemon double on demand, as a desktop starts its daemon.

#include "PrivateSessionBus.h"
#include "app/DesktopServices.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

namespace zorvel {
namespace {

struct RecordingOpener : Opener {
    void open(const QUrl& url) override { opened.push_back(url); }
    std::vector<QUrl> opened;
};

class Notifications : public testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "desktop_services_tests";
        static char* argv[] = {name, nullptr};
        static QCoreApplication application(argc, argv);
    }

    void SetUp() override {
        if (!std::filesystem::exists("/usr/bin/dbus-daemon"))
            GTEST_SKIP() << "needs dbus-daemon";
    }

    std::unique_ptr<DBusNotifier> notifierOn(test::PrivateSessionBus& bus) {
        return std::make_unique<DBusNotifier>(opener, bus.connection(), [this] { ++beeps; });
    }

    RecordingOpener opener;
    int beeps = 0;
};

TEST_F(Notifications, TheCallStartsTheDaemonAndAClickOpensTheTarget) {
    test::PrivateSessionBus bus;
    bus.addService("org.freedesktop.Notifications", NOTIFICATION_DAEMON_DOUBLE);
    ASSERT_TRUE(bus.start());
    ASSERT_FALSE(bus.hasOwner("org.freedesktop.Notifications"));
    auto notifier = notifierOn(bus);

    const QUrl transcript = QUrl::fromLocalFile("/home/я/Документы/Zorvel/2025-03-05 14-03-27/transcript.md");
    notifier->notify("Конспект готов", "2025-03-05 14-03-27", transcript);
    notifier->notify("Модель скачана", "Zorvel готов к работе.");
    ASSERT_TRUE(test::waitUntil(
        [&] { return bus.hasOwner("org.freedesktop.Notifications") && test::receivedNotifications(bus.connection()).size() == 2; },
        10000));
    // The notification without a target goes out at once, so it may arrive first.
    const auto received = test::receivedNotifications(bus.connection());
    const uint withTarget = received[0].summary == "Конспект готов" ? 1 : 2;
    const auto& ready = received[withTarget - 1];
    EXPECT_EQ(ready.appName, "Zorvel");
    EXPECT_EQ(ready.appIcon, "zorvel");
    EXPECT_EQ(ready.desktopEntry, "zorvel");
    EXPECT_EQ(ready.summary, "Конспект готов");
    EXPECT_EQ(ready.body, "2025-03-05 14-03-27");
    EXPECT_EQ(ready.actions, "default,Открыть");
    // Nothing to open, no action.
    EXPECT_EQ(received[2 - withTarget].summary, "Модель скачана");
    EXPECT_EQ(received[2 - withTarget].actions, "");

    // A click on the other notification, or an action other than the default, opens nothing.
    ASSERT_TRUE(test::clickNotification(bus.connection(), 3 - withTarget));
    ASSERT_TRUE(test::clickNotification(bus.connection(), withTarget, "other"));
    ASSERT_TRUE(test::clickNotification(bus.connection(), withTarget));
    ASSERT_TRUE(test::waitUntil([&] { return !opener.opened.empty(); }, 5000));
    test::waitUntil([] { return false; }, 200);
    ASSERT_EQ(opener.opened.size(), 1u);
    EXPECT_EQ(opener.opened[0], transcript);
    EXPECT_EQ(beeps, 0);
}

TEST_F(Notifications, ADaemonWithoutActionsGetsNone) {
    test::PrivateSessionBus bus;
    bus.addService("org.freedesktop.Notifications", NOTIFICATION_DAEMON_DOUBLE, "--no-actions");
    ASSERT_TRUE(bus.start());
    auto notifier = notifierOn(bus);
    notifier->notify("Конспект готов", "2025-03-05 14-03-27", QUrl::fromLocalFile("/tmp/transcript.md"));
    ASSERT_TRUE(test::waitUntil(
        [&] { return bus.hasOwner("org.freedesktop.Notifications") && !test::receivedNotifications(bus.connection()).empty(); },
        10000));
    EXPECT_EQ(test::receivedNotifications(bus.connection())[0].actions, "");
    EXPECT_EQ(beeps, 0);
}

TEST_F(Notifications, OnlyAFailedCallBeeps) {
    // No daemon to start: the call fails, and only then does the beep stand in.
    test::PrivateSessionBus bus;
    ASSERT_TRUE(bus.start());
    auto notifier = notifierOn(bus);
    notifier->notify("Конспект готов", "2025-03-05 14-03-27", QUrl::fromLocalFile("/tmp/transcript.md"));
    notifier->notify("Модель скачана", "Zorvel готов к работе.");
    ASSERT_TRUE(test::waitUntil([&] { return beeps == 2; }, 10000)) << beeps;

    // A daemon that is installed but fails to start counts as a failed call too.
    test::PrivateSessionBus broken;
    broken.addService("org.freedesktop.Notifications", "/bin/false");
    ASSERT_TRUE(broken.start());
    auto brokenNotifier = notifierOn(broken);
    brokenNotifier->notify("Модель скачана", "Zorvel готов к работе.");
    ASSERT_TRUE(test::waitUntil([&] { return beeps == 3; }, 10000)) << beeps;
}

} // namespace
} // namespace zorvel
