#pragma once

#include <QByteArray>
#include <QSslConfiguration>
#include <QString>
#include <QTcpServer>

namespace fwserver {

enum class ReplyMode {
  Normal,
  NoMarkers, // 200 whose body lacks the text the client looks for
  Garbage,   // 200 with the markers around text that is not Base64
  Oversized, // 200 with the right block, padded past any sane reply size
};

struct Options {
  QString blocksDir;
  int delayMs = 0;
  int readTimeoutMs = 10000;
  int writeTimeoutMs = 30000;
  int maxConnections = 64;
  ReplyMode reply = ReplyMode::Normal;
};

// Whether the text may name a block file: no path separators, dots or
// escapes can get through, so the file name stays inside the blocks folder.
bool isValidIdentity(const QByteArray &identity);

// The complete HTTP/1.1 response (status line, headers and body) for one
// request head (the bytes before the blank line).
QByteArray respond(const QByteArray &head, const Options &options, QByteArray *logLine = nullptr);

class Server : public QTcpServer {
public:
  Server(const QSslConfiguration &tls, const Options &options, QObject *parent = nullptr);

protected:
  void incomingConnection(qintptr descriptor) override;

private:
  QSslConfiguration tls_;
  Options options_;
  int connections_ = 0;
};

} // namespace fwserver
