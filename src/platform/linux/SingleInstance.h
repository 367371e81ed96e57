#pragma once

#include <QLockFile>

#include <memory>

// One Murmex per user and session. The running one owns the session bus name "com.tarvo.Murmex"
// (control methods may be added to it later); where no session bus answers, a lock file in
// $XDG_RUNTIME_DIR stands in for the name. The claim lasts as long as this object.
class SingleInstance {
public:
    static constexpr const char *busName = "com.tarvo.Murmex";
    enum class Claim { owned, heldByAnother };

    [[nodiscard]] Claim claim();
    // Gives the claim up, so that another Murmex (an installed copy of this one) can take it; claim()
    // may be called again afterwards.
    void release();

private:
    std::unique_ptr<QLockFile> lock;
};
