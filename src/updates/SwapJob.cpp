#include "SwapJob.h"

#include "UpdateFiles.h"
#include "UpdateSecurity.h"
#include "support/Processes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>
#include <QUuid>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>

extern char **environ;

namespace {

using SwapJob::Runner;

const QString errorDomain = QStringLiteral("MurmexUpdater");
enum ErrorCode { scriptNotWritten = 60, definitionNotWritten, jobNotStarted, acknowledgementNotWritten, inputsRefused };

QString unitName()
{
    return UpdateFiles::jobLabel + QStringLiteral(".service");
}

// What the job runs under: the service manager gets the desktop session's variables, which its
// units do not inherit (a job run by setsid inherits them from Murmex).
const char *const sessionVariables[] = {"DISPLAY", "XAUTHORITY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS",
                                        "XDG_RUNTIME_DIR", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "HOME",
                                        "PULSE_SERVER", "PATH"};

// Bounds for the service manager's programs, which run on the main thread while staging.
constexpr int managerStateMilliseconds = 300;
constexpr int unitStopMilliseconds = 300;
constexpr int unitStartMilliseconds = 1000;

// The fixed part of the script, after its variables.
constexpr char scriptBody[] = R"SH(
SELF=$0
PROGRAM=bin/murmex
HELPER=libexec/murmex-exchange
cd / || exit 0

# The process runs (one that has ended but was not reaped yet counts as gone).
alive() {
    case "$1" in '' | 0 | *[!0-9]*) return 1 ;; esac
    state=$(sed -n 's/^.*) \(.\).*$/\1/p' "/proc/$1/stat" 2>/dev/null)
    [ -n "$state" ] && [ "$state" != Z ] && [ "$state" != X ]
}

# Starts a bundle's program with nothing of this job attached: no standard streams, a session of
# its own and, under the service manager, a scope of its own, since stopping this job's unit stops
# every process left in it. The job goes on only once the program has left the unit (bounded), as
# it may end right after.
start_bundle() {
    if [ "$RUNNER" = systemd ]; then
        setsid systemd-run --user --scope --quiet --collect -- "$1/$PROGRAM" </dev/null >/dev/null 2>&1 &
        started=$!
        unit=$(cat /proc/$$/cgroup 2>/dev/null)
        tries=0
        while [ "$tries" -lt 40 ] && alive "$started" && [ "$(cat "/proc/$started/cgroup" 2>/dev/null)" = "$unit" ]; do
            tries=$((tries + 1))
            sleep 0.25
        done
    else
        setsid "$1/$PROGRAM" </dev/null >/dev/null 2>&1 &
    fi
}

finish() {
    if [ "$REOPEN" = 1 ] && ! alive "$APP_PID" && [ -f "$CUR/$PROGRAM" ]; then
        start_bundle "$CUR"
    fi
    rm -f "$JOB" "$SELF"
    if [ "$RUNNER" = systemd ]; then
        systemctl --user --no-block stop "$LABEL.service" >/dev/null 2>&1
    fi
    exit 0
}

# The processes whose command line starts with the installed program's path.
bundle_processes() {
    for entry in /proc/[0-9]*; do
        pid=${entry#/proc/}
        [ "$pid" = "$$" ] && continue
        line=$(tr '\000' ' ' <"$entry/cmdline" 2>/dev/null) || continue
        case "$line" in
        "$CUR/$PROGRAM" | "$CUR/$PROGRAM "*) echo "$pid" ;;
        esac
    done
}

# Waits up to $1 polls until none of the other arguments runs.
wait_gone() {
    limit=$1
    shift
    polls=0
    while :; do
        any=0
        for pid in "$@"; do
            alive "$pid" && any=1
        done
        [ "$any" = 0 ] && return 0
        [ "$polls" -ge "$limit" ] && return 1
        polls=$((polls + 1))
        sleep 0.25
    done
}

restore_note() {
    mv -f "$HOLD" "$NOTE" 2>/dev/null
    rm -f "$REQUEST" "$ACK"
}

roll_back() {
    pids=$(bundle_processes)
    # shellcheck disable=SC2086 # $pids is a list of process ids, split on purpose
    if [ -n "$pids" ]; then
        kill -TERM $pids 2>/dev/null
        if ! wait_gone 40 $pids; then
            kill -KILL $pids 2>/dev/null
            if ! wait_gone 20 $pids; then
                # The new version cannot be stopped: it stays, and the update stays pending.
                restore_note
                finish
            fi
        fi
    fi
    if [ -x "$CUR/$HELPER" ] && "$CUR/$HELPER" "$OLD" "$CUR" 2>/dev/null; then
        rm -rf "$OLD"
    else
        FAILED="$CUR.failed-$$"
        mv -T "$CUR" "$FAILED" || return
        if ! mv -T "$OLD" "$CUR"; then
            mv -T "$FAILED" "$CUR"
            return
        fi
        rm -rf "$FAILED"
    fi
    restore_note
    start_bundle "$CUR"
}

polls=0
while alive "$APP_PID"; do
    [ "$polls" -ge 480 ] && finish
    polls=$((polls + 1))
    sleep 0.25
done

[ "$CUR" = "$SYSTEM_PLACE" ] || [ "$CUR" = "$USER_PLACE" ] || finish
[ -f "$NEW/$PROGRAM" ] || finish

INC="$CUR.incoming-$$"
OLD="$CUR.old-$$"
# Copies left by a job that was stopped part-way (the installed place itself is always whole).
rm -rf "$CUR".incoming-* "$CUR".old-* "$CUR".failed-*
cp -a -T "$NEW" "$INC" || {
    rm -rf "$INC"
    finish
}
if [ -x "$INC/$HELPER" ]; then
    "$INC/$HELPER" --clear-origin "$INC" >/dev/null 2>&1
elif command -v setfattr >/dev/null 2>&1; then
    find "$INC" -exec setfattr -h -x user.xdg.origin.url {} + >/dev/null 2>&1
    find "$INC" -exec setfattr -h -x user.xdg.referrer.url {} + >/dev/null 2>&1
fi

OK=0
if [ -x "$INC/$HELPER" ] && "$INC/$HELPER" "$INC" "$CUR" 2>/dev/null; then
    # One step: the new bundle is in place and $INC holds the old one.
    mv -T "$INC" "$OLD" || OLD=$INC
    OK=1
elif mv -T "$CUR" "$OLD"; then
    if mv -T "$INC" "$CUR"; then
        OK=1
    else
        mv -T "$OLD" "$CUR"
        rm -rf "$INC"
    fi
else
    rm -rf "$INC"
fi
if [ ! -f "$CUR/$PROGRAM" ] && mv -T "$OLD" "$CUR" 2>/dev/null; then
    OK=0
fi

if [ "$OK" = 1 ]; then
    mv -f "$NOTE" "$HOLD" 2>/dev/null
    rm -f "$REQUEST" "$ACK"
    : >"$REQUEST"
    REOPEN=0
    start_bundle "$CUR"
    polls=0
    while [ ! -e "$ACK" ] && [ "$polls" -lt 240 ]; do
        polls=$((polls + 1))
        sleep 0.25
    done
    if [ -e "$ACK" ]; then
        rm -rf "$OLD" "$STAGE"
        rm -f "$HOLD" "$GUARD" "$REQUEST" "$ACK"
    else
        roll_back
    fi
fi
finish
)SH";

QString quoted(const QString &text)
{
    QString escaped = text;
    escaped.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + escaped + QLatin1Char('\'');
}

Error failure(int code, const QString &description)
{
    return Error{errorDomain, code, description};
}

struct RunOutcome {
    bool finished = false; // ran to its end within its time
    int status = -1;
    QByteArray output;
};

// A short program of the service manager, bounded: the main thread waits for it.
RunOutcome runBriefly(const QString &program, const QStringList &arguments, int milliseconds)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(program, arguments);
    if (!process.waitForStarted(milliseconds))
        return {};
    if (!process.waitForFinished(milliseconds)) {
        process.kill();
        process.waitForFinished(milliseconds);
        return {};
    }
    return {process.exitStatus() == QProcess::NormalExit, process.exitCode(), process.readAll()};
}

bool userManagerAnswers()
{
    if (QStandardPaths::findExecutable(QStringLiteral("systemd-run")).isEmpty()
        || QStandardPaths::findExecutable(QStringLiteral("systemctl")).isEmpty())
        return false;
    // The printed state decides: "offline" (no manager) exits with status 1 like "degraded" does.
    const RunOutcome outcome = runBriefly(QStringLiteral("systemctl"), {QStringLiteral("--user"), QStringLiteral("is-system-running")},
                                          managerStateMilliseconds);
    const QByteArray state = outcome.output.trimmed();
    return outcome.finished && (state == "running" || state == "degraded" || state == "starting");
}

struct JobDefinition {
    QString script;
    Runner runner = Runner::setsid;
    qint64 pid = 0;
};

std::optional<JobDefinition> readJobDefinition(const QString &updatesDirectory)
{
    QFile file(UpdateFiles::jobDefinitionPath(updatesDirectory));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QJsonObject object = QJsonDocument::fromJson(file.read(64 * 1024)).object();
    if (object.value(QLatin1String("label")).toString() != UpdateFiles::jobLabel)
        return std::nullopt;
    JobDefinition definition;
    definition.script = object.value(QLatin1String("script")).toString();
    definition.runner = object.value(QLatin1String("runner")).toString() == QLatin1String("systemd") ? Runner::systemd : Runner::setsid;
    definition.pid = qint64(object.value(QLatin1String("pid")).toDouble());
    return definition;
}

Expected<void> writeJobDefinition(const QString &updatesDirectory, const JobDefinition &definition)
{
    QJsonObject object{{QStringLiteral("label"), UpdateFiles::jobLabel},
                       {QStringLiteral("script"), definition.script},
                       {QStringLiteral("runner"), definition.runner == Runner::systemd ? QStringLiteral("systemd") : QStringLiteral("setsid")}};
    if (definition.runner == Runner::setsid)
        object.insert(QStringLiteral("pid"), double(definition.pid));
    QSaveFile file(UpdateFiles::jobDefinitionPath(updatesDirectory));
    const QByteArray bytes = QJsonDocument(object).toJson(QJsonDocument::Compact);
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)
        || file.write(bytes) != bytes.size() || !file.commit())
        return std::unexpected(failure(definitionNotWritten, QStringLiteral("No se pudo escribir %1: %2").arg(file.fileName(), file.errorString())));
    return {};
}

Expected<void> writeScript(const QString &path, const QString &text)
{
    QSaveFile file(path);
    const QByteArray bytes = text.toUtf8();
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner)
        || file.write(bytes) != bytes.size() || !file.commit())
        return std::unexpected(failure(scriptNotWritten, QStringLiteral("No se pudo escribir el guion %1: %2").arg(path, file.errorString())));
    return {};
}

// A job left by an earlier attempt would race this one for the same bundle: its unit is stopped,
// or the process group it was started as, when that still runs its script.
void stopEarlierJob(const QString &updatesDirectory, bool managerAnswers)
{
    if (managerAnswers) // the result is ignored: usually there is no such unit
        runBriefly(QStringLiteral("systemctl"), {QStringLiteral("--user"), QStringLiteral("stop"), unitName()}, unitStopMilliseconds);
    const auto earlier = readJobDefinition(updatesDirectory);
    if (earlier && earlier->runner == Runner::setsid && earlier->pid > 1
        && Processes::commandLine(earlier->pid) == QStringLiteral("/bin/sh ") + earlier->script)
        ::kill(-pid_t(earlier->pid), SIGTERM);
    const QDir directory(updatesDirectory);
    for (const QString &name : directory.entryList({QStringLiteral("apply-update-*.sh")}, QDir::Files | QDir::System | QDir::Hidden))
        QFile::remove(directory.filePath(name));
}

// Starts `/bin/sh script` as a grandchild in a session of its own, so that it outlives Murmex and
// nothing waits for it, with its standard streams on /dev/null and none of Murmex's other
// descriptors. `announce` gets its id before it may begin; when it returns false the job ends
// without running the script.
Expected<qint64> startDetached(const QString &script, const std::function<bool(qint64)> &announce)
{
    const QByteArray scriptPath = QFile::encodeName(script);
    char shell[] = "/bin/sh";
    char *const arguments[] = {shell, const_cast<char *>(scriptPath.constData()), nullptr};
    int pidPipe[2];
    int goPipe[2];
    if (::pipe2(pidPipe, O_CLOEXEC) != 0)
        return std::unexpected(failure(jobNotStarted, QString::fromLocal8Bit(std::strerror(errno))));
    if (::pipe2(goPipe, O_CLOEXEC) != 0) {
        const int error = errno;
        ::close(pidPipe[0]);
        ::close(pidPipe[1]);
        return std::unexpected(failure(jobNotStarted, QString::fromLocal8Bit(std::strerror(error))));
    }
    // _Fork, not fork: no fork handlers run, and the children make only async-signal-safe calls,
    // since this process has other threads.
    const pid_t intermediate = ::_Fork();
    if (intermediate == 0) {
        const pid_t job = ::_Fork();
        if (job != 0) {
            [[maybe_unused]] const ssize_t written = ::write(pidPipe[1], &job, sizeof job);
            ::_exit(job < 0 ? 1 : 0);
        }
        ::setsid();
        ::close(goPipe[1]);
        char go = 0;
        ssize_t got;
        do
            got = ::read(goPipe[0], &go, 1);
        while (got < 0 && errno == EINTR);
        if (got != 1)
            ::_exit(0);
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::close_range(3, ~0U, 0);
        struct sigaction defaultAction {};
        defaultAction.sa_handler = SIG_DFL;
        for (int signal = 1; signal < NSIG; ++signal)
            ::sigaction(signal, &defaultAction, nullptr);
        sigset_t nothing;
        ::sigemptyset(&nothing);
        ::sigprocmask(SIG_SETMASK, &nothing, nullptr);
        ::execve(shell, arguments, environ);
        ::_exit(127);
    }
    const int forkError = errno;
    ::close(pidPipe[1]);
    ::close(goPipe[0]);
    pid_t job = -1;
    if (intermediate > 0) {
        while (::waitpid(intermediate, nullptr, 0) < 0 && errno == EINTR) {
        }
        if (::read(pidPipe[0], &job, sizeof job) != ssize_t(sizeof job))
            job = -1;
    }
    ::close(pidPipe[0]);
    bool started = job > 0 && announce(job);
    if (started)
        started = ::write(goPipe[1], "g", 1) == 1;
    ::close(goPipe[1]);
    if (intermediate < 0)
        return std::unexpected(failure(jobNotStarted, QString::fromLocal8Bit(std::strerror(forkError))));
    if (!started)
        return std::unexpected(failure(jobNotStarted, QStringLiteral("El proceso del cambio de versión no pudo arrancar.")));
    return qint64(job);
}

QStringList unitArguments(const QString &script)
{
    QStringList arguments{QStringLiteral("--user"), QStringLiteral("--unit=") + UpdateFiles::jobLabel, QStringLiteral("--collect"),
                          QStringLiteral("--quiet")};
    for (const char *name : sessionVariables)
        if (qEnvironmentVariableIsSet(name))
            arguments << QStringLiteral("--setenv=%1=%2").arg(QLatin1String(name), qEnvironmentVariable(name));
    arguments << QStringLiteral("/bin/sh") << script;
    return arguments;
}

// Stops the job's unit: waited for (bounded), its result ignored. Only POSIX calls, so that it can
// run while the process exits.
void stopUnitQuietly(const std::string &unit)
{
    char program[] = "systemctl";
    char user[] = "--user";
    char stop[] = "stop";
    char *const arguments[] = {program, user, stop, const_cast<char *>(unit.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t child = -1;
    const int spawned = ::posix_spawnp(&child, program, &actions, nullptr, arguments, environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return;
    for (int poll = 0; poll < 200; ++poll) { // up to 10 s
        if (::waitpid(child, nullptr, WNOHANG) != 0)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
}

} // namespace

QString SwapJob::runnerName(Runner runner)
{
    return runner == Runner::systemd ? QStringLiteral("systemd-run") : QStringLiteral("setsid");
}

QString SwapJob::scriptText(const Inputs &inputs, Runner runner)
{
    const QString directory = inputs.updatesDirectory;
    const QString note = UpdateFiles::pendingNotePath(directory);
    QString text = QStringLiteral("#!/bin/sh\n");
    const auto define = [&text](const char *name, const QString &value) {
        text += QLatin1String(name) + QLatin1Char('=') + value + QLatin1Char('\n');
    };
    define("NEW", quoted(inputs.newApp));
    define("CUR", quoted(inputs.currentApp));
    define("NOTE", quoted(note));
    define("GUARD", quoted(UpdateFiles::attemptGuardPath(directory)));
    define("JOB", quoted(UpdateFiles::jobDefinitionPath(directory)));
    define("REQUEST", quoted(UpdateFiles::healthRequestPath(directory, inputs.version)));
    define("ACK", quoted(UpdateFiles::healthAckPath(directory, inputs.version)));
    define("HOLD", quoted(note + QStringLiteral(".health-hold")));
    define("STAGE", quoted(QFileInfo(inputs.newApp).path()));
    define("REOPEN", QStringLiteral("1"));
    define("APP_PID", QString::number(inputs.applicationPid));
    define("SYSTEM_PLACE", quoted(inputs.places.system));
    define("USER_PLACE", quoted(inputs.places.user));
    define("RUNNER", runner == Runner::systemd ? QStringLiteral("systemd") : QStringLiteral("setsid"));
    define("LABEL", quoted(UpdateFiles::jobLabel));
    return text + QString::fromUtf8(scriptBody);
}

Expected<SwapJob::Runner> SwapJob::stage(const Inputs &inputs, RunnerChoice choice)
{
    const QString directory = inputs.updatesDirectory;
    // The job deletes the new bundle's parent folder once the new version runs: it must be a
    // staging folder inside the updates folder, never anything else.
    const auto refuse = [](const QString &reason) {
        return std::unexpected(failure(inputsRefused, QStringLiteral("Cambio de versión rechazado: ") + reason));
    };
    if (!UpdateFiles::isInsideUpdatesDirectory(QFileInfo(inputs.newApp).path(), directory))
        return refuse(QStringLiteral("%1 no está en una carpeta de preparación de %2.").arg(inputs.newApp, directory));
    if (!QDir::isAbsolutePath(inputs.currentApp))
        return refuse(QStringLiteral("la ruta instalada «%1» no es absoluta.").arg(inputs.currentApp));
    if (!UpdateSecurity::semanticVersion(inputs.version))
        return refuse(QStringLiteral("la versión «%1» no es válida.").arg(inputs.version));
    if (!QDir().mkpath(directory))
        return std::unexpected(failure(scriptNotWritten, QStringLiteral("No se pudo crear la carpeta %1.").arg(directory)));
    const bool managerAnswers = choice == RunnerChoice::automatic && userManagerAnswers();
    stopEarlierJob(directory, managerAnswers);
    const QString script = QDir(directory).filePath(QStringLiteral("apply-update-%1.sh").arg(QUuid::createUuid().toString(QUuid::WithoutBraces)));

    if (managerAnswers) {
        if (const auto written = writeScript(script, scriptText(inputs, Runner::systemd)); !written)
            return std::unexpected(written.error());
        if (const auto defined = writeJobDefinition(directory, {script, Runner::systemd, 0}); !defined)
            return std::unexpected(defined.error());
        const RunOutcome outcome = runBriefly(QStringLiteral("systemd-run"), unitArguments(script), unitStartMilliseconds);
        if (outcome.finished && outcome.status == 0)
            return Runner::systemd;
        if (!outcome.finished) {
            // Whether the unit started is unknown: without its files a late start does nothing.
            QFile::remove(UpdateFiles::jobDefinitionPath(directory));
            QFile::remove(script);
            return std::unexpected(failure(jobNotStarted, QStringLiteral("systemd-run no respondió a tiempo.")));
        }
        // The manager refused the unit: the job runs detached instead.
    }

    if (const auto written = writeScript(script, scriptText(inputs, Runner::setsid)); !written)
        return std::unexpected(written.error());
    std::optional<Error> definitionError;
    const auto started = startDetached(script, [&](qint64 pid) {
        const auto defined = writeJobDefinition(directory, {script, Runner::setsid, pid});
        if (!defined)
            definitionError = defined.error();
        return bool(defined);
    });
    if (!started) {
        QFile::remove(UpdateFiles::jobDefinitionPath(directory));
        QFile::remove(script);
        return std::unexpected(definitionError.value_or(started.error()));
    }
    return Runner::setsid;
}

Expected<bool> SwapJob::acknowledgeHealthCheck(const QString &updatesDirectory, const QString &version)
{
    if (!QFileInfo::exists(UpdateFiles::healthRequestPath(updatesDirectory, version)))
        return false;
    QSaveFile file(UpdateFiles::healthAckPath(updatesDirectory, version));
    if (!file.open(QIODevice::WriteOnly) || file.write("ok", 2) != 2 || !file.commit())
        return std::unexpected(failure(acknowledgementNotWritten, QStringLiteral("%1 (%2)").arg(file.errorString(), file.fileName())));
    unloadJobWhenFinished(updatesDirectory);
    return true;
}

void SwapJob::unloadJobWhenFinished(const QString &updatesDirectory)
{
    const auto definition = readJobDefinition(updatesDirectory);
    if (definition && definition->runner == Runner::setsid)
        return; // the job's process ends by itself
    const std::string job = QFile::encodeName(UpdateFiles::jobDefinitionPath(updatesDirectory)).toStdString();
    const std::string unit = unitName().toStdString();
    // Detached, and only POSIX calls inside: it may still be polling while Murmex exits.
    std::thread([job, unit] {
        for (int poll = 0; poll < 80 && ::access(job.c_str(), F_OK) == 0; ++poll)
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        if (::access(job.c_str(), F_OK) != 0)
            stopUnitQuietly(unit);
    }).detach();
}
