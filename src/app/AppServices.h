#pragma once

#include "pipeline/Transcriber.h"
#include "support/Error.h"

#include <QMenu>
#include <QString>
#include <QUrl>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <memory>
#include <string>

// The seams through which the tray controller reaches the desktop and the audio system, so that
// its logic runs and is tested without a display, a sound server or a recogniser.

namespace zorvel {

// The looks of the tray icon: idle, a recording, a silent microphone during a recording, and
// background work (a transcription or the model download) while nothing records.
enum class IconLook { idle, recording, warning, working };

// The tray item: an icon with a look, an accessibility text, a title (the recording clock, where
// the item has room for text) and a tooltip with the state and the progress of background work.
class StatusIcon {
public:
    virtual ~StatusIcon() = default;
    virtual void setLook(IconLook look, const QString& accessibilityText) = 0;
    virtual void setTitle(const QString& title) = 0;
    virtual void setToolTip(const QString& toolTip) = 0;
    virtual void attachMenu(QMenu* menu) = 0;
};

enum class AlertStyle { warning, informational };

// A modal alert with one default button; returns when the user dismisses it.
class Alerts {
public:
    virtual ~Alerts() = default;
    virtual void show(AlertStyle style, const QString& message, const QString& informativeText) = 0;
};

// Desktop notifications; a notifier that cannot reach a notification service beeps instead.
class Notifier {
public:
    virtual ~Notifier() = default;
    // `target`, when given, is opened when the user clicks the notification, where the
    // notification service offers that.
    virtual void notify(const QString& title, const QString& body, const QUrl& target = {}) = 0;
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
    // How far recognition during the recording has come, in seconds; nothing when it is off.
    virtual std::optional<double> recognisedSeconds() const { return std::nullopt; }
};

// The end of a successful transcription.
struct TranscriptionOutcome {
    std::filesystem::path transcriptURL;
    // False when the transcript holds no recognised speech.
    bool speechFound = true;
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
    // Runs one whole transcription on a worker thread, reporting its progress to `progress` (see
    // TranscriptionProgressCallback for the threads).
    std::function<Result<TranscriptionOutcome>(const std::string& language, const std::filesystem::path& folder,
                                               TimePoint startedAt, const TranscriptionProgressCallback& progress)>
        runTranscription;
};

} // namespace zorvel
