// The settings read at launch: the input is the settings file (INI), read through Settings and
// AppSettings::load.
//
// Checked: whatever the file holds, the loaded choices are usable: a known language and sound mode,
// a recording volume within 0…100 and a shortcut that is the default or a known key with Control,
// Alt or Super and only known modifiers, shown as its key code and modifiers say. Saved the way the
// menus save them and loaded again, the choices are the same.
#include "FuzzCheck.h"

#include "app/AppSettings.h"
#include "support/Settings.h"

#include <QDateTime>
#include <QFile>

namespace {

constexpr quint32 knownModifiers = Shortcut::controlMask | Shortcut::altMask | Shortcut::shiftMask | Shortcut::superMask;

QString describe(const AppSettings &settings)
{
    return QStringLiteral("%1 %2 %3% shortcut %4/%5 %6")
        .arg(rawValue(settings.transcriptionLanguage), rawValue(settings.computerAudioMode))
        .arg(settings.recordingVolumePercentage)
        .arg(settings.shortcut.keyCode)
        .arg(settings.shortcut.modifiers)
        .arg(Fuzz::shown(settings.shortcut.display));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::silenceLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // QSettings keeps the files it has read in a cache and reads one again only when its size or
    // time of change differs: each input gets a time of its own.
    static qint64 run = 0;
    const QString path = Fuzz::folder() + QStringLiteral("/Murmex.conf");
    const QString savedPath = Fuzz::folder() + QStringLiteral("/Murmex-saved.conf");
    {
        QFile file(path);
        FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate)
                       && file.write(reinterpret_cast<const char *>(data), qsizetype(size)) == qsizetype(size) && file.flush()
                       && file.setFileTime(QDateTime::fromSecsSinceEpoch(++run), QFileDevice::FileModificationTime),
                   file.errorString());
    }

    const AppSettings loaded = AppSettings::load(Settings(path));
    FUZZ_CHECK(loaded.recordingVolumePercentage >= 0 && loaded.recordingVolumePercentage <= 100, describe(loaded));
    const Shortcut &shortcut = loaded.shortcut;
    if (shortcut != Shortcut::defaultShortcut()) {
        FUZZ_CHECK(!Shortcut::keyName(shortcut.keyCode).isEmpty(), describe(loaded));
        FUZZ_CHECK((shortcut.modifiers & ~knownModifiers) == 0 && Shortcut::hasControlAltOrSuper(shortcut.modifiers), describe(loaded));
    }
    FUZZ_CHECK(shortcut.display == Shortcut::displayText(shortcut.keyCode, shortcut.modifiers), describe(loaded));

    {
        Settings saving(savedPath);
        saving.setString(QStringLiteral("transcriptionLanguage"), rawValue(loaded.transcriptionLanguage));
        saving.setString(QStringLiteral("computerAudioMode"), rawValue(loaded.computerAudioMode));
        saving.setInteger(QStringLiteral("recordingVolumePercentage"), loaded.recordingVolumePercentage);
        shortcut.save(saving);
        FUZZ_CHECK(saving.sync(), savedPath);
    }
    const AppSettings reloaded = AppSettings::load(Settings(savedPath));
    FUZZ_CHECK(reloaded.transcriptionLanguage == loaded.transcriptionLanguage && reloaded.computerAudioMode == loaded.computerAudioMode
                   && reloaded.recordingVolumePercentage == loaded.recordingVolumePercentage && reloaded.shortcut == loaded.shortcut,
               describe(loaded) + QStringLiteral(" saved and loaded: ") + describe(reloaded));
    return 0;
}
