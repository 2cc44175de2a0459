#pragma once

#include <QObject>

namespace zorvel {

// The process-wide "audio configuration changed" notification: the default input changed or the
// recorded input went away. Whoever notices calls post(), from any thread and with no sender of
// its own; configurationChanged() is always emitted on the main (application) thread, one emission
// per post(). A QCoreApplication must exist before the first use.
class AudioConfigurationNotifier : public QObject {
    Q_OBJECT
public:
    static AudioConfigurationNotifier& instance();

    void post();

signals:
    void configurationChanged();

private:
    AudioConfigurationNotifier() = default;
};

} // namespace zorvel
