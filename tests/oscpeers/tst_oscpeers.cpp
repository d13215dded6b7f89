// Our packets against an OSC implementation written elsewhere (liblo's
// command-line tools): what we send must read correctly there, and what it
// sends must read correctly here.
#include "app/Errors.h"
#include "osc/OSCUtils.h"
#include "osc/OscTargets.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <QUdpSocket>
#include <QtEndian>
#include <cstring>

namespace {

constexpr int TimeoutMs = 10000;

// A loopback port nobody listens on right now.
quint16 FreePort() {
    QUdpSocket probe;
    if (!probe.bind(QHostAddress::LocalHost, 0))
        return 0;
    return probe.localPort();
}

std::unique_ptr<TOSCMessage> Message(const QString& address) {
    return std::make_unique<TOSCMessage>(address);
}

} // namespace

class tst_OSCPeers : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void oscdumpReadsOurs_data();
    void oscdumpReadsOurs();
    void oscsendReadByOurs_data();
    void oscsendReadByOurs();
    void oscdumpReadsTargetForms_data();
    void oscdumpReadsTargetForms();

private:
    // Sends Bytes to oscdump and returns the lines it printed for them.
    QStringList Dump(const QByteArray& bytes, int lines);
    // The same for whatever Send puts on the wire.
    QStringList DumpOf(const std::function<void()>& send, int lines);
    QString NextLine();

    QProcess FDump;
    quint16 FDumpPort = 0;
    QUdpSocket FSender;
    QByteArray FPending;
};

void tst_OSCPeers::initTestCase() {
    const QString oscdump = QStandardPaths::findExecutable(u"oscdump"_qs);
    if (oscdump.isEmpty())
        return; // each test says it is skipped
    FDumpPort = FreePort();
    QVERIFY(FDumpPort);
    FDump.start(oscdump, {u"-L"_qs, QString::number(FDumpPort)});
    QVERIFY2(FDump.waitForStarted(TimeoutMs), qPrintable(FDump.errorString()));

    // oscdump says nothing when it is ready: ping until a ping comes back.
    const QByteArray ping = Message(u"/ping"_qs)->ToOSCBytes();
    QElapsedTimer clock;
    clock.start();
    while (!FPending.contains("/ping")) {
        QVERIFY2(clock.elapsed() < TimeoutMs, "oscdump did not answer");
        FSender.writeDatagram(ping, QHostAddress::LocalHost, FDumpPort);
        if (FDump.waitForReadyRead(100))
            FPending += FDump.readAllStandardOutput();
    }
    // Let the pings still on their way arrive, then drop them.
    while (FDump.waitForReadyRead(300))
        ;
    FDump.readAllStandardOutput();
    FPending.clear();
}

void tst_OSCPeers::cleanupTestCase() {
    if (FDump.state() != QProcess::NotRunning) {
        FDump.kill();
        FDump.waitForFinished(TimeoutMs);
    }
}

QString tst_OSCPeers::NextLine() {
    QElapsedTimer clock;
    clock.start();
    while (!FPending.contains('\n') && clock.elapsed() < TimeoutMs)
        if (FDump.waitForReadyRead(100))
            FPending += FDump.readAllStandardOutput();
    const qsizetype end = FPending.indexOf('\n');
    if (end < 0)
        return QString();
    const QString line = QString::fromUtf8(FPending.left(end));
    FPending.remove(0, end + 1);
    return line;
}

QStringList tst_OSCPeers::Dump(const QByteArray& bytes, int lines) {
    return DumpOf([&] { FSender.writeDatagram(bytes, QHostAddress::LocalHost, FDumpPort); }, lines);
}

QStringList tst_OSCPeers::DumpOf(const std::function<void()>& send, int lines) {
    // Unreadable bytes print nothing on stdout, so a marker follows them.
    send();
    FSender.writeDatagram(Message(u"/end"_qs)->ToOSCBytes(), QHostAddress::LocalHost, FDumpPort);
    QStringList got;
    while (true) {
        const QString line = NextLine();
        if (line.isEmpty() || line.endsWith(u" /end "_qs) || line.endsWith(u" /end"_qs))
            break;
        got << line;
    }
    if (got.size() != lines)
        qWarning() << "oscdump printed" << got;
    return got;
}

void tst_OSCPeers::oscdumpReadsOurs_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("lines"); // oscdump's lines without the time

    auto bundleOf = [](std::initializer_list<std::unique_ptr<TOSCPacket>*> packets) {
        auto bundle = std::make_unique<TOSCBundle>();
        for (auto* packet : packets)
            bundle->Add(std::move(*packet));
        return bundle;
    };

    {
        std::unique_ptr<TOSCPacket> m = Message(u"/sound/go"_qs);
        static_cast<TOSCMessage*>(m.get())->AddString("5");
        QTest::newRow("cue bundle")
            << bundleOf({&m})->ToOSCBytes() << QStringList{u"/sound/go s \"5\""_qs};
    }
    {
        std::unique_ptr<TOSCPacket> m = Message(u"/sound/go"_qs);
        static_cast<TOSCMessage*>(m.get())->AddString(QByteArray());
        QTest::newRow("empty argument")
            << bundleOf({&m})->ToOSCBytes() << QStringList{u"/sound/go s \"\""_qs};
    }
    {
        auto m = Message(u"/light/fade"_qs);
        m->AddInteger(-2);
        m->AddFloat(1.5f);
        m->AddString("abcd");
        m->AddInteger(2147483647);
        QTest::newRow("message i f s i")
            << m->ToOSCBytes()
            << QStringList{u"/light/fade ifsi -2 1.500000 \"abcd\" 2147483647"_qs};
    }
    {
        auto m = Message(u"/caf\u00e9"_qs);
        m->AddString("cr\xC3\xA8me");
        QTest::newRow("UTF-8") << m->ToOSCBytes() << QStringList{u"/caf\u00e9 s \"cr\u00e8me\""_qs};
    }
    {
        std::unique_ptr<TOSCPacket> a = Message(u"/a"_qs);
        std::unique_ptr<TOSCPacket> b = Message(u"/b"_qs);
        static_cast<TOSCMessage*>(b.get())->AddInteger(7);
        std::unique_ptr<TOSCPacket> inner = bundleOf({&b});
        std::unique_ptr<TOSCPacket> c = Message(u"/c"_qs);
        QTest::newRow("nested bundle") << bundleOf({&a, &inner, &c})->ToOSCBytes()
                                       << QStringList{u"/a "_qs, u"/b i 7"_qs, u"/c "_qs};
    }
}

void tst_OSCPeers::oscdumpReadsOurs() {
    if (FDumpPort == 0 || FDump.state() != QProcess::Running)
        QSKIP("oscdump (Debian package liblo-tools) is not on PATH");
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, lines);

    const QStringList got = Dump(bytes, int(lines.size()));
    QCOMPARE(got.size(), lines.size());
    for (int k = 0; k < lines.size(); ++k) {
        // "<time> <address> <types> <values>"; liblo prints the time of
        // arrival for immediate bundles, so only the rest is compared.
        const QString line = got[k];
        const qsizetype space = line.indexOf(u' ');
        QVERIFY2(space > 0, qPrintable(line));
        QCOMPARE(line.mid(space + 1).trimmed(), lines[k].trimmed());
    }
}

void tst_OSCPeers::oscsendReadByOurs_data() {
    QTest::addColumn<QStringList>("arguments"); // address, types, values
    QTest::addColumn<QList<QByteArray>>("elements");

    auto le32 = [](qint32 v) {
        QByteArray r(4, Qt::Uninitialized);
        qToLittleEndian(v, r.data());
        return r;
    };
    auto le64 = [](qint64 v) {
        QByteArray r(8, Qt::Uninitialized);
        qToLittleEndian(v, r.data());
        return r;
    };
    auto f32 = [&](float f) { return le32(std::bit_cast<qint32>(f)); };
    auto f64 = [&](double d) { return le64(std::bit_cast<qint64>(d)); };

    QTest::newRow("s i f") << QStringList{u"/sound/go"_qs, u"sif"_qs, u"hello"_qs, u"42"_qs,
                                          u"1.5"_qs}
                           << QList<QByteArray>{"hello", le32(42), f32(1.5f)};
    QTest::newRow("negative and empty") << QStringList{u"/x"_qs, u"is"_qs, u"-2"_qs, QString()}
                                        << QList<QByteArray>{le32(-2), QByteArray()};
    QTest::newRow("no arguments") << QStringList{u"/light/blackout"_qs} << QList<QByteArray>{};
    QTest::newRow("OSC 1.1 types before i")
        << QStringList{u"/t"_qs, u"hdcSmTFNIi"_qs, u"123456789012"_qs, u"2.25"_qs,
                       u"x"_qs,  u"sym"_qs,        u"00903c40"_qs,     u"7"_qs}
        << QList<QByteArray>{le64(123456789012LL),
                             f64(2.25),
                             le32('x'),
                             "sym",
                             le32(0x00903c40),
                             {},
                             {},
                             {},
                             {},
                             le32(7)};
}

void tst_OSCPeers::oscsendReadByOurs() {
    const QString oscsend = QStandardPaths::findExecutable(u"oscsend"_qs);
    if (oscsend.isEmpty())
        QSKIP("oscsend (Debian package liblo-tools) is not on PATH");
    QFETCH(QStringList, arguments);
    QFETCH(QList<QByteArray>, elements);

    QUdpSocket receiver;
    QVERIFY(receiver.bind(QHostAddress::LocalHost, 0));
    QProcess send;
    send.start(oscsend,
               QStringList{u"127.0.0.1"_qs, QString::number(receiver.localPort())} + arguments);
    QVERIFY(send.waitForFinished(TimeoutMs));
    QCOMPARE(send.exitCode(), 0);
    QVERIFY(receiver.hasPendingDatagrams() || receiver.waitForReadyRead(TimeoutMs));
    QByteArray bytes(int(receiver.pendingDatagramSize()), Qt::Uninitialized);
    receiver.readDatagram(bytes.data(), bytes.size());

    TOSCReceived packet = TOSCPacket::Unpack(bytes);
    auto* message = dynamic_cast<TOSCMessage*>(packet.get());
    QVERIFY(message);
    QCOMPARE(message->Address(), arguments[0]);
    message->Decode();
    QCOMPARE(message->TypeTags(), u","_qs + arguments.value(1));
    QCOMPARE(message->ArgumentCount(), elements.size());
    for (int k = 0; k < elements.size(); ++k)
        QCOMPARE(message->GetArgument(k).toHex(' '), elements[k].toHex(' '));
}

void tst_OSCPeers::oscdumpReadsTargetForms_data() {
    QTest::addColumn<bool>("asMessage");
    QTest::addColumn<bool>("typed");
    QTest::addColumn<QByteArray>("cue");
    QTest::addColumn<QString>("line"); // oscdump's line without the time
    QTest::newRow("defaults") << false << false << QByteArray("/sound/go 5")
                              << u"/sound/go s \"5\""_qs;
    QTest::newRow("plain message")
        << true << false << QByteArray("/sound/go 5 x") << u"/sound/go s \"5 x\""_qs;
    QTest::newRow("typed message") << true << true << QByteArray("/light/go 5 0.5 \"two words\" x")
                                   << u"/light/go ifss 5 0.500000 \"two words\" \"x\""_qs;
    QTest::newRow("typed bundle") << false << true << QByteArray("/light/go -1 2.25 1,5")
                                  << u"/light/go ifs -1 2.250000 \"1,5\""_qs;
}

// A cue sent by the targets object, in each form, read by liblo.
void tst_OSCPeers::oscdumpReadsTargetForms() {
    if (FDumpPort == 0 || FDump.state() != QProcess::Running)
        QSKIP("oscdump (Debian package liblo-tools) is not on PATH");
    QFETCH(bool, asMessage);
    QFETCH(bool, typed);
    QFETCH(QByteArray, cue);
    QFETCH(QString, line);

    TOscTargets targets;
    targets.SoundIP = targets.LightIP = u"127.0.0.1"_qs;
    targets.SoundPort = targets.LightPort = FDumpPort;
    targets.SoundAddress = u"sound"_qs;
    targets.LightAddress = u"light"_qs;
    targets.SoundForm = targets.LightForm = asMessage ? TOscForm::Message : TOscForm::Bundle;
    targets.SoundArgs = targets.LightArgs = typed ? TOscArgs::Typed : TOscArgs::Text;
    targets.Apply();
    const TPreparedCue prepared = targets.Prepare(cue);
    const QByteArray& bytes = prepared.ToSound ? prepared.SoundBytes : prepared.LightBytes;
    QCOMPARE(bytes.startsWith("#bundle"), !asMessage);
    int warnings = 0;
    const QStringList got = DumpOf([&] { targets.Fire(prepared, [&] { ++warnings; }); }, 1);
    QCOMPARE(warnings, 0);
    QCOMPARE(got.size(), 1);
    const qsizetype space = got[0].indexOf(u' ');
    QVERIFY2(space > 0, qPrintable(got[0]));
    QCOMPARE(got[0].mid(space + 1).trimmed(), line);
}

QTEST_GUILESS_MAIN(tst_OSCPeers)
#include "tst_oscpeers.moc"
