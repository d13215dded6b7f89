#include "app/Errors.h"
#include "osc/Dispatch.h"
#include "osc/OSCUtils.h"
#include "osc/OscTargets.h"
#include "osc/UdpClient.h"
#include "store/KeyValueFile.h"
#include "tests/udpclient/LoopbackReceiver.h"

#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

const QString kBadHost = QStringLiteral("no-such-host.invalid");
const QString kLoopback = QStringLiteral("127.0.0.1");
constexpr int kNothingMs = 100; // how long to listen for a datagram that must not come

// The two targets of a show, each with a receiver of its own on loopback.
struct Targets {
    LoopbackReceiver soundReceiver;
    LoopbackReceiver lightReceiver;
    TOscTargets targets;
    UdpClient& sound = targets.UDPsound;
    UdpClient& light = targets.UDPLight;
    int warnings = 0;

    Targets() {
        targets.SoundIP = kLoopback;
        targets.SoundPort = soundReceiver.Port();
        targets.LightIP = kLoopback;
        targets.LightPort = lightReceiver.Port();
        targets.Apply();
    }

    // Selectors that differ from the ones in force are applied first, as the
    // settings dialog would; the event loop then gets its turn, as between
    // two GOs of a show.
    void Dispatch(const QByteArray& message, const QString& soundAddress,
                  const QString& lightAddress) {
        if (targets.SoundAddress != soundAddress || targets.LightAddress != lightAddress) {
            targets.SoundAddress = soundAddress;
            targets.LightAddress = lightAddress;
            targets.Apply();
        }
        try {
            targets.Dispatch(message, [this] { ++warnings; });
        } catch (...) {
            QCoreApplication::processEvents();
            throw;
        }
        QCoreApplication::processEvents();
    }
};

// A resolver that counts its calls, fails while told to, and otherwise
// gives loopback for any name.
struct CountingResolver {
    int calls = 0;
    bool fail = false;
    std::function<uint32_t(const QString&)> Function() {
        return [this](const QString& host) -> uint32_t {
            ++calls;
            if (fail)
                throw CuewellError(QStringLiteral("Cannot resolve host \"%1\": test").arg(host));
            return UdpClient::ResolveIPv4(QStringLiteral("127.0.0.1"));
        };
    }
};

// The sound target by host name, looked up by `resolver`, at `receiver`;
// the selector "sound". Not applied yet.
void AimSoundByName(TOscTargets& targets, CountingResolver& resolver, const QString& host,
                    const LoopbackReceiver& receiver) {
    targets.UDPsound.SetResolver(resolver.Function());
    targets.SoundIP = host;
    targets.SoundPort = receiver.Port();
    targets.SoundAddress = QStringLiteral("sound");
}

// A name service for the look-up thread: it gives the address set here,
// fails while told to, or stops answering while held (as one that is down),
// and notes whether it was ever asked on the thread that fires the cues. Its
// state lives as long as the look-up thread holds the function.
class NameService {
public:
    ~NameService() { Hold(false); }

    void SetAnswer(uint32_t address, bool fail) {
        std::lock_guard lock(FState->Mutex);
        FState->Address = address;
        FState->Fail = fail;
    }
    void Hold(bool held) {
        {
            std::lock_guard lock(FState->Mutex);
            FState->Held = held;
        }
        FState->Wake.notify_all();
    }
    int Asked() const { return FState->Asked; }
    int Answered() const { return FState->Answered; }
    bool AskedOnShowThread() const { return FState->OnShowThread; }

    TNameLookup::Resolver Function() {
        return [state = FState](const QString& host) -> uint32_t {
            if (std::this_thread::get_id() == state->ShowThread)
                state->OnShowThread = true;
            ++state->Asked;
            std::unique_lock lock(state->Mutex);
            // Bounded, so that a look-up made where it must not be made
            // fails the test instead of hanging it.
            state->Wake.wait_for(lock, std::chrono::seconds(3), [&] { return !state->Held; });
            ++state->Answered;
            if (state->Fail)
                throw CuewellError(QStringLiteral("Cannot resolve host \"%1\": test").arg(host));
            return state->Address;
        };
    }

private:
    struct State {
        const std::thread::id ShowThread = std::this_thread::get_id();
        std::mutex Mutex;
        std::condition_variable Wake;
        uint32_t Address = INADDR_LOOPBACK;
        bool Fail = false;
        bool Held = false;
        std::atomic<int> Asked{0};
        std::atomic<int> Answered{0};
        std::atomic<bool> OnShowThread{false};
    };
    std::shared_ptr<State> FState = std::make_shared<State>();
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
    void cueBytes_data();
    void cueBytes();
    void typedNumbersIgnoreTheLocale();
    void eachTargetGetsItsOwnForm();
    void goOnlySends();
    void usedSocketsAreClosed_data();
    void usedSocketsAreClosed();
    void unresolvableNameWarnsAtGoWithoutLookingUp();
    void backToBackGosLookUpNothing();
    void namesAreLookedUpAwayFromTheGo_data();
    void namesAreLookedUpAwayFromTheGo();
    void settingsAppliedAfterPrepareWin();
    void settingsFile_data();
    void settingsFile();
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
    t.targets.LightPort = t.soundReceiver.Port();
    t.targets.Apply();
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
        t.targets.SoundIP = kBadHost;
    if (lightBad)
        t.targets.LightIP = kBadHost;
    t.targets.Apply();
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
    t.targets.SoundPort = moved.Port();
    t.targets.Apply();
    t.Dispatch("/sound/2", QStringLiteral("sound"), QStringLiteral("light"));
    QVERIFY(moved.Receive().has_value());
    QVERIFY(moved.SenderPort() != firstPort);
    QCOMPARE(t.warnings, 0);
}

void tst_Dispatch::cueBytes_data() {
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("asMessage");
    QTest::addColumn<bool>("typed");
    QTest::addColumn<QByteArray>("bytes");
    const QByteArray head = Hex("23 62 75 6E 64 6C 65 00 00 00 00 00 00 00 00 01");
    const QByteArray a = Hex("2F 61 00 00");
    QTest::newRow("message, one text")
        << "/sound/go 5" << true << false
        << Hex("2F 73 6F 75 6E 64 2F 67 6F 00 00 00 2C 73 00 00 35 00 00 00");
    QTest::newRow("message, one text kept whole")
        << "/a 5 x" << true << false << a + Hex("2C 73 00 00 35 20 78 00");
    QTest::newRow("bundle, typed")
        << "/a 5" << false << true
        << head + Hex("00 00 00 0C") + a + Hex("2C 69 00 00 00 00 00 05");
    QTest::newRow("typed, the mixed example")
        << "/light/go 5 0.5 \"two words\" x" << true << true
        << Hex("2F 6C 69 67 68 74 2F 67 6F 00 00 00 2C 69 66 73 73 00 00 00 00 00 00 05 "
               "3F 00 00 00 74 77 6F 20 77 6F 72 64 73 00 00 00 78 00 00 00");
    QTest::newRow("typed, no argument text") << "/a" << true << true << a + Hex("2C 00 00 00");
    QTest::newRow("typed, only spaces") << "/a   " << true << true << a + Hex("2C 00 00 00");
    QTest::newRow("typed, negative and signed integers")
        << "/a -2 +7" << true << true << a + Hex("2C 69 69 00 FF FF FF FE 00 00 00 07");
    QTest::newRow("typed, 32-bit limits") << "/a 2147483647 -2147483648" << true << true
                                          << a + Hex("2C 69 69 00 7F FF FF FF 80 00 00 00");
    QTest::newRow("typed, beyond 32 bits stays text")
        << "/a 2147483648" << true << true
        << a + Hex("2C 73 00 00 32 31 34 37 34 38 33 36 34 38 00 00");
    QTest::newRow("typed, fractions")
        << "/a 0.5 .5 5. -1.5" << true << true
        << a + Hex("2C 66 66 66 66 00 00 00 3F 00 00 00 3F 00 00 00 40 A0 00 00 BF C0 00 00");
    QTest::newRow("typed, comma is not a decimal point")
        << "/a 1,5" << true << true << a + Hex("2C 73 00 00 31 2C 35 00");
    QTest::newRow("typed, not numbers")
        << "/a 1.2.3 . - 1e3" << true << true
        << a + Hex("2C 73 73 73 73 00 00 00 31 2E 32 2E 33 00 00 00 2E 00 00 00 2D 00 00 00 "
                   "31 65 33 00");
    QTest::newRow("typed, beyond a float stays text")
        << "/a 1" + QString(40, u'0') + ".0" << true << true
        << a + Hex("2C 73 00 00") + OSCStringBytes("1" + QByteArray(40, '0') + ".0");
    QTest::newRow("typed, quoted texts")
        << "/a \"two words\" \"\" \"5\"" << true << true
        << a + Hex("2C 73 73 73 00 00 00 00 74 77 6F 20 77 6F 72 64 73 00 00 00 00 00 00 00 "
                   "35 00 00 00");
    QTest::newRow("typed, a quote without its end is text")
        << "/a \"open x" << true << true
        << a + Hex("2C 73 73 00 22 6F 70 65 6E 00 00 00 78 00 00 00");
    QTest::newRow("typed, a quote inside a token")
        << "/a \"a\"b c" << true << true
        << a + Hex("2C 73 73 00 22 61 22 62 00 00 00 00 63 00 00 00");
    QTest::newRow("typed, runs of spaces")
        << "/a  5   x " << true << true << a + Hex("2C 69 73 00 00 00 00 05 78 00 00 00");
    QTest::newRow("typed, UTF-8 text")
        << "/a \u00e9" << true << true << a + Hex("2C 73 00 00 C3 A9 00 00");
}

void tst_Dispatch::cueBytes() {
    QFETCH(QString, message);
    QFETCH(bool, asMessage);
    QFETCH(bool, typed);
    QFETCH(QByteArray, bytes);
    const QByteArray got =
        CueBytes(SplitOscCommand(message), asMessage ? TOscForm::Message : TOscForm::Bundle,
                 typed ? TOscArgs::Typed : TOscArgs::Text);
    QCOMPARE(got.toHex(' '), bytes.toHex(' '));
}

void tst_Dispatch::typedNumbersIgnoreTheLocale() {
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const QByteArray point =
        CueBytes(SplitOscCommand(QStringLiteral("/a 0.5")), TOscForm::Message, TOscArgs::Typed);
    const QByteArray comma =
        CueBytes(SplitOscCommand(QStringLiteral("/a 0,5")), TOscForm::Message, TOscArgs::Typed);
    QLocale::setDefault(before);
    QCOMPARE(point.toHex(' '), Hex("2F 61 00 00 2C 66 00 00 3F 00 00 00").toHex(' '));
    QCOMPARE(comma.toHex(' '), Hex("2F 61 00 00 2C 73 00 00 30 2C 35 00").toHex(' '));
}

void tst_Dispatch::eachTargetGetsItsOwnForm() {
    // Both targets share a selector and a receiver; light takes typed messages.
    Targets t;
    t.targets.LightPort = t.soundReceiver.Port();
    t.targets.LightForm = TOscForm::Message;
    t.targets.LightArgs = TOscArgs::Typed;
    t.Dispatch("/fx/go 3", QStringLiteral("fx"), QStringLiteral("fx"));
    QCOMPARE(t.soundReceiver.Receive().value_or("none").toHex(' '),
             CueBundleBytes(SplitOscCommand(QStringLiteral("/fx/go 3"))).toHex(' '));
    QCOMPARE(t.soundReceiver.Receive().value_or("none").toHex(' '),
             Hex("2F 66 78 2F 67 6F 00 00 2C 69 00 00 00 00 00 03").toHex(' '));
    QCOMPARE(t.warnings, 0);
}

void tst_Dispatch::goOnlySends() {
    LoopbackReceiver receiver;
    CountingResolver resolver;
    TOscTargets targets;
    targets.UDPsound.SetResolver(resolver.Function());
    targets.UDPLight.SetResolver(resolver.Function());
    targets.SoundIP = QStringLiteral("localhost");
    targets.SoundPort = receiver.Port();
    targets.SoundAddress = QStringLiteral("sound");
    targets.LightIP = QStringLiteral("localhost");
    targets.LightAddress = QStringLiteral("light");
    targets.Apply();
    QCOMPARE(resolver.calls, 2);
    int warnings = 0;
    const auto warn = [&] { ++warnings; };
    for (int go = 0; go < 3; ++go) {
        // A socket is open and connected before the GO, and the GO sends from it.
        QVERIFY(targets.UDPsound.HasSpare());
        const uint16_t ready = targets.UDPsound.SpareLocalPort();
        const TPreparedCue cue = targets.Prepare("/sound/go " + QByteArray::number(go));
        const int callsBefore = resolver.calls;
        targets.Fire(cue, warn);
        QCOMPARE(resolver.calls, callsBefore);
        QVERIFY(!targets.UDPsound.HasSpare());
        const auto got = receiver.Receive();
        QVERIFY(got.has_value());
        QCOMPARE(*got, CueBundleBytes(SplitOscCommand("/sound/go " + QString::number(go))));
        QCOMPARE(receiver.SenderPort(), ready);
        // The next GO's socket is opened once the event loop has its turn.
        QCoreApplication::processEvents();
        QCOMPARE(resolver.calls, callsBefore + 1);
        QVERIFY(targets.UDPsound.HasSpare());
        QVERIFY(targets.UDPsound.SpareLocalPort() != ready);
    }
    // The light target was never chosen: its socket stays ready, untouched.
    QVERIFY(targets.UDPLight.HasSpare());
    QVERIFY(!targets.UDPLight.Active());
    QCOMPARE(warnings, 0);
}

int OpenDescriptors() {
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::NoDotAndDotDot | QDir::System | QDir::Files | QDir::Dirs)
                   .size());
}

void tst_Dispatch::usedSocketsAreClosed_data() {
    QTest::addColumn<bool>("eventLoopBetween");
    QTest::newRow("event loop between GOs") << true;
    QTest::newRow("GOs back to back") << false;
}

void tst_Dispatch::usedSocketsAreClosed() {
    QFETCH(bool, eventLoopBetween);
    LoopbackReceiver sound, light;
    TOscTargets targets;
    targets.SoundIP = QStringLiteral("127.0.0.1");
    targets.SoundPort = sound.Port();
    targets.SoundAddress = QStringLiteral("fx");
    targets.LightIP = QStringLiteral("127.0.0.1");
    targets.LightPort = light.Port();
    targets.LightAddress = QStringLiteral("fx");
    targets.Apply();
    QCoreApplication::processEvents();
    const int before = OpenDescriptors();
    const TPreparedCue cue = targets.Prepare("/fx/go");
    for (int go = 0; go < 40; ++go) {
        targets.Fire(cue, [] {});
        QVERIFY(sound.Receive().has_value());
        QVERIFY(light.Receive().has_value());
        if (eventLoopBetween)
            QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
    // Per target: the socket of the last GO, the spare for the next, and at
    // most one used socket not yet closed.
    QVERIFY2(OpenDescriptors() <= before + 2,
             qPrintable(QString::number(OpenDescriptors() - before)));
}

void tst_Dispatch::unresolvableNameWarnsAtGoWithoutLookingUp() {
    LoopbackReceiver receiver;
    CountingResolver resolver;
    TOscTargets targets;
    AimSoundByName(targets, resolver, QStringLiteral("lights.invalid"), receiver);
    resolver.fail = true;
    targets.Apply(); // no error here: the GO reports it
    QCOMPARE(resolver.calls, 1);
    int warnings = 0;
    const auto warn = [&] { ++warnings; };
    try {
        targets.Dispatch("/sound/go 1", warn);
        QFAIL("the failed send was not raised");
    } catch (const CuewellError& e) {
        QVERIFY2(e.Text().contains(u"lights.invalid"), qPrintable(e.Text()));
    }
    QCOMPARE(warnings, 1);
    QCOMPARE(resolver.calls, 1);
    // After the GO the name is tried again; once it resolves, the next GO goes out.
    resolver.fail = false;
    QCoreApplication::processEvents();
    QCOMPARE(resolver.calls, 2);
    QVERIFY(targets.UDPsound.HasSpare());
    targets.Dispatch("/sound/go 2", warn);
    QCOMPARE(warnings, 1);
    QCOMPARE(receiver.Receive().value_or("none"),
             CueBundleBytes(SplitOscCommand(QStringLiteral("/sound/go 2"))));
}

void tst_Dispatch::backToBackGosLookUpNothing() {
    // Two GOs before the event loop's turn (the second finds no spare): the
    // second opens its socket to the address known, without a look-up.
    LoopbackReceiver receiver;
    CountingResolver resolver;
    TOscTargets targets;
    AimSoundByName(targets, resolver, QStringLiteral("sound.show.test"), receiver);
    targets.Apply();
    QCOMPARE(resolver.calls, 1);
    int warnings = 0;
    for (int go = 0; go < 3; ++go) {
        const TPreparedCue cue = targets.Prepare("/sound/go " + QByteArray::number(go));
        targets.Fire(cue, [&] { ++warnings; });
        QCOMPARE(receiver.Receive().value_or("none"), cue.SoundBytes);
    }
    QCOMPARE(resolver.calls, 1);
    QCOMPARE(warnings, 0);
}

void tst_Dispatch::namesAreLookedUpAwayFromTheGo_data() {
    QTest::addColumn<QString>("change");
    QTest::newRow("name service answers as before") << "none";
    QTest::newRow("name service stops answering") << "hang";
    QTest::newRow("name no longer found") << "fail";
    QTest::newRow("name moves to another address") << "move";
}

void tst_Dispatch::namesAreLookedUpAwayFromTheGo() {
    // A GO, and an autoplay cue 10 ms after it, must not wait for a name
    // service: names are looked up on a thread of their own, and a GO sends
    // to the address of the last answer.
    QFETCH(QString, change);
    LoopbackReceiver first;
    LoopbackReceiver moved(first.Port(), INADDR_LOOPBACK + 1);
    QVERIFY(first.IsBound() && moved.IsBound());
    NameService service;
    TOscTargets targets;
    targets.SetNameResolver(service.Function());
    targets.SoundIP = QStringLiteral("sound.show.test");
    targets.SoundPort = first.Port();
    targets.SoundAddress = QStringLiteral("sound");
    targets.Apply();
    QTRY_VERIFY(targets.UDPsound.HasSpare());
    int warnings = 0;
    const auto warn = [&] { ++warnings; };
    const TPreparedCue one = targets.Prepare("/sound/go 1");
    targets.Fire(one, warn);
    QCOMPARE(first.Receive().value_or("none"), one.SoundBytes);

    if (change == "hang")
        service.Hold(true);
    else if (change == "fail")
        service.SetAnswer(0, true);
    else if (change == "move")
        service.SetAnswer(INADDR_LOOPBACK + 1, false);
    // The event loop's turn after the GO asks again; the GO after it comes
    // once the answer is in, or while none comes.
    QTRY_COMPARE(service.Asked(), 2);
    if (change == "none" || change == "hang") {
        QTRY_VERIFY(targets.UDPsound.HasSpare());
        QCOMPARE(targets.UDPsound.SpareAddress(), uint32_t(INADDR_LOOPBACK));
    } else if (change == "fail") {
        QTRY_VERIFY(!targets.UDPsound.HasSpare());
    } else {
        QTRY_COMPARE(targets.UDPsound.SpareAddress(), uint32_t(INADDR_LOOPBACK + 1));
    }

    const TPreparedCue two = targets.Prepare("/sound/go 2");
    bool raised = false;
    try {
        targets.Fire(two, warn);
    } catch (const CuewellError& e) {
        raised = true;
        QVERIFY2(e.Text().contains(u"sound.show.test"), qPrintable(e.Text()));
    }
    if (change == "fail") {
        // The last answer decides: no address, so the GO warns and sends nothing.
        QVERIFY(raised);
        QCOMPARE(warnings, 1);
        QVERIFY(!first.Receive(kNothingMs).has_value());
        QVERIFY(!moved.Receive(kNothingMs).has_value());
    } else {
        QVERIFY(!raised);
        QCOMPARE(warnings, 0);
        LoopbackReceiver& expected = change == "move" ? moved : first;
        LoopbackReceiver& other = change == "move" ? first : moved;
        QCOMPARE(expected.Receive().value_or("none"), two.SoundBytes);
        QVERIFY(!other.Receive(kNothingMs).has_value());
    }
    QVERIFY(!service.AskedOnShowThread());
}

void tst_Dispatch::settingsAppliedAfterPrepareWin() {
    // A cue prompted before the settings are saved fires with the new ones.
    Targets t;
    t.targets.SoundAddress = QStringLiteral("sound");
    t.targets.LightAddress = QStringLiteral("light");
    t.targets.Apply();
    const TPreparedCue cue = t.targets.Prepare("/light/go 5");
    t.targets.LightForm = TOscForm::Message;
    t.targets.LightArgs = TOscArgs::Typed;
    LoopbackReceiver moved;
    t.targets.LightPort = moved.Port();
    t.targets.Apply();
    t.targets.Fire(cue, [&] { ++t.warnings; });
    QCOMPARE(moved.Receive().value_or("none").toHex(' '),
             Hex("2F 6C 69 67 68 74 2F 67 6F 00 00 00 2C 69 00 00 00 00 00 05").toHex(' '));
    QVERIFY(!t.lightReceiver.Receive(kNothingMs).has_value());
    // And a selector that no longer matches sends nothing.
    const TPreparedCue other = t.targets.Prepare("/light/go 6");
    t.targets.LightAddress = QStringLiteral("lx");
    t.targets.Apply();
    t.targets.Fire(other, [&] { ++t.warnings; });
    QVERIFY(!moved.Receive(kNothingMs).has_value());
    QCOMPARE(t.warnings, 0);
}

void tst_Dispatch::settingsFile_data() {
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QList<int>>("read"); // sound form, sound args, light form, light args
    QTest::addColumn<QList<int>>("chosen");
    QTest::addColumn<QByteArray>("after"); // empty: unchanged
    // As the file writes itself: a BOM, CR LF, a blank line after each section.
    const QByteArray targets = "\xEF\xBB\xBF[OSC]\r\nsoundIP=10.0.0.2\r\nsoundPort=53000\r\n"
                               "soundAddress=sound\r\nlightIP=lx\r\nlightPort=7000\r\n"
                               "lightAddress=light\r\n";
    const QList<int> defaults{0, 0, 0, 0};
    QTest::newRow("older file, defaults: unchanged")
        << targets + "\r\n[Settings]\r\nArrow=1\r\n\r\n"
        << defaults << defaults << QByteArray();
    QTest::newRow("older file, light typed messages")
        << targets + "\r\n"
        << defaults << QList<int>{0, 0, 1, 1}
        << targets + "lightForm=message\r\nlightArgs=typed\r\n\r\n";
    QTest::newRow("keys present, back to defaults")
        << targets + "soundForm=message\r\nsoundArgs=typed\r\n\r\n"
        << QList<int>{1, 1, 0, 0} << defaults
        << targets + "soundForm=bundle\r\nsoundArgs=text\r\n\r\n";
    QTest::newRow("keys present at defaults: unchanged")
        << targets + "soundForm=bundle\r\nlightArgs=text\r\n\r\n"
        << defaults << defaults << QByteArray();
    QTest::newRow("any letter case reads")
        << targets + "soundForm=Message\r\nlightArgs=TYPED\r\n\r\n"
        << QList<int>{1, 0, 0, 1} << QList<int>{1, 0, 0, 1}
        << targets + "soundForm=message\r\nlightArgs=typed\r\n\r\n";
    QTest::newRow("unknown values read as defaults")
        << targets + "soundForm=blob\r\nsoundArgs=\r\n\r\n"
        << defaults << defaults << targets + "soundForm=bundle\r\nsoundArgs=text\r\n\r\n";
}

void tst_Dispatch::settingsFile() {
    QFETCH(QByteArray, before);
    QFETCH(QList<int>, read);
    QFETCH(QList<int>, chosen);
    QFETCH(QByteArray, after);
    if (after.isEmpty())
        after = before;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("cuewell.ini"));
    QFile out(path);
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(before);
    out.close();

    TOscSettings settings;
    {
        KeyValueFile file(path);
        settings.ReadFrom(file);
    }
    QCOMPARE(settings.SoundIP, "10.0.0.2");
    QCOMPARE(settings.SoundPort, 53000);
    QCOMPARE(settings.LightAddress, "light");
    QCOMPARE((QList<int>{int(settings.SoundForm), int(settings.SoundArgs), int(settings.LightForm),
                         int(settings.LightArgs)}),
             read);
    settings.SoundForm = TOscForm(chosen[0]);
    settings.SoundArgs = TOscArgs(chosen[1]);
    settings.LightForm = TOscForm(chosen[2]);
    settings.LightArgs = TOscArgs(chosen[3]);
    KeyValueFile file(path);
    file.SetAutoSave(true);
    settings.WriteTo(file);
    file.Free();
    QFile in(path);
    QVERIFY(in.open(QIODevice::ReadOnly));
    QCOMPARE(in.readAll(), after);
}

QTEST_GUILESS_MAIN(tst_Dispatch)
#include "tst_dispatch.moc"
