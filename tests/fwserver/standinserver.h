#pragma once

#include <QByteArray>
#include <QProcess>
#include <QSslConfiguration>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace fwtest {

// Runs tools/fwserver's tavrik-fwserver on 127.0.0.1 for a test, with
// certificates made once per test process by make-test-ca and a blocks
// folder of its own. Use from the thread that created it.
class StandInServer {
public:
  StandInServer();
  ~StandInServer();
  StandInServer(const StandInServer &) = delete;
  StandInServer &operator=(const StandInServer &) = delete;

  // Starts the server on a free port (a running one is stopped first).
  // extraArgs go to the server, e.g. {"--delay-ms", "200"} or
  // {"--reply", "garbage"}. useOtherCa serves a certificate of the
  // authority that caFile() does not hold. False, with errorString(), when
  // the certificates cannot be made or the server does not come up.
  bool start(const QStringList &extraArgs = {}, bool useOtherCa = false);
  void stop();
  bool isRunning() const;
  // The server's exit code after it has ended by itself; -1 while running
  // or after stop().
  int exitCode() const;

  quint16 port() const { return port_; }
  // "127.0.0.1:PORT", the host part of https://HOST/cgi-bin/telv?code=ID.
  QString host() const;
  // https://HOST/cgi-bin/telv?code= followed by identity, unencoded.
  QString url(const QString &identity) const;

  // The CA that signed the normal server certificate.
  static QString caFile();
  // The unrelated CA; its server certificate is served with useOtherCa.
  static QString otherCaFile();
  // The default configuration plus caFile(): what a client uses to trust
  // the stand-in, verification left on. A client with its own manager can
  // be pointed at it with QSslConfiguration::setDefaultConfiguration().
  static QSslConfiguration trustingConfiguration();

  // Writes IDENTITY.bin; the running server sees it at the next request.
  void putBlock(const QString &identity, const QByteArray &bytes);
  QString blocksDir() const;

  QString errorString() const { return error_; }

private:
  QTemporaryDir blocks_;
  std::unique_ptr<QProcess> process_;
  quint16 port_ = 0;
  QString error_;
};

} // namespace fwtest
