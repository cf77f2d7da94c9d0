// Reading a screen block out of the firmware server's reply: only well-formed
// blocks that fit the upgrade's buffer get through.
#include "serverreply.h"

#include <QByteArray>
#include <QTest>

using namespace fwimage;

namespace {

Bytes block(std::size_t payload, std::uint8_t seed = 1)
{
    Bytes b(BlockHeadSize + payload);
    b[0] = 'B';
    b[1] = 'L';
    b[2] = 'K';
    b[3] = '1';
    b[4] = std::uint8_t(payload);
    b[5] = std::uint8_t(payload >> 8);
    b[6] = std::uint8_t(payload >> 16);
    b[7] = std::uint8_t(payload >> 24);
    for (std::size_t i = BlockHeadSize; i < b.size(); ++i)
        b[i] = std::uint8_t(i * 7 + seed);
    return b;
}

std::string reply(const Bytes &b)
{
    const QByteArray raw(reinterpret_cast<const char *>(b.data()), qsizetype(b.size()));
    return "{\"data\":\"" + raw.toBase64().toStdString() + "\"}";
}

} // namespace

class TestServerReply : public QObject {
    Q_OBJECT

private slots:
    void base64MatchesQtForEveryLength();
    void base64AcceptsWhatJsonEncodersWrite_data();
    void base64AcceptsWhatJsonEncodersWrite();
    void blockWithEscapedLineBreaksEvery76Characters();
    void base64RefusesWhatIsNotStandard_data();
    void base64RefusesWhatIsNotStandard();
    void blockOfAWellFormedReply();
    void firstMarkersDecide();
    void repliesWithoutABlock_data();
    void repliesWithoutABlock();
    void blocksThatCannotBeWritten_data();
    void blocksThatCannotBeWritten();
};

void TestServerReply::base64MatchesQtForEveryLength()
{
    for (int n = 0; n < 70; ++n) {
        QByteArray raw(n, '\0');
        for (int i = 0; i < n; ++i)
            raw[i] = char(i * 37 + n);
        for (const auto option : {QByteArray::Base64Encoding, QByteArray::OmitTrailingEquals}) {
            const std::string text = raw.toBase64(option).toStdString();
            const auto decoded = decodeBase64(text);
            QVERIFY2(decoded.ok(), text.c_str());
            QCOMPARE(QByteArray(reinterpret_cast<const char *>(decoded.value.data()), qsizetype(decoded.value.size())),
                     raw);
        }
    }
    // JSON may escape the slash.
    const auto slashed = decodeBase64("\\/\\/\\/\\/");
    QVERIFY(slashed.ok());
    QCOMPARE(slashed.value, (Bytes{0xFF, 0xFF, 0xFF}));
}

void TestServerReply::base64AcceptsWhatJsonEncodersWrite_data()
{
    // "ABCDEF" is QUJD REVG; "AB" is QUI=.
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("decoded");
    QTest::newRow("escaped line break between groups") << QByteArray("QUJD\\nREVG") << QByteArray("ABCDEF");
    QTest::newRow("escaped CR LF between groups") << QByteArray("QUJD\\r\\nREVG") << QByteArray("ABCDEF");
    QTest::newRow("escaped line break at the end") << QByteArray("QUJDREVG\\n") << QByteArray("ABCDEF");
    QTest::newRow("plain line breaks") << QByteArray("QUJD\nREVG\r\n") << QByteArray("ABCDEF");
    QTest::newRow("blanks between groups") << QByteArray(" QUJD \tREVG ") << QByteArray("ABCDEF");
    QTest::newRow("break after padding") << QByteArray("QUJD\\nQUI=\\n") << QByteArray("ABCAB");
    QTest::newRow("escaped slash") << QByteArray("\\/\\/\\/\\/") << QByteArray("\xFF\xFF\xFF");
}

void TestServerReply::base64AcceptsWhatJsonEncodersWrite()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, decoded);
    const auto got = decodeBase64(text.toStdString());
    QVERIFY2(got.ok(), describe(got.fault).data());
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(got.value.data()), qsizetype(got.value.size())), decoded);
}

void TestServerReply::blockWithEscapedLineBreaksEvery76Characters()
{
    // As MIME-style encoders wrap it, escaped by a JSON encoder.
    const Bytes b = block(200);
    QByteArray b64 = QByteArray(reinterpret_cast<const char *>(b.data()), qsizetype(b.size())).toBase64();
    for (qsizetype at = 76; at < b64.size(); at += 78)
        b64.insert(at, "\\n");
    QVERIFY(b64.contains("\\n"));
    const auto got = screenBlockFromReply("{\"data\":\"" + b64.toStdString() + "\"}");
    QVERIFY2(got.ok(), describe(got.fault).data());
    QVERIFY(got.value == b);
}

void TestServerReply::base64RefusesWhatIsNotStandard_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("url-safe alphabet") << QByteArray("ab-_");
    QTest::newRow("space inside a group") << QByteArray("QU JDREVG");
    QTest::newRow("escaped line break inside a group") << QByteArray("QU\\nJD");
    QTest::newRow("other escape") << QByteArray("QUJD\\tREVG");
    QTest::newRow("lone backslash") << QByteArray("QUJD\\");
    QTest::newRow("form feed") << QByteArray("QUJD\fREVG");
    QTest::newRow("one symbol left over") << QByteArray("QUJDR");
    QTest::newRow("data after padding") << QByteArray("QQ==QUJD");
    QTest::newRow("three padding") << QByteArray("Q===");
    QTest::newRow("padding that does not complete a group") << QByteArray("QQ=");
    QTest::newRow("non-zero fill bits") << QByteArray("QR==");
    QTest::newRow("control byte") << QByteArray("QU\x01JD");
    QTest::newRow("high byte") << QByteArray("QU\xC3\xA9");
}

void TestServerReply::base64RefusesWhatIsNotStandard()
{
    QFETCH(QByteArray, text);
    QCOMPARE(decodeBase64(text.toStdString()).fault, Fault::BadBase64);
}

void TestServerReply::blockOfAWellFormedReply()
{
    for (std::size_t payload : {std::size_t(1), std::size_t(8), std::size_t(1000), BootRegionSize - BlockHeadSize}) {
        const Bytes b = block(payload);
        const auto got = screenBlockFromReply(reply(b));
        QVERIFY2(got.ok(), describe(got.fault).data());
        QVERIFY(got.value == b);
    }
}

void TestServerReply::firstMarkersDecide()
{
    const Bytes b = block(20);
    const QByteArray b64 = QByteArray(reinterpret_cast<const char *>(b.data()), qsizetype(b.size())).toBase64();
    // A second member after the block is never read.
    const std::string twoMembers = "{\"data\":\"" + b64.toStdString() + "\"}, {\"x\":\"zz\"}";
    QVERIFY(screenBlockFromReply(twoMembers).value == b);
    // A member before the block takes the first start marker: its text is
    // read up to the first end marker and is no block.
    const std::string memberFirst = "{\"name\":\"x\",\"data\":\"" + b64.toStdString() + "\"}";
    QVERIFY(!screenBlockFromReply(memberFirst).ok());
}

void TestServerReply::repliesWithoutABlock_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("no start marker") << QByteArray("{\"data\" : \"QUJD\"}");
    QTest::newRow("no end marker") << QByteArray("{\"data\":\"QUJD\" }");
    QTest::newRow("end before start") << QByteArray("\"}{\"data\":\"QUJD");
    QTest::newRow("markers overlapping") << QByteArray("\":\"}");
    QTest::newRow("html error page") << QByteArray("<html><body>404 Not Found</body></html>");
}

void TestServerReply::repliesWithoutABlock()
{
    QFETCH(QByteArray, text);
    QCOMPARE(screenBlockFromReply(text.toStdString()).fault, Fault::NoReplyMarkers);
}

void TestServerReply::blocksThatCannotBeWritten_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("fault");
    const auto raw = [](const Bytes &b) { return QByteArray(reinterpret_cast<const char *>(b.data()), qsizetype(b.size())); };
    QTest::newRow("nothing") << QByteArray() << int(Fault::BlockTooShort);
    QTest::newRow("head only") << raw(block(0)) << int(Fault::BlockTooShort);
    QTest::newRow("larger than the boot region") << raw(block(BootRegionSize - BlockHeadSize + 1))
                                                 << int(Fault::BlockTooLarge);
    Bytes longer = block(100);
    longer[4] = 101;
    QTest::newRow("length says one more") << raw(longer) << int(Fault::BlockLengthWrong);
    Bytes wrapped = block(100);
    wrapped[7] = 0xFF; // 0xFF000064: a sum with the head would wrap a 32-bit size
    QTest::newRow("length beyond 32-bit sums") << raw(wrapped) << int(Fault::BlockLengthWrong);
}

void TestServerReply::blocksThatCannotBeWritten()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, fault);
    const std::string text = "{\"data\":\"" + bytes.toBase64().toStdString() + "\"}";
    QCOMPARE(int(screenBlockFromReply(text).fault), fault);
}

QTEST_APPLESS_MAIN(TestServerReply)
#include "tst_serverreply.moc"
