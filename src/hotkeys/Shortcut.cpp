#include "Shortcut.h"

#include "KeyCodes.h"
#include "support/Log.h"
#include "support/Settings.h"

#include <limits>
#include <optional>

namespace {
const QString keyCodeKey = QStringLiteral("shortcutKeyCode");
const QString modifiersKey = QStringLiteral("shortcutModifiers");
const QString displayKey = QStringLiteral("shortcutDisplay");

constexpr quint32 knownModifiers =
    Shortcut::controlMask | Shortcut::altMask | Shortcut::shiftMask | Shortcut::superMask;

bool fitsUnsigned32(qint64 value)
{
    return value >= 0 && value <= qint64(std::numeric_limits<quint32>::max());
}

// Why a stored shortcut cannot be used, or nothing when it can.
std::optional<QString> rejection(const Settings &settings)
{
    const auto keyCode = settings.integer(keyCodeKey);
    const auto modifiers = settings.integer(modifiersKey);
    for (const auto &[key, value] : {std::pair{&keyCodeKey, keyCode}, std::pair{&modifiersKey, modifiers}}) {
        if (!settings.contains(*key))
            return *key + QStringLiteral(" falta");
        if (!value)
            return *key + QStringLiteral(" ilegible");
        if (!fitsUnsigned32(*value))
            return *key + QStringLiteral(" fuera de rango");
    }
    // Written by every version beside the two numbers; its text is no longer shown.
    if (!settings.string(displayKey))
        return displayKey + QStringLiteral(" falta");
    if (Shortcut::keyName(quint32(*keyCode)).isEmpty())
        return QStringLiteral("tecla %1 desconocida").arg(*keyCode);
    if (quint32(*modifiers) & ~knownModifiers)
        return QStringLiteral("modificadores %1 desconocidos").arg(*modifiers);
    if (!Shortcut::hasControlAltOrSuper(quint32(*modifiers)))
        return QStringLiteral("sin Ctrl, Alt ni Super");
    return std::nullopt;
}
} // namespace

QString Shortcut::displayText(quint32 keyCode, quint32 modifiers)
{
    static const std::pair<quint32, QString> modifierNames[] = {
        {controlMask, QStringLiteral("Ctrl")},
        {altMask, QStringLiteral("Alt")},
        {shiftMask, QStringLiteral("Shift")},
        {superMask, QStringLiteral("Super")},
    };
    QString text;
    for (const auto &[mask, name] : modifierNames)
        if (modifiers & mask)
            text += name + u'+';
    const QString key = keyName(keyCode);
    return text + (key.isEmpty() ? QStringLiteral("Tecla %1").arg(keyCode) : key);
}

QString Shortcut::keyName(quint32 keyCode)
{
    switch (keyCode) {
    case 36: return QStringLiteral("Intro");
    case 48: return QStringLiteral("Tab");
    case 49: return QStringLiteral("Espacio");
    case 51: return QStringLiteral("Retroceso");
    case 53: return QStringLiteral("Esc");
    case 76: return QStringLiteral("Num+Intro");
    case 114: return QStringLiteral("Insert");
    case 117: return QStringLiteral("Supr");
    case 115: return QStringLiteral("Inicio");
    case 119: return QStringLiteral("Fin");
    case 116: return QStringLiteral("RePág");
    case 121: return QStringLiteral("AvPág");
    case 123: return QStringLiteral("Izquierda");
    case 124: return QStringLiteral("Derecha");
    case 126: return QStringLiteral("Arriba");
    case 125: return QStringLiteral("Abajo");
    case 122: return QStringLiteral("F1");
    case 120: return QStringLiteral("F2");
    case 99: return QStringLiteral("F3");
    case 118: return QStringLiteral("F4");
    case 96: return QStringLiteral("F5");
    case 97: return QStringLiteral("F6");
    case 98: return QStringLiteral("F7");
    case 100: return QStringLiteral("F8");
    case 101: return QStringLiteral("F9");
    case 109: return QStringLiteral("F10");
    case 103: return QStringLiteral("F11");
    case 111: return QStringLiteral("F12");
    case 105: return QStringLiteral("F13");
    case 107: return QStringLiteral("F14");
    case 113: return QStringLiteral("F15");
    case 106: return QStringLiteral("F16");
    case 64: return QStringLiteral("F17");
    case 79: return QStringLiteral("F18");
    case 80: return QStringLiteral("F19");
    case 90: return QStringLiteral("F20");
    default: return usLayoutLabel(keyCode);
    }
}

Shortcut Shortcut::load(const Settings &settings)
{
    if (!settings.contains(keyCodeKey) && !settings.contains(modifiersKey) && !settings.contains(displayKey))
        return defaultShortcut();
    if (const std::optional<QString> reason = rejection(settings)) {
        Log::write(QStringLiteral("[MurmexSettings] Atajo guardado no válido (%1); se usa %2.")
                       .arg(*reason, defaultShortcut().display));
        return defaultShortcut();
    }
    return Shortcut{quint32(*settings.integer(keyCodeKey)), quint32(*settings.integer(modifiersKey))};
}

void Shortcut::save(Settings &settings) const
{
    settings.setInteger(keyCodeKey, keyCode);
    settings.setInteger(modifiersKey, modifiers);
    settings.setString(displayKey, display);
}
