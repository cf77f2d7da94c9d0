#include "standinserver.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QRegularExpression>
#include <QSaveFile>

#include <csignal>
#include <cstdio>

#include <sys/prctl.h>

namespace fwtest {

namespace {

struct Certificates {
  QTemporaryDir dir;
  QString error;

  Certificates()
  {
    if (!dir.isValid()) {
      error = QStringLiteral("cannot make a temporary folder for the certificates");
      return;
    }
    QProcess script;
    script.setProcessChannelMode(QProcess::MergedChannels);
    // Through bash, so that a checkout without the executable bit works too.
    script.start(QStringLiteral("bash"), {QStringLiteral(TAVRIK_MAKE_TEST_CA_PATH), dir.path()});
    if (!script.waitForFinished(60000) || script.exitStatus() != QProcess::NormalExit ||
        script.exitCode() != 0) {
      error = QStringLiteral("make-test-ca failed: %1 %2")
                  .arg(script.errorString(), QString::fromLocal8Bit(script.readAll()));
      return;
    }
    for (const char *name : {"ca.pem", "server.pem", "server.key", "other-ca.pem", "other-server.pem",
                             "other-server.key"}) {
      if (!QFile::exists(dir.filePath(QString::fromLatin1(name))))
        error = QStringLiteral("make-test-ca did not write %1").arg(QString::fromLatin1(name));
    }
  }
};

// Once per test process: the script takes a moment, and every server of the
// process can share the same authorities.
Certificates &certificates()
{
  static Certificates instance;
  return instance;
}

} // namespace

StandInServer::StandInServer() = default;

StandInServer::~StandInServer()
{
  stop();
}

bool StandInServer::start(const QStringList &extraArgs, bool useOtherCa)
{
  stop();
  error_.clear();
  Certificates &certs = certificates();
  if (!certs.error.isEmpty()) {
    error_ = certs.error;
    return false;
  }
  if (!blocks_.isValid()) {
    error_ = QStringLiteral("cannot make the blocks folder");
    return false;
  }

  const QString prefix = useOtherCa ? QStringLiteral("other-server") : QStringLiteral("server");
  QStringList args{QStringLiteral("--port"), QStringLiteral("0"),
                   QStringLiteral("--cert"), certs.dir.filePath(prefix + QStringLiteral(".pem")),
                   QStringLiteral("--key"), certs.dir.filePath(prefix + QStringLiteral(".key")),
                   QStringLiteral("--blocks"), blocks_.path()};
  args += extraArgs;

  process_ = std::make_unique<QProcess>();
  // The server's request log lands in the test's output, next to the failure.
  process_->setProcessChannelMode(QProcess::ForwardedErrorChannel);
  // A test that dies (a sanitizer report ends it at once) must not leave
  // the server holding its output open: CTest would wait for it.
  process_->setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
  process_->start(QStringLiteral(TAVRIK_FWSERVER_PATH), args);
  if (!process_->waitForStarted(10000)) {
    error_ = QStringLiteral("tavrik-fwserver did not start: %1").arg(process_->errorString());
    process_.reset();
    return false;
  }

  static const QRegularExpression listening(QStringLiteral("^listening on 127\\.0\\.0\\.1:(\\d+)$"));
  QDeadlineTimer deadline(15000);
  while (!deadline.hasExpired()) {
    if (process_->canReadLine()) {
      const QString line = QString::fromUtf8(process_->readLine()).trimmed();
      const QRegularExpressionMatch match = listening.match(line);
      if (match.hasMatch()) {
        port_ = static_cast<quint16>(match.captured(1).toUInt());
        return true;
      }
      continue;
    }
    if (process_->state() == QProcess::NotRunning)
      break;
    process_->waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
  }

  error_ = process_->state() == QProcess::NotRunning
               ? QStringLiteral("tavrik-fwserver ended with code %1 before listening")
                     .arg(process_->exitCode())
               : QStringLiteral("tavrik-fwserver did not report its port");
  stop();
  return false;
}

void StandInServer::stop()
{
  if (process_ && process_->state() != QProcess::NotRunning) {
    process_->terminate();
    if (!process_->waitForFinished(5000)) {
      process_->kill();
      process_->waitForFinished(5000);
    }
  }
  process_.reset();
  port_ = 0;
}

bool StandInServer::isRunning() const
{
  return process_ && process_->state() != QProcess::NotRunning;
}

int StandInServer::exitCode() const
{
  if (!process_ || process_->state() != QProcess::NotRunning)
    return -1;
  return process_->exitStatus() == QProcess::NormalExit ? process_->exitCode() : -1;
}

QString StandInServer::host() const
{
  return QStringLiteral("127.0.0.1:%1").arg(port_);
}

QString StandInServer::url(const QString &identity) const
{
  return QStringLiteral("https://%1/cgi-bin/telv?code=%2").arg(host(), identity);
}

QString StandInServer::caFile()
{
  return certificates().dir.filePath(QStringLiteral("ca.pem"));
}

QString StandInServer::otherCaFile()
{
  return certificates().dir.filePath(QStringLiteral("other-ca.pem"));
}

QSslConfiguration StandInServer::trustingConfiguration()
{
  QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
  conf.addCaCertificates(caFile(), QSsl::Pem);
  return conf;
}

void StandInServer::putBlock(const QString &identity, const QByteArray &bytes)
{
  // Written whole and renamed into place, so a request running at the same
  // time never sees half a block.
  QSaveFile file(QDir(blocks_.path()).filePath(identity + QStringLiteral(".bin")));
  if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
    std::fprintf(stderr, "StandInServer::putBlock: cannot write %s\n", qPrintable(file.fileName()));
}

QString StandInServer::blocksDir() const
{
  return blocks_.path();
}

} // namespace fwtest
