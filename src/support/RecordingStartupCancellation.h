#pragma once

#include <memory>
#include <mutex>

// The token of one recording start-up or restart, shared by the main thread and the start-up
// queue. It can only go from "not cancelled" to "cancelled"; a new start-up makes a new token.
class RecordingStartupCancellation {
public:
    void cancel()
    {
        std::lock_guard guard(lock);
        cancelled = true;
    }

    bool isCancelled() const
    {
        std::lock_guard guard(lock);
        return cancelled;
    }

private:
    mutable std::mutex lock;
    bool cancelled = false;
};

using RecordingStartupToken = std::shared_ptr<RecordingStartupCancellation>;
