#include "UnavailableTranscriptionService.h"

#include "platform/Alerts.h"
#include "support/Log.h"

void UnavailableTranscriptionService::transcribe(const QStringList &segments, const QString &folder)
{
    Log::write(QStringLiteral("[MurmexTranscription] Sin motor de transcripción; se conserva la grabación %1 (%2 segmentos).")
                   .arg(folder)
                   .arg(segments.size()));
    if (host)
        host->transcriptionDidEnd();
    alerts.showWarning(QStringLiteral("Motor de transcripción no disponible"),
                       QStringLiteral("No encuentro el motor local de transcripción. La grabación se ha conservado."),
                       {QStringLiteral("Aceptar")});
}
