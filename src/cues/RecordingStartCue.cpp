#include "RecordingStartCue.h"

#include "CueProcesses.h"

#include <QLoggingCategory>
#include <QProcess>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

Q_LOGGING_CATEGORY(lcStartCue, "murmex.cues", QtInfoMsg)

namespace {
constexpr int launchBoundMilliseconds = 5000;
constexpr char triggerByte = 0x01;
} // namespace

RecordingStartCue::RecordingStartCue(QProcess *process, int trigger) : process_(process), trigger(trigger) {}

RecordingStartCue::~RecordingStartCue()
{
    if (trigger >= 0)
        cancel();
}

std::unique_ptr<RecordingStartCue> RecordingStartCue::launch(const QString &player, const QString &sound, bool trace, QObject *parent)
{
    int ends[2];
    // Close-on-exec on both: no other child keeps the player's input open, so closing ours is an end.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        qCWarning(lcStartCue) << "no trigger for the start cue:" << std::strerror(errno);
        return nullptr;
    }
    const int playerEnd = ends[1];
    QProcess *process = CueProcesses::make(player, {sound, QStringLiteral("--wait-for-recording")}, trace, parent);
    // Runs in the child after Qt has set up its standard channels: the socket becomes its input.
    process->setChildProcessModifier([playerEnd] { ::dup2(playerEnd, STDIN_FILENO); });
    process->start();
    const bool started = process->waitForStarted(launchBoundMilliseconds);
    ::close(playerEnd);
    if (!started) {
        qCWarning(lcStartCue) << "the cue player did not start:" << process->errorString();
        ::close(ends[0]);
        CueProcesses::end(process);
        return nullptr;
    }
    return std::unique_ptr<RecordingStartCue>(new RecordingStartCue(process, ends[0]));
}

bool RecordingStartCue::play(std::function<void()> completion)
{
    if (trigger < 0 || !process_ || process_->state() != QProcess::Running) {
        cancel();
        return false;
    }
    const QMetaObject::Connection ended = QObject::connect(process_, &QProcess::finished, process_, [completion] {
        if (completion)
            completion();
    });
    ssize_t sent;
    do
        sent = ::send(trigger, &triggerByte, 1, MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    if (sent != 1) {
        // The player has died meanwhile (EPIPE): the caller falls back to a fresh one.
        qCInfo(lcStartCue) << "the waiting cue player did not take the trigger:" << std::strerror(errno);
        QObject::disconnect(ended);
        cancel();
        return false;
    }
    closeTrigger();
    return true;
}

void RecordingStartCue::cancel()
{
    closeTrigger();
    CueProcesses::end(std::exchange(process_, nullptr));
}

void RecordingStartCue::closeTrigger()
{
    if (trigger >= 0)
        ::close(trigger); // its error changes nothing: the descriptor is gone either way
    trigger = -1;
}
