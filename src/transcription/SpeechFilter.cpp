#include "SpeechFilter.h"

#include <QRegularExpression>
#include <QSet>
#include <QStringList>

namespace {

const QRegularExpression &annotationPattern()
{
    static const QRegularExpression pattern(
        QStringLiteral("(?i)[\\[\\(\\{<]\\s*(?:música|musica|music|silencio|silence|soroll|ruido|noise|aplausos?|applause|risas?|riures?"
                       "|laughter|laughing|inaudible|ininteligible|inintel·ligible|suspiros?|sighs?|blank[ _-]?audio|audio[ _-]?en[ _-]?blanco"
                       "|sense[ _-]?àudio|no[ _-]?audio)\\s*[\\]\\)\\}>]"),
        QRegularExpression::UseUnicodePropertiesOption);
    return pattern;
}

const QRegularExpression &noteSymbolPattern()
{
    static const QRegularExpression pattern(QStringLiteral("[♪♫♬🎵🎶]+"));
    return pattern;
}

const QSet<QString> &noiseWords()
{
    static const QSet<QString> words{
        QStringLiteral("musica"),   QStringLiteral("music"),    QStringLiteral("silencio"),  QStringLiteral("silence"),
        QStringLiteral("soroll"),   QStringLiteral("ruido"),    QStringLiteral("noise"),     QStringLiteral("aplauso"),
        QStringLiteral("aplausos"), QStringLiteral("applause"), QStringLiteral("risa"),      QStringLiteral("risas"),
        QStringLiteral("riure"),    QStringLiteral("riures"),   QStringLiteral("laughter"),  QStringLiteral("laughing"),
        QStringLiteral("inaudible"), QStringLiteral("ininteligible"), QStringLiteral("suspiro"), QStringLiteral("suspiros"),
        QStringLiteral("sigh"),     QStringLiteral("sighs"),
    };
    return words;
}

QString collapseWhiteSpace(const QString &text)
{
    return text.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts).join(QLatin1Char(' ')).trimmed();
}

// Case and diacritics removed, for comparing words: "Música" and "MUSICA" both fold to "musica".
QString folded(const QString &text)
{
    const QString decomposed = text.normalized(QString::NormalizationForm_D);
    QString result;
    result.reserve(decomposed.size());
    for (const QChar character : decomposed)
        if (character.category() != QChar::Mark_NonSpacing)
            result.append(character);
    return result.toLower();
}

} // namespace

std::optional<QString> speechOnlyTranscript(const QString &text)
{
    QString cleaned = text;
    if (annotationPattern().isValid())
        cleaned.replace(annotationPattern(), QStringLiteral(" "));
    cleaned.replace(noteSymbolPattern(), QStringLiteral(" "));
    cleaned = collapseWhiteSpace(cleaned);
    if (cleaned.isEmpty())
        return std::nullopt;

    QStringList words;
    QString word;
    const QString fold = folded(cleaned);
    for (qsizetype i = 0; i <= fold.size(); ++i) {
        const bool boundary = i == fold.size() || !(fold.at(i).isLetterOrNumber() || fold.at(i).isMark());
        if (!boundary) {
            word.append(fold.at(i));
        } else if (!word.isEmpty()) {
            words.append(word);
            word.clear();
        }
    }
    if (!words.isEmpty() && std::all_of(words.begin(), words.end(), [](const QString &w) { return noiseWords().contains(w); }))
        return std::nullopt;

    if (std::none_of(cleaned.begin(), cleaned.end(), [](QChar character) { return character.isLetterOrNumber(); }))
        return std::nullopt;
    return cleaned;
}
