#pragma once

#include "AutoUpdater.h"

// Stand-ins until self-updates and self-installation are built: there is never anything to do,
// and Murmex runs where it was started.
class UnavailableAutoUpdater final : public AutoUpdater {
public:
    bool applyStagedUpdateOnLaunchIfNeeded() override { return false; }
    void start(std::function<bool()>) override {}
    void installPendingOnQuit() override {}
    void acknowledgeUpdaterHealthCheck() override {}
    bool isAvailable() const override { return false; }
};

class UnavailableSelfInstaller final : public SelfInstaller {
public:
    bool installAndRelaunchIfNeeded() override { return false; }
};
