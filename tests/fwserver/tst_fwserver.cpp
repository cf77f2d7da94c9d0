// The firmware server stand-in, seen from a client that trusts only the test
// authority (certificate checks always on), and from hostile raw clients.

#include "standinserver.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>
#include <optional>

using fwtest::StandInServer;

namespace {

struct HttpResult {
  bool finished = false;
  QNetworkReply::NetworkError error = QNetworkReply::NoError;
  QString errorString;
  QList<QSslError> sslErrors;
  int status = 0;
  QByteArray contentType;
  qint64 contentLength = -1;
  QByteArray body;
  qint64 elapsedMs = 0;
};

// One GET through a fresh manager, so no connection or TLS session of an
// earlier case is reused.
class Client {
public:
  explicit Client(const QSslConfiguration &tls = StandInServer::trustingConfiguration()) : tls_(tls)
  {
    manager_.setProxy(QNetworkProxy::NoProxy);
  }

  // Starts the request; result() is filled in when it finishes.
  void begin(const QString &url)
  {
    QNetworkRequest request{QUrl(url)};
    request.setSslConfiguration(tls_);
    clock_.start();
    reply_.reset(manager_.get(request));
    QObject::connect(reply_.get(), &QNetworkReply::sslErrors, reply_.get(),
                     [this](const QList<QSslError> &errors) { result_.sslErrors += errors; });
    QObject::connect(reply_.get(), &QNetworkReply::finished, reply_.get(), [this] {
      result_.finished = true;
      result_.elapsedMs = clock_.elapsed();
      result_.error = reply_->error();
      result_.errorString = reply_->errorString();
      result_.status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
      result_.contentType = reply_->rawHeader("Content-Type");
      const QVariant length = reply_->header(QNetworkRequest::ContentLengthHeader);
      result_.contentLength = length.isValid() ? length.toLongLong() : -1;
      result_.body = reply_->readAll();
    });
  }

  const HttpResult &wait(int timeoutMs = 15000)
  {
    QDeadlineTimer deadline(timeoutMs);
    while (!result_.finished && !deadline.hasExpired())
      QTest::qWait(5);
    return result_;
  }

  const HttpResult &result() const { return result_; }

private:
  QSslConfiguration tls_;
  QNetworkAccessManager manager_;
  std::unique_ptr<QNetworkReply> reply_;
  QElapsedTimer clock_;
  HttpResult result_;
};

HttpResult get(const QString &url, const QSslConfiguration &tls = StandInServer::trustingConfiguration())
{
  Client client(tls);
  client.begin(url);
  return client.wait();
}

// What the upgrade worker takes from a reply: the text between the first
// `":"` and the first `"}`; nullopt when either is missing.
std::optional<QByteArray> markedText(const QByteArray &body)
{
  const qsizetype start = body.indexOf("\":\"");
  const qsizetype end = body.indexOf("\"}");
  if (start < 0 || end < 0)
    return std::nullopt;
  return body.mid(start + 3, end - (start + 3));
}

QByteArray randomBytes(qsizetype size, quint32 seed)
{
  QRandomGenerator generator(seed);
  QByteArray bytes(size, Qt::Uninitialized);
  for (char &b : bytes)
    b = static_cast<char>(generator.bounded(256));
  return bytes;
}

QSslSocket *connectTls(QObject *parent, quint16 port)
{
  auto *socket = new QSslSocket(parent);
  socket->setProxy(QNetworkProxy::NoProxy);
  socket->setSslConfiguration(StandInServer::trustingConfiguration());
  socket->connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
  if (!socket->waitForEncrypted(10000)) {
    qWarning() << "TLS connection failed:" << socket->errorString() << socket->sslHandshakeErrors();
    delete socket;
    return nullptr;
  }
  return socket;
}

struct RawResponse {
  bool connected = false;
  int status = 0;
  QByteArray head;
  QByteArray body;
};

// Sends exactly these request bytes over TLS, so the server sees targets no
// URL class would let through, and reads until the server closes.
RawResponse rawTlsRequest(quint16 port, const QByteArray &request)
{
  RawResponse out;
  QObject owner;
  QSslSocket *socket = connectTls(&owner, port);
  if (!socket)
    return out;
  out.connected = true;
  socket->write(request);
  QByteArray all;
  QDeadlineTimer deadline(10000);
  while (socket->state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
    socket->waitForReadyRead(100);
    all += socket->readAll();
  }
  all += socket->readAll();
  const qsizetype split = all.indexOf("\r\n\r\n");
  out.head = split < 0 ? all : all.left(split);
  out.body = split < 0 ? QByteArray() : all.mid(split + 4);
  const QList<QByteArray> statusLine = out.head.left(out.head.indexOf("\r\n")).split(' ');
  if (statusLine.size() >= 2)
    out.status = statusLine[1].toInt();
  return out;
}

// Waits until the peer has closed the socket, reading and dropping data.
bool closedByPeerWithin(QAbstractSocket *socket, int timeoutMs)
{
  QDeadlineTimer deadline(timeoutMs);
  while (socket->state() != QAbstractSocket::UnconnectedState && !deadline.hasExpired()) {
    socket->waitForReadyRead(50);
    socket->readAll();
  }
  return socket->state() == QAbstractSocket::UnconnectedState;
}

QByteArray getRequest(const QByteArray &target)
{
  return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
}

} // namespace

class TestFwServer : public QObject {
  Q_OBJECT

private:
  // The server still answers a normal request correctly.
  static void verifyStillServes(StandInServer &server)
  {
    QVERIFY2(server.isRunning(), "the server has ended");
    const QByteArray probe("still here");
    server.putBlock(QStringLiteral("probe"), probe);
    const HttpResult result = get(server.url(QStringLiteral("probe")));
    QVERIFY2(result.finished, "no answer");
    QCOMPARE(result.error, QNetworkReply::NoError);
    QCOMPARE(result.body, "{\"data\":\"" + probe.toBase64() + "\"}");
  }

private slots:
  void initTestCase()
  {
    QVERIFY2(QSslSocket::supportsSsl(), "Qt has no TLS backend here");
    QVERIFY2(QFileInfo::exists(StandInServer::caFile()), "make-test-ca did not write ca.pem");
  }

  void storedBlockComesBackAsBase64Json_data()
  {
    QTest::addColumn<QByteArray>("block");
    QByteArray all(256, Qt::Uninitialized);
    for (int i = 0; i < 256; ++i)
      all[i] = static_cast<char>(i);
    QTest::newRow("every byte value 0..255") << all;
    QTest::newRow("one byte") << QByteArray(1, '\0');
    QTest::newRow("24 KiB, the worker's whole buffer") << randomBytes(24 * 1024, 7);
    // Base64 of a length that is not a multiple of 3 ends in padding.
    QTest::newRow("padding: 16 bytes") << randomBytes(16, 3);
    QTest::newRow("padding: 17 bytes") << randomBytes(17, 4);
  }

  void storedBlockComesBackAsBase64Json()
  {
    QFETCH(QByteArray, block);
    StandInServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    server.putBlock(QStringLiteral("TELV-0123_ab"), block);

    const HttpResult result = get(server.url(QStringLiteral("TELV-0123_ab")));
    QVERIFY(result.finished);
    QVERIFY2(result.error == QNetworkReply::NoError, qPrintable(result.errorString));
    QVERIFY(result.sslErrors.isEmpty());
    QCOMPARE(result.status, 200);
    QCOMPARE(result.contentType, QByteArray("application/json"));
    QCOMPARE(result.contentLength, result.body.size());
    // Exactly one member, so the first markers are the right ones.
    QVERIFY(result.body.startsWith("{\"data\":\""));
    QVERIFY(result.body.endsWith("\"}"));
    QCOMPARE(result.body.count('"'), 4);

    const std::optional<QByteArray> text = markedText(result.body);
    QVERIFY(text.has_value());
    const auto decoded = QByteArray::fromBase64Encoding(*text, QByteArray::AbortOnBase64DecodingErrors);
    QVERIFY(decoded.decodingStatus == QByteArray::Base64DecodingStatus::Ok);
    QCOMPARE(decoded.decoded, block);
  }

  void blocksFolderIsReadAtEachRequest()
  {
    StandInServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QCOMPARE(get(server.url(QStringLiteral("late"))).status, 404);

    server.putBlock(QStringLiteral("late"), "first");
    QCOMPARE(get(server.url(QStringLiteral("late"))).body, "{\"data\":\"" + QByteArray("first").toBase64() + "\"}");

    server.putBlock(QStringLiteral("late"), "second");
    QCOMPARE(get(server.url(QStringLiteral("late"))).body, "{\"data\":\"" + QByteArray("second").toBase64() + "\"}");

    QVERIFY(QFile::remove(server.blocksDir() + QStringLiteral("/late.bin")));
    QCOMPARE(get(server.url(QStringLiteral("late"))).status, 404);
  }

  void identityLengthLimitIs64()
  {
    StandInServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    const QString longest(64, QLatin1Char('z'));
    server.putBlock(longest, "max");
    server.putBlock(longest + QLatin1Char('z'), "over");
    QCOMPARE(get(server.url(longest)).status, 200);
    QCOMPARE(get(server.url(longest + QLatin1Char('z'))).status, 404);
  }

  // Identities through a normal client, which may encode what it sends.
  void unknownOrHostileIdentityGets404_data()
  {
    QTest::addColumn<QString>("identity");
    QTest::newRow("unknown") << QStringLiteral("NOSUCHSCREEN");
    QTest::newRow("parent folder") << QStringLiteral("../x");
    QTest::newRow("blank inside") << QStringLiteral("a b");
    QTest::newRow("200 characters") << QString(200, QLatin1Char('A'));
    QTest::newRow("empty") << QString();
    QTest::newRow("file name with its extension") << QStringLiteral("known.bin");
    QTest::newRow("absolute path") << QStringLiteral("/etc/passwd");
    QTest::newRow("quote") << QStringLiteral("a\"b");
  }

  void unknownOrHostileIdentityGets404()
  {
    QFETCH(QString, identity);
    StandInServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    server.putBlock(QStringLiteral("known"), "secret");

    const HttpResult result = get(server.url(identity));
    QVERIFY(result.finished);
    QCOMPARE(result.status, 404);
    QVERIFY2(!result.body.contains('"'), result.body.constData());
    QVERIFY(!markedText(result.body).has_value());
  }

  void traversalCannotReachFilesNextToTheBlocksFolder()
  {
    StandInServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    const QFileInfo blocks(server.blocksDir());
    const QString name = blocks.fileName() + QStringLiteral("-outside");
    QFile outside(blocks.path() + QLatin1Char('/') + name + QStringLiteral(".bin"));
    QVERIFY(outside.open(QIODevice::WriteOnly));
    outside.write("outside");
    outside.close();
    const QString identity = QStringLiteral("../") + name;
    const HttpResult viaClient = get(server.url(identity));
    const RawResponse raw = rawTlsRequest(server.port(), getRequest("/cgi-bin/telv?code=" + identity.toLatin1()));
    const RawResponse encoded =
        rawTlsRequest(server.port(), getRequest("/cgi-bin/telv?code=..%2F" + name.toLatin1()));
    outside.remove();
    QCOMPARE(viaClient.status, 404);
    QCOMPARE(raw.status, 404);
    QCOMPARE(encoded.status, 404);
  }

  // Request targets as raw bytes, beyond what a URL class would send.
  void hostileRequestTargetsAreRefused_data()
  {
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    QTest::newRow("encoded traversal") << getRequest("/cgi-bin/telv?code=..%2Fknown") << 404;
    QTest::newRow("raw traversal") << getRequest("/cgi-bin/telv?code=../known") << 404;
    QTest::newRow("nul byte") << getRequest(QByteArray("/cgi-bin/telv?code=known\0x", 26)) << 404;
    QTest::newRow("encoded nul") << getRequest("/cgi-bin/telv?code=known%00") << 404;
    QTest::newRow("second parameter") << getRequest("/cgi-bin/telv?code=known&x=1") << 404;
    QTest::newRow("parameter before code") << getRequest("/cgi-bin/telv?x=1&code=known") << 404;
    QTest::newRow("other parameter name") << getRequest("/cgi-bin/telv?CODE=known") << 404;
    QTest::newRow("no query") << getRequest("/cgi-bin/telv") << 404;
    QTest::newRow("trailing slash") << getRequest("/cgi-bin/telv/?code=known") << 404;
    QTest::newRow("other path") << getRequest("/?code=known") << 404;
    QTest::newRow("path prefix") << getRequest("/cgi-bin/telvx?code=known") << 404;
    QTest::newRow("POST") << QByteArray("POST /cgi-bin/telv?code=known HTTP/1.1\r\nContent-Length: 0\r\n\r\n") << 405;
    QTest::newRow("HEAD") << QByteArray("HEAD /cgi-bin/telv?code=known HTTP/1.1\r\n\r\n") << 405;
    QTest::newRow("DELETE other path") << QByteArray("DELETE /x HTTP/1.1\r\n\r\n") << 404;
    QTest::newRow("not HTTP") << QByteArray("HELLO\r\n\r\n") << 400;
    QTest::newRow("missing version") << QByteArray("GET /cgi-bin/telv?code=known\r\n\r\n") << 400;
    QTest::newRow("binary junk line") << QByteArray("\x01\x02\x03\xff \xfe \xfd\r\n\r\n") << 400;
  }

  void hostileRequestTargetsAreRefused()
  {
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    StandInServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    server.putBlock(QStringLiteral("known"), "secret");

    const RawResponse response = rawTlsRequest(server.port(), request);
    QVERIFY(response.connected);
    QCOMPARE(response.status, status);
    QVERIFY2(!response.body.contains('"'), response.body.constData());
    QVERIFY(!response.body.contains(QByteArray("secret").toBase64()));
    QVERIFY(response.head.contains("\r\nContent-Length: " + QByteArray::number(response.body.size())));
    verifyStillServes(server);
  }

  void requestWithLongHeadersWithinLimitIsServed()
  {
    StandInServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    server.putBlock(QStringLiteral("known"), "secret");
    QByteArray request = "GET /cgi-bin/telv?code=known HTTP/1.1\r\n";
    while (request.size() < 6 * 1024)
      request += "X-Filler: " + QByteArray(100, 'f') + "\r\n";
    request += "\r\n";
    const RawResponse response = rawTlsRequest(server.port(), request);
    QCOMPARE(response.status, 200);
    QCOMPARE(response.body, "{\"data\":\"" + QByteArray("secret").toBase64() + "\"}");
  }

  void certificateOfUntrustedAuthorityIsRejected()
  {
    StandInServer server;
    QVERIFY2(server.start({}, /*useOtherCa=*/true), qPrintable(server.errorString()));
    server.putBlock(QStringLiteral("known"), "secret");

    const HttpResult rejected = get(server.url(QStringLiteral("known")));
    QVERIFY(rejected.finished);
    QCOMPARE(rejected.error, QNetworkReply::SslHandshakeFailedError);
    QVERIFY(!rejected.sslErrors.isEmpty());
    QVERIFY(rejected.body.isEmpty());

    // The same server is fine for a client that trusts its authority: the
    // rejection came from trust alone, and the server lived through it.
    QVERIFY(server.isRunning());
    QSslConfiguration trustsOther = QSslConfiguration::defaultConfiguration();
    QVERIFY(trustsOther.addCaCertificates(StandInServer::otherCaFile(), QSsl::Pem));
    const HttpResult accepted = get(server.url(QStringLiteral("known")), trustsOther);
    QVERIFY2(accepted.error == QNetworkReply::NoError, qPrintable(accepted.errorString));
    QCOMPARE(accepted.body, "{\"data\":\"" + QByteArray("secret").toBase64() + "\"}");
  }

  void clientWithoutTheTestAuthorityRejectsServer()
  {
    StandInServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    server.putBlock(QStringLiteral("known"), "secret");
    const HttpResult result = get(server.url(QStringLiteral("known")), QSslConfiguration::defaultConfiguration());
    QCOMPARE(result.error, QNetworkReply::SslHandshakeFailedError);
    QVERIFY(result.body.isEmpty());
    verifyStillServes(server);
  }

  void delayHoldsTheReply_data()
  {
    QTest::addColumn<QString>("identity");
    QTest::addColumn<int>("status");
    QTest::newRow("block") << QStringLiteral("known") << 200;
    QTest::newRow("unknown identity") << QStringLiteral("unknown") << 404;
  }

  void delayHoldsTheReply()
  {
    QFETCH(QString, identity);
    QFETCH(int, status);
    constexpr int delayMs = 600;
    StandInServer server;
    QVERIFY2(server.start({QStringLiteral("--delay-ms"), QString::number(delayMs)}),
             qPrintable(server.errorString()));
    server.putBlock(QStringLiteral("known"), "secret");

    Client client;
    client.begin(server.url(identity));
    QElapsedTimer sinceStart;
    sinceStart.start();
    bool arrivedByHalf = false;
    qint64 checkedAt = 0;
    QTimer half;
    half.setSingleShot(true);
    half.setTimerType(Qt::PreciseTimer);
    connect(&half, &QTimer::timeout, this, [&] {
      arrivedByHalf = client.result().finished;
      checkedAt = sinceStart.elapsed();
    });
    half.start(delayMs / 2);
    const HttpResult &result = client.wait();
    QVERIFY(result.finished);
    // Only meaningful when the check ran well before the reply was due.
    if (checkedAt < delayMs * 3 / 4)
      QVERIFY2(!arrivedByHalf, "the reply was not held");
    QVERIFY2(result.elapsedMs >= delayMs * 9 / 10, qPrintable(QString::number(result.elapsedMs)));
    QCOMPARE(result.status, status);
    if (status == 200)
      QCOMPARE(result.body, "{\"data\":\"" + QByteArray("secret").toBase64() + "\"}");
  }

  void clientGoneDuringDelayDoesNotHurt()
  {
    StandInServer server;
    QVERIFY2(server.start({QStringLiteral("--delay-ms"), QStringLiteral("300")}), qPrintable(server.errorString()));
    server.putBlock(QStringLiteral("known"), "secret");
    {
      QObject owner;
      QSslSocket *socket = connectTls(&owner, server.port());
      QVERIFY(socket);
      socket->write(getRequest("/cgi-bin/telv?code=known"));
      QVERIFY(socket->waitForBytesWritten(5000));
      socket->abort();
    }
    QTest::qWait(500); // past the hold, when the server writes to the gone client
    verifyStillServes(server);
  }

  void faultReplies_data()
  {
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("withBlock");
    QTest::newRow("nomarkers, block stored") << QStringLiteral("nomarkers") << true;
    QTest::newRow("nomarkers, no block") << QStringLiteral("nomarkers") << false;
    QTest::newRow("garbage, block stored") << QStringLiteral("garbage") << true;
    QTest::newRow("garbage, no block") << QStringLiteral("garbage") << false;
  }

  void faultReplies()
  {
    QFETCH(QString, mode);
    QFETCH(bool, withBlock);
    StandInServer server;
    QVERIFY2(server.start({QStringLiteral("--reply"), mode}), qPrintable(server.errorString()));
    if (withBlock)
      server.putBlock(QStringLiteral("known"), "secret");

    const HttpResult result = get(server.url(QStringLiteral("known")));
    QVERIFY2(result.error == QNetworkReply::NoError, qPrintable(result.errorString));
    QCOMPARE(result.status, 200);
    QVERIFY(!result.body.isEmpty());
    QVERIFY(!result.body.contains(QByteArray("secret").toBase64()));
    const std::optional<QByteArray> text = markedText(result.body);
    if (mode == QLatin1String("nomarkers")) {
      QVERIFY2(!text.has_value(), result.body.constData());
      QVERIFY(!result.body.contains("\":\""));
      QVERIFY(!result.body.contains("\"}"));
    } else {
      QVERIFY2(text.has_value(), result.body.constData());
      QVERIFY(!text->isEmpty());
      // A lenient decoder, as the worker uses, gets nothing; a strict one fails.
      QVERIFY(QByteArray::fromBase64(*text).isEmpty());
      const auto strict = QByteArray::fromBase64Encoding(*text, QByteArray::AbortOnBase64DecodingErrors);
      QVERIFY(strict.decodingStatus != QByteArray::Base64DecodingStatus::Ok);
    }
  }

  void faultModesKeepOtherPathsRefused()
  {
    StandInServer server;
    QVERIFY2(server.start({QStringLiteral("--reply"), QStringLiteral("garbage")}), qPrintable(server.errorString()));
    QCOMPARE(get(server.url(QStringLiteral("../x"))).status, 404);
    QCOMPARE(rawTlsRequest(server.port(), getRequest("/other")).status, 404);
  }

  void stalledClientDoesNotBlockOthers()
  {
    StandInServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QObject owner;
    QSslSocket *stalled = connectTls(&owner, server.port());
    QVERIFY(stalled);
    stalled->write("GET /cgi-bin/telv?code=known HTTP/1.1\r\nHost: 127.");
    QVERIFY(stalled->waitForBytesWritten(5000));
    QTcpSocket silent(&owner); // not even a TLS handshake
    silent.setProxy(QNetworkProxy::NoProxy);
    silent.connectToHost(QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(silent.waitForConnected(5000));

    // Several requests at once while those two hold their connections.
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 8; ++i) {
      server.putBlock(QStringLiteral("screen%1").arg(i), randomBytes(1000 + i, static_cast<quint32>(i)));
      clients.push_back(std::make_unique<Client>());
      clients.back()->begin(server.url(QStringLiteral("screen%1").arg(i)));
    }
    for (int i = 0; i < 8; ++i) {
      const HttpResult &result = clients[static_cast<size_t>(i)]->wait();
      QVERIFY2(result.error == QNetworkReply::NoError, qPrintable(result.errorString));
      const std::optional<QByteArray> text = markedText(result.body);
      QVERIFY(text.has_value());
      QCOMPARE(QByteArray::fromBase64(*text), randomBytes(1000 + i, static_cast<quint32>(i)));
    }
    QCOMPARE(stalled->state(), QAbstractSocket::ConnectedState);
  }

  void incompleteRequestIsDroppedAfterReadTimeout()
  {
    StandInServer server;
    QVERIFY2(server.start({QStringLiteral("--read-timeout-ms"), QStringLiteral("300")}),
             qPrintable(server.errorString()));
    QObject owner;
    QSslSocket *trickle = connectTls(&owner, server.port());
    QVERIFY(trickle);
    trickle->write("GET /cgi-bin/telv?code=known HTTP/1.1\r\n");
    QTcpSocket silent(&owner);
    silent.setProxy(QNetworkProxy::NoProxy);
    silent.connectToHost(QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(silent.waitForConnected(5000));

    QVERIFY2(closedByPeerWithin(trickle, 10000), "a request that never ends kept its connection");
    QVERIFY2(closedByPeerWithin(&silent, 10000), "a client that never speaks kept its connection");
    verifyStillServes(server);
  }

  void hostileRawClientsDoNotStopTheServer_data()
  {
    QTest::addColumn<QString>("kind");
    QTest::newRow("100 KiB of junk instead of TLS") << QStringLiteral("plain-junk");
    QTest::newRow("100 KiB of junk over TLS, no end of head") << QStringLiteral("tls-junk");
    QTest::newRow("huge header line over TLS") << QStringLiteral("tls-long-header");
    QTest::newRow("disconnect mid-request") << QStringLiteral("tls-half-request");
    QTest::newRow("disconnect mid-handshake") << QStringLiteral("plain-half-hello");
    QTest::newRow("connect and leave at once") << QStringLiteral("plain-nothing");
    QTest::newRow("abort mid-reply") << QStringLiteral("tls-abort-reply");
  }

  void hostileRawClientsDoNotStopTheServer()
  {
    QFETCH(QString, kind);
    StandInServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QObject owner;

    if (kind.startsWith(QLatin1String("plain-"))) {
      QTcpSocket socket(&owner);
      socket.setProxy(QNetworkProxy::NoProxy);
      socket.connectToHost(QStringLiteral("127.0.0.1"), server.port());
      QVERIFY(socket.waitForConnected(5000));
      if (kind == QLatin1String("plain-junk")) {
        socket.write(randomBytes(100 * 1024, 11));
        socket.waitForBytesWritten(2000);
        // The server gives up on the handshake and closes.
        QVERIFY(closedByPeerWithin(&socket, 4000));
      } else if (kind == QLatin1String("plain-half-hello")) {
        // The first bytes of a TLS 1.2 ClientHello record, then nothing more.
        socket.write(QByteArray::fromHex("160301020001"));
        socket.waitForBytesWritten(2000);
        socket.abort();
      } else {
        socket.abort();
      }
    } else {
      QSslSocket *socket = connectTls(&owner, server.port());
      QVERIFY(socket);
      if (kind == QLatin1String("tls-junk") || kind == QLatin1String("tls-long-header")) {
        const QByteArray junk = kind == QLatin1String("tls-junk")
                                    ? randomBytes(100 * 1024, 12).replace('\n', 'x')
                                    : "GET /cgi-bin/telv?code=known HTTP/1.1\r\nX-Long: " + QByteArray(100 * 1024, 'a');
        socket->write(junk);
        // Well before the 10 s read timeout: the size bound must cut it off.
        QVERIFY2(closedByPeerWithin(socket, 4000), "an endless request head was not cut off");
      } else if (kind == QLatin1String("tls-half-request")) {
        socket->write("GET /cgi-bin/telv?co");
        socket->waitForBytesWritten(2000);
        socket->abort();
      } else {
        // Big enough that the reply is still being written when the client goes.
        server.putBlock(QStringLiteral("big"), randomBytes(8 * 1024 * 1024, 13));
        socket->write(getRequest("/cgi-bin/telv?code=big"));
        QVERIFY(socket->waitForReadyRead(10000));
        QVERIFY(!socket->readAll().isEmpty());
        socket->abort();
      }
    }
    QTest::qWait(100);
    verifyStillServes(server);
  }

  void listensOnLoopbackOnly()
  {
    StandInServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QFile tcp(QStringLiteral("/proc/net/tcp"));
    if (!tcp.open(QIODevice::ReadOnly))
      QSKIP("no /proc/net/tcp here");
    const QByteArray port = QByteArray::number(server.port(), 16).toUpper().rightJustified(4, '0');
    bool loopback = false;
    for (const QByteArray &line : tcp.readAll().split('\n')) {
      const QList<QByteArray> fields = line.simplified().split(' ');
      // fields: sl local remote state ...; 0A is LISTEN.
      if (fields.size() < 4 || fields[3] != "0A" || !fields[1].endsWith(":" + port))
        continue;
      QCOMPARE(fields[1], "0100007F:" + port);
      loopback = true;
    }
    QVERIFY(loopback);
    QFile tcp6(QStringLiteral("/proc/net/tcp6"));
    if (tcp6.open(QIODevice::ReadOnly)) {
      for (const QByteArray &line : tcp6.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        QVERIFY2(fields.size() < 4 || fields[3] != "0A" || !fields[1].endsWith(":" + port),
                 "also listening on IPv6");
      }
    }
  }

  void startupPrintsOneListeningLine()
  {
    QTemporaryDir blocks;
    const QString certDir = QFileInfo(StandInServer::caFile()).path();
    QProcess process;
    process.start(QStringLiteral(TAVRIK_FWSERVER_PATH),
                  {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--cert"),
                   certDir + QStringLiteral("/server.pem"), QStringLiteral("--key"),
                   certDir + QStringLiteral("/server.key"), QStringLiteral("--blocks"), blocks.path()});
    QVERIFY(process.waitForStarted(5000));
    QDeadlineTimer deadline(10000);
    while (!process.canReadLine() && !deadline.hasExpired())
      process.waitForReadyRead(100);
    const QByteArray line = process.readLine();
    QVERIFY2(QRegularExpression(QStringLiteral("^listening on 127\\.0\\.0\\.1:[1-9][0-9]*\\n$"))
                 .match(QString::fromLatin1(line))
                 .hasMatch(),
             line.constData());
    QTest::qWait(200);
    QVERIFY(process.readAllStandardOutput().isEmpty());
    process.terminate();
    process.waitForFinished(5000);
  }

  void badOptionsStopTheServerAtStartup_data()
  {
    QTest::addColumn<QStringList>("args");
    const QString certDir = QFileInfo(StandInServer::caFile()).path();
    const QString cert = certDir + QStringLiteral("/server.pem");
    const QString key = certDir + QStringLiteral("/server.key");
    const QString blocks = certDir; // any folder that exists
    const QStringList good{QStringLiteral("--cert"), cert, QStringLiteral("--key"), key,
                           QStringLiteral("--blocks"), blocks};
    QTest::newRow("no certificate") << QStringList{QStringLiteral("--key"), key, QStringLiteral("--blocks"), blocks};
    QTest::newRow("no key") << QStringList{QStringLiteral("--cert"), cert, QStringLiteral("--blocks"), blocks};
    QTest::newRow("no blocks folder") << QStringList{QStringLiteral("--cert"), cert, QStringLiteral("--key"), key};
    QTest::newRow("blocks folder missing") << QStringList{QStringLiteral("--cert"), cert, QStringLiteral("--key"), key,
                                                          QStringLiteral("--blocks"), blocks + QStringLiteral("/nope")};
    QTest::newRow("certificate file is not PEM") << QStringList{QStringLiteral("--cert"), blocks + QStringLiteral("/nope"),
                                                                QStringLiteral("--key"), key, QStringLiteral("--blocks"), blocks};
    QTest::newRow("key file is a certificate") << QStringList{QStringLiteral("--cert"), cert, QStringLiteral("--key"), cert,
                                                              QStringLiteral("--blocks"), blocks};
    QTest::newRow("port out of range") << good + QStringList{QStringLiteral("--port"), QStringLiteral("70000")};
    QTest::newRow("port not a number") << good + QStringList{QStringLiteral("--port"), QStringLiteral("x")};
    QTest::newRow("negative delay") << good + QStringList{QStringLiteral("--delay-ms"), QStringLiteral("-1")};
    QTest::newRow("unknown reply mode") << good + QStringList{QStringLiteral("--reply"), QStringLiteral("slow")};
    QTest::newRow("unknown option") << good + QStringList{QStringLiteral("--listen-all")};
  }

  void badOptionsStopTheServerAtStartup()
  {
    QFETCH(QStringList, args);
    QProcess process;
    process.start(QStringLiteral(TAVRIK_FWSERVER_PATH), args);
    QVERIFY(process.waitForStarted(5000));
    if (!process.waitForFinished(10000)) {
      process.kill();
      process.waitForFinished();
      QFAIL("the server ran with bad options");
    }
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QVERIFY(process.exitCode() != 0);
    QVERIFY(!process.readAllStandardOutput().contains("listening"));
    QVERIFY(!process.readAllStandardError().isEmpty());
  }

  void supportStopAndRestart()
  {
    StandInServer server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    const quint16 first = server.port();
    QVERIFY(first != 0);
    QCOMPARE(server.host(), QStringLiteral("127.0.0.1:%1").arg(first));
    server.putBlock(QStringLiteral("kept"), "kept");
    server.stop();
    QVERIFY(!server.isRunning());
    QCOMPARE(get(QStringLiteral("https://127.0.0.1:%1/cgi-bin/telv?code=kept").arg(first)).error,
             QNetworkReply::ConnectionRefusedError);
    // A restart keeps the blocks folder.
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QCOMPARE(get(server.url(QStringLiteral("kept"))).body, "{\"data\":\"" + QByteArray("kept").toBase64() + "\"}");
  }
};

QTEST_GUILESS_MAIN(TestFwServer)
#include "tst_fwserver.moc"
