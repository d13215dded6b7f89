// The main window driven from another program: liblo's oscsend on the remote
// port turns pages and fires the prompted cue exactly as Space does, senders
// outside AllowFrom fire nothing, and hostile datagrams during the show fire
// nothing while GO by key keeps working. Real PDFs, real loopback sockets.

#include "tests/common/CuewellFixture.h"

#include "cues/IntervalTimer.h"
#include "osc/OSCUtils.h"
#include "osc/RemoteControl.h"

#include <QDir>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTimer>
#include <QtEndian>

#include <arpa/inet.h>
#include <atomic>
#include <functional>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

const QString GoAddress = QStringLiteral("/cuewell/go");
const QString NextAddress = QStringLiteral("/cuewell/next");
const QString PreviousAddress = QStringLiteral("/cuewell/previous");

QString OscSendPath() {
    return QStandardPaths::findExecutable(QStringLiteral("oscsend"));
}

// A UDP port free on every interface right now.
int FreePort() {
    QUdpSocket probe;
    if (!probe.bind(QHostAddress::AnyIPv4, 0))
        return 0;
    return probe.localPort();
}

// Starts the window on `script` listening for remote control as `remote` (keys
// of [Remote] besides Enabled and Port) says. Another program may take the
// chosen port before the window opens it: then it tries another.
TCuewell* StartListening(TWindowFixture& f, const QByteArray& settings, const QString& script,
                         const QByteArray& remote = {}) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        f.Window.reset();
        f.Prompts.Boxes.clear();
        WriteFileText(f.SettingsPath(),
                      settings + "[Remote]\r\nEnabled=1\r\nPort=" + QByteArray::number(FreePort()) +
                          "\r\n" + remote + "\r\n");
        TCuewell& w = f.StartOn(script);
        if (w.Remote->Listening())
            return &w;
    }
    return nullptr;
}

// liblo's oscsend sends one message from 127.0.0.1 to the remote port; this
// returns once it has left, before the window has read it.
bool OscSend(TCuewell& w, const QString& address) {
    QProcess process;
    process.start(OscSendPath(), {QStringLiteral("127.0.0.1"),
                                  QString::number(w.Remote->ListeningPort()), address});
    return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

// Runs the event loop as the application does, without the pauses of
// QTest::qWaitFor, until `done` holds or the time is up.
bool RunUntil(const std::function<bool()>& done, int ms = 10000) {
    if (done())
        return true;
    QEventLoop loop;
    QTimer check;
    check.setInterval(1);
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    check.start();
    loop.exec();
    return done();
}

// Waits until the window has read `count` remote datagrams in all.
bool RemoteRead(TCuewell& w, quint64 count) {
    return RunUntil([&] { return w.Remote->Counters().Datagrams >= count; });
}

// Space posted to the event queue, so that only a running event loop delivers it.
void PostSpace(TCuewell& w) {
    QWidget* target = KeyTarget(w);
    QCoreApplication::postEvent(
        target, new QKeyEvent(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, u" "_qs));
    QCoreApplication::postEvent(
        target, new QKeyEvent(QEvent::KeyRelease, Qt::Key_Space, Qt::NoModifier, u" "_qs));
}

// Which of `expected` the datagrams carry, in order; a datagram carrying none is "?".
QStringList Carried(const QList<QByteArray>& sent, const QStringList& expected) {
    QStringList names;
    for (const QByteArray& datagram : sent) {
        QString name = u"?"_qs;
        for (const QString& e : expected)
            if (datagram.contains(e.toUtf8()))
                name = e;
        names.append(name);
    }
    return names;
}

const QStringList Cues = {u"/sound/a"_qs, u"/sound/b"_qs, u"/sound/c"_qs,
                          u"/sound/d"_qs, u"/sound/e"_qs, u"/sound/f"_qs};

} // namespace

class tst_RemoteWindow : public QObject {
    Q_OBJECT

private slots:
    void remoteDrivesTheShow_data();
    void remoteDrivesTheShow();
    void remoteGoCancelsPendingAutoplayTick_data();
    void remoteGoCancelsPendingAutoplayTick();
    void goGuardHoldsBackRemoteGos_data();
    void goGuardHoldsBackRemoteGos();
    void allowFrom_data();
    void allowFrom();
    void hostileInputWhileTheShowRuns();
};

void tst_RemoteWindow::remoteDrivesTheShow_data() {
    QTest::addColumn<bool>("prompted");      // the first cue clicked before the remote commands
    QTest::addColumn<QStringList>("remote"); // addresses sent by oscsend, in turn
    QTest::addColumn<QStringList>("fired");  // cues at the sound target, in order
    QTest::addColumn<int>("page");
    QTest::addColumn<bool>("promptShown");
    QTest::addColumn<int>("currentCue");

    QTest::newRow("go") << true << QStringList{GoAddress} << QStringList{u"/sound/a"_qs} << 0
                        << true << 1;
    QTest::newRow("pattern /cuewell/g?")
        << true << QStringList{u"/cuewell/g?"_qs} << QStringList{u"/sound/a"_qs} << 0 << true << 1;
    QTest::newRow("pattern /cuewell/{go,stop}") << true << QStringList{u"/cuewell/{go,stop}"_qs}
                                                << QStringList{u"/sound/a"_qs} << 0 << true << 1;
    QTest::newRow("go to the page's end turns the page")
        << true << QStringList{GoAddress, GoAddress, GoAddress}
        << QStringList{u"/sound/a"_qs, u"/sound/b"_qs, u"/sound/c"_qs} << 1 << true << 0;
    QTest::newRow("next") << true << QStringList{NextAddress} << QStringList{} << 1 << false << 0;
    QTest::newRow("next, next, previous")
        << false << QStringList{NextAddress, NextAddress, PreviousAddress} << QStringList{} << 1
        << false << 0;
    QTest::newRow("previous on the first page")
        << true << QStringList{PreviousAddress} << QStringList{} << 0 << false << 0;
    QTest::newRow("nothing prompted yet")
        << false << QStringList{GoAddress} << QStringList{} << 0 << false << 0;
    QTest::newRow("prompt hidden by a page turn")
        << true << QStringList{NextAddress, GoAddress} << QStringList{} << 1 << false << 0;
    QTest::newRow("unknown address")
        << true << QStringList{u"/cuewell/stop"_qs} << QStringList{} << 0 << true << 0;
}

void tst_RemoteWindow::remoteDrivesTheShow() {
    QFETCH(bool, prompted);
    QFETCH(QStringList, remote);
    QFETCH(QStringList, fired);
    QFETCH(int, page);
    QFETCH(bool, promptShown);
    QFETCH(int, currentCue);

    if (OscSendPath().isEmpty())
        QSKIP("liblo's oscsend (Debian package liblo-tools) is not on PATH");
    TWindowFixture f;
    TReceiver sound, light;
    const QString script = MakeScript(f.Path("show.pdf"), 3);
    // Three pages of 3, 2 and 1 cues: the pins shown tell the pages apart.
    WriteFileText(
        f.Path("show.cues"),
        CueFileText({{"0.2|0.2|/sound/a|0||", "0.4|0.2|/sound/b|0||", "0.6|0.2|/sound/c|0||"},
                     {"0.2|0.3|/sound/d|0||", "0.4|0.3|/sound/e|0||"},
                     {"0.2|0.4|/sound/f|0||"}}));
    TCuewell* window = StartListening(f, TargetSettings(sound.Port(), light.Port()), script);
    QVERIFY2(window, qPrintable(f.Prompts.Texts().join(u'\n')));
    TCuewell& w = *window;
    if (prompted) {
        QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
        QVERIFY(w.NowCue->isVisible());
    }

    for (int k = 0; k < remote.size(); ++k) {
        QVERIFY(OscSend(w, remote[k]));
        QVERIFY(RemoteRead(w, quint64(k + 1)));
    }
    QCOMPARE(Carried(sound.Drain(), Cues), fired);
    QVERIFY(light.Drain(0).isEmpty());
    QCOMPARE(w.AdvPDF->PageIndex(), page);
    QCOMPARE(w.ShownPage, page);
    QCOMPARE(VisiblePins(w), 3 - page);
    QCOMPARE(w.NowCue->isVisible(), promptShown);
    if (promptShown)
        QCOMPARE(w.Book->CurrentCue(), currentCue);
    QCOMPARE(StopTexts(f.Prompts), QStringList{});
}

void tst_RemoteWindow::remoteGoCancelsPendingAutoplayTick_data() {
    QTest::addColumn<QByteArray>("cues");
    QTest::addColumn<QStringList>("fired");

    // b follows a by autoplay; the remote GO fires b by hand before its tick.
    QTest::newRow("b ends the show")
        << CueFileText({{"0.2|0.2|/sound/a|0||", "0.4|0.2|/sound/b|-1||"}})
        << QStringList{u"/sound/a"_qs, u"/sound/b"_qs};
    QTest::newRow("a plain cue follows b")
        << CueFileText({{"0.2|0.2|/sound/a|0||", "0.4|0.2|/sound/b|-1||", "0.6|0.2|/sound/c|0||"}})
        << QStringList{u"/sound/a"_qs, u"/sound/b"_qs};
}

void tst_RemoteWindow::remoteGoCancelsPendingAutoplayTick() {
    QFETCH(QByteArray, cues);
    QFETCH(QStringList, fired);

    if (OscSendPath().isEmpty())
        QSKIP("liblo's oscsend (Debian package liblo-tools) is not on PATH");
    TWindowFixture f;
    TReceiver sound, light;
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    WriteFileText(f.Path("show.cues"), cues);
    TCuewell* window = StartListening(f, TargetSettings(sound.Port(), light.Port()), script);
    QVERIFY2(window, qPrintable(f.Prompts.Texts().join(u'\n')));
    TCuewell& w = *window;
    // A long tick, so that the remote GO surely comes while it is pending.
    w.AutoCue->SetInterval(1000);
    QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
    // The remote GO waits in the socket until the loop runs again: after the
    // key GO has fired a and armed b's tick.
    QVERIFY(OscSend(w, GoAddress));
    Go(w);
    QVERIFY(w.AutoCue->Enabled());
    QVERIFY(RemoteRead(w, 1));
    // b was fired by the remote GO, not by the tick; and the tick never comes.
    QCOMPARE(Carried(sound.Drain(50), Cues), fired);
    RunUntil([] { return false; }, 1200);
    QCOMPARE(Carried(sound.Drain(50), Cues), QStringList{});
}

void tst_RemoteWindow::goGuardHoldsBackRemoteGos_data() {
    QTest::addColumn<QString>("order");
    QTest::newRow("two remote GOs at once") << u"remote remote"_qs;
    QTest::newRow("key, then remote") << u"key remote"_qs;
    QTest::newRow("remote, then key") << u"remote key"_qs;
}

void tst_RemoteWindow::goGuardHoldsBackRemoteGos() {
    QFETCH(QString, order);

    if (OscSendPath().isEmpty())
        QSKIP("liblo's oscsend (Debian package liblo-tools) is not on PATH");
    TWindowFixture f;
    TReceiver sound, light;
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    WriteFileText(f.Path("show.cues"), CueFileText({{"0.2|0.2|/sound/a|0||", "0.4|0.2|/sound/b|0||",
                                                     "0.6|0.2|/sound/c|0||"}}));
    TCuewell* window = StartListening(
        f, "[Settings]\r\nGoGuard=200\r\n\r\n" + TargetSettings(sound.Port(), light.Port()),
        script);
    QVERIFY2(window, qPrintable(f.Prompts.Texts().join(u'\n')));
    TCuewell& w = *window;
    QCOMPARE(w.GoGuardMs(), 200);
    QTest::mouseClick(w.CuePin[0], Qt::LeftButton);

    // The second GO comes a few milliseconds after the first, well inside the guard.
    if (order == u"remote remote") {
        QVERIFY(OscSend(w, GoAddress));
        QVERIFY(OscSend(w, GoAddress));
        QVERIFY(RemoteRead(w, 2));
    } else if (order == u"key remote") {
        QVERIFY(OscSend(w, GoAddress));
        Go(w);
        QVERIFY(RemoteRead(w, 1));
    } else {
        QVERIFY(OscSend(w, GoAddress));
        QVERIFY(RemoteRead(w, 1));
        Go(w);
    }
    QCOMPARE(Carried(sound.Drain(), Cues), QStringList{u"/sound/a"_qs});
    QCOMPARE(w.Book->CurrentCue(), 1);

    // Once the guard has passed, a remote GO fires again.
    QTest::qWait(250);
    const quint64 read = w.Remote->Counters().Datagrams;
    QVERIFY(OscSend(w, GoAddress));
    QVERIFY(RemoteRead(w, read + 1));
    QCOMPARE(Carried(sound.Drain(), Cues), QStringList{u"/sound/b"_qs});
}

void tst_RemoteWindow::allowFrom_data() {
    QTest::addColumn<QByteArray>("allowFrom");
    QTest::addColumn<bool>("fires");

    QTest::newRow("another sender only") << QByteArray("10.1.2.3") << false;
    QTest::newRow("others and this machine") << QByteArray("10.1.2.3, 127.0.0.1") << true;
    QTest::newRow("anyone") << QByteArray() << true;
    QTest::newRow("no entry is an address") << QByteArray("stage-left") << false;
}

void tst_RemoteWindow::allowFrom() {
    QFETCH(QByteArray, allowFrom);
    QFETCH(bool, fires);

    if (OscSendPath().isEmpty())
        QSKIP("liblo's oscsend (Debian package liblo-tools) is not on PATH");
    TWindowFixture f;
    TReceiver sound, light;
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    WriteFileText(f.Path("show.cues"),
                  CueFileText({{"0.2|0.2|/sound/a|0||", "0.4|0.2|/sound/b|0||"}}));
    TCuewell* window = StartListening(f, TargetSettings(sound.Port(), light.Port()), script,
                                      "AllInterfaces=1\r\nAllowFrom=" + allowFrom + "\r\n");
    QVERIFY2(window, qPrintable(f.Prompts.Texts().join(u'\n')));
    TCuewell& w = *window;
    QCOMPARE(w.Remote->ListeningAddress(), u"0.0.0.0"_qs);
    QTest::mouseClick(w.CuePin[0], Qt::LeftButton);

    // oscsend sends from 127.0.0.1.
    QVERIFY(OscSend(w, GoAddress));
    QVERIFY(RemoteRead(w, 1));
    QCOMPARE(Carried(sound.Drain(), Cues), fires ? QStringList{u"/sound/a"_qs} : QStringList{});
    QCOMPARE(w.Book->CurrentCue(), fires ? 1 : 0);
    QVERIFY(w.NowCue->isVisible());
}

void tst_RemoteWindow::hostileInputWhileTheShowRuns() {
    TWindowFixture f;
    TReceiver sound, light;
    const QString script = MakeScript(f.Path("show.pdf"), 2);
    WriteFileText(f.Path("show.cues"),
                  CueFileText({{"0.2|0.2|/sound/a|0||", "0.4|0.2|/sound/b|0||",
                                "0.6|0.2|/sound/c|0||", "0.8|0.2|/light/d|0||"},
                               {"0.2|0.2|/light/e|0||"}}));
    TCuewell* window = StartListening(f, TargetSettings(sound.Port(), light.Port()), script);
    QVERIFY2(window, qPrintable(f.Prompts.Texts().join(u'\n')));
    TCuewell& w = *window;
    QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
    const quint16 port = quint16(w.Remote->ListeningPort());

    // The fuzzing corpus: readable or not, none of it is ours.
    QList<QByteArray> corpus;
    const QDir folder(QStringLiteral(CUEWELL_OSC_CORPUS));
    for (const QString& name : folder.entryList(QDir::Files)) {
        QFile file(folder.filePath(name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        corpus << file.readAll();
    }
    QVERIFY(!corpus.isEmpty());
    QUdpSocket sender;
    for (const QByteArray& bytes : corpus)
        QCOMPARE(sender.writeDatagram(bytes, QHostAddress::LocalHost, port), bytes.size());
    QVERIFY(RemoteRead(w, quint64(corpus.size())));
    QVERIFY(sound.Drain(50).isEmpty());
    QCOMPARE(w.Book->CurrentCue(), 0);
    QVERIFY(w.NowCue->isVisible());

    // The flood, from a thread: random bytes, random bytes behind our address
    // prefix, and random bundles. It runs on until the key GO in its midst has
    // been seen, 100,000 datagrams at the least.
    std::atomic<bool> keyGoSeen{false};
    std::atomic<bool> floodEnded{false};
    std::atomic<int> sent{0};
    std::thread flood([&] {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QRandomGenerator random(20240611);
        quint32 words[2048];
        auto* bytes = reinterpret_cast<char*>(words);
        static const char prefix[] = "/cuewell/";
        static const char bundle[] = "#bundle";
        int k = 0;
        for (; k < 100000 || (!keyGoSeen && k < 5000000); ++k) {
            const int n = k % 97 == 0 ? random.bounded(int(sizeof words) + 1) : random.bounded(513);
            random.fillRange(words, (n + 3) / 4);
            if (k % 3 == 1 && n >= int(sizeof prefix))
                std::memcpy(bytes, prefix, sizeof prefix - 1);
            else if (k % 3 == 2 && n >= 20) {
                std::memcpy(bytes, bundle, sizeof bundle); // with its terminating zero
                // An element size that sometimes fits what follows.
                const quint32 size = qToBigEndian(quint32(k % 2 ? n - 20 : words[5] % 64));
                std::memcpy(bytes + 16, &size, 4);
            }
            ::sendto(fd, bytes, size_t(n), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
            sent.store(k + 1, std::memory_order_relaxed);
        }
        ::close(fd);
        floodEnded = true;
    });
    auto joinFlood = qScopeGuard([&] {
        keyGoSeen = true;
        flood.join();
    });

    // GO by key in the midst of the flood, through the event loop.
    const quint64 corpusRead = w.Remote->Counters().Datagrams;
    QVERIFY(RemoteRead(w, corpusRead + 1000));
    PostSpace(w);
    QVERIFY(RunUntil([&] { return sound.Socket.hasPendingDatagrams(); }, 20000));
    const bool duringFlood = !floodEnded;
    const int sentBeforeGo = sent;
    keyGoSeen = true;
    // The loop runs on, reading, until the flood is over.
    QVERIFY(RunUntil([&] { return bool(floodEnded); }, 60000));
    joinFlood.dismiss();
    flood.join();
    QVERIFY2(duringFlood, "the flood ended before the key GO was seen");

    // What is left of the flood is read; then GO by key, and by remote, again.
    quint64 read = 0;
    do {
        read = w.Remote->Counters().Datagrams;
        RunUntil([] { return false; }, 100);
    } while (w.Remote->Counters().Datagrams != read);
    PostSpace(w);
    QVERIFY(RunUntil([&] { return w.Book->CurrentCue() == 2; }));
    const QByteArray go = TOSCMessage(GoAddress).ToOSCBytes();
    QCOMPARE(sender.writeDatagram(go, QHostAddress::LocalHost, port), go.size());
    QVERIFY(RemoteRead(w, read + 1));

    QCOMPARE(Carried(sound.Drain(), Cues),
             (QStringList{u"/sound/a"_qs, u"/sound/b"_qs, u"/sound/c"_qs}));
    QVERIFY(light.Drain(0).isEmpty());
    QCOMPARE(w.Remote->Counters().Fired, quint64(1));
    QCOMPARE(w.AdvPDF->PageIndex(), 0);
    QCOMPARE(w.Book->CurrentCue(), 3);
    QCOMPARE(f.Prompts.Boxes.size(), 0);
    qInfo("flood: %d datagrams sent in all, %d before the key GO was seen; %llu read, %llu "
          "unreadable",
          int(sent), sentBeforeGo, static_cast<unsigned long long>(w.Remote->Counters().Datagrams),
          static_cast<unsigned long long>(w.Remote->Counters().Unreadable));
}

QTEST_MAIN(tst_RemoteWindow)
#include "tst_remotewindow.moc"
