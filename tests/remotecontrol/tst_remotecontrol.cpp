// The remote-control receiver on real loopback sockets: what fires, what
// must not, who may send, and that a flood leaves the event loop running.
#include "app/Errors.h"
#include "osc/OSCUtils.h"
#include "osc/RemoteControl.h"
#include "store/KeyValueFile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

QByteArray Hex(const char* text) {
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

QByteArray Message(const QString& address) {
    return TOSCMessage(address).ToOSCBytes();
}

QByteArray Bundle(const QStringList& addresses) {
    TOSCBundle bundle;
    for (const QString& address : addresses)
        bundle.Add(std::make_unique<TOSCMessage>(address));
    return bundle.ToOSCBytes();
}

// Records the signals in the order they came.
struct Recorder {
    explicit Recorder(TRemoteControl& remote) {
        QObject::connect(&remote, &TRemoteControl::Go, [this] { fired << u"go"_qs; });
        QObject::connect(&remote, &TRemoteControl::NextPage, [this] { fired << u"next"_qs; });
        QObject::connect(&remote, &TRemoteControl::PreviousPage,
                         [this] { fired << u"previous"_qs; });
    }
    QStringList fired;
};

// Sends and waits until the receiver has read as many datagrams in all.
void SendAndWait(TRemoteControl& remote, const QList<QByteArray>& datagrams) {
    QUdpSocket sender;
    const quint64 before = remote.Counters().Datagrams;
    for (const QByteArray& bytes : datagrams)
        QCOMPARE(
            sender.writeDatagram(bytes, QHostAddress::LocalHost, quint16(remote.ListeningPort())),
            bytes.size());
    QTRY_COMPARE_WITH_TIMEOUT(remote.Counters().Datagrams, before + quint64(datagrams.size()),
                              10000);
}

std::unique_ptr<TRemoteControl> Listening(bool allInterfaces = false, const QString& allow = {}) {
    auto remote = std::make_unique<TRemoteControl>();
    remote->SetEnabled(true);
    remote->SetPort(0);
    remote->SetAllInterfaces(allInterfaces);
    remote->SetAllowFrom(allow);
    remote->Apply();
    return remote;
}

} // namespace

class tst_RemoteControl : public QObject {
    Q_OBJECT

private slots:
    void commands_data();
    void commands();
    void oscsend_data();
    void oscsend();
    void allowFrom_data();
    void allowFrom();
    void allowFromRejectsJunk();
    void portInUse();
    void listensWhereTold();
    void settings_data();
    void settings();
    void settingsWritten();
    void hostileInput();
    void backlogYieldsToLoop();
    void handlerStopsReceiver();
};

void tst_RemoteControl::commands_data() {
    QTest::addColumn<QList<QByteArray>>("datagrams");
    QTest::addColumn<QStringList>("fired");

    using L = QList<QByteArray>;
    const QByteArray go = Message(u"/cuewell/go"_qs);
    QTest::newRow("go") << L{go} << QStringList{u"go"_qs};
    QTest::newRow("next") << L{Message(u"/cuewell/next"_qs)} << QStringList{u"next"_qs};
    QTest::newRow("previous") << L{Message(u"/cuewell/previous"_qs)} << QStringList{u"previous"_qs};
    QTest::newRow("pattern /cuewell/g?") << L{Message(u"/cuewell/g?"_qs)} << QStringList{u"go"_qs};
    QTest::newRow("pattern with braces")
        << L{Message(u"/cuewell/{next,stop}"_qs)} << QStringList{u"next"_qs};
    QTest::newRow("two datagrams") << L{go, go} << QStringList{u"go"_qs, u"go"_qs};
    QTest::newRow("bundle, in order")
        << L{Bundle({u"/cuewell/next"_qs, u"/cuewell/go"_qs})} << QStringList{u"next"_qs, u"go"_qs};
    QTest::newRow("cue bundle with a text argument") << L{[] {
        TOSCBundle bundle;
        auto message = std::make_unique<TOSCMessage>(u"/cuewell/go"_qs);
        message->AddString("5");
        message->AddInteger(1);
        bundle.Add(std::move(message));
        return bundle.ToOSCBytes();
    }()} << QStringList{u"go"_qs};
    QTest::newRow("unknown address") << L{Message(u"/cuewell/stop"_qs)} << QStringList{};
    QTest::newRow("longer address") << L{Message(u"/cuewell/go/now"_qs)} << QStringList{};
    QTest::newRow("other case") << L{Message(u"/cuewell/GO"_qs)} << QStringList{};
    QTest::newRow("ambiguous /cuewell/*") << L{Message(u"/cuewell/*"_qs)} << QStringList{};
    QTest::newRow("ambiguous *") << L{Message(u"*"_qs)} << QStringList{};
    QTest::newRow("bundle, one unreadable message")
        << L{Bundle({u"/cuewell/go"_qs}) + Hex("00000010 2F610000 2C780000 00000000")}
        << QStringList{};
    QTest::newRow("unknown type tag")
        << L{Hex("2F637565 77656C6C 2F676F00 2C780000")} << QStringList{};
    QTest::newRow("cut off") << L{go.left(go.size() - 4) + Hex("2C69")} << QStringList{};
    QTest::newRow("empty datagram") << L{QByteArray()} << QStringList{};
    QTest::newRow("unreadable, then go") << L{Hex("2362756E646C6500"), go} << QStringList{u"go"_qs};
}

void tst_RemoteControl::commands() {
    QFETCH(QList<QByteArray>, datagrams);
    QFETCH(QStringList, fired);

    auto remote = Listening();
    Recorder recorder(*remote);
    SendAndWait(*remote, datagrams);
    QCOMPARE(recorder.fired, fired);
}

void tst_RemoteControl::oscsend_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("fired");

    QTest::newRow("go") << QStringList{u"/cuewell/go"_qs} << QStringList{u"go"_qs};
    QTest::newRow("next") << QStringList{u"/cuewell/next"_qs} << QStringList{u"next"_qs};
    QTest::newRow("previous") << QStringList{u"/cuewell/previous"_qs}
                              << QStringList{u"previous"_qs};
    QTest::newRow("pattern") << QStringList{u"/cuewell/g?"_qs} << QStringList{u"go"_qs};
    QTest::newRow("with arguments")
        << QStringList{u"/cuewell/go"_qs, u"ifs"_qs, u"1"_qs, u"0.5"_qs, u"x"_qs}
        << QStringList{u"go"_qs};
    QTest::newRow("unknown") << QStringList{u"/cuewell/stop"_qs} << QStringList{};
}

void tst_RemoteControl::oscsend() {
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, fired);

    const QString oscsend = QStandardPaths::findExecutable(u"oscsend"_qs);
    if (oscsend.isEmpty())
        QSKIP("liblo's oscsend is not installed");
    auto remote = Listening();
    Recorder recorder(*remote);
    QProcess process;
    process.start(oscsend, QStringList{u"127.0.0.1"_qs, QString::number(remote->ListeningPort())} +
                               arguments);
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(remote->Counters().Datagrams, quint64(1), 10000);
    QCOMPARE(recorder.fired, fired);
}

void tst_RemoteControl::allowFrom_data() {
    QTest::addColumn<bool>("allInterfaces");
    QTest::addColumn<QString>("allow");
    QTest::addColumn<bool>("fires");

    QTest::newRow("all interfaces, anyone") << true << QString() << true;
    QTest::newRow("all interfaces, others only") << true << u"192.0.2.1"_qs << false;
    QTest::newRow("all interfaces, us among others")
        << true << u"192.0.2.1, 127.0.0.1 ,10.0.0.1"_qs << true;
    QTest::newRow("this machine only: the list does not apply") << false << u"192.0.2.1"_qs << true;
}

void tst_RemoteControl::allowFrom() {
    QFETCH(bool, allInterfaces);
    QFETCH(QString, allow);
    QFETCH(bool, fires);

    auto remote = Listening(allInterfaces, allow);
    Recorder recorder(*remote);
    SendAndWait(*remote, {Message(u"/cuewell/go"_qs)});
    QCOMPARE(recorder.fired, fires ? QStringList{u"go"_qs} : QStringList{});
    QCOMPARE(remote->Counters().Refused, fires ? 0u : 1u);
}

void tst_RemoteControl::allowFromRejectsJunk() {
    TRemoteControl remote;
    QVERIFY_THROWS_EXCEPTION(CuewellError, remote.SetAllowFrom(u"127.0.0.1, host.example"_qs));
    QVERIFY_THROWS_EXCEPTION(CuewellError, remote.SetAllowFrom(u"127.0.0.256"_qs));
    QCOMPARE(remote.AllowFrom(), QString());

    // From a file, entries that are not addresses never widen the list.
    QTemporaryDir dir;
    QFile file(dir.filePath(u"s.ini"_qs));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[Remote]\r\nEnabled=1\r\nPort=0\r\nAllInterfaces=1\r\nAllowFrom=somewhere\r\n");
    file.close();
    KeyValueFile settings(file.fileName());
    remote.ReadSettings(settings);
    remote.SetPort(0);
    remote.Apply();
    Recorder recorder(remote);
    SendAndWait(remote, {Message(u"/cuewell/go"_qs)});
    QCOMPARE(recorder.fired, QStringList{});
    QCOMPARE(remote.Counters().Refused, 1u);
}

void tst_RemoteControl::portInUse() {
    for (bool all : {false, true}) {
        QUdpSocket holder;
        QVERIFY(holder.bind(QHostAddress::LocalHost, 0));
        TRemoteControl remote;
        remote.SetEnabled(true);
        remote.SetPort(holder.localPort());
        remote.SetAllInterfaces(all);
        try {
            remote.Apply();
            QFAIL("no error for a port in use");
        } catch (const CuewellError& e) {
            QVERIFY2(e.Text().contains(QString::number(holder.localPort())), qPrintable(e.Text()));
        }
        QVERIFY(!remote.Listening());
    }
}

void tst_RemoteControl::listensWhereTold() {
    auto local = Listening(false);
    QCOMPARE(local->ListeningAddress(), u"127.0.0.1"_qs);
    auto all = Listening(true);
    QCOMPARE(all->ListeningAddress(), u"0.0.0.0"_qs);

    // Turned off, it stops listening and the port is free again.
    const int port = all->ListeningPort();
    all->SetEnabled(false);
    all->Apply();
    QVERIFY(!all->Listening());
    QUdpSocket again;
    QVERIFY(again.bind(QHostAddress::Any, quint16(port)));
}

void tst_RemoteControl::settings_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("allInterfaces");
    QTest::addColumn<QString>("allow");

    const int d = TRemoteControl::DefaultPort;
    QTest::newRow("no section") << QByteArray("[OSC]\r\nsoundPort=9001\r\n") << false << d << false
                                << QString();
    QTest::newRow("all keys") << QByteArray(
                                     "[Remote]\r\nEnabled=1\r\nPort=8100\r\nAllInterfaces=1\r\n"
                                     "AllowFrom=10.0.0.2, 10.0.0.3\r\n")
                              << true << 8100 << true << u"10.0.0.2, 10.0.0.3"_qs;
    QTest::newRow("some keys") << QByteArray("[remote]\r\nenabled=1\r\n") << true << d << false
                               << QString();
    QTest::newRow("port out of range")
        << QByteArray("[Remote]\r\nPort=70000\r\n") << false << d << false << QString();
    QTest::newRow("port not a number")
        << QByteArray("[Remote]\r\nPort=x\r\n") << false << d << false << QString();
}

void tst_RemoteControl::settings() {
    QFETCH(QByteArray, text);
    QFETCH(bool, enabled);
    QFETCH(int, port);
    QFETCH(bool, allInterfaces);
    QFETCH(QString, allow);

    QTemporaryDir dir;
    const QString path = dir.filePath(u"Cuewell.ini"_qs);
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text);
    file.close();

    KeyValueFile settings(path);
    TRemoteControl remote;
    remote.ReadSettings(settings);
    QCOMPARE(remote.Enabled(), enabled);
    QCOMPARE(remote.Port(), port);
    QCOMPARE(remote.AllInterfaces(), allInterfaces);
    QCOMPARE(remote.AllowFrom(), allow);
    // Reading changes nothing in the file, and starts nothing.
    QVERIFY(!settings.Modified());
    QVERIFY(!remote.Listening());
}

void tst_RemoteControl::settingsWritten() {
    QTemporaryDir dir;
    const QString path = dir.filePath(u"Cuewell.ini"_qs);
    {
        KeyValueFile settings(path);
        settings.WriteString(u"OSC"_qs, u"soundPort"_qs, u"9001"_qs);
        TRemoteControl remote;
        remote.SetEnabled(true);
        remote.SetPort(8100);
        remote.SetAllInterfaces(false);
        remote.SetAllowFrom(u"10.0.0.2"_qs);
        remote.WriteSettings(settings);
        // Flags as the file writes every flag; the other sections untouched.
        QCOMPARE(settings.ToText(),
                 u"[OSC]\r\nsoundPort=9001\r\n\r\n[Remote]\r\nEnabled=1\r\nPort=8100\r\n"
                 "AllInterfaces=0\r\nAllowFrom=10.0.0.2\r\n\r\n"_qs);
        settings.SetAutoSave(true);
        settings.Free();
    }
    KeyValueFile again(path);
    TRemoteControl back;
    back.ReadSettings(again);
    QVERIFY(back.Enabled());
    QCOMPARE(back.Port(), 8100);
    QVERIFY(!back.AllInterfaces());
    QCOMPARE(back.AllowFrom(), u"10.0.0.2"_qs);
}

void tst_RemoteControl::hostileInput() {
    auto remote = Listening();
    Recorder recorder(*remote);
    const quint16 port = quint16(remote->ListeningPort());

    // The fuzzing corpus: readable or not, none of it is ours.
    QList<QByteArray> corpus;
    const QDir folder(QStringLiteral(CUEWELL_OSC_CORPUS));
    for (const QString& name : folder.entryList(QDir::Files)) {
        QFile file(folder.filePath(name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        corpus << file.readAll();
    }
    QVERIFY(corpus.size() >= 5);
    SendAndWait(*remote, corpus);
    QCOMPARE(recorder.fired, QStringList{});

    // A flood from another thread while the loop must keep running a timer.
    int ticks = 0;
    QTimer timer;
    timer.setInterval(2);
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start();
    std::atomic<bool> done{false};
    std::thread flood([&] {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QRandomGenerator random(4242);
        char bytes[512];
        const char prefix[] = "/cuewell/";
        for (int k = 0; k < 100000; ++k) {
            const int n = random.bounded(0, int(sizeof bytes));
            for (int b = 0; b < n; ++b)
                bytes[b] = char(random.bounded(256));
            // Every other one looks like ours up to the last part.
            if (k % 2 && n >= int(sizeof prefix))
                std::memcpy(bytes, prefix, sizeof prefix - 1);
            ::sendto(fd, bytes, size_t(n), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        }
        ::close(fd);
        done = true;
    });
    int ticksDuringFlood = 0;
    while (!done) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        ticksDuringFlood = ticks;
    }
    flood.join();
    const quint64 read = remote->Counters().Datagrams;
    // Let the rest drain, then check that the receiver still answers.
    QTest::qWait(200);
    QCOMPARE(recorder.fired, QStringList{});
    QVERIFY2(read > quint64(corpus.size()), "nothing of the flood was read");
    QVERIFY2(ticksDuringFlood > 0, "the timer never fired during the flood");
    SendAndWait(*remote, {Message(u"/cuewell/go"_qs)});
    QCOMPARE(recorder.fired, QStringList{u"go"_qs});
    qInfo("flood: %llu of 100000 datagrams read, %d timer ticks meanwhile, %llu unreadable",
          static_cast<unsigned long long>(read - quint64(corpus.size())), ticksDuringFlood,
          static_cast<unsigned long long>(remote->Counters().Unreadable));
}

void tst_RemoteControl::backlogYieldsToLoop() {
    // A backlog of datagrams is read a batch per wake-up: a timer started
    // by the first GO runs before the rest of the backlog is read.
    auto remote = Listening();
    constexpr int Backlog = 150;
    quint64 readWhenTimerRan = 0;
    bool ran = false;
    QObject::connect(remote.get(), &TRemoteControl::Go, [&] {
        QTimer::singleShot(0, [&] {
            readWhenTimerRan = remote->Counters().Datagrams;
            ran = true;
        });
    });
    QUdpSocket sender;
    const quint16 port = quint16(remote->ListeningPort());
    const QByteArray go = Message(u"/cuewell/go"_qs), junk = Message(u"/other"_qs);
    QCOMPARE(sender.writeDatagram(go, QHostAddress::LocalHost, port), go.size());
    for (int k = 1; k < Backlog; ++k)
        QCOMPARE(sender.writeDatagram(junk, QHostAddress::LocalHost, port), junk.size());
    QTRY_VERIFY_WITH_TIMEOUT(ran, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(remote->Counters().Datagrams, quint64(Backlog), 10000);
    QVERIFY2(readWhenTimerRan < quint64(Backlog), qPrintable(QString::number(readWhenTimerRan)));
}

void tst_RemoteControl::handlerStopsReceiver() {
    // A handler that turns remote control off in the middle of a datagram's
    // actions: the rest is not fired, nothing crashes.
    auto remote = Listening();
    Recorder recorder(*remote);
    QObject::connect(remote.get(), &TRemoteControl::Go, remote.get(), [&] {
        remote->SetEnabled(false);
        remote->Apply();
    });
    QUdpSocket sender;
    sender.writeDatagram(Bundle({u"/cuewell/go"_qs, u"/cuewell/next"_qs}), QHostAddress::LocalHost,
                         quint16(remote->ListeningPort()));
    QTRY_VERIFY_WITH_TIMEOUT(!remote->Listening(), 10000);
    QTest::qWait(50);
    QCOMPARE(recorder.fired, QStringList{u"go"_qs});
}

QTEST_GUILESS_MAIN(tst_RemoteControl)
#include "tst_remotecontrol.moc"
