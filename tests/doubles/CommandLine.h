#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

#include <vector>

// The command line of a double: the options of the program it stands in for, and the arguments
// that are not options (anything that does not start with "-").
class CommandLine {
public:
    struct Option {
        QStringList names; // the last one is the name used to ask for it
        bool takesValue = false;
    };

    // With allowEquals, "--name=value" is accepted as well as "--name value".
    CommandLine(std::vector<Option> options, bool allowEquals);

    // False on an unknown option or a missing value; error() then says which.
    bool parse(const QStringList &arguments);
    const QString &error() const { return error_; }

    bool isSet(const QString &name) const { return values.contains(name); }
    QString value(const QString &name, const QString &fallback = {}) const { return values.value(name, fallback); }
    const QStringList &positional() const { return positional_; }

private:
    const Option *find(const QString &name) const;

    std::vector<Option> options;
    bool allowEquals;
    QHash<QString, QString> values;
    QStringList positional_;
    QString error_;
};

// The language codes whisper knows, and "auto".
bool isWhisperLanguage(const QString &code);
