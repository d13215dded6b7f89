#include "app/Errors.h"
#include "osc/OSCUtils.h"

#include <QRandomGenerator>
#include <QTest>
#include <QtEndian>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

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

// The matching rules written as plainly as possible: backtracking over
// (pattern position, text position), remembered so that stars stay cheap.
class ReferenceMatcher {
public:
    ReferenceMatcher(QStringView pattern, QStringView text)
        : P(pattern), T(text), Memo((P.size() + 1) * (T.size() + 1), -1) {}
    bool Matches() { return At(0, 0); }

private:
    bool At(qsizetype p, qsizetype t) {
        signed char& memo = Memo[p * (T.size() + 1) + t];
        if (memo < 0)
            memo = Compute(p, t);
        return memo;
    }
    bool Compute(qsizetype p, qsizetype t) {
        if (p == P.size())
            return t == T.size();
        const QChar c = P[p];
        const bool more = t < T.size();
        if (c == u'*')
            return At(p + 1, t) || (more && At(p, t + 1));
        if (c == u'[') {
            const qsizetype close = P.indexOf(u']', p + 1);
            if (close < 0 || !more)
                return false;
            QStringView set = P.mid(p + 1, close - p - 1);
            const bool negated = set.startsWith(u'!');
            if (negated)
                set = set.mid(1);
            bool in = false;
            for (qsizetype k = 0; k < set.size();) {
                if (k + 2 < set.size() && set[k + 1] == u'-') {
                    in = in || (set[k] <= T[t] && T[t] <= set[k + 2]);
                    k += 3;
                } else {
                    in = in || set[k] == T[t];
                    ++k;
                }
            }
            return in != negated && At(close + 1, t + 1);
        }
        if (c == u'{') {
            const qsizetype close = P.indexOf(u'}', p + 1);
            if (close < 0)
                return false;
            for (QStringView alternative : P.mid(p + 1, close - p - 1).split(u','))
                if (T.size() - t >= alternative.size() &&
                    T.mid(t, alternative.size()) == alternative &&
                    At(close + 1, t + alternative.size()))
                    return true;
            return false;
        }
        if (c == u']' || c == u'}' || !more)
            return false;
        return (c == u'?' || c == T[t]) && At(p + 1, t + 1);
    }

    QStringView P, T;
    std::vector<signed char> Memo;
};

// Random text over Alphabet, of a length in [min, max].
QString RandomText(QRandomGenerator& random, QStringView alphabet, int min, int max) {
    QString s;
    for (int k = random.bounded(min, max + 1); k > 0; --k)
        s += alphabet[random.bounded(int(alphabet.size()))];
    return s;
}

// What reads a received packet in place is never taken from a temporary,
// whose buffer share may go with it: that does not compile.
template <class T>
concept ViewOf = requires {
    std::declval<T>().ArgumentData(0);
};
template <class T>
concept PacketOf = requires {
    std::declval<T>().Packet(0);
};
template <class T>
concept PointerOf = requires {
    std::declval<T>().get();
}
|| requires {
    std::declval<T>().operator->();
}
|| requires {
    *std::declval<T>();
};
static_assert(ViewOf<const TOSCMessage&> && !ViewOf<TOSCMessage> && !ViewOf<const TOSCMessage>);
static_assert(PacketOf<const TOSCBundle&> && !PacketOf<TOSCBundle>);
static_assert(PointerOf<TOSCReceived&> && !PointerOf<TOSCReceived>);

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

    // Decoding
    void unpackCueBundle();
    void timeTags_data();
    void timeTags();
    void decodeArguments_data();
    void decodeArguments();
    void roundTrip();
    void elementsOutliveMessage();
    void argumentData_data();
    void argumentData();
    void bundleMessagesInPlace_data();
    void bundleMessagesInPlace();
    void writtenBack_data();
    void writtenBack();
    void unpackRange();
    void readingRoutines_data();
    void readingRoutines();
    void getterBounds();
    void hostileBytes_data();
    void hostileBytes();
    void nestingDepth();
    void textDecoding_data();
    void textDecoding();

    // Matching
    void patterns_data();
    void patterns();
    void matchCost();
    void matchesReference_data();
    void matchesReference();
    void matchAndUnmatch();
    void braceMatches_data();
    void braceMatches();
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

void tst_OSCUtils::unpackCueBundle() {
    const QByteArray bytes = CueBundle(u"/sound/go"_qs, "5");
    TOSCReceived packet = TOSCPacket::Unpack(bytes, bytes.size());
    auto* bundle = dynamic_cast<TOSCBundle*>(packet.get());
    QVERIFY(bundle);
    QCOMPARE(bundle->PacketCount(), 1);
    auto* message = dynamic_cast<TOSCMessage*>(bundle->Packet(0));
    QVERIFY(message);
    QCOMPARE(message->Address(), u"/sound/go"_qs);
    QCOMPARE(message->TimeTag(), 1.0 / 4294967296.0);
    QCOMPARE(message->TypeTagOffset(), 32); // 16 header, 4 size, 12 address, from the start
    QVERIFY(!message->IsDecoded());
    QCOMPARE(message->ArgumentCount(), 0);
    QCOMPARE(message->TypeTags(), u","_qs);

    message->Decode();
    QVERIFY(message->IsDecoded());
    QCOMPARE(message->TypeTags(), u",s"_qs);
    QCOMPARE(message->GetTypeTag(0), u"s"_qs);
    QCOMPARE(message->GetArgument(0), QByteArray("5"));

    // The packets share the received buffer rather than copying it.
    QVERIFY(message->Bytes().constData() == bytes.constData());
    QVERIFY(bundle->Bytes().constData() == bytes.constData());

    // Read as a message, a bundle is a message whose address is "#bundle".
    const TOSCMessage asMessage = TOSCMessage::Unpack(bytes, bytes.size());
    QCOMPARE(asMessage.Address(), u"#bundle"_qs);

    // A lone message has no time tag.
    const QByteArray lone = Hex("2F676F00 2C690000 0000002A");
    TOSCReceived top = TOSCPacket::Unpack(lone);
    auto* topMessage = dynamic_cast<TOSCMessage*>(top.get());
    QVERIFY(topMessage);
    QCOMPARE(topMessage->TimeTag(), 0.0);
}

void tst_OSCUtils::timeTags_data() {
    QTest::addColumn<QByteArray>("tag");
    QTest::addColumn<double>("seconds");

    QTest::newRow("immediate") << Hex("0000000000000001") << 1.0 / 4294967296.0;
    QTest::newRow("zero") << Hex("0000000000000000") << 0.0;
    QTest::newRow("half a second") << Hex("0000000180000000") << 1.5;
    // Seconds with the top bit set: 1 January 1970 is 2208988800 s after 1900.
    QTest::newRow("1970, top bit set") << Hex("83AA7E8000000000") << 2208988800.0;
    QTest::newRow("largest") << Hex("FFFFFFFFFFFFFFFF")
                             << 4294967295.0 + 4294967295.0 / 4294967296.0;
}

void tst_OSCUtils::timeTags() {
    QFETCH(QByteArray, tag);
    QFETCH(double, seconds);

    // "#" is all it takes to be a bundle: the rest of the header is not read.
    for (const QByteArray& head : {Hex("2362756E646C6500"), QByteArray("#other\0\0", 8)}) {
        const QByteArray bytes = head + tag + Hex("00000008 2F610000 2C000000") + Hex("0000001C") +
                                 Hex("2362756E646C6500 0000000000000001") +
                                 Hex("00000008 2F620000 2C000000");
        const TOSCBundle bundle = TOSCBundle::Unpack(bytes);
        QCOMPARE(bundle.TimeTag(), seconds);
        QCOMPARE(bundle.PacketCount(), 2);
        // A message gets the time tag of the bundle directly around it.
        QCOMPARE(static_cast<TOSCMessage*>(bundle.Packet(0))->TimeTag(), seconds);
        auto* inner = dynamic_cast<TOSCBundle*>(bundle.Packet(1));
        QVERIFY(inner);
        QCOMPARE(static_cast<TOSCMessage*>(inner->Packet(0))->TimeTag(), 1.0 / 4294967296.0);
    }
}

void tst_OSCUtils::decodeArguments_data() {
    QTest::addColumn<QByteArray>("bytes"); // after the address "/a"
    QTest::addColumn<QString>("tags");
    QTest::addColumn<QList<QByteArray>>("elements");

    QTest::newRow("int 42") << Hex("2C690000 0000002A") << u",i"_qs
                            << QList<QByteArray>{Hex("2A000000")};
    QTest::newRow("float 1.5") << Hex("2C660000 3FC00000") << u",f"_qs
                               << QList<QByteArray>{Hex("0000C03F")};
    QTest::newRow("s i f") << Hex("2C736966 00000000 68690000 FFFFFFFE 3FC00000") << u",sif"_qs
                           << QList<QByteArray>{"hi", Hex("FEFFFFFF"), Hex("0000C03F")};
    QTest::newRow("empty string") << Hex("2C730000 00000000") << u",s"_qs
                                  << QList<QByteArray>{QByteArray()};
    QTest::newRow("4-byte string") << Hex("2C737300 61626364 00000000 65000000") << u",ss"_qs
                                   << QList<QByteArray>{"abcd", "e"};
    QTest::newRow("no arguments") << Hex("2C000000") << u","_qs << QList<QByteArray>{};
    QTest::newRow("no type tags at all") << QByteArray() << u","_qs << QList<QByteArray>{};
    // Tags of OSC 1.1 types keep each later argument in its place.
    QTest::newRow("c before i") << Hex("2C636900 00000041 0000002A") << u",ci"_qs
                                << QList<QByteArray>{Hex("41000000"), Hex("2A000000")};
    QTest::newRow("h t d before i")
        << Hex("2C687464 69000000 0000000100000002 0000000000000001 3FF8000000000000 00000007")
        << u",htdi"_qs
        << QList<QByteArray>{Hex("0200000001000000"), Hex("0100000000000000"),
                             Hex("000000000000F83F"), Hex("07000000")};
    QTest::newRow("b before i") << Hex("2C626900 00000005 0102030405000000 00000007") << u",bi"_qs
                                << QList<QByteArray>{Hex("0102030405"), Hex("07000000")};
    QTest::newRow("empty blob before i") << Hex("2C626900 00000000 00000007") << u",bi"_qs
                                         << QList<QByteArray>{QByteArray(), Hex("07000000")};
    QTest::newRow("4-byte blob before s") << Hex("2C627300 00000004 DEADBEEF 78000000") << u",bs"_qs
                                          << QList<QByteArray>{Hex("DEADBEEF"), "x"};
    QTest::newRow("S r m before i")
        << Hex("2C53726D 69000000 73796D00 FF000080 00903C40 00000001") << u",Srmi"_qs
        << QList<QByteArray>{"sym", Hex("800000FF"), Hex("403C9000"), Hex("01000000")};
    QTest::newRow("data-less T F N I [ ] around i")
        << Hex("2C54465B 694E5D49 00000000 00000003") << u",TF[iN]I"_qs
        << QList<QByteArray>{{}, {}, {}, Hex("03000000"), {}, {}, {}};
}

void tst_OSCUtils::decodeArguments() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, tags);
    QFETCH(QList<QByteArray>, elements);

    const QByteArray packet = Hex("2F610000") + bytes;
    auto message = TOSCMessage::Unpack(packet);
    message.Decode();
    QVERIFY(message.IsDecoded());
    QCOMPARE(message.TypeTags(), tags);
    QCOMPARE(message.ArgumentCount(), elements.size());
    for (int k = 0; k < elements.size(); ++k) {
        QCOMPARE(message.GetArgument(k).toHex(' '), elements[k].toHex(' '));
        QCOMPARE(message.GetTypeTag(k), tags.mid(k + 1, 1));
    }
    // Decoding again changes nothing.
    message.Decode();
    QCOMPARE(message.ArgumentCount(), elements.size());
}

void tst_OSCUtils::roundTrip() {
    TOSCBundle bundle;
    auto message = std::make_unique<TOSCMessage>(u"/light/cue"_qs);
    message->AddInteger(42);
    message->AddFloat(1.5f);
    message->AddString("caf\xC3\xA9");
    message->AddInteger(-7);
    message->AddFloat(-0.25f);
    bundle.Add(std::move(message));

    const TOSCBundle back = TOSCBundle::Unpack(bundle.ToOSCBytes());
    auto* read = static_cast<TOSCMessage*>(back.Packet(0));
    read->Decode();
    QCOMPARE(read->Address(), u"/light/cue"_qs);
    QCOMPARE(read->TypeTags(), u",ifsif"_qs);
    QCOMPARE(read->GetArgumentAsInt(0), 42);
    QCOMPARE(read->GetArgumentAsFloat(1), 1.5f);
    QCOMPARE(QString::fromUtf8(read->GetArgument(2)), u"caf\u00e9"_qs);
    QCOMPARE(read->GetArgumentAsInt(3), -7);
    QCOMPARE(read->GetArgumentAsFloat(4), -0.25f);
}

void tst_OSCUtils::elementsOutliveMessage() {
    // Decoded elements share the received bytes; copies taken from them must
    // stay intact after the message and the buffer are gone, and changing a
    // copy must not change the message.
    QList<QByteArray> kept;
    {
        QByteArray received = Hex("2F610000 2C736962 00000000 68690000 0000002A 00000003 0A0B0C00");
        auto message = TOSCMessage::Unpack(received);
        received.fill('\xEE');
        message.Decode();
        for (int k = 0; k < message.ArgumentCount(); ++k)
            kept << message.GetArgument(k);
        QByteArray changed = message.GetArgument(0);
        changed[0] = 'X';
        changed.append("appended");
        QCOMPARE(message.GetArgument(0), QByteArray("hi"));
        QCOMPARE(message.GetArgument(2).toHex(), QByteArray("0a0b0c"));
    }
    QCOMPARE(kept.size(), 3);
    QCOMPARE(kept[0], QByteArray("hi"));
    QCOMPARE(kept[1].toHex(), QByteArray("2a000000"));
    QCOMPARE(kept[2].toHex(), QByteArray("0a0b0c"));
    kept[2].append('\x0D');
    QCOMPARE(kept[2].toHex(), QByteArray("0a0b0c0d"));
}

void tst_OSCUtils::argumentData_data() {
    QTest::addColumn<QByteArray>("bytes"); // after the address "/a"
    QTest::addColumn<QList<QByteArray>>("data");

    QTest::newRow("string without its padding")
        << Hex("2C730000 68690000") << QList<QByteArray>{"hi"};
    QTest::newRow("4-byte string, empty string")
        << Hex("2C737300 61626364 00000000 00000000") << QList<QByteArray>{"abcd", ""};
    QTest::newRow("numbers as sent") << Hex("2C696400 FFFFFFFE 3FF8000000000000")
                                     << QList<QByteArray>{Hex("FFFFFFFE"), Hex("3FF8000000000000")};
    QTest::newRow("blob data, data-less tag")
        << Hex("2C625400 00000003 0A0B0C00") << QList<QByteArray>{Hex("0A0B0C"), ""};
}

void tst_OSCUtils::argumentData() {
    QFETCH(QByteArray, bytes);
    QFETCH(QList<QByteArray>, data);

    TOSCMessage message = TOSCMessage::Unpack(Hex("2F610000") + bytes);
    message.Decode();
    // Added arguments read the same way: a string without its padding, a
    // number as sent.
    message.AddString("xyz");
    message.AddInteger(-2);
    data << "xyz" << Hex("FFFFFFFE");
    QCOMPARE(message.ArgumentCount(), data.size());
    const QByteArrayView received(message.Bytes());
    for (int k = 0; k < data.size(); ++k) {
        const QByteArrayView view = message.ArgumentData(k);
        QCOMPARE(view.toByteArray().toHex(' '), data[k].toHex(' '));
        // A received argument is read where it lies, inside the packet.
        if (k < data.size() - 2)
            QVERIFY(view.data() >= received.data() &&
                    view.data() + view.size() <= received.data() + received.size());
    }
    QVERIFY_THROWS_EXCEPTION(CuewellError, message.ArgumentData(-1));
    QVERIFY_THROWS_EXCEPTION(CuewellError, message.ArgumentData(int(data.size())));
}

void tst_OSCUtils::bundleMessagesInPlace_data() {
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("nested");

    // A received bundle holds one message in place and grows beyond that,
    // moving the messages read so far.
    QTest::newRow("one message") << 1 << false;
    QTest::newRow("two messages") << 2 << false;
    QTest::newRow("forty messages") << 40 << false;
    QTest::newRow("forty around a nested bundle") << 40 << true;
}

void tst_OSCUtils::bundleMessagesInPlace() {
    QFETCH(int, count);
    QFETCH(bool, nested);

    TOSCBundle built;
    for (int k = 0; k < count; ++k) {
        // Each address, taken as a pattern, matches "/m/all" and "/m/<k>".
        auto message = std::make_unique<TOSCMessage>(u"/m/{%1,all}"_qs.arg(k));
        message->AddInteger(k);
        message->AddString("s" + QByteArray::number(k));
        built.Add(std::move(message));
        if (nested && k == 0) {
            auto inner = std::make_unique<TOSCBundle>();
            inner->Add(std::make_unique<TOSCMessage>(u"/inner"_qs));
            built.Add(std::move(inner));
        }
    }
    QByteArray bytes = built.ToOSCBytes();
    const QByteArray sent = bytes;

    TOSCReceived packet = TOSCPacket::Unpack(bytes);
    // The packet keeps its share of the bytes: the caller may reuse its buffer.
    bytes.fill('\xEE');
    auto* bundle = dynamic_cast<TOSCBundle*>(packet.get());
    QVERIFY(bundle);
    QCOMPARE(bundle->PacketCount(), count + int(nested));
    QList<TOSCMessage*> messages;
    for (int k = 0; k < bundle->PacketCount(); ++k) {
        if (auto* inner = dynamic_cast<TOSCBundle*>(bundle->Packet(k))) {
            QCOMPARE(static_cast<TOSCMessage*>(inner->Packet(0))->Address(), u"/inner"_qs);
            continue;
        }
        messages << static_cast<TOSCMessage*>(bundle->Packet(k));
    }
    QCOMPARE(messages.size(), count);
    for (int k = 0; k < count; ++k) {
        TOSCMessage* message = messages[k];
        QCOMPARE(message->Address(), u"/m/{%1,all}"_qs.arg(k));
        QCOMPARE(message->TimeTag(), 1.0 / 4294967296.0);
        message->Decode();
        QCOMPARE(message->TypeTags(), u",is"_qs);
        QCOMPARE(message->GetArgumentAsInt(0), k);
        QCOMPARE(message->ArgumentData(1).toByteArray(), "s" + QByteArray::number(k));
    }
    // Matching hands out the messages where they are held, in order.
    for (int k = 0; k < count; ++k)
        QCOMPARE(packet->MatchAddress(u"/m/all"_qs), messages[k]);
    QCOMPARE(packet->MatchAddress(u"/m/all"_qs), nullptr);
    packet->Unmatch();
    QCOMPARE(packet->MatchAddress(u"/m/%1"_qs.arg(count - 1)), messages.last());
    QCOMPARE(packet->ToOSCBytes().toHex(' '), sent.toHex(' '));
}

void tst_OSCUtils::writtenBack_data() {
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("int") << Hex("2F610000 2C690000 0000002A");
    QTest::newRow("float") << Hex("2F610000 2C660000 3FC00000");
    QTest::newRow("strings, padded")
        << Hex("2F736F756E642F676F000000 2C737300 35000000 61626364 00000000");
    QTest::newRow("blob, data-less tags, double")
        << Hex("2F610000 2C625464 00000000 00000003 0A0B0C00 3FF8000000000000");
    QTest::newRow("address not valid UTF-8") << Hex("2F61E97A 00000000 2C690000 00000007");
    QTest::newRow("no arguments") << Hex("2F676F00 2C000000");
}

void tst_OSCUtils::writtenBack() {
    // A received message, once decoded, is written back as the bytes it
    // came in: a forwarded message reaches its receiver unchanged.
    QFETCH(QByteArray, bytes);

    TOSCMessage message = TOSCMessage::Unpack(bytes);
    message.Decode();
    QCOMPARE(message.ToOSCBytes().toHex(' '), bytes.toHex(' '));

    // Arguments added afterwards follow the received ones.
    message.AddInteger(9);
    TOSCMessage again = TOSCMessage::Unpack(message.ToOSCBytes());
    again.Decode();
    QCOMPARE(again.TypeTags(), message.TypeTags());
    QCOMPARE(again.GetArgumentAsInt(again.ArgumentCount() - 1), 9);
    QCOMPARE(again.ToOSCBytes(), message.ToOSCBytes());
}

void tst_OSCUtils::unpackRange() {
    const QByteArray bytes = CueBundle(u"/sound/go"_qs, "5"); // message at 20 to 40

    // A packet inside a buffer, ending at Count, with the time tag given.
    TOSCReceived inner = TOSCPacket::Unpack(bytes, 20, 40, 2.5);
    auto* message = dynamic_cast<TOSCMessage*>(inner.get());
    QVERIFY(message);
    QCOMPARE(message->Address(), u"/sound/go"_qs);
    QCOMPARE(message->TimeTag(), 2.5);
    QCOMPARE(message->TypeTagOffset(), 32);
    message->Decode();
    QCOMPARE(message->GetArgument(0), QByteArray("5"));

    // Count beyond the buffer is the buffer's end.
    QCOMPARE(TOSCBundle::Unpack(bytes, 1000).PacketCount(), 1);

    // The element no longer fits when Count cuts it off; reading stops at
    // Count even though the buffer goes on.
    QVERIFY_THROWS_EXCEPTION(CuewellError, TOSCPacket::Unpack(bytes, 36));
    TOSCMessage cut = TOSCMessage::Unpack(bytes, 20, 36, 0);
    QVERIFY_THROWS_EXCEPTION(CuewellError, cut.Decode());
    QVERIFY_THROWS_EXCEPTION(CuewellError, TOSCPacket::Unpack(bytes, 20, 28, 0));

    // Nothing to read.
    QVERIFY_THROWS_EXCEPTION(CuewellError, TOSCPacket::Unpack(bytes, 0));
    QVERIFY_THROWS_EXCEPTION(CuewellError, TOSCPacket::Unpack(bytes, -1));
    QVERIFY_THROWS_EXCEPTION(CuewellError, TOSCPacket::Unpack(bytes, -4, 40, 0));
    QVERIFY_THROWS_EXCEPTION(CuewellError, TOSCPacket::Unpack(bytes, 40, 40, 0));
    QVERIFY_THROWS_EXCEPTION(CuewellError, TOSCPacket::Unpack(bytes, qint64(1) << 40));
}

void tst_OSCUtils::readingRoutines_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("offset");
    QTest::addColumn<QByteArray>("string");
    QTest::addColumn<int>("afterString"); // -1: past the end
    QTest::addColumn<qint32>("number");
    QTest::addColumn<int>("afterNumber");

    const QByteArray b = Hex("61620000 0000002A 6364");
    QTest::newRow("string at 0") << b << 0 << QByteArray("ab") << 4 << qint32(0x61620000) << 4;
    QTest::newRow("number at 4") << b << 4 << QByteArray() << 8 << qint32(42) << 8;
    QTest::newRow("unterminated at the end") << b << 8 << QByteArray("cd") << -1 << qint32(0) << -1;
    QTest::newRow("at the end") << b << 10 << QByteArray() << -1 << qint32(0) << -1;
    QTest::newRow("beyond the end") << b << 1000 << QByteArray() << -1 << qint32(0) << -1;
    QTest::newRow("negative") << b << -4 << QByteArray() << -1 << qint32(0) << -1;
    QTest::newRow("empty buffer") << QByteArray() << 0 << QByteArray() << -1 << qint32(0) << -1;
    QTest::newRow("3 bytes left") << Hex("00000000 000000") << 4 << QByteArray() << 8 << qint32(0)
                                  << -1;
}

void tst_OSCUtils::readingRoutines() {
    QFETCH(QByteArray, bytes);
    QFETCH(int, offset);
    QFETCH(QByteArray, string);
    QFETCH(int, afterString);
    QFETCH(qint32, number);
    QFETCH(int, afterNumber);

    // Read from a copy that ends exactly at its data, so that ASan sees any
    // read beyond it.
    const QByteArray exact(bytes.constData(), bytes.size());
    auto check = [&](int after, int expected) {
        if (expected < 0)
            QVERIFY2(after > exact.size(), qPrintable(QString::number(after)));
        else
            QCOMPARE(after, expected);
    };

    int at = offset;
    QCOMPARE(ReadOSCString(exact, at), string);
    check(at, afterString);

    at = offset;
    QCOMPARE(ReadOSCInt(exact, at), number);
    check(at, afterNumber);

    at = offset;
    const QByteArray reversed = ReadOSCIntBytes(exact, at);
    check(at, afterNumber);
    QCOMPARE(reversed.size(), 4);
    QCOMPARE(qFromLittleEndian<qint32>(reversed.constData()), number);
    at = offset;
    QCOMPARE(ReadOSCFloatBytes(exact, at), reversed);

    // An end inside the buffer is respected like the buffer's own end.
    at = 0;
    QCOMPARE(ReadOSCString(Hex("61626364 00000000"), at, 4), QByteArray("abcd"));
    QVERIFY(at > 4);
}

void tst_OSCUtils::getterBounds() {
    auto message = TOSCMessage::Unpack(Hex("2F610000 2C736954 00000000 78000000 0000002A"));
    message.Decode();
    QCOMPARE(message.ArgumentCount(), 3);

    for (int index : {-1, 3, 1000}) {
        QVERIFY_THROWS_EXCEPTION(CuewellError, message.GetArgument(index));
        QVERIFY_THROWS_EXCEPTION(CuewellError, message.GetArgumentAsInt(index));
        QVERIFY_THROWS_EXCEPTION(CuewellError, message.GetArgumentAsFloat(index));
        QVERIFY_THROWS_EXCEPTION(CuewellError, message.GetTypeTag(index));
    }
    try {
        message.GetArgument(5);
    } catch (const CuewellError& e) {
        QCOMPARE(e.Text(), u"Argument out of range"_qs);
    }
    // Elements shorter than 4 bytes read with their missing bytes as zero.
    QCOMPARE(message.GetArgumentAsInt(0), 0x78);
    QCOMPARE(message.GetArgumentAsInt(1), 42);
    QCOMPARE(message.GetArgumentAsInt(2), 0);
    QCOMPARE(message.GetArgumentAsFloat(2), 0.0f);
    QCOMPARE(message.GetTypeTag(2), u"T"_qs);

    // Before Decode there is nothing to get.
    auto undecoded = TOSCMessage::Unpack(Hex("2F610000 2C690000 0000002A"));
    QVERIFY_THROWS_EXCEPTION(CuewellError, undecoded.GetArgument(0));
    QVERIFY_THROWS_EXCEPTION(CuewellError, undecoded.GetTypeTag(0));

    TOSCBundle bundle;
    QVERIFY_THROWS_EXCEPTION(CuewellError, bundle.Packet(0));
}

void tst_OSCUtils::hostileBytes_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("atDecode"); // false: Unpack rejects; true: Decode does

    const QByteArray head = Hex("2362756E646C6500 0000000000000001");
    const QByteArray go = Hex("2F676F00 2C000000");

    // Sizes that wrap, stall or overrun: the loop must end and read nothing past.
    QTest::newRow("element size FFFFFFFC") << head + Hex("FFFFFFFC") + go << false;
    QTest::newRow("element size 0") << head + Hex("00000000") + go << false;
    QTest::newRow("element size past the end") << head + Hex("0000000C") + go << false;
    QTest::newRow("element size 7FFFFFFC") << head + Hex("7FFFFFFC") + go << false;
    QTest::newRow("element size not a multiple of 4") << head + Hex("00000006") + go << false;
    QTest::newRow("element size cut off") << head + Hex("000000") << false;
    QTest::newRow("second element overruns")
        << head + Hex("00000008") + go + Hex("00000010") + go << false;
    QTest::newRow("no time tag") << Hex("2362756E646C6500 00000000") << false;
    QTest::newRow("header without zero") << QByteArray("#bundle!") << false;
    QTest::newRow("empty packet") << QByteArray() << false;
    QTest::newRow("address without zero") << QByteArray("/abc") << false;
    QTest::newRow("address padding cut off") << Hex("2F61626364650000 00").left(7) << false;
    // A message inside a bundle may not read into the next element.
    QTest::newRow("address runs into next element")
        << head + Hex("00000004 2F676F2F") + Hex("00000008") + go << false;

    // Arguments past the end.
    QTest::newRow("int cut off") << Hex("2F610000 2C690000 000000") << true;
    QTest::newRow("int missing") << Hex("2F610000 2C690000") << true;
    QTest::newRow("float missing") << Hex("2F610000 2C660000") << true;
    QTest::newRow("string without zero") << Hex("2F610000 2C730000 61626364") << true;
    QTest::newRow("type tags without zero") << Hex("2F610000 2C696969") << true;
    QTest::newRow("double cut off") << Hex("2F610000 2C640000 3FF00000") << true;
    QTest::newRow("blob size past the end") << Hex("2F610000 2C620000 00000010 01020304") << true;
    QTest::newRow("blob size negative") << Hex("2F610000 2C620000 FFFFFFFC 01020304") << true;
    QTest::newRow("blob size 7FFFFFFF") << Hex("2F610000 2C620000 7FFFFFFF 01020304") << true;
    QTest::newRow("blob padding cut off") << Hex("2F610000 2C620000 00000005 0102030405") << true;
    // A tag of unknown size: nothing after it could be read in its place.
    QTest::newRow("unknown tag x before i") << Hex("2F610000 2C786900 0000002A 00000001") << true;
    QTest::newRow("non-ASCII tag") << Hex("2F610000 2CC3A900 0000002A") << true;
    // Inside a bundle, the message's arguments stop at its element's end.
    QTest::newRow("int read from next element")
        << head + Hex("00000008 2F610000 2C690000") + Hex("00000008") + go << true;
}

void tst_OSCUtils::hostileBytes() {
    QFETCH(QByteArray, bytes);
    QFETCH(bool, atDecode);

    const QByteArray exact(bytes.constData(), bytes.size());
    if (!atDecode) {
        QVERIFY_THROWS_EXCEPTION(CuewellError, TOSCPacket::Unpack(exact, exact.size()));
        return;
    }
    TOSCReceived packet = TOSCPacket::Unpack(exact, exact.size());
    TOSCMessage* message = dynamic_cast<TOSCMessage*>(packet.get());
    if (!message)
        message = static_cast<TOSCMessage*>(static_cast<TOSCBundle*>(packet.get())->Packet(0));
    try {
        message->Decode();
        QFAIL("Decode accepted unreadable bytes");
    } catch (const CuewellError& e) {
        QVERIFY(e.Text().startsWith(u"Unreadable OSC packet: "_qs));
    }
    // A rejected message stays undecoded and empty.
    QVERIFY(!message->IsDecoded());
    QCOMPARE(message->ArgumentCount(), 0);
    QCOMPARE(message->TypeTags(), u","_qs);
}

void tst_OSCUtils::nestingDepth() {
    // A message inside bundles nested Depth deep.
    auto nested = [](int depth) {
        std::unique_ptr<TOSCPacket> packet = std::make_unique<TOSCMessage>(u"/deep"_qs);
        for (int k = 0; k < depth; ++k) {
            auto bundle = std::make_unique<TOSCBundle>();
            bundle->Add(std::move(packet));
            packet = std::move(bundle);
        }
        return packet->ToOSCBytes();
    };
    TOSCReceived ok = TOSCPacket::Unpack(nested(MaxOSCBundleDepth));
    QVERIFY(ok->MatchAddress(u"/deep"_qs));
    QVERIFY_THROWS_EXCEPTION(CuewellError, TOSCPacket::Unpack(nested(MaxOSCBundleDepth + 1)));
    QVERIFY_THROWS_EXCEPTION(CuewellError, TOSCPacket::Unpack(nested(3000)));
}

void tst_OSCUtils::textDecoding_data() {
    QTest::addColumn<QByteArray>("address");
    QTest::addColumn<QString>("text");

    QTest::newRow("ASCII") << QByteArray("/go") << u"/go"_qs;
    QTest::newRow("UTF-8") << QByteArray("/caf\xC3\xA9") << u"/caf\u00e9"_qs;
    QTest::newRow("lone byte above 127") << QByteArray("/a\xE9z") << u"/a\uFFFDz"_qs;
    QTest::newRow("cut-off sequence") << QByteArray("/\xE2\x82") << u"/\uFFFD\uFFFD"_qs;
    QTest::newRow("empty") << QByteArray() << QString();
}

void tst_OSCUtils::textDecoding() {
    QFETCH(QByteArray, address);
    QFETCH(QString, text);

    const TOSCMessage message = TOSCMessage::Unpack(OSCStringBytes(address) + Hex("2C000000"));
    QCOMPARE(message.Address(), text);
}

void tst_OSCUtils::patterns_data() {
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("matches");

    QTest::newRow("literal") << u"/sound/go"_qs << u"/sound/go"_qs << true;
    QTest::newRow("literal, other case") << u"/sound/go"_qs << u"/Sound/go"_qs << false;
    QTest::newRow("literal, prefix only") << u"/sound"_qs << u"/sound/go"_qs << false;
    QTest::newRow("empty matches empty") << QString() << QString() << true;
    QTest::newRow("empty against /") << QString() << u"/"_qs << false;
    QTest::newRow("/ against empty") << u"/"_qs << QString() << false;
    QTest::newRow("* crosses /") << u"/a/*"_qs << u"/a/b/c"_qs << true;
    QTest::newRow("* matches nothing") << u"/a*"_qs << u"/a"_qs << true;
    QTest::newRow("* alone") << u"*"_qs << u"/any/thing"_qs << true;
    QTest::newRow("stars then letter") << u"/*a*b"_qs << u"/xaxxb"_qs << true;
    QTest::newRow("? crosses /") << u"/a?b"_qs << u"/a/b"_qs << true;
    QTest::newRow("? needs a character") << u"/a?"_qs << u"/a"_qs << false;
    QTest::newRow("range") << u"/[a-c]x"_qs << u"/bx"_qs << true;
    QTest::newRow("range, ends") << u"/[a-c]x"_qs << u"/cx"_qs << true;
    QTest::newRow("range, outside") << u"/[a-c]x"_qs << u"/dx"_qs << false;
    QTest::newRow("negated") << u"/[!a]x"_qs << u"/ax"_qs << false;
    QTest::newRow("negated, other") << u"/[!a]x"_qs << u"/bx"_qs << true;
    QTest::newRow("set of letters") << u"/[xyz]"_qs << u"/y"_qs << true;
    QTest::newRow("range's - is no member") << u"/[a-c]"_qs << u"/-"_qs << false;
    QTest::newRow("leading - is a member") << u"/[-a]"_qs << u"/-"_qs << true;
    QTest::newRow("empty set") << u"/[]"_qs << u"/a"_qs << false;
    QTest::newRow("[ without ]") << u"/[abc"_qs << u"/a"_qs << false;
    QTest::newRow("[ without ], any text") << u"/[a-"_qs << u"/[a-"_qs << false;
    QTest::newRow("trailing - : the letter") << u"/[a-]"_qs << u"/a"_qs << true;
    QTest::newRow("trailing - : the -") << u"/[a-]"_qs << u"/-"_qs << true;
    QTest::newRow("trailing - : others") << u"/[a-]"_qs << u"/b"_qs << false;
    QTest::newRow("negated trailing - : others") << u"/[!a-]"_qs << u"/b"_qs << true;
    QTest::newRow("negated trailing - : the letter") << u"/[!a-]"_qs << u"/a"_qs << false;
    QTest::newRow("negated trailing - : the -") << u"/[!a-]"_qs << u"/-"_qs << false;
    QTest::newRow("range then trailing -") << u"/[a-c-]"_qs << u"/-"_qs << true;
    QTest::newRow("- alone") << u"/[-]"_qs << u"/-"_qs << true;
    QTest::newRow("negated - alone") << u"/[!-]"_qs << u"/-"_qs << false;
    QTest::newRow("reversed range") << u"/[c-a]"_qs << u"/b"_qs << false;
    QTest::newRow("braces") << u"/{foo,bar}/go"_qs << u"/bar/go"_qs << true;
    QTest::newRow("braces, first") << u"/{foo,bar}/go"_qs << u"/foo/go"_qs << true;
    QTest::newRow("braces, both") << u"/{foo,bar}/go"_qs << u"/foobar/go"_qs << false;
    QTest::newRow("braces, none") << u"/{foo,bar}/go"_qs << u"//go"_qs << false;
    QTest::newRow("braces, empty alternative") << u"/{foo,}/go"_qs << u"//go"_qs << true;
    QTest::newRow("braces, prefix alternatives") << u"/{a,ab}c"_qs << u"/abc"_qs << true;
    QTest::newRow("braces, literal star") << u"/{*}"_qs << u"/*"_qs << true;
    QTest::newRow("braces, literal star only") << u"/{*}"_qs << u"/x"_qs << false;
    QTest::newRow("{ without }") << u"/{foo"_qs << u"/foo"_qs << false;
    QTest::newRow("stray ]") << u"/a]"_qs << u"/a]"_qs << false;
    QTest::newRow("stray }") << u"/a}"_qs << u"/a}"_qs << false;
    QTest::newRow("16-bit characters") << u"/[\u00e0-\u00ff]"_qs << u"/\u00e9"_qs << true;
    QTest::newRow("everything") << u"/*/{go,stop}/[0-9]?"_qs << u"/light/stop/42"_qs << true;
}

void tst_OSCUtils::patterns() {
    QFETCH(QString, pattern);
    QFETCH(QString, address);
    QFETCH(bool, matches);

    QCOMPARE(PatternMatches(pattern, address), matches);

    // The same through a received message.
    auto message = TOSCMessage::Unpack(OSCStringBytes(pattern.toUtf8()) + Hex("2C000000"));
    QCOMPARE(message.MatchAddress(address) == &message, matches);
}

void tst_OSCUtils::matchCost() {
    // Backtracking matchers take seconds here, and deep patterns overflow
    // their stack; this must answer at once (and not crash).
    const QString manyStars = u"/*a*a*a*a*a*a*a*a*a*b"_qs;
    QVERIFY(!PatternMatches(manyStars, u"/"_qs + QString(40, u'a')));
    QVERIFY(PatternMatches(manyStars, u"/"_qs + QString(40, u'a') + u"b"_qs));

    const QString stars = QString(100000, u'*');
    QVERIFY(PatternMatches(stars, QString(1000, u'x')));
    QVERIFY(!PatternMatches(stars + u"y"_qs, QString(1000, u'x')));
    const QString letters(100000, u'a');
    QVERIFY(PatternMatches(letters, letters));
    QVERIFY(!PatternMatches(letters + u"a"_qs, letters));
    QString alternating;
    for (int k = 0; k < 2000; ++k)
        alternating += u"*a"_qs;
    QVERIFY(!PatternMatches(alternating + u"b"_qs, QString(2000, u'a')));
}

void tst_OSCUtils::matchesReference_data() {
    QTest::addColumn<QString>("patternAlphabet");
    QTest::addColumn<QString>("textAlphabet");
    QTest::addColumn<int>("patternLength");
    QTest::addColumn<int>("textMin");
    QTest::addColumn<int>("textMax");

    const QString wild = u"*?[]{},!-abc"_qs;
    QTest::newRow("short texts") << wild << u"abc-,"_qs << 14 << 0 << 8;
    QTest::newRow("braces and sets") << u"{},[]-!ab"_qs << u"ab-"_qs << 20 << 0 << 10;
    // Texts longer than one 64-bit word of positions, and across several.
    QTest::newRow("texts of 60 to 70") << u"*?[]{},!-ab"_qs << u"ab"_qs << 24 << 60 << 70;
    QTest::newRow("texts of 120 to 200") << u"*{},ab"_qs << u"ab"_qs << 30 << 120 << 200;
    QTest::newRow("16-bit characters")
        << u"*?[]{},!-a\u00e9\u4e2d"_qs << u"a\u00e9\u4e2d-"_qs << 14 << 0 << 8;
    QTest::newRow("remote addresses")
        << u"*?[]{},!-/cuewlgonxt"_qs << u"/cuewlgonxt"_qs << 18 << 11 << 17;
}

void tst_OSCUtils::matchesReference() {
    QFETCH(QString, patternAlphabet);
    QFETCH(QString, textAlphabet);
    QFETCH(int, patternLength);
    QFETCH(int, textMin);
    QFETCH(int, textMax);

    QRandomGenerator random(20240611);
    int matched = 0;
    for (int run = 0; run < 20000; ++run) {
        QString pattern = RandomText(random, patternAlphabet, 0, patternLength);
        const QString text = RandomText(random, textAlphabet, textMin, textMax);
        // A pattern made from the text with some characters replaced matches
        // now and then, not only by stars.
        if (run % 2 == 0) {
            pattern = text;
            for (int k = 0; k < 3 && !pattern.isEmpty(); ++k)
                pattern[random.bounded(int(pattern.size()))] =
                    patternAlphabet[random.bounded(int(patternAlphabet.size()))];
        }
        const bool expected = ReferenceMatcher(pattern, text).Matches();
        matched += expected;
        if (PatternMatches(pattern, text) != expected)
            QFAIL(qPrintable(u"pattern \"%1\" against \"%2\": expected %3"_qs.arg(
                pattern, text, expected ? u"a match"_qs : u"none"_qs)));
    }
    // The table row must exercise both answers.
    QVERIFY2(matched > 100 && matched < 19900, qPrintable(QString::number(matched)));
}

void tst_OSCUtils::matchAndUnmatch() {
    // /a, then a bundle holding /b and another /a, then /a again.
    TOSCBundle built;
    built.Add(std::make_unique<TOSCMessage>(u"/a"_qs));
    auto inner = std::make_unique<TOSCBundle>();
    inner->Add(std::make_unique<TOSCMessage>(u"/b"_qs));
    inner->Add(std::make_unique<TOSCMessage>(u"/*"_qs));
    built.Add(std::move(inner));
    built.Add(std::make_unique<TOSCMessage>(u"/a"_qs));
    TOSCBundle bundle = TOSCBundle::Unpack(built.ToOSCBytes());

    auto* first = static_cast<TOSCMessage*>(bundle.Packet(0));
    auto* nested = static_cast<TOSCBundle*>(bundle.Packet(1));
    auto* wild = static_cast<TOSCMessage*>(nested->Packet(1));
    auto* last = static_cast<TOSCMessage*>(bundle.Packet(2));

    // Each call returns the next unmatched message, searching nested bundles.
    QCOMPARE(bundle.MatchAddress(u"/a"_qs), first);
    QCOMPARE(bundle.MatchAddress(u"/a"_qs), wild);
    QCOMPARE(bundle.MatchAddress(u"/a"_qs), last);
    QCOMPARE(bundle.MatchAddress(u"/a"_qs), nullptr);
    QVERIFY(first->Matched() && wild->Matched() && last->Matched());

    // A matched message answers no other address either.
    QCOMPARE(bundle.MatchAddress(u"/b"_qs), nested->Packet(0));
    QCOMPARE(bundle.MatchAddress(u"/b"_qs), nullptr);

    // Unmatch clears the marks down through the nested bundle.
    bundle.Unmatch();
    QVERIFY(!first->Matched() && !wild->Matched() && !last->Matched());
    QCOMPARE(bundle.MatchAddress(u"/zzz"_qs), wild);

    // The same on a lone message.
    TOSCMessage message(u"/go"_qs);
    QCOMPARE(message.MatchAddress(u"/go"_qs), &message);
    QCOMPARE(message.MatchAddress(u"/go"_qs), nullptr);
    message.Unmatch();
    QCOMPARE(message.MatchAddress(u"/go"_qs), &message);
}

void tst_OSCUtils::braceMatches_data() {
    QTest::addColumn<QString>("body");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<qsizetype>>("lengths");

    QTest::newRow("two alternatives begin the text")
        << u"foo,f,x"_qs << u"foobar"_qs << QList<qsizetype>{3, 1};
    QTest::newRow("none begins it") << u"foo,x"_qs << u"fo"_qs << QList<qsizetype>{};
    // An empty alternative begins every text, a null one too.
    QTest::newRow("empty body, empty text") << u""_qs << u""_qs << QList<qsizetype>{0};
    QTest::newRow("empty body, null text") << u""_qs << QString() << QList<qsizetype>{0};
    QTest::newRow("empty last, null text") << u"a,"_qs << QString() << QList<qsizetype>{0};
    QTest::newRow("empty first, text") << u",a"_qs << u"ab"_qs << QList<qsizetype>{0, 1};
}

void tst_OSCUtils::braceMatches() {
    QFETCH(QString, body);
    QFETCH(QString, text);
    QFETCH(QList<qsizetype>, lengths);

    const auto found = BraceMatches(body, text);
    QCOMPARE(QList<qsizetype>(found.begin(), found.end()), lengths);
}

QTEST_GUILESS_MAIN(tst_OSCUtils)
#include "tst_oscutils.moc"
