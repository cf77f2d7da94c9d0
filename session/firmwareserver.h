#pragma once

#include <QSslConfiguration>
#include <QString>
#include <QUrl>

// Where the screen blocks of boot-loader screens come from. The programs
// take no command-line options, so both settings are environment variables:
//   TAVRIK_FIRMWARE_SERVER  host[:port] of the server (default below);
//   TAVRIK_FIRMWARE_CA      a PEM file of further certificate authorities
//                           to trust, for a server of one's own.
// Certificates are always verified.
namespace firmwareserver {

inline constexpr char kDefaultHost[] = "firmware.tavrik.com";
// A screen block is a few KiB; a longer reply is cut off and counts as none.
inline constexpr int kReplyLimit = 64 * 1024;

QString host();
// The system's authorities plus those of TAVRIK_FIRMWARE_CA; peers are
// verified whatever the file holds. `why` tells of a file that could not
// be used, which leaves only the system's authorities.
QSslConfiguration tlsConfiguration(QString *why = nullptr);
// https://HOST/cgi-bin/telv?code=IDENTITY, the identity as it is.
QUrl screenBlockUrl(const QString &host, const QString &identity);
// Identities go into the URL unencoded, so only plain ones are sent.
bool plainIdentity(const QString &identity);

} // namespace firmwareserver
