#include "UnavailableRecorderFactory.h"

#include "support/Log.h"

Expected<std::shared_ptr<DictationAudioRecorder>>
UnavailableRecorderFactory::makeStartedRecorder(const QString &segmentFile, ComputerAudioMode, const RecordingStartupToken &)
{
    Log::write(QStringLiteral("[MurmexAudio] Esta versión no puede grabar todavía: %1").arg(segmentFile));
    return std::unexpected(Error{QStringLiteral("Murmex"), 3, QStringLiteral("No se pudo iniciar el micrófono.")});
}
