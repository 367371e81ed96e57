#include "CommandLine.h"

#include <QSet>

#include <optional>

CommandLine::CommandLine(std::vector<Option> options, bool allowEquals)
    : options(std::move(options)), allowEquals(allowEquals)
{
}

const CommandLine::Option *CommandLine::find(const QString &name) const
{
    for (const Option &option : options) {
        if (option.names.contains(name))
            return &option;
    }
    return nullptr;
}

bool CommandLine::parse(const QStringList &arguments)
{
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        QString argument = arguments[i];
        if (!argument.startsWith(u'-')) {
            positional_ << argument;
            continue;
        }
        std::optional<QString> attached;
        if (allowEquals && argument.startsWith(QLatin1String("--")) && argument.contains(u'=')) {
            attached = argument.section(u'=', 1);
            argument = argument.section(u'=', 0, 0);
        }
        const Option *option = find(argument);
        if (!option) {
            error_ = QStringLiteral("unknown argument: %1").arg(arguments[i]);
            return false;
        }
        if (!option->takesValue) {
            if (attached) {
                error_ = QStringLiteral("%1 takes no value").arg(argument);
                return false;
            }
            values.insert(option->names.last(), QString());
        } else if (attached) {
            values.insert(option->names.last(), *attached);
        } else if (i + 1 < arguments.size()) {
            values.insert(option->names.last(), arguments[++i]);
        } else {
            error_ = QStringLiteral("%1 needs a value").arg(argument);
            return false;
        }
    }
    return true;
}

bool isWhisperLanguage(const QString &code)
{
    static const QSet<QString> codes = [] {
        QSet<QString> set;
        const char *const all[] = {
            "auto", "en", "zh", "de", "es", "ru", "ko", "fr", "ja", "pt", "tr", "pl", "ca", "nl", "ar", "sv",
            "it", "id", "hi", "fi", "vi", "he", "uk", "el", "ms", "cs", "ro", "da", "hu", "ta", "no", "th",
            "ur", "hr", "bg", "lt", "la", "mi", "ml", "cy", "sk", "te", "fa", "lv", "bn", "sr", "az", "sl",
            "kn", "et", "mk", "br", "eu", "is", "hy", "ne", "mn", "bs", "kk", "sq", "sw", "gl", "mr", "pa",
            "si", "km", "sn", "yo", "so", "af", "oc", "ka", "be", "tg", "sd", "gu", "am", "yi", "lo", "uz",
            "fo", "ht", "ps", "tk", "nn", "mt", "sa", "lb", "my", "bo", "tl", "mg", "as", "tt", "haw", "ln",
            "ha", "ba", "jw", "su", "yue"};
        for (const char *c : all)
            set.insert(QString::fromLatin1(c));
        return set;
    }();
    return codes.contains(code);
}
