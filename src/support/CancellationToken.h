#pragma once

#include <memory>
#include <mutex>

// A flag shared by the main thread and a worker queue, read and written under its own lock. It only
// goes from "not cancelled" to "cancelled"; new work gets a new token.
class CancellationToken {
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
