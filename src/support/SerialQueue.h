#pragma once

#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

// A serial work queue on one worker thread: blocks run one at a time in submission order.
//
// suspend() and resume() nest like a counter. A block that calls suspend() on its own queue
// finishes normally, but no later block starts until resume() has balanced every suspend(); this is
// how a start-up block keeps the next one waiting until the main thread has handled its result.
class SerialQueue {
public:
    explicit SerialQueue(QString label);
    ~SerialQueue(); // runs what is already queued, then joins the worker

    SerialQueue(const SerialQueue &) = delete;
    SerialQueue &operator=(const SerialQueue &) = delete;

    const QString &label() const { return label_; }

    void async(std::function<void()> block);
    void suspend();
    void resume();

    // Blocks the caller until every block submitted before this call has run. Returns false if
    // that did not happen within the timeout (for example because the queue is suspended).
    bool waitUntilDrained(int timeoutMilliseconds);

    bool isSuspended() const;

private:
    void workerLoop();

    const QString label_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> blocks_;
    int suspendCount_ = 0;
    bool running_ = false;
    bool stopping_ = false;
    quint64 submitted_ = 0;
    quint64 completed_ = 0;
    std::thread worker_;
};
