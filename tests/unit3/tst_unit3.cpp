// The OSC settings dialog on the real main window, offscreen: filled from
// the shared targets, Save into the real settings file, bad ports refused,
// and real loopback receivers that show where the next GO goes.

#include "tests/common/CuewellFixture.h"

#include "cues/CuePin.h"
#include "osc/Unit3.h"

#include <QAction>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>

namespace {

// The lines of one section of a file, as written.
QList<QByteArray> SectionLines(const QByteArray& file, const QByteArray& section) {
    QList<QByteArray> lines;
    bool inside = false;
    for (QByteArray line : file.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.startsWith('[') || line.startsWith("\xEF\xBB\xBF[")) {
            inside = line.endsWith("[" + section + "]");
            continue;
        }
        if (inside && !line.isEmpty())
            lines.append(line);
    }
    return lines;
}

QStringList Edits(const TForm3& d) {
    return {d.soundip->text(), d.soundport->text(), d.soundOSC->text(),
            d.Lightip->text(), d.lightport->text(), d.lightosc->text()};
}

void Type(TForm3& d, const QStringList& six) {
    QLineEdit* edits[] = {d.soundip, d.soundport, d.soundOSC, d.Lightip, d.lightport, d.lightosc};
    for (int i = 0; i < 6; ++i)
        edits[i]->setText(six[i]);
}

// The shared targets: host, port, selector of sound, then of light.
QStringList Shared(const TCuewell& w) {
    return {w.SoundIP, QString::number(w.SoundPort), w.SoundAddress,
            w.LightIP, QString::number(w.LightPort), w.LightAddress};
}

} // namespace

class tst_Unit3 : public QObject {
    Q_OBJECT
private slots:
    void dialogShape();
    void formShowFillsEdits_data();
    void formShowFillsEdits();
    void saveWritesKeysAsTyped_data();
    void saveWritesKeysAsTyped();
    void portBeyondSixteenBitsSendsToLowBits();
    void invalidPortChangesNothing_data();
    void invalidPortChangesNothing();
    void lineBreakIsRefused_data();
    void lineBreakIsRefused();
    void targetsChangeOnlyOnSave();
    void menuWhileOpenOnlyBringsForward();
    void cancelThenReopenShowsStored_data();
    void cancelThenReopenShowsStored();
};

void tst_Unit3::dialogShape() {
    TWindowFixture f;
    TCuewell& w = f.StartOn(MakeScript(f.Path("show.pdf"), 1));
    TForm3* d = w.Form3;
    QVERIFY(!d->isVisible());
    QCOMPARE(w.OSCSettings1->text(), "OSC Settings");
    w.OSCSettings1->trigger();
    QVERIFY(d->isVisible());
    QVERIFY(d->isWindow());
    QCOMPARE(d->windowTitle(), "OSC Settings");
    QCOMPARE(d->size(), QSize(394, 271));
    // Fixed size: not resizable.
    QCOMPARE(d->minimumSize(), QSize(394, 271));
    QCOMPARE(d->maximumSize(), QSize(394, 271));
    QCOMPARE(d->windowModality(), Qt::NonModal);
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
    QCOMPARE(d->SoundGroup->title(), "Sound Cue Connection");
    QCOMPARE(d->LightGroup->title(), "Light cue connection");
    QCOMPARE(d->btnSave->text(), "Save");
    QCOMPARE(d->Button1->text(), "Cancel");
    for (QLineEdit* edit : {d->soundip, d->soundOSC, d->soundport})
        QCOMPARE(edit->parentWidget(), d->SoundGroup);
    for (QLineEdit* edit : {d->Lightip, d->lightosc, d->lightport})
        QCOMPARE(edit->parentWidget(), d->LightGroup);
}

void tst_Unit3::formShowFillsEdits_data() {
    QTest::addColumn<QByteArray>("settings");
    QTest::addColumn<QStringList>("edits");
    QTest::newRow("stored targets")
        << QByteArray("[OSC]\r\nsoundIP=10.0.0.2\r\nsoundPort=53000\r\nsoundAddress=sound\r\n"
                      "lightIP=lights.local\r\nlightPort=70000\r\nlightAddress=light\r\n")
        << QStringList{"10.0.0.2", "53000", "sound", "lights.local", "70000", "light"};
    QTest::newRow("no OSC section")
        << QByteArray("[Settings]\r\nArrow=1\r\n") << QStringList{"", "0", "", "", "0", ""};
    QTest::newRow("slash and negative port kept")
        << QByteArray("[OSC]\r\nsoundIP=host\r\nsoundPort=-1\r\nsoundAddress=/sound\r\n")
        << QStringList{"host", "-1", "/sound", "", "0", ""};
}

void tst_Unit3::formShowFillsEdits() {
    QFETCH(QByteArray, settings);
    QFETCH(QStringList, edits);
    TWindowFixture f;
    WriteFileText(f.SettingsPath(), settings);
    TCuewell& w = f.StartOn(MakeScript(f.Path("show.pdf"), 1));
    w.OSCSettings1->trigger();
    QCOMPARE(Edits(*w.Form3), edits);
    // Each showing fills from the shared variables as they are then.
    w.Form3->Button1->click();
    w.SoundIP = "changed";
    w.LightPort = 4321;
    w.OSCSettings1->trigger();
    edits[0] = "changed";
    edits[4] = "4321";
    QCOMPARE(Edits(*w.Form3), edits);
}

void tst_Unit3::saveWritesKeysAsTyped_data() {
    QTest::addColumn<QStringList>("typed");
    QTest::addColumn<QStringList>("stored"); // the six values as written and taken over
    QTest::addColumn<int>("soundPort");      // what the client sends to
    QTest::addColumn<int>("lightPort");
    QTest::newRow("plain") << QStringList{"127.0.0.1", "9000", "sound", "10.0.0.5", "7000", "light"}
                           << QStringList{"127.0.0.1", "9000", "sound", "10.0.0.5", "7000", "light"}
                           << 9000 << 7000;
    QTest::newRow("nothing trimmed")
        << QStringList{" 127.0.0.1 ", "9000", " sound ", "", "0", "/light"}
        << QStringList{" 127.0.0.1 ", "9000", " sound ", "", "0", "/light"} << 9000 << 0;
    QTest::newRow("ports beyond 16 bits")
        << QStringList{"a", "70000", "s", "b", "-1", "l"}
        << QStringList{"a", "70000", "s", "b", "-1", "l"} << 4464 << 65535;
    QTest::newRow("ports written as integers")
        << QStringList{"a", " +53000", "s", "b", "$1F90", "l"}
        << QStringList{"a", "53000", "s", "b", "8080", "l"} << 53000 << 8080;
}

void tst_Unit3::saveWritesKeysAsTyped() {
    QFETCH(QStringList, typed);
    QFETCH(QStringList, stored);
    QFETCH(int, soundPort);
    QFETCH(int, lightPort);
    TWindowFixture f;
    WriteFileText(f.SettingsPath(), "[Settings]\r\nArrow=1\r\n\r\n" +
                                        TargetSettings(1111, 2222, "sound", "light", "old") +
                                        "[Other]\r\nkeep=me\r\n\r\n");
    TCuewell& w = f.StartOn(MakeScript(f.Path("show.pdf"), 1));
    TForm3* d = w.Form3;
    w.OSCSettings1->trigger();
    Type(*d, typed);
    d->btnSave->click();
    QVERIFY(!d->isVisible());
    QVERIFY(StopTexts(f.Prompts).isEmpty());

    const QByteArray file = ReadFileBytes(f.SettingsPath());
    const char* keys[] = {"soundIP", "soundPort", "soundAddress",
                          "lightIP", "lightPort", "lightAddress"};
    QList<QByteArray> lines;
    for (int i = 0; i < 6; ++i)
        lines.append(QByteArray(keys[i]) + '=' + stored[i].toUtf8());
    QCOMPARE(SectionLines(file, "OSC"), lines);
    QCOMPARE(SectionLines(file, "Settings"), QList<QByteArray>{"Arrow=1"});
    QCOMPARE(SectionLines(file, "Other"), QList<QByteArray>{"keep=me"});

    QCOMPARE(Shared(w), stored);
    QCOMPARE(w.UDPsound.Host(), stored[0]);
    QCOMPARE(int(w.UDPsound.Port()), soundPort);
    QCOMPARE(w.UDPLight.Host(), stored[3]);
    QCOMPARE(int(w.UDPLight.Port()), lightPort);
    // Shown again, the dialog gives the values as stored.
    w.OSCSettings1->trigger();
    QCOMPARE(Edits(*d), stored);
}

void tst_Unit3::portBeyondSixteenBitsSendsToLowBits() {
    QUdpSocket receiver;
    if (!receiver.bind(QHostAddress::LocalHost, 4464))
        QSKIP("127.0.0.1:4464 is taken on this machine; the low-16-bit port cannot be checked");
    TWindowFixture f;
    WriteFileText(f.Path("show.cues"), CueFileText({{"0.2|0.2|/sound/go 5|0||"}}));
    TCuewell& w = f.StartOn(MakeScript(f.Path("show.pdf"), 1));
    w.OSCSettings1->trigger();
    Type(*w.Form3, {"127.0.0.1", "70000", "sound", "", "0", "light"});
    w.Form3->btnSave->click();
    QVERIFY(ReadFileBytes(f.SettingsPath()).contains("soundPort=70000\r\n"));
    QCOMPARE(w.SoundPort, 70000);
    QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
    Go(w);
    QVERIFY(receiver.waitForReadyRead(2000));
    QByteArray datagram(int(receiver.pendingDatagramSize()), Qt::Uninitialized);
    receiver.readDatagram(datagram.data(), datagram.size());
    QVERIFY(datagram.contains("/sound/go"));
}

void tst_Unit3::invalidPortChangesNothing_data() {
    QTest::addColumn<QString>("soundPort");
    QTest::addColumn<QString>("lightPort");
    QTest::addColumn<QString>("reported");
    QTest::newRow("letters in the sound port") << "12a"
                                               << "7000"
                                               << "'12a' is not a valid integer value.";
    QTest::newRow("empty sound port") << ""
                                      << "7000"
                                      << "'' is not a valid integer value.";
    QTest::newRow("light port bad, sound port good") << "9000"
                                                     << "12a"
                                                     << "'12a' is not a valid integer value.";
    QTest::newRow("beyond 32 bits") << "9000"
                                    << "4294967296"
                                    << "'4294967296' is not a valid integer value.";
    QTest::newRow("decimal point") << "9000.5"
                                   << "7000"
                                   << "'9000.5' is not a valid integer value.";
}

void tst_Unit3::invalidPortChangesNothing() {
    QFETCH(QString, soundPort);
    QFETCH(QString, lightPort);
    QFETCH(QString, reported);
    TWindowFixture f;
    WriteFileText(f.SettingsPath(), TargetSettings(1111, 2222));
    TCuewell& w = f.StartOn(MakeScript(f.Path("show.pdf"), 1));
    const QByteArray before = ReadFileBytes(f.SettingsPath());
    const QStringList shared = Shared(w);
    TForm3* d = w.Form3;
    w.OSCSettings1->trigger();
    const QStringList typed{"10.1.1.1", soundPort, "newsound", "10.2.2.2", lightPort, "newlight"};
    Type(*d, typed);
    d->btnSave->click();
    QCOMPARE(StopTexts(f.Prompts), QStringList{reported});
    QCOMPARE(f.Prompts.Boxes.last().Title, "Cuewell");
    QVERIFY(d->isVisible());
    QCOMPARE(Edits(*d), typed);
    QCOMPARE(ReadFileBytes(f.SettingsPath()), before);
    QCOMPARE(Shared(w), shared);
    QCOMPARE(w.UDPsound.Host(), "127.0.0.1");
    QCOMPARE(int(w.UDPsound.Port()), 1111);
    QCOMPARE(int(w.UDPLight.Port()), 2222);
}

void tst_Unit3::lineBreakIsRefused_data() {
    QTest::addColumn<int>("edit"); // index into the six edits
    QTest::addColumn<QString>("text");
    QTest::newRow("sound host") << 0 << QStringLiteral("127.0.0.1\nlightIP=evil");
    QTest::newRow("light selector") << 5 << QStringLiteral("light\r\n[Settings]");
}

void tst_Unit3::lineBreakIsRefused() {
    QFETCH(int, edit);
    QFETCH(QString, text);
    TWindowFixture f;
    WriteFileText(f.SettingsPath(), TargetSettings(1111, 2222));
    TCuewell& w = f.StartOn(MakeScript(f.Path("show.pdf"), 1));
    const QByteArray before = ReadFileBytes(f.SettingsPath());
    const QStringList shared = Shared(w);
    TForm3* d = w.Form3;
    w.OSCSettings1->trigger();
    QStringList typed = Edits(*d);
    typed[edit] = text;
    Type(*d, typed);
    d->btnSave->click();
    QCOMPARE(StopTexts(f.Prompts).size(), 1);
    QVERIFY(d->isVisible());
    QCOMPARE(Edits(*d), typed);
    QCOMPARE(ReadFileBytes(f.SettingsPath()), before);
    QCOMPARE(Shared(w), shared);
}

void tst_Unit3::targetsChangeOnlyOnSave() {
    TWindowFixture f;
    TReceiver oldSound, newSound, light;
    WriteFileText(f.SettingsPath(), TargetSettings(oldSound.Port(), light.Port()));
    WriteFileText(f.Path("show.cues"),
                  CueFileText({{"0.2|0.2|/sound/one|0||", "0.4|0.2|/sound/two|0||",
                                "0.6|0.2|/sound/three|0||"}}));
    TCuewell& w = f.StartOn(MakeScript(f.Path("show.pdf"), 1));
    TForm3* d = w.Form3;
    QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
    w.OSCSettings1->trigger();
    d->soundport->setText(QString::number(newSound.Port()));
    // Typed but not saved: GO still uses the targets in force.
    Go(w);
    QVERIFY(oldSound.Next().contains("/sound/one"));
    QVERIFY(w.UDPsound.Active());
    d->btnSave->click();
    QVERIFY(!d->isVisible());
    // The client lets go of its socket; the next dispatch opens one for the new target.
    QVERIFY(!w.UDPsound.Active());
    QVERIFY(!w.UDPsound.Connected());
    Go(w);
    QVERIFY(newSound.Next().contains("/sound/two"));
    QVERIFY(oldSound.Next(200).isNull());
    // Save with nothing changed writes the same keys and still sends to the same target.
    const QByteArray saved = ReadFileBytes(f.SettingsPath());
    w.OSCSettings1->trigger();
    d->btnSave->click();
    QCOMPARE(ReadFileBytes(f.SettingsPath()), saved);
    QVERIFY(!w.UDPsound.Active());
    Go(w);
    QVERIFY(newSound.Next().contains("/sound/three"));
    QVERIFY(light.Next(100).isNull());
}

void tst_Unit3::menuWhileOpenOnlyBringsForward() {
    TWindowFixture f;
    WriteFileText(f.SettingsPath(), TargetSettings(1111, 2222));
    TCuewell& w = f.StartOn(MakeScript(f.Path("show.pdf"), 1));
    TForm3* d = w.Form3;
    w.OSCSettings1->trigger();
    const QPoint at = d->pos();
    d->soundip->setText("typed.host");
    d->lightport->setText("12a");
    w.OSCSettings1->trigger();
    QVERIFY(d->isVisible());
    QCOMPARE(d->soundip->text(), "typed.host");
    QCOMPARE(d->lightport->text(), "12a");
    QCOMPARE(d->pos(), at);
}

void tst_Unit3::cancelThenReopenShowsStored_data() {
    QTest::addColumn<bool>("closeBox");
    QTest::newRow("Cancel button") << false;
    QTest::newRow("close box") << true;
}

void tst_Unit3::cancelThenReopenShowsStored() {
    QFETCH(bool, closeBox);
    TWindowFixture f;
    WriteFileText(f.SettingsPath(), TargetSettings(1111, 2222));
    TCuewell& w = f.StartOn(MakeScript(f.Path("show.pdf"), 1));
    const QByteArray before = ReadFileBytes(f.SettingsPath());
    TForm3* d = w.Form3;
    w.OSCSettings1->trigger();
    const QStringList stored = Edits(*d);
    QCOMPARE(stored, (QStringList{"127.0.0.1", "1111", "sound", "127.0.0.1", "2222", "light"}));
    Type(*d, {"x", "1", "y", "z", "2", "w"});
    if (closeBox)
        QVERIFY(d->close());
    else
        d->Button1->click();
    QVERIFY(!d->isVisible());
    QCOMPARE(ReadFileBytes(f.SettingsPath()), before);
    QCOMPARE(Shared(w), stored);
    w.OSCSettings1->trigger();
    QCOMPARE(Edits(*d), stored);
}

QTEST_MAIN(tst_Unit3)
#include "tst_unit3.moc"
