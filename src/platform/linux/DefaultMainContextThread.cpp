#include "DefaultMainContextThread.h"

#include <glib.h>

#include <pthread.h>

#include <deque>
#include <mutex>

struct DefaultMainContextThread::Shared {
    std::mutex lock;
    std::deque<std::function<void()>> work;
    GMainContext *context = nullptr; // one reference, set by the thread once it runs
    bool stopping = false;
    std::thread::id threadId;

    ~Shared()
    {
        if (context)
            g_main_context_unref(context);
    }

    void run(bool takeDefaultContext)
    {
        GMainContext *running = g_main_context_default();
        const bool owns = takeDefaultContext && g_main_context_acquire(running);
        if (!owns) {
            running = g_main_context_new();
            g_main_context_acquire(running);
        } else {
            g_main_context_ref(running);
        }
        std::unique_lock guard(lock);
        context = running;
        for (;;) {
            if (work.empty()) {
                if (stopping)
                    break;
                guard.unlock();
                // Sleeps until an event arrives or post() wakes the context up. A wake-up signalled
                // between the check above and this call is not lost: it makes the poll return at once.
                g_main_context_iteration(running, TRUE);
                guard.lock();
                continue;
            }
            std::function<void()> next = std::move(work.front());
            work.pop_front();
            guard.unlock();
            next();
            next = nullptr; // what the work captured goes here too
            // Events that arrived meanwhile go before the next piece of work.
            g_main_context_iteration(running, FALSE);
            guard.lock();
        }
        guard.unlock();
        g_main_context_release(running);
    }
};

DefaultMainContextThread::DefaultMainContextThread(QString label, bool takeDefaultContext)
    : label_(std::move(label))
    , shared(std::make_shared<Shared>())
{
    worker = std::thread([shared = shared, takeDefaultContext] { shared->run(takeDefaultContext); });
    {
        std::lock_guard guard(shared->lock);
        shared->threadId = worker.get_id();
    }
    // Thread names are limited to 15 bytes; the end of the label is the distinctive part.
    const QByteArray name = label_.section(QLatin1Char('.'), -1).left(15).toUtf8();
    pthread_setname_np(worker.native_handle(), name.constData());
}

DefaultMainContextThread::~DefaultMainContextThread()
{
    stopAndJoin();
}

void DefaultMainContextThread::stopAndJoin()
{
    if (!worker.joinable())
        return;
    GMainContext *context = nullptr;
    {
        std::lock_guard guard(shared->lock);
        shared->stopping = true;
        context = shared->context;
    }
    if (context)
        g_main_context_wakeup(context);
    worker.join();
}

void DefaultMainContextThread::post(std::function<void()> work)
{
    GMainContext *context = nullptr;
    {
        std::lock_guard guard(shared->lock);
        shared->work.push_back(std::move(work));
        context = shared->context;
    }
    if (context)
        g_main_context_wakeup(context); // before the thread has a context it looks at the work first anyway
}

bool DefaultMainContextThread::isCurrent() const
{
    std::lock_guard guard(shared->lock);
    return std::this_thread::get_id() == shared->threadId;
}

bool DefaultMainContextThread::ownsDefaultContext()
{
    return g_main_context_is_owner(g_main_context_default());
}
