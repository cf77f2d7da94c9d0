#include "firmwareserver.h"

#include <QSslCertificate>

namespace firmwareserver {

QString host()
{
    const QString set = qEnvironmentVariable("TAVRIK_FIRMWARE_SERVER").trimmed();
    return set.isEmpty() ? QString::fromLatin1(kDefaultHost) : set;
}

QSslConfiguration tlsConfiguration(QString *why)
{
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    const QString caFile = qEnvironmentVariable("TAVRIK_FIRMWARE_CA");
    if (caFile.isEmpty())
        return tls;
    const QList<QSslCertificate> extra = QSslCertificate::fromPath(caFile, QSsl::Pem);
    if (extra.isEmpty()) {
        if (why)
            *why = QStringLiteral("no certificate in %1").arg(caFile);
        return tls;
    }
    tls.addCaCertificates(extra);
    return tls;
}

QUrl screenBlockUrl(const QString &host, const QString &identity)
{
    return QUrl(QStringLiteral("https://") + host + QStringLiteral("/cgi-bin/telv?code=") + identity,
                QUrl::StrictMode);
}

bool plainIdentity(const QString &identity)
{
    if (identity.isEmpty() || identity.size() > 128)
        return false;
    for (const QChar c : identity) {
        const bool plain = (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
                           || (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || c == QLatin1Char('-')
                           || c == QLatin1Char('_') || c == QLatin1Char('.');
        if (!plain)
            return false;
    }
    return true;
}

} // namespace firmwareserver
