#pragma once

#include "HotKeys.h"

// Stand-in until global hot keys are built: nothing is registered, and the log says so once.
class UnavailableHotKeys final : public HotKeys {
public:
    void installHandler(HotKeyListener &) override {}
    void removeHandler() override {}
    Registration registerDictationHotKey(const Shortcut &shortcut) override;
    void unregisterDictationHotKey() override {}
    bool registerAbortHotKey() override { return false; }
    void unregisterAbortHotKey() override {}
    void installAbortKeyMonitorFallback() override {}
};
