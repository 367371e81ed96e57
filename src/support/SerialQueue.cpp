#include "SerialQueue.h"

#include <pthread.h>

#include <chrono>

SerialQueue::SerialQueue(QString label) : label_(std::move(label))
{
    worker_ = std::thread([this] { workerLoop(); });
    // Thread names are limited to 15 bytes; the end of the label is the distinctive part.
    const QByteArray name = label_.section(QLatin1Char('.'), -1).left(15).toUtf8();
    pthread_setname_np(worker_.native_handle(), name.constData());
}

SerialQueue::~SerialQueue()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        suspendCount_ = 0;
    }
    changed_.notify_all();
    worker_.join();
}

void SerialQueue::async(std::function<void()> block)
{
    {
        std::lock_guard lock(mutex_);
        blocks_.push_back(std::move(block));
        ++submitted_;
    }
    changed_.notify_all();
}

void SerialQueue::suspend()
{
    std::lock_guard lock(mutex_);
    ++suspendCount_;
}

void SerialQueue::resume()
{
    {
        std::lock_guard lock(mutex_);
        if (suspendCount_ > 0)
            --suspendCount_;
    }
    changed_.notify_all();
}

bool SerialQueue::isSuspended() const
{
    std::lock_guard lock(mutex_);
    return suspendCount_ > 0;
}

bool SerialQueue::waitUntilDrained(int timeoutMilliseconds)
{
    std::unique_lock lock(mutex_);
    const quint64 target = submitted_;
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMilliseconds),
                             [&] { return completed_ >= target; });
}

void SerialQueue::workerLoop()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return (suspendCount_ == 0 && !blocks_.empty()) || (stopping_ && blocks_.empty()); });
        if (blocks_.empty())
            return; // stopping and nothing left
        auto block = std::move(blocks_.front());
        blocks_.pop_front();
        running_ = true;
        lock.unlock();
        block();
        lock.lock();
        running_ = false;
        ++completed_;
        changed_.notify_all();
    }
}
