#pragma once

// What the files of AppDelegate share: small helpers of the dictation controller, internal to it.

#include "AppStorage.h"
#include "platform/DictationAudioRecorder.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QMetaObject>
#include <QString>
#include <QTimer>

#include <memory>

Q_DECLARE_LOGGING_CATEGORY(lcDictation)

namespace AppDelegateSupport {

inline const QString noSePudoGrabar = QStringLiteral("No se pudo grabar");
inline const QString aceptar = QStringLiteral("Aceptar");

// Runs `work` on the main thread's event loop. The work itself checks what it needs still exists.
template <typename Work>
void onMainThread(Work &&work)
{
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::forward<Work>(work), Qt::QueuedConnection);
}

inline void removeFolderIfOwned(const QString &folder)
{
    AppStorage::removeRecordingFolderIfOwned(folder, AppStorage::recordingsRootURL());
}

// Detaching first means a stop that Murmex asks for is never reported back as an interruption.
inline void detachAndStop(const std::shared_ptr<DictationAudioRecorder> &recorder)
{
    if (!recorder)
        return;
    recorder->setOnUnexpectedStop({});
    recorder->stop();
}

// A timer may be discarded from its own timeout handler: stop it now, delete it from the event loop.
inline void discardTimer(std::unique_ptr<QTimer> &timer)
{
    if (!timer)
        return;
    timer->stop();
    timer.release()->deleteLater();
}

inline bool isSpeechLevel(const DictationAudioRecorder &recorder)
{
    return recorder.averagePower(0) > -44.0f || recorder.peakPower(0) > -32.0f;
}

} // namespace AppDelegateSupport
