#pragma once

#include "AutoUpdater.h"
#include "support/Error.h"

#include <QString>
#include <QStringList>

#include <functional>

// A Murmex started from somewhere else (a download folder) copies itself to ~/.local/opt/murmex,
// adds itself to the desktop's application menu, starts the copy and quits. Only a bundle that
// manages itself (no "managedBy" in its bundle.json) does so. Any failure is told once in an alert,
// and Murmex goes on from where it was started. Runs at launch on the main thread and blocks it
// while copying and while waiting for the copy to appear (about 5 s at most).
class AppSelfInstaller final : public SelfInstaller {
public:
    struct Services {
        // The running bundle (the folder holding bundle.json), empty when there is none.
        QString bundleRoot;
        // An informational alert: message, informative text, buttons.
        std::function<void(const QString &, const QString &, const QStringList &)> showAlert;
        // Gives up this process's single-instance claim, so that the copy can take it, and takes it
        // back when the copy did not start; the second answers whether this process holds it again.
        std::function<void()> releaseSingleInstance;
        std::function<bool()> claimSingleInstance;
    };

    // Error domain and codes; file-system failures carry errno as their code.
    static inline const QString errorDomain = QStringLiteral("Murmex");
    enum Code { occupied = 40, copyNotValid = 41, launchFailed = 42, notSeenRunning = 43, noIdentity = 44, originNotCleared = 45 };

    explicit AppSelfInstaller(Services services);

    // True when the installed copy runs: this process quits 0.25 s later and must start nothing.
    [[nodiscard]] bool installAndRelaunchIfNeeded() override;

    // Copies the bundle at `source` to `destination` under a hidden temporary name beside it, checks
    // the copy, clears its download-origin marks and swaps it in atomically. Something at the
    // destination that is not a Murmex bundle is never replaced (code 40).
    [[nodiscard]] static Expected<void> install(const QString &source, const QString &destination);
    // Removes the attributes that say where a file was downloaded from, on every file and folder.
    [[nodiscard]] static Expected<void> removeDownloadOriginRecursively(const QString &path);
    // The menu entry and its icon in `dataHome` ($XDG_DATA_HOME) for the bundle at `bundleRoot`.
    [[nodiscard]] static Expected<void> writeDesktopEntry(const QString &bundleRoot, const QString &dataHome);
    // The desktop entry's Exec value that starts `program` with no arguments.
    [[nodiscard]] static QString desktopExecValue(const QString &program);

private:
    // Starts the copy at `destination` and waits until a new process of it runs.
    [[nodiscard]] Expected<void> relaunch(const QString &destination);
    void report(const Error &error);

    Services services;
    bool singleInstanceReleased = false;
};
