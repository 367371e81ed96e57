// The runtime state file an earlier run leaves behind: the input is the file's bytes, read by
// RuntimeStateFile::parse.
//
// Checked: what is accepted is a pid Linux can give and a known state; the same contents written
// as Murmex writes them read back as they were, and so does the file the running process persists.
#include "FuzzCheck.h"

#include "app/RuntimeStateFile.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QString describe(const RuntimeStateFile::Contents &contents)
{
    return QStringLiteral("pid %1 state %2").arg(contents.pid).arg(rawValue(contents.state));
}

bool operator==(const RuntimeStateFile::Contents &a, const RuntimeStateFile::Contents &b)
{
    return a.pid == b.pid && a.state == b.state;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::silenceLog();
    // The support root, where persist() writes, below the fuzzer's own folder.
    qputenv("XDG_DATA_HOME", Fuzz::folder().toLocal8Bit());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes = Fuzz::bytes(data, size);
    const auto contents = RuntimeStateFile::parse(bytes);
    if (!contents)
        return 0;
    FUZZ_CHECK(contents->pid >= 1 && contents->pid <= 4194304, describe(*contents));

    const QJsonObject written{{QStringLiteral("pid"), contents->pid}, {QStringLiteral("state"), rawValue(contents->state)}};
    const auto reread = RuntimeStateFile::parse(QJsonDocument(written).toJson(QJsonDocument::Compact));
    FUZZ_CHECK(reread && *reread == *contents, describe(*contents));

    RuntimeStateFile::persist(contents->state);
    QFile file(RuntimeStateFile::path());
    FUZZ_CHECK(file.open(QIODevice::ReadOnly), file.errorString());
    const QByteArray persistedBytes = file.readAll();
    const auto persisted = RuntimeStateFile::parse(persistedBytes);
    const RuntimeStateFile::Contents running{QCoreApplication::applicationPid(), contents->state};
    FUZZ_CHECK(persisted && *persisted == running, describe(running) + QStringLiteral(" persisted as ") + QString::fromUtf8(persistedBytes));
    return 0;
}
