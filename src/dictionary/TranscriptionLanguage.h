#pragma once

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

inline std::optional<TranscriptionLanguage> transcriptionLanguageFromRawValue(const QString &raw)
{
    for (TranscriptionLanguage language : allTranscriptionLanguages)
        if (rawValue(language) == raw)
            return language;
    return std::nullopt;
}
