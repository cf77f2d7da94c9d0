// tavrik-fwserver: answers GET /cgi-bin/telv?code=IDENTITY over HTTPS on
// 127.0.0.1 with the screen block IDENTITY.bin from a folder, the way the
// vendor's firmware server does, plus faults for tests.

#include "fwserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>

#include <csignal>
#include <cstdio>

namespace {

int fail(const QString &message)
{
  std::fprintf(stderr, "tavrik-fwserver: %s\n", qPrintable(message));
  return 2;
}

bool readInt(const QCommandLineParser &parser, const QString &name, int low, int high, int *value)
{
  if (!parser.isSet(name))
    return true;
  bool ok = false;
  const int v = parser.value(name).toInt(&ok);
  if (!ok || v < low || v > high)
    return false;
  *value = v;
  return true;
}

} // namespace

int main(int argc, char *argv[])
{
#ifdef SIGPIPE
  // A client that goes away mid-reply must not end the server.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("tavrik-fwserver"));

  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral(
      "Stand-in for the vendor's firmware server: answers\n"
      "GET /cgi-bin/telv?code=IDENTITY over HTTPS on 127.0.0.1 with\n"
      "{\"data\":\"<Base64 of BLOCKS/IDENTITY.bin>\"}."));
  parser.addHelpOption();
  parser.addOptions({
      {QStringLiteral("port"), QStringLiteral("Port on 127.0.0.1; 0 picks a free one (default)."), QStringLiteral("N"), QStringLiteral("0")},
      {QStringLiteral("cert"), QStringLiteral("PEM server certificate, optionally followed by its chain."), QStringLiteral("FILE")},
      {QStringLiteral("key"), QStringLiteral("PEM private key of the certificate (EC or RSA)."), QStringLiteral("FILE")},
      {QStringLiteral("blocks"), QStringLiteral("Folder with one IDENTITY.bin per screen, read at each request."), QStringLiteral("DIR")},
      {QStringLiteral("delay-ms"), QStringLiteral("Hold every reply N ms before sending it."), QStringLiteral("N"), QStringLiteral("0")},
      {QStringLiteral("reply"), QStringLiteral("normal (default), nomarkers, garbage or oversized."), QStringLiteral("MODE"), QStringLiteral("normal")},
      {QStringLiteral("read-timeout-ms"), QStringLiteral("Close a connection whose request is not complete after N ms (default 10000)."), QStringLiteral("N"), QStringLiteral("10000")},
  });
  parser.process(app);
  if (!parser.positionalArguments().isEmpty())
    return fail(QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first()));

  fwserver::Options options;
  int port = 0;
  if (!readInt(parser, QStringLiteral("port"), 0, 65535, &port))
    return fail(QStringLiteral("--port needs a number from 0 to 65535"));
  if (!readInt(parser, QStringLiteral("delay-ms"), 0, 600000, &options.delayMs))
    return fail(QStringLiteral("--delay-ms needs a number from 0 to 600000"));
  if (!readInt(parser, QStringLiteral("read-timeout-ms"), 1, 600000, &options.readTimeoutMs))
    return fail(QStringLiteral("--read-timeout-ms needs a number from 1 to 600000"));

  const QString mode = parser.value(QStringLiteral("reply"));
  if (mode == QLatin1String("normal"))
    options.reply = fwserver::ReplyMode::Normal;
  else if (mode == QLatin1String("nomarkers"))
    options.reply = fwserver::ReplyMode::NoMarkers;
  else if (mode == QLatin1String("garbage"))
    options.reply = fwserver::ReplyMode::Garbage;
  else if (mode == QLatin1String("oversized"))
    options.reply = fwserver::ReplyMode::Oversized;
  else
    return fail(QStringLiteral("--reply must be normal, nomarkers, garbage or oversized"));

  if (!parser.isSet(QStringLiteral("blocks")))
    return fail(QStringLiteral("--blocks DIR is required"));
  options.blocksDir = parser.value(QStringLiteral("blocks"));
  if (!QDir(options.blocksDir).exists())
    return fail(QStringLiteral("blocks folder %1 does not exist").arg(options.blocksDir));

  if (!QSslSocket::supportsSsl())
    return fail(QStringLiteral("Qt has no working TLS backend (is libssl3 installed?)"));
  if (!parser.isSet(QStringLiteral("cert")) || !parser.isSet(QStringLiteral("key")))
    return fail(QStringLiteral("--cert FILE and --key FILE are required"));

  const QList<QSslCertificate> chain =
      QSslCertificate::fromPath(parser.value(QStringLiteral("cert")), QSsl::Pem);
  if (chain.isEmpty() || chain.first().isNull())
    return fail(QStringLiteral("no PEM certificate in %1").arg(parser.value(QStringLiteral("cert"))));

  QFile keyFile(parser.value(QStringLiteral("key")));
  if (!keyFile.open(QIODevice::ReadOnly))
    return fail(QStringLiteral("cannot read %1").arg(keyFile.fileName()));
  const QByteArray keyPem = keyFile.read(1024 * 1024);
  QSslKey key(keyPem, QSsl::Ec, QSsl::Pem, QSsl::PrivateKey);
  if (key.isNull())
    key = QSslKey(keyPem, QSsl::Rsa, QSsl::Pem, QSsl::PrivateKey);
  if (key.isNull())
    return fail(QStringLiteral("no usable PEM private key in %1").arg(keyFile.fileName()));

  QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
  tls.setLocalCertificateChain(chain);
  tls.setPrivateKey(key);
  tls.setProtocol(QSsl::TlsV1_2OrLater);
  tls.setPeerVerifyMode(QSslSocket::VerifyNone);

  fwserver::Server server(tls, options);
  // Loopback only: the stand-in is never reachable from another machine.
  if (!server.listen(QHostAddress(QHostAddress::LocalHost), static_cast<quint16>(port)))
    return fail(QStringLiteral("cannot listen on 127.0.0.1:%1: %2").arg(port).arg(server.errorString()));

  std::printf("listening on 127.0.0.1:%u\n", static_cast<unsigned>(server.serverPort()));
  std::fflush(stdout);
  return app.exec();
}
