#pragma once

#include <QString>
#include <QStringList>

#include <utility>
#include <vector>

// A set of 1-based request or input numbers, written "3", "1,4", "2-5", "2-" (2 and every later
// one) or "all".
class NumberSet {
public:
    static bool parse(const QString &text, NumberSet &set);
    bool contains(int number) const;
    bool isEmpty() const { return ranges.empty(); }

private:
    std::vector<std::pair<int, int>> ranges; // inclusive; INT_MAX for an open end
};

// How a test tells a double what to do: environment variables MURMEX_DOUBLE_<NAME>, each of which
// may be given for one program only as MURMEX_DOUBLE_<SCOPE>_<NAME> (scope SERVER, CLI or PYTHON),
// which then wins. A value the double cannot read ends it at once with status 64, so that a
// mistake in a test shows instead of passing for a behaviour.
class DoubleSettings {
public:
    DoubleSettings(QString program, QString scope);

    const QString &program() const { return program_; }
    bool isSet(const QString &name) const;
    QString text(const QString &name) const;
    int number(const QString &name, int fallback) const;
    NumberSet numbers(const QString &name) const;
    // The transcripts MURMEX_DOUBLE_TRANSCRIPTS ("uno|dos") or MURMEX_DOUBLE_TRANSCRIPTS_FILE (one
    // per line) hand out; empty when neither is set.
    QStringList transcripts() const;

    [[noreturn]] void fail(const QString &message) const;

private:
    QString variable(const QString &name) const; // the variable that applies, scoped or not

    QString program_;
    QString scope;
};
