#include "platform/AudioConfigurationNotifier.h"

#include <QCoreApplication>

namespace zorvel {

AudioConfigurationNotifier& AudioConfigurationNotifier::instance() {
    static AudioConfigurationNotifier* const notifier = [] {
        auto* created = new AudioConfigurationNotifier;
        // Queued calls run in the thread the object lives in; that has to be the main thread even
        // when the first user is a worker.
        if (QCoreApplication::instance() != nullptr)
            created->moveToThread(QCoreApplication::instance()->thread());
        return created;
    }();
    return *notifier;
}

void AudioConfigurationNotifier::post() {
    QMetaObject::invokeMethod(this, [this] { emit configurationChanged(); }, Qt::QueuedConnection);
}

} // namespace zorvel
