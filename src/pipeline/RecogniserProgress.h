#pragma once

#include "support/FileDescriptor.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace zorvel {

// Follows what whisper-cli prints into the run's log while it recognises one track: one line per
// segment, "[00:01:02.000 --> 00:01:05.500]  text", in the order of the audio. The end time of the
// latest segment is how far the recogniser has come.
//
// Threads: the constructor starts a thread of its own that reads the log four times a second and
// calls `report` there, with times that only grow. stop() (also called by the destructor) reads
// once more, so that the last segment is reported too, and joins that thread.
class RecogniserProgress {
public:
    // `logDescriptor` is the log the recogniser writes to; only what is written after this call
    // counts. Without a readable log nothing is reported.
    RecogniserProgress(int logDescriptor, std::function<void(double seconds)> report);
    ~RecogniserProgress();
    RecogniserProgress(const RecogniserProgress&) = delete;
    RecogniserProgress& operator=(const RecogniserProgress&) = delete;

    void stop();

    // The end time, in seconds, of the last segment line among the complete lines of `text`.
    static std::optional<double> lastSegmentEnd(std::string_view text);

private:
    void follow();
    void readNew();

    std::optional<FileDescriptor> m_log;
    long long m_offset = 0;
    std::string m_partialLine;
    double m_reported = -1;
    std::function<void(double)> m_report;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace zorvel
