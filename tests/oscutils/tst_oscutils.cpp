#include "app/Errors.h"
#include "osc/OSCUtils.h"

#include <QTest>
#include <cmath>
#include <limits>

namespace {

// Bytes written as hex with optional spaces: "2F 67 6F 00".
QByteArray Hex(const char* text) {
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

// The bundle of one message that every fired cue sends.
QByteArray CueBundle(const QString& address, const QByteArray& argument) {
    auto message = std::make_unique<TOSCMessage>(address);
    message->AddString(argument);
    TOSCBundle bundle;
    bundle.Add(std::move(message));
    return bundle.ToOSCBytes();
}

} // namespace

class tst_OSCUtils : public QObject {
    Q_OBJECT

private slots:
    // Encoding
    void cueBundle_data();
    void cueBundle();
    void numberItems_data();
    void numberItems();
    void stringPadding_data();
    void stringPadding();
    void messageBytes_data();
    void messageBytes();
    void bundles();
    void addAsBytes_data();
    void addAsBytes();
};

void tst_OSCUtils::cueBundle_data() {
    QTest::addColumn<QString>("address");
    QTest::addColumn<QByteArray>("argument");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("/go 1, 32 bytes") << u"/go"_qs << QByteArray("1")
                                     << Hex("2362756E646C6500 0000000000000001 0000000C"
                                            "2F676F00 2C730000 31000000");
    QTest::newRow("/sound/go 5, 40 bytes") << u"/sound/go"_qs << QByteArray("5")
                                           << Hex("2362756E646C6500 0000000000000001 00000014"
                                                  "2F736F756E642F676F000000 2C730000 35000000");
    QTest::newRow("no argument text") << u"/sound/go"_qs << QByteArray()
                                      << Hex("2362756E646C6500 0000000000000001 00000014"
                                             "2F736F756E642F676F000000 2C730000 00000000");
}

void tst_OSCUtils::cueBundle() {
    QFETCH(QString, address);
    QFETCH(QByteArray, argument);
    QFETCH(QByteArray, expected);
    QCOMPARE(CueBundle(address, argument).toHex(' '), expected.toHex(' '));
}

void tst_OSCUtils::numberItems_data() {
    QTest::addColumn<bool>("isFloat");
    QTest::addColumn<double>("value");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("int 0") << false << 0.0 << Hex("00000000");
    QTest::newRow("int 42") << false << 42.0 << Hex("0000002A");
    QTest::newRow("int -2") << false << -2.0 << Hex("FFFFFFFE");
    QTest::newRow("int max") << false << 2147483647.0 << Hex("7FFFFFFF");
    QTest::newRow("int min") << false << -2147483648.0 << Hex("80000000");
    QTest::newRow("float 1.5") << true << 1.5 << Hex("3FC00000");
    QTest::newRow("float -0") << true << -0.0 << Hex("80000000");
    QTest::newRow("float 0.1") << true << 0.1 << Hex("3DCCCCCD");
    QTest::newRow("float inf") << true << double(INFINITY) << Hex("7F800000");
}

void tst_OSCUtils::numberItems() {
    QFETCH(bool, isFloat);
    QFETCH(double, value);
    QFETCH(QByteArray, expected);

    const QByteArray item = isFloat ? OSCFloatBytes(float(value)) : OSCIntBytes(qint32(value));
    QCOMPARE(item.toHex(' '), expected.toHex(' '));

    // The adder appends the same item and its tag.
    TOSCMessage message(u"/x"_qs);
    if (isFloat)
        message.AddFloat(float(value));
    else
        message.AddInteger(qint32(value));
    QCOMPARE(message.TypeTags(), isFloat ? u",f"_qs : u",i"_qs);
    QCOMPARE(message.ArgumentCount(), 1);
    QCOMPARE(message.GetArgument(0), expected);
    QCOMPARE(
        message.ToOSCBytes().toHex(' '),
        (Hex("2F780000") + QByteArray(isFloat ? ",f\0\0" : ",i\0\0", 4) + expected).toHex(' '));
}

void tst_OSCUtils::stringPadding_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("size");

    // 1 to 4 zero bytes, 4 when the length is already a multiple of 4.
    const QByteArray letters = "abcdefgh";
    for (int n = 0; n <= 8; ++n)
        QTest::addRow("length %d", n) << letters.left(n) << (n - n % 4 + 4);
    // Padding counts UTF-8 bytes: e-acute is 2 bytes, the euro sign 3.
    QTest::newRow("e-acute") << QByteArray("\xC3\xA9") << 4;
    QTest::newRow("abc e-acute") << QByteArray("abc\xC3\xA9") << 8;
    QTest::newRow("euro") << QByteArray("\xE2\x82\xAC") << 4;
    QTest::newRow("a euro") << QByteArray("a\xE2\x82\xAC") << 8;
}

void tst_OSCUtils::stringPadding() {
    QFETCH(QByteArray, text);
    QFETCH(int, size);

    const QByteArray item = OSCStringBytes(text);
    QCOMPARE(item.size(), size);
    QCOMPARE(item.left(text.size()), text);
    QCOMPARE(item.mid(text.size()), QByteArray(size - text.size(), '\0'));

    // An address of the same text (as UTF-16) comes out the same way.
    TOSCMessage message(QString::fromUtf8(text));
    QCOMPARE(message.ToOSCBytes(), item + QByteArray(",\0\0\0", 4));
}

void tst_OSCUtils::messageBytes_data() {
    QTest::addColumn<QString>("address");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QStringList>("adds"); // "s:text", "i:number", "f:number"

    QTest::newRow("no arguments") << u"/go"_qs << Hex("2F676F00 2C000000") << QStringList();
    QTest::newRow("empty address") << QString() << Hex("00000000 2C000000") << QStringList();
    QTest::newRow("4-character address")
        << u"/abc"_qs << Hex("2F616263 00000000 2C000000") << QStringList();
    QTest::newRow("empty string") << u"/go"_qs << Hex("2F676F00 2C730000 00000000")
                                  << QStringList{u"s:"_qs};
    QTest::newRow("s i f in order")
        << u"/a"_qs << Hex("2F610000 2C736966 00000000 68690000 0000002A 3FC00000")
        << QStringList{u"s:hi"_qs, u"i:42"_qs, u"f:1.5"_qs};
    QTest::newRow("non-ASCII address")
        << u"/caf\u00e9"_qs << Hex("2F636166 C3A90000 2C000000") << QStringList();
    // An OSC string ends at its first zero: a text with a zero inside is cut
    // there, so the receiver reads back what was sent and stays aligned.
    QTest::newRow("zero inside address")
        << QString::fromUtf16(u"/a\0b", 4) << Hex("2F610000 2C000000") << QStringList();
    QTest::newRow("zero inside string argument")
        << u"/a"_qs << Hex("2F610000 2C736900 78000000 00000007")
        << QStringList{u"s:x\u0000y"_qs, u"i:7"_qs};
}

void tst_OSCUtils::messageBytes() {
    QFETCH(QString, address);
    QFETCH(QByteArray, expected);
    QFETCH(QStringList, adds);

    TOSCMessage message(address);
    for (const QString& add : adds) {
        const QString value = add.mid(2);
        if (add[0] == u's')
            message.AddString(value.toUtf8());
        else if (add[0] == u'i')
            message.AddInteger(value.toInt());
        else
            message.AddFloat(value.toFloat());
    }
    QCOMPARE(message.ToOSCBytes().toHex(' '), expected.toHex(' '));
    QCOMPARE(message.TypeTags().size(), message.ArgumentCount() + 1);
    QVERIFY(!message.IsDecoded());
    QVERIFY(!message.Matched());
    QCOMPARE(message.TimeTag(), 0.0);
    QVERIFY(message.Bytes().isEmpty());
}

void tst_OSCUtils::bundles() {
    const QByteArray header = Hex("2362756E646C6500 0000000000000001");

    TOSCBundle empty;
    QCOMPARE(empty.ToOSCBytes(), header);

    // A bundle inside a bundle gets its own size, header and time tag 1.
    auto inner = std::make_unique<TOSCBundle>();
    auto deep = std::make_unique<TOSCMessage>(u"/b"_qs);
    deep->AddInteger(1);
    inner->Add(std::move(deep));
    TOSCBundle outer;
    outer.Add(std::make_unique<TOSCMessage>(u"/a"_qs));
    outer.Add(std::move(inner));
    QCOMPARE(outer.PacketCount(), 2);
    const QByteArray expected = header + Hex("00000008 2F610000 2C000000") + Hex("00000020") +
                                header + Hex("0000000C 2F620000 2C690000 00000001");
    QCOMPARE(outer.ToOSCBytes().toHex(' '), expected.toHex(' '));

    // Serialising twice gives the same bytes.
    QCOMPARE(outer.ToOSCBytes(), expected);
}

void tst_OSCUtils::addAsBytes_data() {
    QTest::addColumn<QChar>("tag");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("element");

    const QString c = u"C"_qs;
    QTest::newRow("i 42") << QChar(u'i') << QByteArray("42") << c << 0 << Hex("0000002A");
    QTest::newRow("i -2 with blanks")
        << QChar(u'i') << QByteArray(" -2 ") << c << 0 << Hex("FFFFFFFE");
    QTest::newRow("i letters") << QChar(u'i') << QByteArray("abc") << c << 2 << QByteArray();
    QTest::newRow("i empty") << QChar(u'i') << QByteArray() << c << 2 << QByteArray();
    QTest::newRow("i decimal") << QChar(u'i') << QByteArray("1.5") << c << 2 << QByteArray();
    QTest::newRow("i beyond 32 bits")
        << QChar(u'i') << QByteArray("2147483648") << c << 2 << QByteArray();
    QTest::newRow("f 1.5") << QChar(u'f') << QByteArray("1.5") << c << 0 << Hex("3FC00000");
    QTest::newRow("f German 1,5") << QChar(u'f') << QByteArray("1,5") << u"de_DE"_qs << 0
                                  << Hex("3FC00000");
    QTest::newRow("f 1,5 where ',' groups digits")
        << QChar(u'f') << QByteArray("1,5") << c << 2 << QByteArray();
    QTest::newRow("f letters") << QChar(u'f') << QByteArray("x") << c << 2 << QByteArray();
    QTest::newRow("f beyond float") << QChar(u'f') << QByteArray("1e39") << c << 2 << QByteArray();
    QTest::newRow("f inf") << QChar(u'f') << QByteArray("inf") << c << 2 << QByteArray();
    QTest::newRow("f nan") << QChar(u'f') << QByteArray("nan") << c << 2 << QByteArray();
    QTest::newRow("s text") << QChar(u's') << QByteArray("go") << c << 0 << Hex("676F0000");
    QTest::newRow("s letters stay text")
        << QChar(u's') << QByteArray("12") << c << 0 << Hex("31320000");
    QTest::newRow("b has no writer") << QChar(u'b') << QByteArray("1") << c << 1 << QByteArray();
    QTest::newRow("S has no writer") << QChar(u'S') << QByteArray("1") << c << 1 << QByteArray();
    QTest::newRow("I upper-case") << QChar(u'I') << QByteArray("1") << c << 1 << QByteArray();
}

void tst_OSCUtils::addAsBytes() {
    QFETCH(QChar, tag);
    QFETCH(QByteArray, value);
    QFETCH(QString, locale);
    QFETCH(int, result);
    QFETCH(QByteArray, element);

    TOSCMessage message(u"/x"_qs);
    message.AddInteger(1);
    const QByteArray before = message.ToOSCBytes();

    QCOMPARE(message.AddAsBytes(tag, value, QLocale(locale)), result);
    if (result == 0) {
        QCOMPARE(message.ArgumentCount(), 2);
        QCOMPARE(message.TypeTags(), u",i"_qs + tag);
        QCOMPARE(message.GetArgument(1).toHex(' '), element.toHex(' '));
    } else {
        QCOMPARE(message.ToOSCBytes(), before);
        QCOMPARE(message.TypeTags(), u",i"_qs);
    }
}

QTEST_GUILESS_MAIN(tst_OSCUtils)
#include "tst_oscutils.moc"
