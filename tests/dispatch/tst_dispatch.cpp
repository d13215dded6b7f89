#include "app/Errors.h"
#include "osc/Dispatch.h"
#include "osc/UdpClient.h"
#include "tests/udpclient/LoopbackReceiver.h"

#include <QtTest>

namespace {

const QString kBadHost = QStringLiteral("no-such-host.invalid");
const QString kLoopback = QStringLiteral("127.0.0.1");
constexpr int kNothingMs = 100; // how long to listen for a datagram that must not come

// The two targets of a show, each with a receiver of its own on loopback.
struct Targets {
    LoopbackReceiver soundReceiver;
    LoopbackReceiver lightReceiver;
    UdpClient sound;
    UdpClient light;
    int warnings = 0;

    Targets() {
        sound.SetHost(kLoopback);
        sound.SetPort(soundReceiver.Port());
        light.SetHost(kLoopback);
        light.SetPort(lightReceiver.Port());
    }

    void Dispatch(const QByteArray& message, const QString& soundAddress,
                  const QString& lightAddress) {
        DispatchCue(message, soundAddress, lightAddress, sound, light, [this] { ++warnings; });
    }
};

QByteArray Hex(const char* spaced) {
    return QByteArray::fromHex(QByteArray(spaced));
}

} // namespace

class tst_Dispatch : public QObject {
    Q_OBJECT

private slots:
    void textBeforeAfter_data();
    void textBeforeAfter();
    void split_data();
    void split();
    void bundleBytes_data();
    void bundleBytes();
    void workedExampleReachesSoundOnly();
    void routing_data();
    void routing();
    void equalSelectorsSendIdenticalBytesSoundFirst();
    void connectFailureWarnsOnceAndGoesOn_data();
    void connectFailureWarnsOnceAndGoesOn();
    void lightKeepsPreviousConnectionWhenSoundConnectFails();
    void everyDispatchReconnects();
};

void tst_Dispatch::textBeforeAfter_data() {
    QTest::addColumn<QString>("sub");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("after");
    QTest::newRow("first of several") << "a"
                                      << "banana"
                                      << "b"
                                      << "nana";
    QTest::newRow("at the start") << "/"
                                  << "/sound/go 5"
                                  << ""
                                  << "sound/go 5";
    QTest::newRow("at the end") << "/"
                                << "abc/"
                                << "abc"
                                << "";
    QTest::newRow("longer sub-text") << "go "
                                     << "/sound/go 5"
                                     << "/sound/"
                                     << "5";
    QTest::newRow("absent") << "x"
                            << "abc"
                            << "abc"
                            << "";
    QTest::newRow("sub longer than text") << "abcd"
                                          << "abc"
                                          << "abc"
                                          << "";
    QTest::newRow("empty sub-text") << ""
                                    << "abc"
                                    << "abc"
                                    << "";
    QTest::newRow("empty text") << "/"
                                << ""
                                << ""
                                << "";
    QTest::newRow("both empty") << ""
                                << ""
                                << ""
                                << "";
    QTest::newRow("whole text") << "Abc"
                                << "aBC"
                                << ""
                                << "";
    QTest::newRow("ASCII case") << "GO"
                                << "/sound/go 5"
                                << "/sound/"
                                << " 5";
    QTest::newRow("lower a-umlaut in upper text") << "ä"
                                                  << "XÄY"
                                                  << "X"
                                                  << "Y";
    QTest::newRow("upper a-umlaut in lower text") << "Ä"
                                                  << "xäy"
                                                  << "x"
                                                  << "y";
    QTest::newRow("final sigma") << "σ"
                                 << "λόγος!"
                                 << "λόγο"
                                 << "!";
    // Upper-cased one 16-bit character at a time, not folded: dotless i
    // upper-cases to I, and sharp s stays one character.
    QTest::newRow("dotless i") << "i"
                               << "xıy"
                               << "x"
                               << "y";
    QTest::newRow("sharp s is not SS") << "SS"
                                       << "straße"
                                       << "straße"
                                       << "";
    QTest::newRow("sharp s itself") << "SSE"
                                    << "STRASSE"
                                    << "STRA"
                                    << "";
    QTest::newRow("outside the 16-bit range")
        << QStringLiteral("\U0001F600") << QStringLiteral("a\U0001F600b") << "a"
        << "b";
}

void tst_Dispatch::textBeforeAfter() {
    QFETCH(QString, sub);
    QFETCH(QString, text);
    QFETCH(QString, before);
    QFETCH(QString, after);
    QCOMPARE(TextBefore(sub, text), before);
    QCOMPARE(TextAfter(sub, text), after);
}

void tst_Dispatch::split_data() {
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("selector");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("argument");
    QTest::newRow("worked example") << "/sound/go 5"
                                    << "sound"
                                    << "/sound/go"
                                    << "5";
    QTest::newRow("no space") << "/sound/go"
                              << "sound"
                              << "/sound/go"
                              << "";
    QTest::newRow("several spaces") << "/sound/go  a  b "
                                    << "sound"
                                    << "/sound/go"
                                    << " a  b ";
    QTest::newRow("one segment") << "/go 1"
                                 << "go 1"
                                 << "/go"
                                 << "1";
    QTest::newRow("no slash") << "go 1"
                              << ""
                              << "go"
                              << "1";
    QTest::newRow("not at the start") << "abc/light/x"
                                      << "light"
                                      << "abc/light/x"
                                      << "";
    QTest::newRow("empty") << ""
                           << ""
                           << ""
                           << "";
    QTest::newRow("slash only") << "/"
                                << ""
                                << "/"
                                << "";
    QTest::newRow("empty first segment") << "//x y"
                                         << ""
                                         << "//x"
                                         << "y";
    QTest::newRow("leading space") << " /a/b"
                                   << "a"
                                   << ""
                                   << "/a/b";
    QTest::newRow("non-ASCII") << "/Ton/é ß"
                               << "Ton"
                               << "/Ton/é"
                               << "ß";
}

void tst_Dispatch::split() {
    QFETCH(QString, message);
    QFETCH(QString, selector);
    QFETCH(QString, address);
    QFETCH(QString, argument);
    const OscCommand command = SplitOscCommand(message);
    QCOMPARE(command.Selector, selector);
    QCOMPARE(command.Address, address);
    QCOMPARE(command.Argument, argument);
    // The split is defined by the shared text routines.
    QCOMPARE(command.Selector, TextBefore("/", TextAfter("/", message)));
    QCOMPARE(command.Address, TextBefore(" ", message));
    QCOMPARE(command.Argument, TextAfter(" ", message));
}

void tst_Dispatch::bundleBytes_data() {
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("bytes");
    const char* head = "23 62 75 6E 64 6C 65 00 00 00 00 00 00 00 00 01";
    QTest::newRow("worked example")
        << "/sound/go 5"
        << Hex(head) +
               Hex("00 00 00 14 2F 73 6F 75 6E 64 2F 67 6F 00 00 00 2C 73 00 00 35 00 00 00");
    QTest::newRow("empty argument")
        << "/sound/go"
        << Hex(head) +
               Hex("00 00 00 14 2F 73 6F 75 6E 64 2F 67 6F 00 00 00 2C 73 00 00 00 00 00 00");
    QTest::newRow("argument of 4 bytes")
        << "/x/y abcd"
        << Hex(head) +
               Hex("00 00 00 14 2F 78 2F 79 00 00 00 00 2C 73 00 00 61 62 63 64 00 00 00 00");
    QTest::newRow("number-like argument stays a string")
        << "/a 12" << Hex(head) + Hex("00 00 00 0C 2F 61 00 00 2C 73 00 00 31 32 00 00");
    QTest::newRow("UTF-8 address and argument")
        << "/ä é" << Hex(head) + Hex("00 00 00 0C 2F C3 A4 00 2C 73 00 00 C3 A9 00 00");
}

void tst_Dispatch::bundleBytes() {
    QFETCH(QString, message);
    QFETCH(QByteArray, bytes);
    QCOMPARE(CueBundleBytes(SplitOscCommand(message)).toHex(' '), bytes.toHex(' '));
}

void tst_Dispatch::workedExampleReachesSoundOnly() {
    Targets t;
    t.Dispatch("/sound/go 5", QStringLiteral("sound"), QStringLiteral("light"));
    const auto got = t.soundReceiver.Receive();
    QVERIFY(got.has_value());
    QCOMPARE(got->size(), 40);
    QCOMPARE(got->toHex(' '), Hex("23 62 75 6E 64 6C 65 00 00 00 00 00 00 00 00 01 00 00 00 14 "
                                  "2F 73 6F 75 6E 64 2F 67 6F 00 00 00 2C 73 00 00 35 00 00 00")
                                  .toHex(' '));
    QVERIFY(!t.lightReceiver.Receive(kNothingMs).has_value());
    QVERIFY(t.sound.Connected());
    QVERIFY(!t.light.Active());
    QCOMPARE(t.warnings, 0);
}

void tst_Dispatch::routing_data() {
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QString>("soundAddress");
    QTest::addColumn<QString>("lightAddress");
    QTest::addColumn<bool>("toSound");
    QTest::addColumn<bool>("toLight");
    QTest::newRow("sound") << QByteArray("/sound/go 5") << "sound"
                           << "light" << true << false;
    QTest::newRow("light") << QByteArray("/light/1 x") << "sound"
                           << "light" << false << true;
    QTest::newRow("neither") << QByteArray("/video/1") << "sound"
                             << "light" << false << false;
    QTest::newRow("letter case counts") << QByteArray("/Sound/go") << "sound"
                                        << "Light" << false << false;
    QTest::newRow("no slash added") << QByteArray("/sound/go") << "/sound"
                                    << "light" << false << false;
    QTest::newRow("one segment takes the argument") << QByteArray("/go 1") << "go"
                                                    << "go 1" << false << true;
    QTest::newRow("no slash, empty selectors") << QByteArray("go") << ""
                                               << "" << true << true;
    QTest::newRow("no slash, one empty selector") << QByteArray("go") << ""
                                                  << "light" << true << false;
    QTest::newRow("empty message") << QByteArray("") << "sound"
                                   << "" << false << true;
    QTest::newRow("selector not at the start") << QByteArray("abc/light/x") << "sound"
                                               << "light" << false << true;
    QTest::newRow("UTF-8 selector") << QByteArray("/T\xC3\xB6n/go") << "Tön"
                                    << "light" << true << false;
}

void tst_Dispatch::routing() {
    QFETCH(QByteArray, message);
    QFETCH(QString, soundAddress);
    QFETCH(QString, lightAddress);
    QFETCH(bool, toSound);
    QFETCH(bool, toLight);
    Targets t;
    t.Dispatch(message, soundAddress, lightAddress);
    const QByteArray expected = CueBundleBytes(SplitOscCommand(QString::fromUtf8(message)));
    const auto sound = t.soundReceiver.Receive(toSound ? 5000 : kNothingMs);
    const auto light = t.lightReceiver.Receive(toLight ? 5000 : kNothingMs);
    QCOMPARE(sound.has_value(), toSound);
    QCOMPARE(light.has_value(), toLight);
    if (toSound)
        QCOMPARE(*sound, expected);
    if (toLight)
        QCOMPARE(*light, expected);
    // Only a chosen target is touched.
    QCOMPARE(t.sound.Active(), toSound);
    QCOMPARE(t.light.Active(), toLight);
    QCOMPARE(t.warnings, 0);
}

void tst_Dispatch::equalSelectorsSendIdenticalBytesSoundFirst() {
    // Both targets point at one receiver, so the queue shows the order.
    Targets t;
    t.light.SetPort(t.soundReceiver.Port());
    t.Dispatch("/fx/7 go", QStringLiteral("fx"), QStringLiteral("fx"));
    const auto first = t.soundReceiver.Receive();
    QVERIFY(first.has_value());
    const uint16_t firstSender = t.soundReceiver.SenderPort();
    const auto second = t.soundReceiver.Receive();
    QVERIFY(second.has_value());
    QCOMPARE(firstSender, t.sound.LocalPort());
    QCOMPARE(t.soundReceiver.SenderPort(), t.light.LocalPort());
    QCOMPARE(*first, *second);
    QCOMPARE(*first, CueBundleBytes(SplitOscCommand(QStringLiteral("/fx/7 go"))));
    QVERIFY(t.sound.Connected());
    QVERIFY(t.light.Connected());
}

void tst_Dispatch::connectFailureWarnsOnceAndGoesOn_data() {
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<bool>("soundBad");
    QTest::addColumn<bool>("lightBad");
    QTest::addColumn<int>("warnings");
    QTest::addColumn<bool>("soundGets");
    QTest::addColumn<bool>("lightGets");
    // Selectors: sound "s" and light "l"; "/b" chooses both (see below).
    // A send to an unresolvable host fails too, and that reaches the caller.
    QTest::newRow("sound alone, bad")
        << QByteArray("/s/go") << true << false << 1 << false << false;
    QTest::newRow("light alone, bad")
        << QByteArray("/l/go") << false << true << 1 << false << false;
    QTest::newRow("bad target not chosen")
        << QByteArray("/l/go") << true << false << 0 << false << true;
    QTest::newRow("both, light bad") << QByteArray("/b/go") << false << true << 1 << true << false;
    // The light connect is skipped, but its datagram still goes out unconnected,
    // even though the sound send fails.
    QTest::newRow("both, sound bad") << QByteArray("/b/go") << true << false << 1 << false << true;
    QTest::newRow("both, both bad") << QByteArray("/b/go") << true << true << 1 << false << false;
}

void tst_Dispatch::connectFailureWarnsOnceAndGoesOn() {
    QFETCH(QByteArray, message);
    QFETCH(bool, soundBad);
    QFETCH(bool, lightBad);
    QFETCH(int, warnings);
    QFETCH(bool, soundGets);
    QFETCH(bool, lightGets);
    Targets t;
    if (soundBad)
        t.sound.SetHost(kBadHost);
    if (lightBad)
        t.light.SetHost(kBadHost);
    const bool both = message.startsWith("/b/");
    const QString soundAddress = both ? QStringLiteral("b") : QStringLiteral("s");
    const QString lightAddress = both ? QStringLiteral("b") : QStringLiteral("l");
    if (warnings > 0)
        QVERIFY_THROWS_EXCEPTION(CuewellError, t.Dispatch(message, soundAddress, lightAddress));
    else
        t.Dispatch(message, soundAddress, lightAddress);
    QCOMPARE(t.warnings, warnings);
    QCOMPARE(t.soundReceiver.Receive(soundGets ? 5000 : kNothingMs).has_value(), soundGets);
    QCOMPARE(t.lightReceiver.Receive(lightGets ? 5000 : kNothingMs).has_value(), lightGets);
}

void tst_Dispatch::lightKeepsPreviousConnectionWhenSoundConnectFails() {
    Targets t;
    t.Dispatch("/x/1", QStringLiteral("x"), QStringLiteral("x"));
    QVERIFY(t.soundReceiver.Receive().has_value());
    QVERIFY(t.lightReceiver.Receive().has_value());
    // The light's port changes without a reconnect, and the sound host breaks.
    LoopbackReceiver elsewhere;
    t.light.SetPort(elsewhere.Port());
    t.sound.SetHost(kBadHost);
    QVERIFY_THROWS_EXCEPTION(CuewellError,
                             t.Dispatch("/x/2", QStringLiteral("x"), QStringLiteral("x")));
    QCOMPARE(t.warnings, 1);
    QVERIFY(t.lightReceiver.Receive().has_value());
    QVERIFY(!elsewhere.Receive(kNothingMs).has_value());
}

void tst_Dispatch::everyDispatchReconnects() {
    Targets t;
    t.Dispatch("/sound/1", QStringLiteral("sound"), QStringLiteral("light"));
    QVERIFY(t.soundReceiver.Receive().has_value());
    const uint16_t firstPort = t.soundReceiver.SenderPort();
    // A new port for the target is picked up by the next dispatch.
    LoopbackReceiver moved;
    t.sound.SetPort(moved.Port());
    t.Dispatch("/sound/2", QStringLiteral("sound"), QStringLiteral("light"));
    QVERIFY(moved.Receive().has_value());
    QVERIFY(moved.SenderPort() != firstPort);
    QCOMPARE(t.warnings, 0);
}

QTEST_GUILESS_MAIN(tst_Dispatch)
#include "tst_dispatch.moc"
