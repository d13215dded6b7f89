#include "osc/OSCUtils.h"
#include "tools/oscmonitor/MonitorFormat.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTest>
#include <QUdpSocket>

namespace {

QByteArray Hex(const char* text) {
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

const QByteArray Head = Hex("2362756E646C6500 0000000000000001");

} // namespace

class tst_OSCMonitor : public QObject {
    Q_OBJECT

private slots:
    void describe_data();
    void describe();
    void listensOnSeveralPorts();
    void rejectsBadPorts_data();
    void rejectsBadPorts();
};

void tst_OSCMonitor::describe_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("lines"); // after "HH:mm:ss.zzz   9001  "

    QTest::newRow("cue bundle") << Head + Hex("00000014 2F736F756E642F676F000000 2C730000 35000000")
                                << QStringList{u"immediate  /sound/go  ,s \"5\""_qs};
    QTest::newRow("lone message, numbers")
        << Hex("2F610000 2C696600 FFFFFFFE 3FC00000") << QStringList{u"-  /a  ,if -2 1.5"_qs};
    QTest::newRow("quotes and control characters")
        << Hex("2F610000 2C730000 61220A5C 00000000")
        << QStringList{u"-  /a  ,s \"a\\\"\\x0a\\\\\""_qs};
    QTest::newRow("control characters in the address")
        << Hex("2F610A1B 5B324A00 2C730000 78000000")
        << QStringList{u"-  /a\\x0a\\x1b[2J  ,s \"x\""_qs};
    QTest::newRow("backslash and C1 control in the address")
        << Hex("2F5CC29B 00000000 2C000000") << QStringList{u"-  /\\\\\\x9b  ,"_qs};
    QTest::newRow("characters escaped as strings are")
        << Hex("2F630000 2C636363 00000000 0000000A 00000027 0000005C")
        << QStringList{u"-  /c  ,ccc '\\x0a' '\\'' '\\\\'"_qs};
    QTest::newRow("C1 control in a string")
        << Hex("2F730000 2C730000 61C29B62 00000000") << QStringList{u"-  /s  ,s \"a\\x9bb\""_qs};
    QTest::newRow("OSC 1.1 types")
        << Hex("2F610000 2C626354 464E4900 00000002 01020000 00000041")
        << QStringList{u"-  /a  ,bcTFNI blob(2 bytes) 01 02 'A' true false nil infinitum"_qs};
    QTest::newRow("dated bundle, nested immediate")
        << Hex("2362756E646C6500 83AA7E8080000000 00000008 2F610000 2C000000") + Hex("0000001C") +
               Head + Hex("00000008 2F620000 2C000000")
        << QStringList{u"1970-01-01 00:00:00.500 UTC  /a  ,"_qs, u"immediate  /b  ,"_qs};
    QTest::newRow("empty bundle") << Head << QStringList{u"immediate  (empty bundle)"_qs};
    QTest::newRow("wrapping element size")
        << Head + Hex("FFFFFFFC 2F676F00")
        << QStringList{u"UNREADABLE 24 bytes: bundle element size 4294967292 at byte 16 is not "
                       u"valid | 23 62 75 6e 64 6c 65 00 00 00 00 00 00 00 00 01 ff ff ff fc 2f 67 "
                       u"6f 00"_qs};
    QTest::newRow("unknown tag") << Hex("2F610000 2C786900 00000001")
                                 << QStringList{u"-  /a  UNREADABLE ARGUMENTS: unknown type tag "
                                                u"\"x\" at position 1"_qs};
}

void tst_OSCMonitor::describe() {
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, lines);

    const QDateTime arrival(QDate(2026, 5, 1), QTime(20, 15, 1, 250));
    QStringList expected;
    for (const QString& line : lines)
        expected << u"20:15:01.250   9001  "_qs + line;
    QCOMPARE(DescribeDatagram(9001, bytes, arrival), expected);
}

void tst_OSCMonitor::listensOnSeveralPorts() {
    quint16 ports[2];
    for (quint16& port : ports) {
        QUdpSocket probe;
        QVERIFY(probe.bind(QHostAddress::LocalHost, 0));
        port = probe.localPort();
    }
    QProcess monitor;
    monitor.start(QStringLiteral(OSCMONITOR_PATH),
                  {QString::number(ports[0]), QString::number(ports[1])});
    QVERIFY(monitor.waitForStarted(10000));
    // It says on stderr when its sockets are bound.
    QElapsedTimer clock;
    clock.start();
    QByteArray err;
    monitor.setReadChannel(QProcess::StandardError);
    while (!err.contains('\n') && clock.elapsed() < 10000)
        if (monitor.waitForReadyRead(100))
            err += monitor.readAllStandardError();
    monitor.setReadChannel(QProcess::StandardOutput);
    QVERIFY2(err.contains("listening"), err.constData());

    auto cue = std::make_unique<TOSCMessage>(u"/sound/go"_qs);
    cue->AddString("5");
    TOSCBundle bundle;
    bundle.Add(std::move(cue));
    QUdpSocket sender;
    sender.writeDatagram(bundle.ToOSCBytes(), QHostAddress::LocalHost, ports[0]);
    sender.writeDatagram(QByteArray("junk"), QHostAddress::LocalHost, ports[1]);

    QByteArray out;
    clock.restart();
    while (out.count('\n') < 2 && clock.elapsed() < 10000)
        if (monitor.waitForReadyRead(100))
            out += monitor.readAllStandardOutput();
    monitor.kill();
    monitor.waitForFinished(10000);

    const QStringList lines = QString::fromUtf8(out).split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QString sound, light;
    for (const QString& line : lines)
        (line.contains(u"/sound/go"_qs) ? sound : light) = line.mid(12);
    QCOMPARE(sound, u"  %1  immediate  /sound/go  ,s \"5\""_qs.arg(ports[0], 5));
    QCOMPARE(light,
             u"  %1  UNREADABLE 4 bytes: the address at byte 0 has no end | 6a 75 6e 6b"_qs.arg(
                 ports[1], 5));
}

void tst_OSCMonitor::rejectsBadPorts_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("none") << QStringList();
    QTest::newRow("letters") << QStringList{u"sound"_qs};
    QTest::newRow("zero") << QStringList{u"0"_qs};
    QTest::newRow("too large") << QStringList{u"9001"_qs, u"70000"_qs};
}

void tst_OSCMonitor::rejectsBadPorts() {
    QFETCH(QStringList, arguments);
    QProcess monitor;
    monitor.start(QStringLiteral(OSCMONITOR_PATH), arguments);
    QVERIFY(monitor.waitForFinished(10000));
    QCOMPARE(monitor.exitCode(), 2);
    QVERIFY(!monitor.readAllStandardError().isEmpty());
}

QTEST_GUILESS_MAIN(tst_OSCMonitor)
#include "tst_oscmonitor.moc"
