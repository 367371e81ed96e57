// The personal dictionary: the input is loaded as a dictionary file and the loaded list is applied
// to a text.
//
// Input: the file's bytes, then optionally a NUL byte and the text (UTF-8) to apply the list to;
// without one a dictated sentence is used. The language, which picks the locale that lower-cases
// the keys, follows the input's length.
//
// Checked: a file that cannot be decoded is a decode error naming the file and leaves texts as they
// were; a loaded list is clean (trimmed, sources present, one entry per key); saved and loaded again
// it is the same list; the matcher finds exactly what the regular expression it stands for finds;
// the text comes back with those matches replaced, and unchanged when nothing was replaced.
#include "FuzzCheck.h"

#include "dictionary/PersonalDictionaryStore.h"
#include "dictionary/WholeWordAlternation.h"

#include <QFile>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>

namespace {

const QString sampleText = QStringLiteral("El señor Pérez dijo que la reunión del lunes se pasa al martes, punto y aparte. "
                                          "Canción número 3: «Murmex» y whisper funcionan en GitHub.");

QString describe(const QList<PersonalDictionaryEntry> &list)
{
    QString text;
    for (const PersonalDictionaryEntry &entry : list)
        text += Fuzz::shown(entry.source) + QStringLiteral(" → ") + Fuzz::shown(entry.replacement) + u'\n';
    return text;
}

QString describe(const QList<WholeWordAlternation::Match> &matches)
{
    QString text;
    for (const WholeWordAlternation::Match &match : matches)
        text += QStringLiteral("(%1, %2) ").arg(match.position).arg(match.length);
    return text;
}

bool allValidUtf16(const QStringList &texts)
{
    return std::all_of(texts.begin(), texts.end(), [](const QString &text) { return text.isValidUtf16(); });
}

// What the matcher stands for, as a regular expression: none of its phrases may be preceded or
// followed by a letter, mark, digit or underscore, case is ignored and the longest phrase is tried
// first. Empty when the expression cannot be compiled (too large for PCRE2).
std::optional<QList<WholeWordAlternation::Match>> referenceMatches(QStringList phrases, const QString &text)
{
    std::sort(phrases.begin(), phrases.end(), [](const QString &a, const QString &b) { return a.size() > b.size(); });
    QStringList alternatives;
    for (const QString &phrase : phrases)
        alternatives.append(QRegularExpression::escape(phrase));
    const QRegularExpression expression(QStringLiteral("(?<![\\p{L}\\p{M}\\p{N}_])(?:%1)(?![\\p{L}\\p{M}\\p{N}_])").arg(alternatives.join(u'|')),
                                        QRegularExpression::CaseInsensitiveOption);
    if (!expression.isValid())
        return std::nullopt;
    QList<WholeWordAlternation::Match> found;
    for (auto iterator = expression.globalMatch(text); iterator.hasNext();) {
        const QRegularExpressionMatch match = iterator.next();
        found.append({match.capturedStart(), match.capturedLength()});
    }
    return found;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::silenceLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray input = Fuzz::bytes(data, size);
    const qsizetype separator = input.indexOf('\0');
    const QByteArray fileBytes = separator < 0 ? input : input.first(separator);
    const QString text = separator < 0 ? sampleText : QString::fromUtf8(input.sliced(separator + 1));
    const TranscriptionLanguage language = allTranscriptionLanguages[size % allTranscriptionLanguages.size()];
    const QLocale locale = transcriptionLocale(language);

    const QString loadedFolder = Fuzz::folder() + QStringLiteral("/loaded");
    QDir().mkpath(loadedFolder);
    PersonalDictionaryStore store(loadedFolder);
    QFile file(store.fileURL(language));
    FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(fileBytes) == fileBytes.size(), file.errorString());
    file.close();

    const auto loaded = store.entries(language);
    if (!loaded) {
        const Error &error = loaded.error();
        FUZZ_CHECK(error.domain == QLatin1String("MurmexDictionary") && error.code == PersonalDictionaryStore::decodeFailed,
                   error.domain + QStringLiteral(" %1: ").arg(error.code) + error.description);
        FUZZ_CHECK(error.description.contains(store.fileURL(language)), error.description);
        const QString unchanged = store.applying(text, language);
        FUZZ_CHECK(unchanged == text, Fuzz::shown(unchanged));
        return 0;
    }
    const QList<PersonalDictionaryEntry> &list = *loaded;

    QSet<QString> keys;
    for (const PersonalDictionaryEntry &entry : list) {
        FUZZ_CHECK(!entry.source.isEmpty() && entry.source == entry.source.trimmed() && entry.replacement == entry.replacement.trimmed(),
                   describe(list));
        keys.insert(PersonalDictionaryStore::normalizedKey(entry.source, locale));
    }
    FUZZ_CHECK(keys.size() == list.size(), describe(list));
    FUZZ_CHECK(PersonalDictionaryStore::sanitized(list, locale) == list, describe(list));

    // Saved by the editor and read by the next launch, the list stays what it was.
    const QString savedFolder = Fuzz::folder() + QStringLiteral("/saved");
    {
        PersonalDictionaryStore saving(savedFolder);
        const auto saved = saving.save(list, language);
        FUZZ_CHECK(saved.has_value(), saved.error().description);
    }
    PersonalDictionaryStore reading(savedFolder);
    const auto reread = reading.entries(language);
    FUZZ_CHECK(reread.has_value(), reread.error().description);
    FUZZ_CHECK(*reread == list, QStringLiteral("loaded:\n") + describe(list) + QStringLiteral("after saving:\n") + describe(*reread));

    const QString result = store.applying(text, language);
    if (list.isEmpty()) {
        FUZZ_CHECK(result == text, Fuzz::shown(result));
        return 0;
    }

    // The matcher against the expression it stands for, on the composed text and sources that apply()
    // works on. PCRE2 takes no text with a lone surrogate, so such inputs are left to the checks above.
    const QString composed = text.normalized(QString::NormalizationForm_C);
    QStringList sources;
    QHash<QString, QString> replacements;
    for (const PersonalDictionaryEntry &entry : list) {
        sources.append(entry.source.normalized(QString::NormalizationForm_C));
        replacements.insert(PersonalDictionaryStore::normalizedKey(entry.source, locale), entry.replacement);
    }
    if (!composed.isValidUtf16() || !allValidUtf16(sources))
        return 0;
    const QList<WholeWordAlternation::Match> found = WholeWordAlternation(sources).matches(composed);
    const auto expected = referenceMatches(sources, composed);
    if (!expected)
        return 0;
    const auto sameMatch = [](const WholeWordAlternation::Match &a, const WholeWordAlternation::Match &b) {
        return a.position == b.position && a.length == b.length;
    };
    FUZZ_CHECK(std::equal(found.begin(), found.end(), expected->begin(), expected->end(), sameMatch),
               QStringLiteral("text %1\nsources:\n%2matcher:    %3\nexpression: %4")
                   .arg(Fuzz::shown(composed), describe(list), describe(found), describe(*expected)));

    // The text with each match that has a replacement replaced; as it was when none has.
    QString expectedResult;
    bool anyReplaced = false;
    qsizetype copied = 0;
    for (const WholeWordAlternation::Match &match : found) {
        const auto replacement = replacements.constFind(PersonalDictionaryStore::normalizedKey(composed.mid(match.position, match.length), locale));
        if (replacement == replacements.cend())
            continue;
        expectedResult.append(QStringView(composed).mid(copied, match.position - copied));
        expectedResult.append(*replacement);
        copied = match.position + match.length;
        anyReplaced = true;
    }
    if (anyReplaced)
        expectedResult.append(QStringView(composed).sliced(copied));
    else
        expectedResult = text;
    FUZZ_CHECK(result == expectedResult,
               QStringLiteral("text %1\nsources:\n%2result   %3\nexpected %4").arg(Fuzz::shown(text), describe(list), Fuzz::shown(result), Fuzz::shown(expectedResult)));
    return 0;
}
