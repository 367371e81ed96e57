#include "UnavailableHotKeys.h"

#include "support/Log.h"

HotKeys::Registration UnavailableHotKeys::registerDictationHotKey(const Shortcut &shortcut)
{
    Log::write(QStringLiteral("[MurmexHotKeys] Esta versión no registra atajos globales todavía (%1).").arg(shortcut.display));
    return Registration::unsupported;
}
