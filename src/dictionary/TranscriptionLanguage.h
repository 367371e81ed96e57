#pragma once

#include <QHashFunctions>
#include <QLocale>
#include <QString>

#include <array>
#include <optional>

// The language dictated in: it picks the speech model's language and the personal dictionary.
enum class TranscriptionLanguage { spanish, english, catalan };

inline constexpr std::array allTranscriptionLanguages{TranscriptionLanguage::spanish, TranscriptionLanguage::english,
                                                      TranscriptionLanguage::catalan};

inline QString rawValue(TranscriptionLanguage language)
{
    switch (language) {
    case TranscriptionLanguage::english: return QStringLiteral("en");
    case TranscriptionLanguage::catalan: return QStringLiteral("ca");
    case TranscriptionLanguage::spanish: break;
    }
    return QStringLiteral("es");
}

inline QString displayName(TranscriptionLanguage language)
{
    switch (language) {
    case TranscriptionLanguage::english: return QStringLiteral("Inglés");
    case TranscriptionLanguage::catalan: return QStringLiteral("Catalán");
    case TranscriptionLanguage::spanish: break;
    }
    return QStringLiteral("Español");
}

// The locale used to lower-case dictionary texts of the language.
inline QString localeIdentifier(TranscriptionLanguage language)
{
    switch (language) {
    case TranscriptionLanguage::english: return QStringLiteral("en_US");
    case TranscriptionLanguage::catalan: return QStringLiteral("ca_ES");
    case TranscriptionLanguage::spanish: break;
    }
    return QStringLiteral("es_ES");
}

inline QLocale transcriptionLocale(TranscriptionLanguage language)
{
    return QLocale(localeIdentifier(language));
}

// The speech engines take the raw value as their language argument.
inline QString whisperLanguageCode(TranscriptionLanguage language)
{
    return rawValue(language);
}

// The personal dictionary's file inside the dictionaries folder, for example "es.json".
inline QString dictionaryFileName(TranscriptionLanguage language)
{
    return rawValue(language) + QStringLiteral(".json");
}

// Hashing follows the raw value, as equality does.
inline size_t qHash(TranscriptionLanguage language, size_t seed = 0) noexcept
{
    return qHash(rawValue(language), seed);
}

// Accepts exactly the three raw values ("es", "en", "ca").
inline std::optional<TranscriptionLanguage> transcriptionLanguageFromRawValue(const QString &raw)
{
    for (TranscriptionLanguage language : allTranscriptionLanguages)
        if (rawValue(language) == raw)
            return language;
    return std::nullopt;
}
