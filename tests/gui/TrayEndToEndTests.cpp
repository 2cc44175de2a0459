// The real application under Xvfb with a private D-Bus session and the private sound server.
// This test is the desktop around it: it hosts the StatusNotifier watcher (so Qt puts the tray
// item and its menu on the bus), serves org.freedesktop.Notifications, and clicks the menu over
// com.canonical.dbusmenu, as a panel would.

#include "TestEnvironment.h"
#include "model/ModelPaths.h"
#include "support/Paths.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QObject>
#include <QProcess>
#include <filesystem>
#include <gtest/gtest.h>
#include <iostream>

namespace zorvel {
namespace {

// The StatusNotifier watcher a panel would run.
class Watcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isHostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ registeredItems)

public:
    bool isHostRegistered() const { return true; }
    int protocolVersion() const { return 0; }
    QStringList registeredItems() const { return items; }
    QStringList items;

public slots:
    void RegisterStatusNotifierItem(const QString& service) { items << service; }
    void RegisterStatusNotifierHost(const QString&) {}

signals:
    void StatusNotifierItemRegistered(const QString& service);
    void StatusNotifierHostRegistered();
};

struct Notification {
    QString summary;
    QString body;
};

// A notification server that remembers what it was asked to show.
class Notifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    std::vector<Notification> received;

public slots:
    uint Notify(const QString&, uint, const QString&, const QString& summary, const QString& body, const QStringList&,
                const QVariantMap&, int) {
        received.push_back({summary, body});
        return static_cast<uint>(received.size());
    }
    QStringList GetCapabilities() { return {"body"}; }
    void CloseNotification(uint) {}
};

struct MenuNode {
    int id = 0;
    QVariantMap properties;
    std::vector<MenuNode> children;
};

void readNode(const QDBusArgument& argument, MenuNode& node) {
    argument.beginStructure();
    argument >> node.id >> node.properties;
    argument.beginArray();
    while (!argument.atEnd()) {
        QDBusVariant child;
        argument >> child;
        MenuNode childNode;
        readNode(qvariant_cast<QDBusArgument>(child.variant()), childNode);
        node.children.push_back(std::move(childNode));
    }
    argument.endArray();
    argument.endStructure();
}

void collectLabels(const MenuNode& node, std::map<QString, MenuNode>& byLabel) {
    for (const auto& child : node.children) {
        if (child.properties.contains("label"))
            byLabel[child.properties.value("label").toString()] = child;
        collectLabels(child, byLabel);
    }
}

bool waitUntil(const std::function<bool()>& done, int milliseconds) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < milliseconds)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    return done();
}

class TrayEndToEnd : public testing::Test {
protected:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("PULSE_SERVER"))
            GTEST_SKIP() << "needs the test sound server (scripts/test starts it)";
        if (!std::filesystem::exists("/usr/bin/Xvfb") || !std::filesystem::exists("/usr/bin/dbus-daemon"))
            GTEST_SKIP() << "needs Xvfb and dbus-daemon";
        static int argc = 1;
        static char name[] = "tray_end_to_end_tests";
        static char* argv[] = {name, nullptr};
        static QCoreApplication application(argc, argv);

        // A private session bus, so that nothing else answers for the watcher or the notifications.
        bus.start("/usr/bin/dbus-daemon", {"--session", "--nofork", "--nopidfile", "--print-address=1"});
        ASSERT_TRUE(bus.waitForReadyRead(5000));
        busAddress = QString::fromUtf8(bus.readLine()).trimmed();
        qputenv("DBUS_SESSION_BUS_ADDRESS", busAddress.toUtf8());
        connection = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(busAddress, "test-desktop"));
        ASSERT_TRUE(connection->isConnected());
        ASSERT_TRUE(connection->registerObject("/StatusNotifierWatcher", &watcher, QDBusConnection::ExportAllContents));
        ASSERT_TRUE(connection->registerService("org.kde.StatusNotifierWatcher"));
        ASSERT_TRUE(connection->registerObject("/org/freedesktop/Notifications", &notifications,
                                               QDBusConnection::ExportAllContents));
        ASSERT_TRUE(connection->registerService("org.freedesktop.Notifications"));

        int display = 90;
        while (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(display)) ||
               std::filesystem::exists("/tmp/.X" + std::to_string(display) + "-lock"))
            ++display;
        displayName = ":" + QString::number(display);
        xvfb.start("/usr/bin/Xvfb", {displayName, "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
        ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(display)); }, 10000));

        std::filesystem::create_directories(resources / "bin");
        std::filesystem::create_symlink(test::whisperDouble(), resources / "bin" / "whisper-cli");
        std::filesystem::create_directories(Paths::modelURL().parent_path());
        test::writeText(Paths::modelURL(), "model");
    }

    void TearDown() override {
        for (QProcess* process : {&app, &xvfb, &bus}) {
            if (process->state() != QProcess::NotRunning) {
                process->kill();
                process->waitForFinished(3000);
            }
        }
    }

    MenuNode layout() {
        QDBusMessage call = QDBusMessage::createMethodCall(itemService, menuPath, "com.canonical.dbusmenu", "GetLayout");
        call << 0 << -1 << QStringList();
        const QDBusMessage reply = connection->call(call, QDBus::BlockWithGui, 5000);
        MenuNode root;
        if (reply.type() == QDBusMessage::ReplyMessage && reply.arguments().size() == 2)
            readNode(qvariant_cast<QDBusArgument>(reply.arguments().at(1)), root);
        return root;
    }

    std::map<QString, MenuNode> items() {
        std::map<QString, MenuNode> byLabel;
        collectLabels(layout(), byLabel);
        return byLabel;
    }

    void click(const QString& label) {
        const auto all = items();
        ASSERT_TRUE(all.contains(label)) << label.toStdString();
        QDBusMessage call = QDBusMessage::createMethodCall(itemService, menuPath, "com.canonical.dbusmenu", "Event");
        call << all.at(label).id << QString("clicked") << QVariant::fromValue(QDBusVariant(0)) << 0U;
        connection->call(call, QDBus::BlockWithGui, 5000);
    }

    std::string appOutput() { return QString::fromUtf8(app.readAllStandardError()).toStdString(); }

    // Starts the application and waits for its tray item and menu.
    void launch() {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("DISPLAY", displayName);
        environment.insert("QT_QPA_PLATFORM", "xcb");
        environment.insert("DBUS_SESSION_BUS_ADDRESS", busAddress);
        environment.insert("ZORVEL_RESOURCE_DIR", QString::fromStdString(resources.path().string()));
        app.setProcessEnvironment(environment);
        app.start(QString::fromStdString(test::zorvelExecutable().string()), {});
        ASSERT_TRUE(app.waitForStarted(5000));

        ASSERT_TRUE(waitUntil([&] { return !watcher.items.isEmpty(); }, 15000)) << "no tray item registered\n"
                                                                               << appOutput();
        itemService = watcher.items.first();
        if (itemService.startsWith('/'))
            itemService = "org.kde.StatusNotifierItem";
        const QDBusMessage menuProperty = connection->call(
            QDBusMessage::createMethodCall(itemService, "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get")
                << QString("org.kde.StatusNotifierItem") << QString("Menu"),
            QDBus::BlockWithGui, 5000);
        ASSERT_EQ(menuProperty.type(), QDBusMessage::ReplyMessage) << menuProperty.errorMessage().toStdString();
        menuPath =
            qvariant_cast<QDBusObjectPath>(qvariant_cast<QDBusVariant>(menuProperty.arguments().at(0)).variant()).path();
        ASSERT_TRUE(waitUntil([&] { return items().contains("Начать запись"); }, 10000)) << appOutput();
    }

    QProcess bus, xvfb, app;
    QString busAddress, displayName, itemService, menuPath;
    std::unique_ptr<QDBusConnection> connection;
    Watcher watcher;
    Notifications notifications;
    test::TemporaryFolder resources{"resources"};
};

TEST_F(TrayEndToEnd, RecordFromTheMenuStopAndGetTheTranscript) {
    ASSERT_NO_FATAL_FAILURE(launch());
    auto menu = items();
    EXPECT_TRUE(menu.contains("Готов к записи"));
    EXPECT_TRUE(menu.contains("Транскрибировать последнюю запись"));
    EXPECT_FALSE(menu.at("Открыть последний конспект").properties.value("enabled", true).toBool());

    click("Начать запись");
    ASSERT_TRUE(waitUntil([&] { return items().contains("Остановить запись"); }, 10000)) << appOutput();
    EXPECT_TRUE(items().contains("Идёт запись — 0:00") || items().contains("Идёт запись — 0:01")) << appOutput();
    waitUntil([] { return false; }, 2500);
    click("Остановить запись");

    ASSERT_TRUE(waitUntil([&] { return !notifications.received.empty(); }, 30000)) << appOutput();
    ASSERT_EQ(notifications.received.size(), 1u);
    EXPECT_EQ(notifications.received[0].summary, "Конспект готов");
    const auto folder = Paths::recordingsRoot() / notifications.received[0].body.toStdString();
    EXPECT_TRUE(std::filesystem::exists(folder / "transcript.md")) << folder;
    EXPECT_TRUE(items().contains("Конспект готов"));
    EXPECT_TRUE(items().at("Открыть последний конспект").properties.value("enabled", true).toBool());

    click("Завершить Zorvel");
    ASSERT_TRUE(app.waitForFinished(10000)) << appOutput();
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app.exitCode(), 0);
}

// A sound server that has stopped answering: starting a recording fails after the wait limit with
// the server's words and the step in the log, and the tray keeps answering meanwhile (its menu is
// read over D-Bus while the failure's alert is up).
TEST_F(TrayEndToEnd, AFrozenSoundServerGivesAFailedStartNotAFrozenTray) {
    const int pid = test::soundServerPid();
    if (pid == 0)
        GTEST_SKIP() << "scripts/sound-server names the server's process in ZORVEL_SOUND_SERVER_PID";
    ASSERT_NO_FATAL_FAILURE(launch());
    const test::StoppedProcess frozen(pid);
    click("Начать запись");
    std::string output;
    ASSERT_TRUE(waitUntil(
        [&] {
            output += appOutput();
            return output.find("Не удалось начать запись") != std::string::npos;
        },
        10000))
        << output;
    EXPECT_NE(output.find("шаг: подключение к звуковому серверу"), std::string::npos) << output;
    EXPECT_NE(output.find("libpulse, код 8"), std::string::npos) << output;
    QElapsedTimer answered;
    answered.start();
    const auto menu = items();
    std::cout << "with the sound server frozen, the tray's menu answered in " << answered.elapsed() << " ms\n";
    EXPECT_TRUE(menu.contains("Начать запись"));
    EXPECT_FALSE(menu.contains("Остановить запись"));
}

} // namespace
} // namespace zorvel

#include "TrayEndToEndTests.moc"
