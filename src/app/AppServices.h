#pragma once

#include "support/Error.h"

#include <QMenu>
#include <QString>
#include <QUrl>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>

// The seams through which the tray controller reaches the desktop and the audio system, so that
// its logic runs and is tested without a display, a sound server or a recogniser.

namespace zorvel {

using TimePoint = std::chrono::system_clock::time_point;

// The three looks of the tray icon.
enum class IconLook { idle, recording, warning };

// The tray item: an icon with a look, an accessibility text and a title (the recording clock).
class StatusIcon {
public:
    virtual ~StatusIcon() = default;
    virtual void setLook(IconLook look, const QString& accessibilityText) = 0;
    virtual void setTitle(const QString& title) = 0;
    virtual void attachMenu(QMenu* menu) = 0;
};

enum class AlertStyle { warning, informational };

// A modal alert with one default button; returns when the user dismisses it.
class Alerts {
public:
    virtual ~Alerts() = default;
    virtual void show(AlertStyle style, const QString& message, const QString& informativeText) = 0;
};

// Desktop notifications; a notifier without a notification service beeps instead.
class Notifier {
public:
    virtual ~Notifier() = default;
    virtual void notify(const QString& title, const QString& body) = 0;
};

// Opens a file with its default application or a folder in the file browser.
class Opener {
public:
    virtual ~Opener() = default;
    virtual void open(const QUrl& url) = 0;
};

// One recording in progress, as the controller sees it. Used on the main thread only.
class Recording {
public:
    virtual ~Recording() = default;
    virtual Result<void> start() = 0;
    virtual void stop() = 0;
    virtual std::filesystem::path folderURL() const = 0;
    virtual TimePoint startedAt() const = 0;
    virtual bool micEnabled() const = 0;
    // Health of the microphone recorder, each read under its lock.
    virtual double secondsSinceLastSound() const = 0;
    virtual bool micBroken() const = 0;
};

struct AppServices {
    StatusIcon* statusIcon = nullptr;
    Alerts* alerts = nullptr;
    Notifier* notifier = nullptr;
    Opener* opener = nullptr;
    std::function<TimePoint()> now;
    // Whether the user allows the microphone; on Linux there is no permission to ask for.
    std::function<bool()> requestMicrophoneAccess;
    // Creates a recording folder and its recorders (nothing recording yet).
    std::function<Result<std::unique_ptr<Recording>>(bool micEnabled)> createRecording;
    // One line for the application's log: what failed, with the platform's own words and codes
    // that the user-facing messages leave out. May be empty.
    std::function<void(const std::string& line)> log;
    // Runs one whole transcription; called on a worker thread.
    std::function<Result<std::filesystem::path>(const std::string& language, const std::filesystem::path& folder,
                                                TimePoint startedAt)>
        runTranscription;
};

} // namespace zorvel
