#include "FeedAutoUpdater.h"

#include "ArchiveExtraction.h"
#include "BundleValidation.h"
#include "LimitedDownloader.h"
#include "UpdateFiles.h"
#include "support/Log.h"
#include "support/SerialQueue.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <limits>

#include <unistd.h>

namespace {

// What an archive may unpack to: a bundle is a few times its compressed size at most.
constexpr qint64 maximumUnpackedBytes = 4 * UpdateSecurity::maximumArchiveBytes;

QString writableText(bool writable)
{
    return writable ? QStringLiteral("true") : QStringLiteral("false");
}

} // namespace

FeedAutoUpdater::FeedAutoUpdater(Environment environment)
    : environment_(std::move(environment)),
      worker_(std::make_unique<SerialQueue>(QStringLiteral("com.tarvo.murmex.updater"))),
      downloader_(std::make_unique<LimitedDownloader>())
{
    if (environment_.currentVersion.isEmpty())
        environment_.currentVersion = QStringLiteral("0.0.0");
    if (!environment_.schedule)
        environment_.schedule = [this](std::chrono::milliseconds delay, std::function<void()> action) {
            QTimer::singleShot(delay, &mainContext_, std::move(action));
        };
    checkTimer_.setInterval(std::chrono::duration_cast<std::chrono::milliseconds>(checkInterval));
    QObject::connect(&checkTimer_, &QTimer::timeout, &mainContext_, [this] { checkForUpdate(); });
}

FeedAutoUpdater::~FeedAutoUpdater()
{
    // Work still queued sees `stopping_` and ends; the downloader is alive while the queue drains,
    // and its completions, once it is gone, find the flag set and hand nothing on.
    stopping_ = true;
    checkTimer_.stop();
    worker_->waitUntilDrained(std::numeric_limits<int>::max());
    downloader_.reset();
    worker_.reset();
}

void FeedAutoUpdater::log(const QString &message) const
{
    Log::write(QStringLiteral("[MurmexUpdater] ") + message);
}

void FeedAutoUpdater::onMain(std::function<void()> action)
{
    QMetaObject::invokeMethod(&mainContext_, std::move(action), Qt::QueuedConnection);
}

bool FeedAutoUpdater::isAvailable() const
{
    return environment_.trust.isConfigured() && installedApplicationURL().has_value();
}

bool FeedAutoUpdater::waitForWorker(int timeoutMilliseconds)
{
    return worker_->waitUntilDrained(timeoutMilliseconds);
}

std::optional<QString> FeedAutoUpdater::installedApplicationURL() const
{
    const QString bundle = QDir::cleanPath(QFileInfo(environment_.bundleRoot).absoluteFilePath());
    if (!environment_.places.accepts(bundle) || bundleManager(bundle) != BundleManager::self)
        return std::nullopt;
    if (!QFileInfo(QFileInfo(bundle).absolutePath()).isWritable())
        return std::nullopt;
    return bundle;
}

// MARK: - Checking and downloading

void FeedAutoUpdater::start(std::function<bool()> isSafeToRestart)
{
    isSafeToRestart_ = std::move(isSafeToRestart);
    log(QStringLiteral("inicio versión %1, bundle %2").arg(environment_.currentVersion, environment_.bundleRoot));
    // Said once, and nothing is ever fetched: a bundle someone else keeps current, and a build
    // without the authority's key, with which nothing could be verified.
    if (const QString managedBy = managerSkipMessage(); !managedBy.isEmpty()) {
        log(managedBy);
        return;
    }
    if (!environment_.trust.isConfigured()) {
        log(QStringLiteral("actualizaciones desactivadas: esta compilación no tiene clave de verificación"));
        return;
    }
    if (pendingUpdate_)
        scheduleInstallAttempt(firstAttemptDelay);
    checkForUpdate();
    checkTimer_.start();
}

QString FeedAutoUpdater::managerSkipMessage() const
{
    const QString bundle = QDir::cleanPath(QFileInfo(environment_.bundleRoot).absoluteFilePath());
    switch (bundleManager(bundle)) {
    case BundleManager::packageManager:
        return QStringLiteral("comprobación omitida: el gestor de paquetes actualiza esta instalación (%1)").arg(bundle);
    case BundleManager::buildTree:
        return QStringLiteral("comprobación omitida: compilación de desarrollo, no se actualiza (%1)").arg(bundle);
    case BundleManager::self:
        break;
    }
    return {};
}

void FeedAutoUpdater::checkForUpdate()
{
    Q_ASSERT(QThread::currentThread() == mainContext_.thread());
    if (isChecking_) {
        log(QStringLiteral("comprobación omitida: ya existe otra en curso"));
        return;
    }
    if (pendingUpdate_) {
        log(QStringLiteral("comprobación omitida: actualización ya descargada"));
        return;
    }
    if (!installedApplicationURL()) {
        if (const QString managedBy = managerSkipMessage(); !managedBy.isEmpty()) {
            log(managedBy);
            return;
        }
        const QString parent = QFileInfo(QDir::cleanPath(QFileInfo(environment_.bundleRoot).absoluteFilePath())).absolutePath();
        log(QStringLiteral("comprobación omitida: bundle no reconocido; padre=%1, escribible=%2").arg(parent, writableText(QFileInfo(parent).isWritable())));
        return;
    }
    const QString feedFile = environment_.updatesDirectory + QStringLiteral("/feed.download");
    if (!QDir().mkpath(environment_.updatesDirectory)) {
        log(QStringLiteral("respuesta de feed inválida: no se pudo crear %1").arg(environment_.updatesDirectory));
        return;
    }
    isChecking_ = true;
    const QUrl feed = environment_.trust.feedURL();
    log(QStringLiteral("consultando ") + feed.toString());
    downloader_->get(feed, QStringLiteral("Murmex/") + environment_.currentVersion, UpdateSecurity::maximumManifestBytes, feedFile,
                     [this, feedFile](LimitedDownloader::Result result) {
                         // On the downloader's thread: take the bytes and hand on.
                         if (stopping_)
                             return;
                         if (!result.ok) {
                             const QString reason = result.transportError.isEmpty() ? QStringLiteral("tamaño o formato rechazado") : result.transportError;
                             onMain([this, reason] {
                                 log(QStringLiteral("respuesta de feed inválida: ") + reason);
                                 finishCheck(std::nullopt);
                             });
                             return;
                         }
                         QFile file(result.file);
                         QByteArray bytes;
                         const bool read = file.size() <= UpdateSecurity::maximumManifestBytes && file.open(QIODevice::ReadOnly);
                         if (read)
                             bytes = file.read(UpdateSecurity::maximumManifestBytes + 1);
                         file.close();
                         QFile::remove(result.file);
                         if (!read) {
                             onMain([this] {
                                 log(QStringLiteral("respuesta de feed inválida: tamaño o formato rechazado"));
                                 finishCheck(std::nullopt);
                             });
                             return;
                         }
                         worker_->async([this, bytes] { verifyFeed(bytes); });
                     });
}

void FeedAutoUpdater::verifyFeed(const QByteArray &bytes)
{
    if (stopping_)
        return;
    const auto manifest = UpdateSecurity::verifiedManifest(bytes, environment_.trust);
    if (!manifest) {
        log(QStringLiteral("manifiesto rechazado"));
        finishCheck(std::nullopt);
        return;
    }
    if (!UpdateSecurity::isNewer(manifest->version, environment_.currentVersion)) {
        log(QStringLiteral("sin actualización: remota %1, local %2").arg(manifest->version, environment_.currentVersion));
        finishCheck(std::nullopt);
        return;
    }
    log(QStringLiteral("descargando ") + manifest->version);
    download(*manifest);
}

void FeedAutoUpdater::download(const UpdateManifest &manifest)
{
    if (stopping_)
        return;
    const QString staging = UpdateFiles::stagingFolder(environment_.updatesDirectory, manifest.version);
    QDir(staging).removeRecursively();
    if (!QDir().mkpath(environment_.updatesDirectory) || !QDir().mkpath(staging)) {
        log(QStringLiteral("actualización descartada: no se pudo crear %1").arg(staging));
        finishCheck(std::nullopt);
        return;
    }
    const QString archive = staging + QStringLiteral("/update.zip");
    downloader_->get(QUrl(manifest.url), QStringLiteral("Murmex/") + environment_.currentVersion, UpdateSecurity::maximumArchiveBytes, archive,
                     [this, manifest, staging](LimitedDownloader::Result result) {
                         if (stopping_) {
                             QDir(staging).removeRecursively();
                             return;
                         }
                         if (!result.ok) {
                             QDir(staging).removeRecursively();
                             log(QStringLiteral("actualización descartada: descarga fallida (%1)")
                                     .arg(result.transportError.isEmpty() ? QStringLiteral("tamaño o formato rechazado") : result.transportError));
                             finishCheck(std::nullopt);
                             return;
                         }
                         worker_->async([this, manifest, staging] { unpackAndValidate(manifest, staging); });
                     });
}

void FeedAutoUpdater::unpackAndValidate(const UpdateManifest &manifest, const QString &staging)
{
    const QString archive = staging + QStringLiteral("/update.zip");
    if (stopping_) {
        QDir(staging).removeRecursively();
        return;
    }
    const auto refuse = [&](const QString &reason) {
        QDir(staging).removeRecursively();
        log(QStringLiteral("actualización descartada: ") + reason);
        finishCheck(std::nullopt);
    };
    const qint64 size = QFileInfo(archive).size();
    if (size < 0 || size > UpdateSecurity::maximumArchiveBytes)
        return refuse(QStringLiteral("tamaño del archivo"));
    const auto digest = UpdateSecurity::sha512Base64(archive);
    if (!digest)
        return refuse(digest.error().description);
    if (*digest != manifest.sha512)
        return refuse(QStringLiteral("el resumen SHA-512 no coincide"));
    if (const auto unpacked = ArchiveExtraction::extractZip(archive, staging, maximumUnpackedBytes); !unpacked)
        return refuse(unpacked.error().description);
    QFile::remove(archive);
    const QString newApp = staging + QStringLiteral("/Murmex");
    if (const auto valid = BundleValidation::validateBundle(newApp, manifest.version, environment_.trust); !valid)
        return refuse(valid.error().description);
    const auto installed = installedApplicationURL();
    if (!installed)
        return refuse(QStringLiteral("la instalación ya no admite actualizaciones"));
    if (!UpdateFiles::writePendingNote(environment_.updatesDirectory, {manifest.version, newApp}))
        return refuse(QStringLiteral("no se pudo escribir pending.json"));
    finishCheck(PendingUpdate{manifest.version, newApp, *installed});
}

void FeedAutoUpdater::finishCheck(std::optional<PendingUpdate> pending)
{
    onMain([this, pending = std::move(pending)] {
        isChecking_ = false;
        if (!pending)
            return;
        pendingUpdate_ = pending;
        log(QStringLiteral("actualización %1 lista para instalarse").arg(pending->version));
        scheduleInstallAttempt(firstAttemptDelay);
    });
}

// MARK: - Installing

void FeedAutoUpdater::scheduleInstallAttempt(std::chrono::milliseconds delay)
{
    environment_.schedule(delay, [this] { attemptAutomaticInstall(); });
}

void FeedAutoUpdater::attemptAutomaticInstall()
{
    if (!pendingUpdate_ || isSwapStaged_)
        return;
    if (!isSafeToRestart_ || !isSafeToRestart_()) {
        scheduleInstallAttempt(busyRetryDelay);
        return;
    }
    const QString version = pendingUpdate_->version;
    if (const auto guard = UpdateFiles::readAttemptGuard(environment_.updatesDirectory);
        guard && guard->version == version && guard->timestamp.secsTo(environment_.now()) < UpdateFiles::attemptGuardSeconds) {
        scheduleInstallAttempt(failedRetryDelay);
        return;
    }
    if (!UpdateFiles::writeAttemptGuard(environment_.updatesDirectory, version, environment_.now()) || !stageUpdateSwap()) {
        scheduleInstallAttempt(failedRetryDelay);
        return;
    }
    log(QStringLiteral("instalando %1: Murmex se cierra y la nueva versión se abrirá").arg(version));
    environment_.terminate();
}

bool FeedAutoUpdater::stageUpdateSwap()
{
    if (isSwapStaged_ || !pendingUpdate_ || !environment_.stageSwap)
        return false;
    const auto installed = installedApplicationURL();
    if (!installed || *installed != pendingUpdate_->currentApp)
        return false;
    if (const auto valid = BundleValidation::validateBundle(pendingUpdate_->newApp, pendingUpdate_->version, environment_.trust); !valid) {
        log(QStringLiteral("la actualización preparada ya no es válida: ") + valid.error().description);
        return false;
    }
    if (!QDir().mkpath(environment_.updatesDirectory))
        return false;
    if (const auto staged = environment_.stageSwap({*pendingUpdate_, environment_.updatesDirectory, qint64(::getpid())}); !staged) {
        log(QStringLiteral("no se pudo preparar el cambio de versión: ") + staged.error().description);
        return false;
    }
    isSwapStaged_ = true;
    return true;
}

void FeedAutoUpdater::installPendingOnQuit()
{
    if (pendingUpdate_ && !isSwapStaged_)
        log(QStringLiteral("actualización conservada para verificarla en el siguiente arranque"));
}

// MARK: - Launch

bool FeedAutoUpdater::applyStagedUpdateOnLaunchIfNeeded()
{
    const QString directory = environment_.updatesDirectory;
    const QString notePath = UpdateFiles::pendingNotePath(directory);
    if (!QFileInfo::exists(notePath))
        return false;
    const auto note = UpdateFiles::readPendingNote(directory);
    const auto discard = [&](const QString &reason) {
        QFile::remove(notePath);
        log(QStringLiteral("actualización pendiente descartada: ") + reason);
        return false;
    };
    if (!note)
        return discard(QStringLiteral("pending.json ilegible"));
    if (!environment_.trust.isConfigured())
        return discard(QStringLiteral("esta compilación no tiene clave de verificación"));
    if (!UpdateSecurity::isNewer(note->version, environment_.currentVersion))
        return discard(QStringLiteral("la versión %1 no es más nueva que %2").arg(note->version, environment_.currentVersion));
    const auto installed = installedApplicationURL();
    if (!installed)
        return discard(QStringLiteral("esta instalación no admite actualizaciones"));
    if (!UpdateFiles::isInsideUpdatesDirectory(note->newAppPath, directory))
        return discard(QStringLiteral("la ruta no está en la carpeta de actualizaciones"));
    if (const auto valid = BundleValidation::validateBundle(note->newAppPath, note->version, environment_.trust); !valid)
        return discard(valid.error().description);
    pendingUpdate_ = PendingUpdate{note->version, note->newAppPath, *installed};
    if (const auto guard = UpdateFiles::readAttemptGuard(directory);
        guard && guard->version == note->version && guard->timestamp.secsTo(environment_.now()) < UpdateFiles::attemptGuardSeconds)
        return false; // a recent attempt failed: the install attempts retry once the guard has aged
    if (!UpdateFiles::writeAttemptGuard(directory, note->version, environment_.now()) || !stageUpdateSwap())
        return false;
    log(QStringLiteral("instalando %1 al arrancar").arg(note->version));
    environment_.schedule(std::chrono::milliseconds(200), [this] { environment_.terminate(); });
    return true;
}

void FeedAutoUpdater::acknowledgeUpdaterHealthCheck()
{
    if (!environment_.acknowledgeHealth)
        return;
    const auto acknowledged = environment_.acknowledgeHealth(environment_.updatesDirectory, environment_.currentVersion);
    if (!acknowledged)
        log(QStringLiteral("No se pudo confirmar el arranque: ") + acknowledged.error().description);
    else if (*acknowledged)
        log(QStringLiteral("arranque de la versión %1 confirmado").arg(environment_.currentVersion));
}
