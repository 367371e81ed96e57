#include "PersonalDictionaryStore.h"

#include "support/PrivateFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QSaveFile>

#include <utility>

namespace {

Q_LOGGING_CATEGORY(lcDictionary, "murmex.dictionary", QtInfoMsg)

const QString sourceKey = QStringLiteral("source");
const QString replacementKey = QStringLiteral("replacement");

Error dictionaryError(PersonalDictionaryStore::ErrorCode code, const QString &description)
{
    return Error{QStringLiteral("MurmexDictionary"), code, description};
}

// A JSON array of objects that each have the string keys "source" and "replacement"; any other key
// is ignored. The error is the reason, for the description.
std::expected<QList<PersonalDictionaryEntry>, QString> decodeEntries(const QByteArray &data)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(data, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return std::unexpected(QStringLiteral("el JSON no se puede leer a partir de la posición %1").arg(parseError.offset));
    if (!document.isArray())
        return std::unexpected(QStringLiteral("no contiene una lista de entradas"));

    const QJsonArray array = document.array();
    QList<PersonalDictionaryEntry> list;
    list.reserve(array.size());
    for (qsizetype index = 0; index < array.size(); ++index) {
        const QJsonObject object = array.at(index).toObject();
        const QJsonValue source = object.value(sourceKey);
        const QJsonValue replacement = object.value(replacementKey);
        if (!source.isString() || !replacement.isString())
            return std::unexpected(QStringLiteral("la entrada %1 no tiene los textos «source» y «replacement»").arg(index + 1));
        list.append({source.toString(), replacement.toString()});
    }
    return list;
}

QByteArray encodeEntries(const QList<PersonalDictionaryEntry> &list)
{
    QJsonArray array;
    for (const PersonalDictionaryEntry &entry : list)
        array.append(QJsonObject{{sourceKey, entry.source}, {replacementKey, entry.replacement}});
    // Pretty-printed; QJsonObject keeps its keys sorted, so "replacement" precedes "source".
    return QJsonDocument(array).toJson(QJsonDocument::Indented);
}

} // namespace

PersonalDictionaryStore::PersonalDictionaryStore(QString dictionariesFolder)
    : dictionariesFolder(std::move(dictionariesFolder))
{
}

QString PersonalDictionaryStore::fileURL(TranscriptionLanguage language) const
{
    return dictionariesFolder + QLatin1Char('/') + dictionaryFileName(language);
}

Expected<QList<PersonalDictionaryEntry>> PersonalDictionaryStore::entries(TranscriptionLanguage language)
{
    if (const auto cached = entriesCache.constFind(language); cached != entriesCache.cend())
        return *cached;

    const QString path = fileURL(language);
    if (!QFileInfo::exists(path)) {
        entriesCache.insert(language, {});
        languagesWithoutEntries.insert(language);
        return QList<PersonalDictionaryEntry>();
    }

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::unexpected(dictionaryError(readFailed, QStringLiteral("No se pudo leer el diccionario «%1»: %2.").arg(path, file.errorString())));
    const QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return std::unexpected(dictionaryError(readFailed, QStringLiteral("No se pudo leer el diccionario «%1»: %2.").arg(path, file.errorString())));
    auto decoded = decodeEntries(data);
    if (!decoded)
        return std::unexpected(dictionaryError(decodeFailed, QStringLiteral("El diccionario «%1» no es válido: %2.").arg(path, decoded.error())));

    QList<PersonalDictionaryEntry> list = sanitized(*decoded, transcriptionLocale(language));
    entriesCache.insert(language, list);
    rebuildMatcher(language, list);
    return list;
}

Expected<void> PersonalDictionaryStore::save(const QList<PersonalDictionaryEntry> &list, TranscriptionLanguage language)
{
    const QList<PersonalDictionaryEntry> cleaned = sanitized(list, transcriptionLocale(language));
    if (!PrivateFiles::makeFolder(QFileInfo(dictionariesFolder).path(), dictionariesFolder))
        return std::unexpected(dictionaryError(folderNotCreated, QStringLiteral("No se pudo crear la carpeta «%1».").arg(dictionariesFolder)));

    const QString path = fileURL(language);
    const QByteArray encoded = encodeEntries(cleaned);
    // Written next to the file and renamed over it; an unfinished temporary file is removed.
    PrivateFiles::removeLink(path);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(encoded) != encoded.size() || !file.commit())
        return std::unexpected(dictionaryError(writeFailed, QStringLiteral("No se pudo guardar el diccionario «%1»: %2.").arg(path, file.errorString())));

    entriesCache.insert(language, cleaned);
    rebuildMatcher(language, cleaned);
    return {};
}

QString PersonalDictionaryStore::applying(const QString &text, TranscriptionLanguage language)
{
    if (!entriesCache.contains(language)) {
        // The error is ignored here: the transcript is pasted unchanged, the editor reports the
        // error when it opens, and the next transcript tries the file again.
        if (const auto loaded = entries(language); !loaded)
            qCDebug(lcDictionary) << "dictionary not applied:" << loaded.error().description;
    }
    if (languagesWithoutEntries.contains(language))
        return text;
    const auto compiled = compiledCache.constFind(language);
    return compiled == compiledCache.cend() ? text : compiled->apply(text);
}

void PersonalDictionaryStore::rebuildMatcher(TranscriptionLanguage language, const QList<PersonalDictionaryEntry> &list)
{
    compiledCache.remove(language);
    languagesWithoutEntries.remove(language);
    if (list.isEmpty()) {
        languagesWithoutEntries.insert(language);
        return;
    }
    compiledCache.insert(language, CompiledDictionary::compile(list, transcriptionLocale(language)));
}

QList<PersonalDictionaryEntry> PersonalDictionaryStore::sanitized(const QList<PersonalDictionaryEntry> &list, const QLocale &locale)
{
    QList<PersonalDictionaryEntry> kept;
    QSet<QString> seenKeys;
    for (const PersonalDictionaryEntry &entry : list) {
        PersonalDictionaryEntry trimmed{entry.source.trimmed(), entry.replacement.trimmed()};
        if (trimmed.source.isEmpty())
            continue;
        const qsizetype seen = seenKeys.size();
        seenKeys.insert(normalizedKey(trimmed.source, locale));
        if (seenKeys.size() == seen)
            continue; // the first entry with this key wins
        kept.append(std::move(trimmed));
    }
    return kept;
}

QString PersonalDictionaryStore::normalizedKey(const QString &text, const QLocale &locale)
{
    return locale.toLower(text.normalized(QString::NormalizationForm_C));
}

PersonalDictionaryStore::CompiledDictionary PersonalDictionaryStore::CompiledDictionary::compile(const QList<PersonalDictionaryEntry> &entries,
                                                                                                 const QLocale &locale)
{
    // The alternation prefers the longest source by itself, so the sources need no sorting.
    QStringList sources;
    sources.reserve(entries.size());
    QHash<QString, QString> replacements;
    replacements.reserve(entries.size());
    for (const PersonalDictionaryEntry &entry : entries) {
        sources.append(entry.source.normalized(QString::NormalizationForm_C));
        replacements.insert(normalizedKey(entry.source, locale), entry.replacement);
    }
    return CompiledDictionary{WholeWordAlternation(sources), std::move(replacements), locale};
}

QString PersonalDictionaryStore::CompiledDictionary::apply(const QString &text) const
{
    // Shares the text's data when it is already composed, as transcripts nearly always are.
    const QString composed = text.normalized(QString::NormalizationForm_C);
    const QList<WholeWordAlternation::Match> found = expression.matches(composed);
    if (found.isEmpty())
        return text;

    // Built front to back from the ranges of the composed text, which gives what replacing the
    // matches back to front in a copy gives.
    QString result;
    result.reserve(composed.size());
    bool replaced = false;
    qsizetype copied = 0;
    for (const WholeWordAlternation::Match &match : found) {
        const auto replacement = replacements.constFind(normalizedKey(composed.mid(match.position, match.length), locale));
        if (replacement == replacements.cend())
            continue; // a match without a replacement stays as it was
        result.append(QStringView(composed).mid(copied, match.position - copied));
        result.append(*replacement);
        copied = match.position + match.length;
        replaced = true;
    }
    if (!replaced)
        return text;
    result.append(QStringView(composed).mid(copied));
    return result;
}
