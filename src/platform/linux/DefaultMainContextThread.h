#pragma once

#include <QString>

#include <functional>
#include <memory>
#include <thread>

// One thread that owns GLib's global default main context and runs it: whatever a library attaches
// to that context (bus connections, their replies and signals) is dispatched here, and so is the
// work handed over with post(), one piece at a time in the order given, between those events.
//
// Only one thread may own the default context. When another one already iterates it (Qt's GLib
// event dispatcher on the main thread, or a second instance), this thread runs a private context
// instead: posted work still runs, and ownsDefaultContext() tells it that the default one is not here.
class DefaultMainContextThread {
public:
    // The label names the thread for debuggers ("com.tarvo.murmex.caret-lookup").
    // `takeDefaultContext` false makes it run a private context from the start.
    DefaultMainContextThread(QString label, bool takeDefaultContext);
    // Runs what is already posted (also what that work posts in turn), then stops and joins. The
    // work may still call the objects that posted it, so it is waited for; the blocking calls it
    // makes on a bus end with those calls' own timeouts.
    ~DefaultMainContextThread();
    // What the destructor does, for an owner whose object the remaining work still calls: it can
    // stop the thread while its own pointer to it stays valid. Later calls do nothing.
    void stopAndJoin();

    DefaultMainContextThread(const DefaultMainContextThread &) = delete;
    DefaultMainContextThread &operator=(const DefaultMainContextThread &) = delete;

    const QString &label() const { return label_; }

    // Any thread. The work object is run and destroyed on this thread.
    void post(std::function<void()> work);

    // Whether the caller runs on this thread.
    bool isCurrent() const;
    // Whether the calling thread owns GLib's default main context; from posted work, whether this
    // thread got it.
    static bool ownsDefaultContext();

private:
    struct Shared;

    const QString label_;
    std::shared_ptr<Shared> shared;
    std::thread worker;
};
