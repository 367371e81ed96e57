#include "UpdateTrust.h"

QUrl UpdateTrust::feedURL() const
{
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(feedHost);
    url.setPort(feedPort);
    url.setPath(QStringLiteral("/murmex-update.json"));
    return url;
}

QString UpdateTrust::archiveFileName(const QString &version) const
{
    return QStringLiteral("Murmex-") + version + QLatin1Char('-') + platformTag + QStringLiteral(".zip");
}

QString UpdateTrust::downloadURL(const QString &version) const
{
    return QStringLiteral("http://") + feedHost + QLatin1Char(':') + QString::number(feedPort) + QLatin1Char('/')
        + archiveFileName(version);
}
