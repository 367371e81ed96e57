#pragma once

#include "support/Log.h"

#include <QByteArray>
#include <QDebug>
#include <QDir>
#include <QString>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

// What the fuzz targets share: the checks that end a run, the input as Qt bytes, and a private
// folder for the files a target writes.
namespace Fuzz {

// A property that does not hold ends the process with the reason; libFuzzer keeps the input that
// led there, as for a crash.
[[noreturn]] inline void fail(const char *file, int line, const char *condition, const QString &detail)
{
    std::fprintf(stderr, "%s:%d: check failed: %s\n%s\n", file, line, condition, qUtf8Printable(detail));
    std::abort();
}

inline QByteArray bytes(const std::uint8_t *data, std::size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
}

// A folder below $TMPDIR that is removed when the process ends in order. Created on first use.
inline QString folder()
{
    static QTemporaryDir directory(QDir::tempPath() + QStringLiteral("/murmex-fuzz-XXXXXX"));
    if (!directory.isValid())
        fail(__FILE__, __LINE__, "directory.isValid()", directory.errorString());
    return directory.path();
}

// The log lines and Qt's warnings about rejected inputs would only slow the fuzzer down. A fatal
// message still ends the process.
inline void silenceLog()
{
    Log::setSink([](const QString &) {});
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
}

// Quotes a text with its code points visible, for the reason of a failed check.
inline QString shown(const QString &text)
{
    QString result;
    QDebug(&result) << text;
    return result;
}

} // namespace Fuzz

#define FUZZ_CHECK(condition, detail)                                                                                                      \
    do {                                                                                                                                   \
        if (!(condition))                                                                                                                  \
            Fuzz::fail(__FILE__, __LINE__, #condition, (detail));                                                                          \
    } while (false)
