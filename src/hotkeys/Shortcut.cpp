#include "Shortcut.h"

#include "support/Log.h"
#include "support/Settings.h"

#include <limits>

namespace {
const QString keyCodeKey = QStringLiteral("shortcutKeyCode");
const QString modifiersKey = QStringLiteral("shortcutModifiers");
const QString displayKey = QStringLiteral("shortcutDisplay");

bool fitsUnsigned32(qint64 value)
{
    return value >= 0 && value <= qint64(std::numeric_limits<quint32>::max());
}
} // namespace

Shortcut Shortcut::load(const Settings &settings)
{
    const auto keyCode = settings.integer(keyCodeKey);
    const auto display = settings.string(displayKey);
    if (!keyCode || !display)
        return defaultShortcut();
    const qint64 modifiers = settings.integer(modifiersKey).value_or(0);
    if (!fitsUnsigned32(*keyCode) || !fitsUnsigned32(modifiers)) {
        Log::write(QStringLiteral("[MurmexSettings] Atajo guardado fuera de rango; se usa %1.").arg(defaultShortcut().display));
        return defaultShortcut();
    }
    return Shortcut{quint32(*keyCode), quint32(modifiers), *display};
}

void Shortcut::save(Settings &settings) const
{
    settings.setInteger(keyCodeKey, keyCode);
    settings.setInteger(modifiersKey, modifiers);
    settings.setString(displayKey, display);
}
