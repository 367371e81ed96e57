#pragma once

#include "AutoUpdater.h"
#include "InstallPlaces.h"
#include "UpdateSecurity.h"
#include "UpdateTrust.h"
#include "support/Error.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class LimitedDownloader;
class SerialQueue;

// A verified, unpacked update waiting to be installed.
struct PendingUpdate {
    QString version;
    QString newApp;     // the unpacked bundle in its staging folder
    QString currentApp; // the installed bundle it replaces
};

// What the swap job needs to replace `currentApp` with `newApp` once this process has ended.
struct SwapRequest {
    PendingUpdate update;
    QString updatesDirectory;
    qint64 applicationPid = 0;
};

// Keeps an installed Murmex current: once at start and every six hours it fetches the signed
// manifest from the build's feed; a newer version is downloaded into a staging folder, checked
// (digest, unpacking, the bundle in depth), noted on disk ("pending.json") and then, whenever the
// dictation controller is idle, handed to the detached swap job, after which Murmex quits. Every
// failure is silent for the user and written to the log ("[MurmexUpdater] …").
//
// Threads: the public calls, the timer and the install attempts run on the main thread; transfers
// on the downloader's thread, whose completions only look at the answer and hand on; checking,
// unpacking and validating on the worker queue. Results come back to the main thread through
// `mainContext_`, so nothing posted survives the updater.
class FeedAutoUpdater final : public AutoUpdater {
public:
    struct Environment {
        QString bundleRoot;       // the running bundle
        QString currentVersion;   // its bundle.json "version", "0.0.0" when absent
        QString updatesDirectory; // $XDG_DATA_HOME/Murmex/Updates
        UpdateTrust trust;
        InstallPlaces places;
        // Ends the application (the normal quit path, so shutdown runs).
        std::function<void()> terminate;
        // Starts the detached swap job; the error says why it could not.
        std::function<Expected<void>(const SwapRequest &)> stageSwap;
        // The new version's side of the trial: true when a request was there and was acknowledged.
        std::function<Expected<bool>(const QString &updatesDirectory, const QString &version)> acknowledgeHealth;
        // Injected for tests: the wall clock of the attempt guard and the main-thread timer.
        std::function<QDateTime()> now = [] { return QDateTime::currentDateTimeUtc(); };
        std::function<void(std::chrono::milliseconds, std::function<void()>)> schedule = {};
    };

    static constexpr std::chrono::hours checkInterval{6};
    static constexpr std::chrono::seconds firstAttemptDelay{3};
    static constexpr std::chrono::seconds busyRetryDelay{30};
    static constexpr std::chrono::seconds failedRetryDelay{300};

    explicit FeedAutoUpdater(Environment environment);
    ~FeedAutoUpdater() override;

    bool applyStagedUpdateOnLaunchIfNeeded() override;
    void start(std::function<bool()> isSafeToRestart) override;
    void installPendingOnQuit() override;
    void acknowledgeUpdaterHealthCheck() override;
    bool isAvailable() const override;

    void checkForUpdate();
    // The running bundle when it may be replaced by an update: in an accepted place, managed by
    // itself, its parent folder writable. Any thread.
    [[nodiscard]] std::optional<QString> installedApplicationURL() const;
    [[nodiscard]] bool stageUpdateSwap();
    void attemptAutomaticInstall();

    [[nodiscard]] bool isChecking() const { return isChecking_; }
    [[nodiscard]] bool isSwapStaged() const { return isSwapStaged_; }
    [[nodiscard]] const std::optional<PendingUpdate> &pendingUpdate() const { return pendingUpdate_; }
    // Blocks until the checking queue has nothing left (tests).
    bool waitForWorker(int timeoutMilliseconds);

private:
    void log(const QString &message) const;
    // Why a bundle that someone else keeps current is never updated here; empty for one that updates itself.
    [[nodiscard]] QString managerSkipMessage() const;
    void scheduleInstallAttempt(std::chrono::milliseconds delay);
    void onMain(std::function<void()> action);
    void finishCheck(std::optional<PendingUpdate> pending);
    void verifyFeed(const QByteArray &bytes);
    void download(const UpdateManifest &manifest);
    void unpackAndValidate(const UpdateManifest &manifest, const QString &stagingFolder);

    Environment environment_;
    // Destroyed last: its destruction drops results still queued for the main thread.
    QObject mainContext_;
    QTimer checkTimer_;
    std::function<bool()> isSafeToRestart_;
    bool isChecking_ = false;
    bool isSwapStaged_ = false;
    std::optional<PendingUpdate> pendingUpdate_;
    // Set first when the updater goes away: transfers and checks still under way end without a result.
    std::atomic<bool> stopping_{false};
    // Destroyed before the context (it finishes what it holds, which may post to the main thread),
    // after the downloader (whose completions feed it).
    std::unique_ptr<SerialQueue> worker_;
    std::unique_ptr<LimitedDownloader> downloader_;
};
