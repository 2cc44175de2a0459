// The real application under Xvfb with a private D-Bus session and the private sound server.
// This test is the desktop around it: it hosts the StatusNotifier watcher (so Qt puts the tray
// item and its menu on the bus), lets the bus start a notification daemon on demand, clicks the
// menu over com.canonical.dbusmenu as a panel would, and stands in for xdg-open.

#include "GgmlModels.h"
#include "PrivateSessionBus.h"
#include "TestAudio.h"
#include "model/ModelPaths.h"
#include "support/Paths.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QObject>
#include <QProcess>
#include <QUrl>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <iostream>

namespace zorvel {
namespace {

using test::waitUntil;

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

bool isVisible(const MenuNode& node) { return node.properties.value("visible", true).toBool(); }

std::vector<std::filesystem::path> recordingFolders() {
    std::vector<std::filesystem::path> folders;
    std::error_code error;
    for (std::filesystem::directory_iterator it(Paths::recordingsRoot(), error), end; !error && it != end;
         it.increment(error))
        folders.push_back(it->path());
    return folders;
}

std::uintmax_t fileSize(const std::filesystem::path& path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    return error ? 0 : size;
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

        // A private session bus, so that nothing else answers for the watcher or the notifications;
        // the notification daemon is not running until the application calls it.
        bus.addService("org.freedesktop.Notifications", NOTIFICATION_DAEMON_DOUBLE);
        ASSERT_TRUE(bus.start());
        ASSERT_TRUE(bus.connection().registerObject("/StatusNotifierWatcher", &watcher,
                                                    QDBusConnection::ExportAllContents));
        ASSERT_TRUE(bus.connection().registerService("org.kde.StatusNotifierWatcher"));

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
        test::writeWeightlessWhisperModel(Paths::modelURL());
        std::error_code ignored;
        std::filesystem::remove_all(Paths::recordingsRoot(), ignored);

        // What the desktop opens goes through xdg-open; this one only writes down its argument.
        // The note appears whole: written beside and renamed, so a reader never sees it half-written.
        test::writeText(fakeBin / "xdg-open", "#!/bin/sh\nprintf '%s\\n' \"$*\" > '" + opened.string() +
                                                  ".part' && mv '" + opened.string() + ".part' '" + opened.string() +
                                                  "'\n");
        std::filesystem::permissions(fakeBin / "xdg-open", std::filesystem::perms::owner_all);
    }

    void TearDown() override {
        for (QProcess* process : {&app, &xvfb}) {
            if (process->state() != QProcess::NotRunning) {
                process->kill();
                process->waitForFinished(3000);
            }
        }
    }

    std::vector<std::string> environment() {
        return {"DISPLAY=" + displayName.toStdString(),
                "QT_QPA_PLATFORM=xcb",
                "DBUS_SESSION_BUS_ADDRESS=" + bus.address().toStdString(),
                "ZORVEL_RESOURCE_DIR=" + resources.path().string(),
                "PATH=" + fakeBin.path().string() + ":" + qEnvironmentVariable("PATH").toStdString(),
                // The icon theme finds the application's own icons where the package puts them.
                "XDG_DATA_DIRS=" + std::string(ZORVEL_DATA_DIR) + ":/usr/share"};
    }

    // Starts the tray application and waits until its menu is on the bus.
    void launch() {
        QProcessEnvironment variables = QProcessEnvironment::systemEnvironment();
        for (const auto& entry : environment()) {
            const auto equals = entry.find('=');
            variables.insert(QString::fromStdString(entry.substr(0, equals)), QString::fromStdString(entry.substr(equals + 1)));
        }
        app.setProcessEnvironment(variables);
        const auto registered = watcher.items.size();
        app.start(QString::fromStdString(test::zorvelExecutable().string()), {});
        ASSERT_TRUE(app.waitForStarted(5000));
        ASSERT_TRUE(waitUntil([&] { return watcher.items.size() > registered; }, 15000))
            << "no tray item registered\n" << appOutput();
        itemService = watcher.items.back();
        if (itemService.startsWith('/'))
            itemService = "org.kde.StatusNotifierItem";
        menuPath = qvariant_cast<QDBusObjectPath>(itemProperty("Menu")).path();
        ASSERT_FALSE(menuPath.isEmpty()) << appOutput();
        ASSERT_TRUE(waitUntil([&] { return items().contains("Начать запись"); }, 10000)) << appOutput();
    }

    QVariant itemProperty(const QString& name) {
        const QDBusMessage reply = bus.connection().call(
            QDBusMessage::createMethodCall(itemService, "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get")
                << QString("org.kde.StatusNotifierItem") << name,
            QDBus::BlockWithGui, 5000);
        if (reply.type() != QDBusMessage::ReplyMessage)
            return {};
        return qvariant_cast<QDBusVariant>(reply.arguments().at(0)).variant();
    }

    // The tooltip's title: (icon name, icon pixmaps, title, text).
    QString toolTip() {
        const QDBusArgument argument = qvariant_cast<QDBusArgument>(itemProperty("ToolTip"));
        QString iconName, title, text;
        argument.beginStructure();
        argument >> iconName;
        argument.beginArray();
        while (!argument.atEnd()) {
            int width = 0, height = 0;
            QByteArray pixels;
            argument.beginStructure();
            argument >> width >> height >> pixels;
            argument.endStructure();
        }
        argument.endArray();
        argument >> title >> text;
        argument.endStructure();
        return title;
    }

    void callItem(const QString& method) {
        bus.connection().call(QDBusMessage::createMethodCall(itemService, "/StatusNotifierItem",
                                                             "org.kde.StatusNotifierItem", method)
                                  << 10 << 10,
                              QDBus::BlockWithGui, 5000);
    }

    MenuNode layout() {
        QDBusMessage call = QDBusMessage::createMethodCall(itemService, menuPath, "com.canonical.dbusmenu", "GetLayout");
        call << 0 << -1 << QStringList();
        const QDBusMessage reply = bus.connection().call(call, QDBus::BlockWithGui, 5000);
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
        bus.connection().call(call, QDBus::BlockWithGui, 5000);
    }

    // The application's windows that are on the screen (the menu, when it pops up).
    int visibleWindows() {
        const auto found = test::runProgram("/usr/bin/xdotool",
                                            {"search", "--onlyvisible", "--pid", std::to_string(app.processId())},
                                            {"DISPLAY=" + displayName.toStdString()});
        return static_cast<int>(std::count(found.standardOutput.begin(), found.standardOutput.end(), '\n'));
    }

    // Notifications the daemon got so far; asking never starts the daemon itself.
    std::vector<test::ReceivedNotification> notifications() {
        if (!bus.hasOwner("org.freedesktop.Notifications"))
            return {};
        return test::receivedNotifications(bus.connection());
    }

    std::filesystem::path waitForNewRecordingFolder() {
        std::filesystem::path folder;
        waitUntil(
            [&] {
                const auto folders = recordingFolders();
                if (folders.size() == 1)
                    folder = folders.front();
                return !folder.empty();
            },
            10000);
        return folder;
    }

    std::string appOutput() { return QString::fromUtf8(app.readAllStandardError()).toStdString(); }

    test::PrivateSessionBus bus;
    QProcess xvfb, app;
    QString displayName, itemService, menuPath;
    Watcher watcher;
    test::TemporaryFolder resources{"resources"};
    test::TemporaryFolder fakeBin{"bin"};
    std::filesystem::path opened = fakeBin.path().parent_path() / "opened.txt";
};

TEST_F(TrayEndToEnd, RecordFromTheMenuStopAndOpenTheTranscriptFromItsNotification) {
    launch();
    auto menu = items();
    EXPECT_TRUE(menu.contains("Готов к записи"));
    EXPECT_TRUE(menu.contains("Транскрибировать последнюю запись"));
    EXPECT_FALSE(menu.at("Открыть последний конспект").properties.value("enabled", true).toBool());
    EXPECT_FALSE(isVisible(menu.at("Транскрибировать незавершённые записи (0)")));
    EXPECT_EQ(itemProperty("IconName").toString(), "zorvel-symbolic");
    EXPECT_EQ(toolTip(), "Zorvel");

    // A left click (Activate) opens the menu, a second one closes it; a middle click does nothing.
    ASSERT_EQ(visibleWindows(), 0);
    callItem("Activate");
    EXPECT_TRUE(waitUntil([&] { return visibleWindows() == 1; }, 5000));
    callItem("Activate");
    EXPECT_TRUE(waitUntil([&] { return visibleWindows() == 0; }, 5000));
    callItem("SecondaryActivate");
    waitUntil([] { return false; }, 300);
    EXPECT_EQ(visibleWindows(), 0);

    click("Начать запись");
    ASSERT_TRUE(waitUntil([&] { return items().contains("Остановить запись"); }, 10000)) << appOutput();
    EXPECT_TRUE(toolTip().startsWith("Zorvel — Идёт запись — 0:0")) << toolTip().toStdString();
    const auto folder = waitForNewRecordingFolder();
    ASSERT_FALSE(folder.empty());
    // What the recogniser double will "hear" in the system track, which the sound below fills.
    test::writeText(folder / "system-16k.wav.segments", "0 3000 Проверка связи\n");
    test::writeAudio(resources / "sound.wav", {44100, 2, SampleFormat::int16},
                     test::noise(44100 * 2, 2, 0.5F, 7));
    const auto played = test::runProgram("/usr/bin/paplay", {"-d", "speakers", (resources / "sound.wav").string()});
    ASSERT_EQ(played.exitStatus, 0) << played.standardError;
    click("Остановить запись");

    // The daemon was started by the bus when the application called it.
    ASSERT_TRUE(waitUntil([&] { return !notifications().empty(); }, 30000)) << appOutput();
    const auto received = notifications();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].summary, "Конспект готов");
    EXPECT_EQ(received[0].body.toStdString(), folder.filename().string());
    EXPECT_EQ(received[0].appIcon, "zorvel");
    EXPECT_EQ(received[0].actions, "default,Открыть");
    ASSERT_TRUE(std::filesystem::exists(folder / "transcript.md"));
    EXPECT_NE(test::readText(folder / "transcript.md").find("Проверка связи"), std::string::npos);
    EXPECT_TRUE(items().contains("Конспект готов"));
    EXPECT_TRUE(items().at("Открыть последний конспект").properties.value("enabled", true).toBool());
    EXPECT_EQ(toolTip(), "Zorvel");

    // A click on the notification opens the transcript.
    ASSERT_TRUE(test::clickNotification(bus.connection(), 1));
    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(opened); }, 10000)) << appOutput();
    const QString url = QString::fromStdString(test::readText(opened)).trimmed();
    EXPECT_EQ(QUrl(url).toLocalFile().toStdString(), (folder / "transcript.md").string()) << url.toStdString();

    click("Завершить Zorvel");
    ASSERT_TRUE(app.waitForFinished(10000)) << appOutput();
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app.exitCode(), 0);
}

TEST_F(TrayEndToEnd, ASecondStartTellsTheRunningOneAndEnds) {
    launch();
    const auto second = test::runProgram(test::zorvelExecutable(), {}, environment());
    EXPECT_EQ(second.exitStatus, 0) << second.standardError;
    EXPECT_NE(second.standardError.find("уже запущен"), std::string::npos) << second.standardError;
    ASSERT_TRUE(waitUntil([&] { return !notifications().empty(); }, 10000)) << appOutput();
    EXPECT_EQ(notifications()[0].summary, "Zorvel уже запущен");
    EXPECT_EQ(watcher.items.size(), 1);

    // The command-line modes do not ask the running instance.
    const auto headless =
        test::runProgram(test::zorvelExecutable(), {"--transcribe", (resources / "no such folder").string()}, environment());
    EXPECT_NE(headless.exitStatus, 0);
    EXPECT_EQ(headless.standardError.find("уже запущен"), std::string::npos) << headless.standardError;
    EXPECT_EQ(app.state(), QProcess::Running);
}

TEST_F(TrayEndToEnd, ARecordingCutShortIsOfferedAndTranscribedAfterTheNextStart) {
    launch();
    click("Начать запись");
    ASSERT_TRUE(waitUntil([&] { return items().contains("Остановить запись"); }, 10000)) << appOutput();
    const auto folder = waitForNewRecordingFolder();
    ASSERT_FALSE(folder.empty());
    ASSERT_TRUE(waitUntil([&] { return fileSize(folder / "system.caf") > 64 * 1024; }, 10000));
    app.kill();
    ASSERT_TRUE(app.waitForFinished(5000));
    EXPECT_FALSE(std::filesystem::exists(folder / "transcript.md"));

    launch();
    auto menu = items();
    ASSERT_TRUE(menu.contains("Транскрибировать незавершённые записи (1)")) << appOutput();
    EXPECT_TRUE(isVisible(menu.at("Транскрибировать незавершённые записи (1)")));
    click("Транскрибировать незавершённые записи (1)");
    ASSERT_TRUE(waitUntil([&] { return !notifications().empty(); }, 30000)) << appOutput();
    const auto received = notifications();
    EXPECT_EQ(received[0].summary, "Конспект готов");
    // Nothing was played during that recording.
    EXPECT_EQ(received[0].body.toStdString(),
              folder.filename().string() + ": речь не распознана. Аудио осталось в папке записи.");
    EXPECT_TRUE(std::filesystem::exists(folder / "transcript.md"));
    ASSERT_TRUE(waitUntil([&] { return !isVisible(items().at("Транскрибировать незавершённые записи (0)")); }, 5000));

    // Ending the application with SIGTERM, as a logout does, stops a recording cleanly and leaves
    // it for the next start.
    click("Начать запись");
    ASSERT_TRUE(waitUntil([&] { return items().contains("Остановить запись"); }, 10000)) << appOutput();
    app.terminate();
    ASSERT_TRUE(app.waitForFinished(10000));
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app.exitCode(), 0);
    launch();
    EXPECT_TRUE(items().contains("Транскрибировать незавершённые записи (1)")) << appOutput();
}

// SIGTERM while a transcription runs: the application ends at once, its recogniser with it, and
// the folder keeps its captures and nothing half-written.
TEST_F(TrayEndToEnd, SigtermDuringATranscriptionEndsItsToolAndLeavesNoHalfWrittenFile) {
    launch();
    click("Начать запись");
    ASSERT_TRUE(waitUntil([&] { return items().contains("Остановить запись"); }, 10000)) << appOutput();
    const auto folder = waitForNewRecordingFolder();
    ASSERT_FALSE(folder.empty());
    test::writeText(folder / "system-16k.wav.segments", "!wait " + (folder / "never").string() + "\n0 900 Не дождётся.\n");
    test::writeAudio(resources / "sound.wav", {44100, 2, SampleFormat::int16}, test::noise(44100, 2, 0.5F, 7));
    const auto played = test::runProgram("/usr/bin/paplay", {"-d", "speakers", (resources / "sound.wav").string()});
    ASSERT_EQ(played.exitStatus, 0) << played.standardError;
    click("Остановить запись");
    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(folder / "system-16k.wav.pid"); }, 30000)) << appOutput();
    const pid_t recogniser = std::stoi(test::readText(folder / "system-16k.wav.pid"));

    app.terminate();
    ASSERT_TRUE(app.waitForFinished(10000)) << appOutput();
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
    EXPECT_TRUE(test::waitUntil([&] { return !test::processIsAlive(recogniser); }, std::chrono::seconds(5)));
    std::vector<std::string> left;
    for (const auto& name : test::listFolder(folder))
        if (!name.ends_with(".segments") && !name.ends_with(".pid"))
            left.push_back(name);
    EXPECT_EQ(left, (std::vector<std::string>{"mic.caf", "system-16k.wav", "system.caf", "whisper.log"}));
}

// A sound server that has stopped answering: starting a recording fails after the wait limit with
// the server's words and the step in the log, and the tray keeps answering meanwhile (its menu is
// read over D-Bus while the failure's alert is up).
TEST_F(TrayEndToEnd, AFrozenSoundServerGivesAFailedStartNotAFrozenTray) {
    const int pid = test::soundServerPid();
    if (pid == 0)
        GTEST_SKIP() << "scripts/sound-server names the server's process in ZORVEL_SOUND_SERVER_PID";
    launch();
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
