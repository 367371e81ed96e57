#include "DoubleSettings.h"

#include <QFile>

#include <climits>
#include <cstdio>
#include <cstdlib>

bool NumberSet::parse(const QString &text, NumberSet &set)
{
    set.ranges.clear();
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return true;
    if (trimmed == QLatin1String("all")) {
        set.ranges.emplace_back(1, INT_MAX);
        return true;
    }
    for (const QString &item : trimmed.split(u',')) {
        const QStringList bounds = item.trimmed().split(u'-');
        bool firstOk = false;
        const int first = bounds.value(0).toInt(&firstOk);
        if (!firstOk || first < 1 || bounds.size() > 2)
            return false;
        int last = first;
        if (bounds.size() == 2) {
            bool lastOk = true;
            last = bounds[1].isEmpty() ? INT_MAX : bounds[1].toInt(&lastOk);
            if (!lastOk || last < first)
                return false;
        }
        set.ranges.emplace_back(first, last);
    }
    return true;
}

bool NumberSet::contains(int number) const
{
    for (const auto &[first, last] : ranges) {
        if (number >= first && number <= last)
            return true;
    }
    return false;
}

DoubleSettings::DoubleSettings(QString program, QString scope)
    : program_(std::move(program)), scope(std::move(scope))
{
}

QString DoubleSettings::variable(const QString &name) const
{
    const QString scoped = QStringLiteral("MURMEX_DOUBLE_%1_%2").arg(scope, name);
    if (qEnvironmentVariableIsSet(scoped.toLatin1().constData()))
        return scoped;
    return QStringLiteral("MURMEX_DOUBLE_%1").arg(name);
}

bool DoubleSettings::isSet(const QString &name) const
{
    return qEnvironmentVariableIsSet(variable(name).toLatin1().constData());
}

QString DoubleSettings::text(const QString &name) const
{
    return qEnvironmentVariable(variable(name).toLatin1().constData());
}

int DoubleSettings::number(const QString &name, int fallback) const
{
    if (!isSet(name))
        return fallback;
    bool ok = false;
    const int value = text(name).trimmed().toInt(&ok);
    if (!ok || value < 0)
        fail(QStringLiteral("%1 must be a whole number of at least 0, not \"%2\"").arg(variable(name), text(name)));
    return value;
}

NumberSet DoubleSettings::numbers(const QString &name) const
{
    NumberSet set;
    if (!NumberSet::parse(text(name), set))
        fail(QStringLiteral("%1 must be \"all\" or numbers from 1 like \"2\", \"1,3\", \"2-4\" or \"2-\", not \"%2\"")
                 .arg(variable(name), text(name)));
    return set;
}

QStringList DoubleSettings::transcripts() const
{
    if (isSet(QStringLiteral("TRANSCRIPTS")))
        return text(QStringLiteral("TRANSCRIPTS")).split(u'|');
    if (!isSet(QStringLiteral("TRANSCRIPTS_FILE")))
        return {};
    QFile file(text(QStringLiteral("TRANSCRIPTS_FILE")));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        fail(QStringLiteral("cannot read the transcripts file %1: %2").arg(file.fileName(), file.errorString()));
    QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n');
    if (lines.size() > 1 && lines.last().isEmpty())
        lines.removeLast(); // the line feed that ends the last line
    return lines;
}

void DoubleSettings::fail(const QString &message) const
{
    std::fprintf(stderr, "%s (test double): %s\n", qPrintable(program_), qPrintable(message));
    std::exit(64);
}
