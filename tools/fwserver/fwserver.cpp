#include "fwserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSslSocket>
#include <QTimer>

#include <cstdio>

namespace fwserver {

namespace {

constexpr qsizetype kMaxRequestHead = 8 * 1024;
constexpr qint64 kMaxBlockFile = 16 * 1024 * 1024;
constexpr qsizetype kMaxIdentity = 64;

// No double quote may appear in an error body: the client would take one
// for the start of the data it is after.
QByteArray httpResponse(int status, const QByteArray &reason, const QByteArray &contentType,
                        const QByteArray &body, const QByteArray &extraHeaders = {})
{
  QByteArray out;
  out.reserve(body.size() + 160);
  out += "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\n";
  out += "Content-Type: " + contentType + "\r\n";
  out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
  out += "Connection: close\r\n";
  out += extraHeaders;
  out += "\r\n";
  out += body;
  return out;
}

QByteArray plainError(int status, const QByteArray &reason, const QByteArray &extraHeaders = {})
{
  return httpResponse(status, reason, "text/plain; charset=utf-8",
                      QByteArray::number(status) + ' ' + reason + '\n', extraHeaders);
}

// Request text in the log is limited and printable, whatever a client sent.
QByteArray printable(const QByteArray &bytes)
{
  QByteArray out = bytes.left(120);
  for (char &c : out) {
    if (c < 0x20 || c > 0x7e)
      c = '?';
  }
  if (bytes.size() > out.size())
    out += "...";
  return out;
}

class Connection : public QObject {
public:
  Connection(const QSslConfiguration &tls, const Options &options, QObject *parent)
      : QObject(parent), options_(options), socket_(new QSslSocket(this))
  {
    socket_->setSslConfiguration(tls);
    socket_->setReadBufferSize(kMaxRequestHead + 4096);
    deadline_.setSingleShot(true);
    hold_.setSingleShot(true);
    // A coarse timer may fire early; the hold is a promised minimum.
    hold_.setTimerType(Qt::PreciseTimer);
    connect(&deadline_, &QTimer::timeout, this, [this] { finish(); });
    connect(&hold_, &QTimer::timeout, this, [this] { send(); });
    connect(socket_, &QSslSocket::readyRead, this, [this] { onReadyRead(); });
    connect(socket_, &QSslSocket::disconnected, this, [this] { finish(); });
    connect(socket_, &QSslSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) { finish(); });
  }

  bool start(qintptr descriptor)
  {
    if (!socket_->setSocketDescriptor(descriptor))
      return false;
    // One limit for the handshake and the whole request, so that a client
    // that trickles bytes cannot hold the connection.
    deadline_.start(options_.readTimeoutMs);
    socket_->startServerEncryption();
    return true;
  }

private:
  enum class Phase { Reading, Holding, Writing, Done };

  void onReadyRead()
  {
    if (phase_ != Phase::Reading) {
      socket_->readAll(); // anything after the request head is not used
      return;
    }
    buffer_ += socket_->readAll();
    qsizetype end = buffer_.indexOf("\r\n\r\n");
    if (end < 0)
      end = buffer_.indexOf("\n\n");
    if (end < 0 || end > kMaxRequestHead) {
      if (buffer_.size() > kMaxRequestHead)
        finish();
      return;
    }
    QByteArray log;
    reply_ = respond(buffer_.left(end), options_, &log);
    std::fprintf(stderr, "tavrik-fwserver: %s\n", log.constData());
    std::fflush(stderr);
    buffer_.clear();
    deadline_.stop();
    if (options_.delayMs > 0) {
      phase_ = Phase::Holding;
      hold_.start(options_.delayMs);
    } else {
      send();
    }
  }

  void send()
  {
    if (phase_ == Phase::Done)
      return;
    phase_ = Phase::Writing;
    deadline_.start(options_.writeTimeoutMs);
    socket_->write(reply_);
    reply_.clear();
    // Flushes what is written, then closes; disconnected() ends the connection.
    socket_->disconnectFromHost();
  }

  void finish()
  {
    if (phase_ == Phase::Done)
      return;
    phase_ = Phase::Done;
    deadline_.stop();
    hold_.stop();
    socket_->disconnect(this);
    socket_->abort();
    deleteLater();
  }

  Options options_;
  QSslSocket *socket_;
  QTimer deadline_;
  QTimer hold_;
  QByteArray buffer_;
  QByteArray reply_;
  Phase phase_ = Phase::Reading;
};

} // namespace

bool isValidIdentity(const QByteArray &identity)
{
  if (identity.isEmpty() || identity.size() > kMaxIdentity)
    return false;
  for (char c : identity) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '-';
    if (!ok)
      return false;
  }
  return true;
}

QByteArray respond(const QByteArray &head, const Options &options, QByteArray *logLine)
{
  const qsizetype lineEnd = head.indexOf('\n');
  QByteArray requestLine = lineEnd < 0 ? head : head.left(lineEnd);
  if (requestLine.endsWith('\r'))
    requestLine.chop(1);
  if (logLine)
    *logLine = printable(requestLine);

  const QList<QByteArray> parts = requestLine.split(' ');
  auto log = [&](const char *outcome) {
    if (logLine)
      *logLine += QByteArray(" -> ") + outcome;
  };
  if (parts.size() != 3 || parts[1].isEmpty() || !parts[2].startsWith("HTTP/1.")) {
    log("400");
    return plainError(400, "Bad Request");
  }

  const QByteArray &method = parts[0];
  const QByteArray &target = parts[1];
  const qsizetype question = target.indexOf('?');
  const QByteArray path = question < 0 ? target : target.left(question);
  const QByteArray query = question < 0 ? QByteArray() : target.mid(question + 1);

  if (path != "/cgi-bin/telv") {
    log("404");
    return plainError(404, "Not Found");
  }
  if (method != "GET") {
    log("405");
    return plainError(405, "Method Not Allowed", "Allow: GET\r\n");
  }
  if (!query.startsWith("code=")) {
    log("404");
    return plainError(404, "Not Found");
  }
  const QByteArray identity = query.mid(5);
  if (!isValidIdentity(identity)) {
    log("404 (identity)");
    return plainError(404, "Not Found");
  }

  // A broken server answers whatever is asked, block or not.
  if (options.reply == ReplyMode::NoMarkers) {
    log("200 (no markers)");
    return httpResponse(200, "OK", "text/html; charset=utf-8",
                        "<html><body>Service temporarily unavailable</body></html>\n");
  }
  if (options.reply == ReplyMode::Garbage) {
    log("200 (garbage)");
    // None of these characters is in the Base64 alphabet, so a lenient
    // decoder gets nothing out of them and a strict one fails.
    return httpResponse(200, "OK", "application/json", "{\"data\":\"#$%&*!?~<>[]().,;:@^|\"}");
  }

  const QString fileName =
      QDir(options.blocksDir).filePath(QString::fromLatin1(identity) + QStringLiteral(".bin"));
  const QFileInfo info(fileName);
  QFile file(fileName);
  if (!info.isFile() || info.size() > kMaxBlockFile || !file.open(QIODevice::ReadOnly)) {
    log("404 (no block)");
    return plainError(404, "Not Found");
  }
  const QByteArray block = file.read(kMaxBlockFile + 1);
  if (block.size() > kMaxBlockFile) {
    log("404 (block too large)");
    return plainError(404, "Not Found");
  }
  if (options.reply == ReplyMode::Oversized) {
    log("200 (oversized)");
    // Valid JSON with the block in it: only the size gives it away.
    return httpResponse(200, "OK", "application/json",
                        "{\"data\":\"" + block.toBase64() + "\"}" + QByteArray(200 * 1024, ' '));
  }
  log("200");
  return httpResponse(200, "OK", "application/json", "{\"data\":\"" + block.toBase64() + "\"}");
}

Server::Server(const QSslConfiguration &tls, const Options &options, QObject *parent)
    : QTcpServer(parent), tls_(tls), options_(options)
{
}

void Server::incomingConnection(qintptr descriptor)
{
  if (connections_ < options_.maxConnections) {
    auto *connection = new Connection(tls_, options_, this);
    if (connection->start(descriptor)) {
      ++connections_;
      connect(connection, &QObject::destroyed, this, [this] { --connections_; });
      return;
    }
    delete connection;
  }
  // Over the limit: the descriptor is still ours to close.
  QTcpSocket closer;
  if (closer.setSocketDescriptor(descriptor))
    closer.abort();
}

} // namespace fwserver
