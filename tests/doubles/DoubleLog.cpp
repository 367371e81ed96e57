#include "DoubleLog.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

DoubleLog::DoubleLog(QString program, const QString &path) : program(std::move(program))
{
    if (path.isEmpty())
        return;
    fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        std::fprintf(stderr, "%s (test double): cannot open the log %s: %s\n", qPrintable(this->program),
                     qPrintable(path), std::strerror(errno));
}

DoubleLog::~DoubleLog()
{
    if (fd >= 0)
        ::close(fd);
}

QByteArray DoubleLog::line(const QString &event, QJsonObject fields) const
{
    fields.insert(QStringLiteral("program"), program);
    fields.insert(QStringLiteral("pid"), qint64(::getpid()));
    fields.insert(QStringLiteral("event"), event);
    return QJsonDocument(fields).toJson(QJsonDocument::Compact) + '\n';
}

void DoubleLog::write(const QString &event, QJsonObject fields)
{
    const QByteArray bytes = line(event, std::move(fields));
    writeRaw(bytes.constData(), size_t(bytes.size()));
}

void DoubleLog::writeStart(const QStringList &arguments)
{
    write(QStringLiteral("start"), {{QStringLiteral("arguments"), QJsonArray::fromStringList(arguments)}});
}

void DoubleLog::writeRaw(const char *bytes, size_t length) const
{
    if (fd >= 0 && ::write(fd, bytes, length) < 0) {
        // Nothing sensible to do from a signal handler; the test will miss the line.
    }
}

int DoubleLog::writeExit(int status, const QString &message)
{
    QJsonObject fields = {{QStringLiteral("status"), status}};
    if (!message.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(message));
        fields.insert(QStringLiteral("reason"), message);
    }
    write(QStringLiteral("exit"), fields);
    return status;
}
