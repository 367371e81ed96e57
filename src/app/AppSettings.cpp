#include "AppSettings.h"

#include "support/Log.h"
#include "support/Settings.h"

#include <algorithm>

AppSettings AppSettings::load(const Settings &settings)
{
    AppSettings loaded;
    loaded.shortcut = Shortcut::load(settings);

    if (const auto raw = settings.string(QStringLiteral("transcriptionLanguage"))) {
        if (const auto language = transcriptionLanguageFromRawValue(*raw))
            loaded.transcriptionLanguage = *language;
        else
            Log::write(QStringLiteral("[MurmexSettings] Idioma desconocido \"%1\"; se usa el español.").arg(*raw));
    }
    if (const auto raw = settings.string(QStringLiteral("computerAudioMode"))) {
        if (const auto mode = computerAudioModeFromRawValue(*raw))
            loaded.computerAudioMode = *mode;
        else
            Log::write(QStringLiteral("[MurmexSettings] Modo de sonido desconocido \"%1\"; se usa \"exclude\".").arg(*raw));
    }
    if (const auto percentage = settings.integer(QStringLiteral("recordingVolumePercentage")))
        loaded.recordingVolumePercentage = int(std::clamp<qint64>(*percentage, 0, 100));
    loaded.pushToTalk = settings.boolean(QStringLiteral("pushToTalk")).value_or(false);
    return loaded;
}
