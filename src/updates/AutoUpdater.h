#pragma once

#include <functional>

// Signed self-updates: a periodic check of the update feed, an update staged on disk, swapped in
// at a safe moment and confirmed by the new version's health check.
class AutoUpdater {
public:
    virtual ~AutoUpdater() = default;

    // At launch, before anything else starts: an update staged by an earlier run is swapped in.
    // True when this process is about to be replaced and must start nothing.
    [[nodiscard]] virtual bool applyStagedUpdateOnLaunchIfNeeded() = 0;
    // Starts the periodic checks; `isSafeToRestart` answers whether Murmex may restart now.
    virtual void start(std::function<bool()> isSafeToRestart) = 0;
    // At exit: a downloaded update is installed now.
    virtual void installPendingOnQuit() = 0;
    // Shortly after launch: tells the swap job that this version runs.
    virtual void acknowledgeUpdaterHealthCheck() = 0;
    // Whether this build updates itself at all (for the log and the menu).
    [[nodiscard]] virtual bool isAvailable() const = 0;
};

// Installation of a Murmex started from somewhere else than its installed place.
class SelfInstaller {
public:
    virtual ~SelfInstaller() = default;
    // True when an installed copy is being started instead: this process must start nothing.
    [[nodiscard]] virtual bool installAndRelaunchIfNeeded() = 0;
};
