#pragma once

#include "InstallPlaces.h"
#include "support/Error.h"

#include <QString>

// The detached job that puts a verified update in the installed bundle's place once Murmex has
// quit, and the new version's side of the trial that follows.
//
// stage() writes a shell script ("apply-update-<uuid>.sh") and the job's definition
// ("apply-update.job": JSON with "label" "com.tarvo.murmex.update", "script", "runner" "systemd" or
// "setsid" and, for setsid, the job's "pid") into the updates folder and starts the script so that
// it outlives Murmex.
// The script, alone from then on:
//   1. waits for the staging process to end (0.25 s polls, at most 480, else it only finishes);
//   2. swaps only an installed bundle in one of the accepted places, and only a new bundle that
//      holds bin/murmex;
//   3. copies the new bundle next to the installed one ("<cur>.incoming-<pid>"), clears the
//      download-origin attributes, and exchanges the two in one atomic step with the new bundle's
//      libexec/murmex-exchange (a pair of moves, each undone when the next fails, where the file
//      system refuses); the old bundle is kept as "<cur>.old-<pid>". Whenever the job is killed,
//      the installed place holds a whole bundle;
//   4. puts the new version on trial: parks "pending.json" as "pending.json.health-hold", creates
//      "health-<version>.request", starts the new bin/murmex and waits up to 60 s for
//      "health-<version>.ack";
//   5. acknowledged: removes the old bundle, the staging folder, the hold, the attempt guard and
//      the request pair. Not acknowledged: stops the new version's processes (TERM, then KILL),
//      exchanges the old bundle back, restores "pending.json" and starts the old version (when
//      the new one cannot be stopped, it stays installed and only the note is restored);
//   6. finishes: starts the installed bundle if nothing was started and Murmex is gone, removes
//      the job's definition and itself, and leaves its service unit.
// Programs the job starts run in a session of their own (under the service manager, in a scope of
// their own, since stopping the job's unit stops every process in it) with the desktop session's
// environment, and are never waited for.
//
// Threads: stage() and acknowledgeHealthCheck() on the main thread (stage() blocks it while it asks
// the service manager: a few tens of milliseconds, under two seconds when the manager is slow);
// unloadJobWhenFinished() returns at once.
namespace SwapJob {

// How the job outlives Murmex: a transient unit "com.tarvo.murmex.update.service" of the user's
// service manager, or a process in a session of its own whose id the job's definition records.
enum class Runner { systemd, setsid };
// The user's service manager when one answers, else setsid; or setsid in any case.
enum class RunnerChoice { automatic, setsidOnly };

struct Inputs {
    QString newApp;            // the unpacked new bundle; its parent is the staging folder
    QString currentApp;        // the installed bundle it replaces
    QString updatesDirectory;  // where the job's files live
    QString version;           // the new version, which names the request and acknowledgement
    qint64 applicationPid = 0; // the process staging the swap, which the job waits for
    InstallPlaces places;      // the only two places the job swaps
};

// "systemd-run" or "setsid", for the log.
[[nodiscard]] QString runnerName(Runner runner);

// The whole script: "#!/bin/sh", then NEW, CUR, NOTE, GUARD, JOB, REQUEST, ACK, HOLD, STAGE,
// REOPEN=1 and APP_PID, then SYSTEM_PLACE, USER_PLACE, RUNNER and LABEL (every path single-quoted,
// each ' in it written '\''), then the fixed body.
[[nodiscard]] QString scriptText(const Inputs &inputs, Runner runner);

// Writes the script (0700, atomically) and the job's definition, stops a job left by an earlier
// attempt and starts this one. Refuses a new bundle whose parent is not a folder inside the updates
// folder (the job deletes that parent), a relative installed path and a version that is not
// "X.Y.Z". Returns the runner that runs it, or why it could not start; then nothing runs and
// Murmex must keep running.
[[nodiscard]] Expected<Runner> stage(const Inputs &inputs, RunnerChoice choice = RunnerChoice::automatic);

// The new version, shortly after launch: when the job asked ("health-<version>.request" exists),
// writes "ok" to "health-<version>.ack" atomically and calls unloadJobWhenFinished(). True when it
// acknowledged, false on a normal start (nothing written); the error's description is for
// "[MurmexUpdater] No se pudo confirmar el arranque: ".
[[nodiscard]] Expected<bool> acknowledgeHealthCheck(const QString &updatesDirectory, const QString &version);

// On a thread of its own: waits up to 80 × 0.25 s for the job to remove its definition, then
// stops its service unit (a job run by setsid ends by itself). Returns at once.
void unloadJobWhenFinished(const QString &updatesDirectory);

} // namespace SwapJob
