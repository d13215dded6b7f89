// The OSC settings dialog on its own, offscreen: filled from the targets
// object, Save into a real settings file, bad ports refused, and real
// loopback receivers that show where the next cue goes.

#include "tests/common/CuewellFixture.h"

#include "osc/OscTargets.h"
#include "osc/Unit3.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>

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

// The four choices as their entries' indexes: sound form, sound args, light form, light args.
QList<int> Choices(const TForm3& d) {
    return {d.soundForm->currentIndex(), d.soundArgs->currentIndex(), d.lightForm->currentIndex(),
            d.lightArgs->currentIndex()};
}

void Type(TForm3& d, const QStringList& six) {
    QLineEdit* edits[] = {d.soundip, d.soundport, d.soundOSC, d.Lightip, d.lightport, d.lightosc};
    for (int i = 0; i < 6; ++i)
        edits[i]->setText(six[i]);
}

// The targets: host, port, selector of sound, then of light.
QStringList Shared(const TOscTargets& t) {
    return {t.SoundIP, QString::number(t.SoundPort), t.SoundAddress,
            t.LightIP, QString::number(t.LightPort), t.LightAddress};
}

// A settings file, the targets read from it as at start-up, and the dialog.
struct TDialogFixture {
    QTemporaryDir Dir;
    QString Settings = Dir.filePath(QStringLiteral("cuewell.ini"));
    TRecordingPrompts Prompts;
    TOscTargets Targets;
    TForm3 Dialog{Targets, Prompts, [this] { return Settings; }};

    explicit TDialogFixture(const QByteArray& settings = {}) {
        if (!settings.isNull())
            WriteFileText(Settings, settings);
        KeyValueFile file(Settings);
        Targets.ReadFrom(file);
        Targets.Apply();
    }
    void Go(const QByteArray& message) {
        Targets.Dispatch(message, [this] {
            Prompts.MessageBox(nullptr, QStringLiteral("Cuewell"), QStringLiteral("warning"),
                               TMsgIcon::Warning, TMsgButton::Retry);
        });
        QCoreApplication::processEvents();
    }
};

} // namespace

class tst_Unit3 : public QObject {
    Q_OBJECT
private slots:
    void dialogShape();
    void centredOverItsWindow();
    void formShowFillsEdits_data();
    void formShowFillsEdits();
    void saveWritesKeysAsTyped_data();
    void saveWritesKeysAsTyped();
    void olderFileKeepsItsBytes();
    void savedChoicesReachTheTarget();
    void portBeyondSixteenBitsSendsToLowBits();
    void invalidPortChangesNothing_data();
    void invalidPortChangesNothing();
    void lineBreakIsRefused_data();
    void lineBreakIsRefused();
    void targetsChangeOnlyOnSave();
    void showAgainWhileOpenOnlyBringsForward();
    void cancelThenReopenShowsStored_data();
    void cancelThenReopenShowsStored();
};

void tst_Unit3::dialogShape() {
    TDialogFixture f;
    TForm3& d = f.Dialog;
    QVERIFY(!d.isVisible());
    d.ShowNonModal();
    QVERIFY(d.isVisible());
    QVERIFY(d.isWindow());
    QCOMPARE(d.windowTitle(), "OSC Settings");
    // Fixed size: not resizable.
    QCOMPARE(d.size(), QSize(394, 365));
    QCOMPARE(d.minimumSize(), d.size());
    QCOMPARE(d.maximumSize(), d.size());
    QCOMPARE(d.windowModality(), Qt::NonModal);
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
    QCOMPARE(d.SoundGroup->title(), "Sound Cue Connection");
    QCOMPARE(d.LightGroup->title(), "Light cue connection");
    QCOMPARE(d.btnSave->text(), "Save");
    QCOMPARE(d.Button1->text(), "Cancel");
    // The targets' fields where they always were; the new choices below them.
    QCOMPARE(d.SoundGroup->geometry(), QRect(16, 8, 361, 97));
    QCOMPARE(d.LightGroup->geometry(), QRect(8, 127, 369, 99));
    const QList<QPair<QLineEdit*, QRect>> edits{
        {d.soundip, QRect(80, 24, 145, 23)},   {d.soundOSC, QRect(80, 53, 145, 23)},
        {d.soundport, QRect(285, 24, 57, 23)}, {d.Lightip, QRect(88, 24, 145, 23)},
        {d.lightosc, QRect(88, 53, 145, 23)},  {d.lightport, QRect(293, 24, 57, 23)}};
    for (const auto& [edit, at] : edits)
        QCOMPARE(edit->geometry(), at);
    for (QLineEdit* edit : {d.soundip, d.soundOSC, d.soundport})
        QCOMPARE(edit->parentWidget(), d.SoundGroup);
    for (QLineEdit* edit : {d.Lightip, d.lightosc, d.lightport})
        QCOMPARE(edit->parentWidget(), d.LightGroup);
    QVERIFY(d.FormGroup->geometry().top() >= d.LightGroup->geometry().bottom());
    QVERIFY(d.btnSave->geometry().top() > d.FormGroup->geometry().bottom());
    QVERIFY(d.rect().contains(d.Button1->geometry()));
    for (QComboBox* form : {d.soundForm, d.lightForm}) {
        QCOMPARE(form->itemText(0), "Send as bundle");
        QCOMPARE(form->itemText(1), "Send as message");
    }
    for (QComboBox* args : {d.soundArgs, d.lightArgs}) {
        QCOMPARE(args->itemText(0), "Arguments: one text (default)");
        QCOMPARE(args->itemText(1), "Arguments: typed");
    }
    // The old tab order, with the choices after the last edit.
    QList<QWidget*> order{d.soundip,   d.soundOSC,  d.soundport, d.Lightip,
                          d.lightosc,  d.lightport, d.soundForm, d.soundArgs,
                          d.lightForm, d.lightArgs, d.btnSave,   d.Button1};
    for (int i = 0; i + 1 < order.size(); ++i) {
        QWidget* next = order[i]->nextInFocusChain();
        while (next->focusPolicy() == Qt::NoFocus)
            next = next->nextInFocusChain();
        QCOMPARE(next, order[i + 1]);
    }
}

void tst_Unit3::centredOverItsWindow() {
    QWidget window;
    window.setGeometry(200, 150, 800, 600);
    window.show();
    TRecordingPrompts prompts;
    TOscTargets targets;
    TForm3 d(
        targets, prompts, [] { return QString(); }, &window);
    d.ShowNonModal();
    QVERIFY(d.isWindow());
    // Within rounding of odd sizes.
    QVERIFY((d.geometry().center() - window.frameGeometry().center()).manhattanLength() <= 3);
}

void tst_Unit3::formShowFillsEdits_data() {
    QTest::addColumn<QByteArray>("settings");
    QTest::addColumn<QStringList>("edits");
    QTest::addColumn<QList<int>>("choices");
    QTest::newRow("stored targets")
        << QByteArray("[OSC]\r\nsoundIP=10.0.0.2\r\nsoundPort=53000\r\nsoundAddress=sound\r\n"
                      "lightIP=lights.local\r\nlightPort=70000\r\nlightAddress=light\r\n")
        << QStringList{"10.0.0.2", "53000", "sound", "lights.local", "70000", "light"}
        << QList<int>{0, 0, 0, 0};
    QTest::newRow("no OSC section")
        << QByteArray("[Settings]\r\nArrow=1\r\n") << QStringList{"", "0", "", "", "0", ""}
        << QList<int>{0, 0, 0, 0};
    QTest::newRow("slash and negative port kept")
        << QByteArray("[OSC]\r\nsoundIP=host\r\nsoundPort=-1\r\nsoundAddress=/sound\r\n")
        << QStringList{"host", "-1", "/sound", "", "0", ""} << QList<int>{0, 0, 0, 0};
    QTest::newRow("forms and arguments")
        << QByteArray("[OSC]\r\nsoundForm=message\r\nlightArgs=typed\r\n")
        << QStringList{"", "0", "", "", "0", ""} << QList<int>{1, 0, 0, 1};
}

void tst_Unit3::formShowFillsEdits() {
    QFETCH(QByteArray, settings);
    QFETCH(QStringList, edits);
    QFETCH(QList<int>, choices);
    TDialogFixture f(settings);
    f.Dialog.ShowNonModal();
    QCOMPARE(Edits(f.Dialog), edits);
    QCOMPARE(Choices(f.Dialog), choices);
    // Each showing fills from the targets as they are then.
    f.Dialog.Button1->click();
    f.Targets.SoundIP = "changed";
    f.Targets.LightPort = 4321;
    f.Targets.SoundArgs = TOscArgs::Typed;
    f.Dialog.ShowNonModal();
    edits[0] = "changed";
    edits[4] = "4321";
    choices[1] = 1;
    QCOMPARE(Edits(f.Dialog), edits);
    QCOMPARE(Choices(f.Dialog), choices);
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
    TDialogFixture f("[Settings]\r\nArrow=1\r\n\r\n" +
                     TargetSettings(1111, 2222, "sound", "light", "old") +
                     "[Other]\r\nkeep=me\r\n\r\n");
    QSignalSpy changed(&f.Targets, &TOscTargets::Changed);
    TForm3& d = f.Dialog;
    d.ShowNonModal();
    Type(d, typed);
    d.btnSave->click();
    QVERIFY(!d.isVisible());
    QVERIFY(StopTexts(f.Prompts).isEmpty());

    const QByteArray file = ReadFileBytes(f.Settings);
    const char* keys[] = {"soundIP", "soundPort", "soundAddress",
                          "lightIP", "lightPort", "lightAddress"};
    QList<QByteArray> lines;
    for (int i = 0; i < 6; ++i)
        lines.append(QByteArray(keys[i]) + '=' + stored[i].toUtf8());
    QCOMPARE(SectionLines(file, "OSC"), lines);
    QCOMPARE(SectionLines(file, "Settings"), QList<QByteArray>{"Arrow=1"});
    QCOMPARE(SectionLines(file, "Other"), QList<QByteArray>{"keep=me"});

    QCOMPARE(Shared(f.Targets), stored);
    QCOMPARE(changed.size(), 1);
    QCOMPARE(f.Targets.UDPsound.Host(), stored[0]);
    QCOMPARE(int(f.Targets.UDPsound.Port()), soundPort);
    QCOMPARE(f.Targets.UDPLight.Host(), stored[3]);
    QCOMPARE(int(f.Targets.UDPLight.Port()), lightPort);
    // Shown again, the dialog gives the values as stored.
    d.ShowNonModal();
    QCOMPARE(Edits(d), stored);
}

void tst_Unit3::olderFileKeepsItsBytes() {
    // A file written before the forms existed, saved unchanged: not a byte moves.
    const QByteArray older = "\xEF\xBB\xBF[Settings]\r\nArrow=1\r\n\r\n" +
                             TargetSettings(1111, 2222) + "[Other]\r\nkeep=me\r\n\r\n";
    TDialogFixture f;
    WriteFileText(f.Settings, older, false);
    {
        KeyValueFile file(f.Settings);
        f.Targets.ReadFrom(file);
        f.Targets.Apply();
    }
    f.Dialog.ShowNonModal();
    f.Dialog.btnSave->click();
    QVERIFY(StopTexts(f.Prompts).isEmpty());
    QCOMPARE(ReadFileBytes(f.Settings), older);
    // A choice away from its default adds its key, and only that one.
    f.Dialog.ShowNonModal();
    f.Dialog.lightForm->setCurrentIndex(1);
    f.Dialog.btnSave->click();
    QCOMPARE(SectionLines(ReadFileBytes(f.Settings), "OSC").mid(6),
             QList<QByteArray>{"lightForm=message"});
    QCOMPARE(f.Targets.LightForm, TOscForm::Message);
    QCOMPARE(f.Targets.SoundForm, TOscForm::Bundle);
}

void tst_Unit3::savedChoicesReachTheTarget() {
    TReceiver sound, light;
    TDialogFixture f(TargetSettings(sound.Port(), light.Port()));
    f.Dialog.ShowNonModal();
    f.Dialog.lightForm->setCurrentIndex(1);
    f.Dialog.lightArgs->setCurrentIndex(1);
    f.Dialog.btnSave->click();
    QCOMPARE(SectionLines(ReadFileBytes(f.Settings), "OSC").mid(6),
             (QList<QByteArray>{"lightForm=message", "lightArgs=typed"}));
    f.Go("/light/go 5 x");
    QCOMPARE(light.Next().toHex(' '),
             QByteArray::fromHex("2F6C696768742F676F0000002C6973000000000578000000").toHex(' '));
    // Sound keeps today's bytes.
    f.Go("/sound/go 5");
    QCOMPARE(sound.Next(), CueBundleBytes(SplitOscCommand(QStringLiteral("/sound/go 5"))));
}

void tst_Unit3::portBeyondSixteenBitsSendsToLowBits() {
    QUdpSocket receiver;
    if (!receiver.bind(QHostAddress::LocalHost, 4464))
        QSKIP("127.0.0.1:4464 is taken on this machine; the low-16-bit port cannot be checked");
    TDialogFixture f;
    f.Dialog.ShowNonModal();
    Type(f.Dialog, {"127.0.0.1", "70000", "sound", "", "0", "light"});
    f.Dialog.btnSave->click();
    QVERIFY(ReadFileBytes(f.Settings).contains("soundPort=70000\r\n"));
    QCOMPARE(f.Targets.SoundPort, 70000);
    f.Go("/sound/go 5");
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
    TDialogFixture f(TargetSettings(1111, 2222));
    QSignalSpy changed(&f.Targets, &TOscTargets::Changed);
    const QByteArray before = ReadFileBytes(f.Settings);
    const QStringList shared = Shared(f.Targets);
    TForm3& d = f.Dialog;
    d.ShowNonModal();
    const QStringList typed{"10.1.1.1", soundPort, "newsound", "10.2.2.2", lightPort, "newlight"};
    Type(d, typed);
    d.lightForm->setCurrentIndex(1);
    d.btnSave->click();
    QCOMPARE(StopTexts(f.Prompts), QStringList{reported});
    QCOMPARE(f.Prompts.Boxes.last().Title, "Cuewell");
    QVERIFY(d.isVisible());
    QCOMPARE(Edits(d), typed);
    QCOMPARE(ReadFileBytes(f.Settings), before);
    QCOMPARE(Shared(f.Targets), shared);
    QCOMPARE(f.Targets.LightForm, TOscForm::Bundle);
    QCOMPARE(changed.size(), 0);
    QCOMPARE(f.Targets.UDPsound.Host(), "127.0.0.1");
    QCOMPARE(int(f.Targets.UDPsound.Port()), 1111);
    QCOMPARE(int(f.Targets.UDPLight.Port()), 2222);
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
    TDialogFixture f(TargetSettings(1111, 2222));
    const QByteArray before = ReadFileBytes(f.Settings);
    const QStringList shared = Shared(f.Targets);
    TForm3& d = f.Dialog;
    d.ShowNonModal();
    QStringList typed = Edits(d);
    typed[edit] = text;
    Type(d, typed);
    d.btnSave->click();
    QCOMPARE(StopTexts(f.Prompts).size(), 1);
    QVERIFY(d.isVisible());
    QCOMPARE(Edits(d), typed);
    QCOMPARE(ReadFileBytes(f.Settings), before);
    QCOMPARE(Shared(f.Targets), shared);
}

void tst_Unit3::targetsChangeOnlyOnSave() {
    TReceiver oldSound, newSound, light;
    TDialogFixture f(TargetSettings(oldSound.Port(), light.Port()));
    TForm3& d = f.Dialog;
    d.ShowNonModal();
    d.soundport->setText(QString::number(newSound.Port()));
    // Typed but not saved: cues still go to the targets in force.
    f.Go("/sound/one");
    QVERIFY(oldSound.Next().contains("/sound/one"));
    QVERIFY(f.Targets.UDPsound.Active());
    d.btnSave->click();
    QVERIFY(!d.isVisible());
    // The client lets go of its socket and has one ready for the new target.
    QVERIFY(!f.Targets.UDPsound.Active());
    QVERIFY(f.Targets.UDPsound.HasSpare());
    const uint16_t ready = f.Targets.UDPsound.SpareLocalPort();
    f.Go("/sound/two");
    QVERIFY(newSound.Next().contains("/sound/two"));
    QCOMPARE(newSound.Socket.state(), QAbstractSocket::BoundState);
    QVERIFY(oldSound.Next(200).isNull());
    QCOMPARE(f.Targets.UDPsound.LocalPort(), ready);
    // Save with nothing changed writes the same keys and still sends to the same target.
    const QByteArray saved = ReadFileBytes(f.Settings);
    d.ShowNonModal();
    d.btnSave->click();
    QCOMPARE(ReadFileBytes(f.Settings), saved);
    QVERIFY(!f.Targets.UDPsound.Active());
    f.Go("/sound/three");
    QVERIFY(newSound.Next().contains("/sound/three"));
    QVERIFY(light.Next(100).isNull());
}

void tst_Unit3::showAgainWhileOpenOnlyBringsForward() {
    TDialogFixture f(TargetSettings(1111, 2222));
    TForm3& d = f.Dialog;
    d.ShowNonModal();
    const QPoint at = d.pos();
    d.soundip->setText("typed.host");
    d.lightport->setText("12a");
    d.soundArgs->setCurrentIndex(1);
    d.ShowNonModal();
    QVERIFY(d.isVisible());
    QCOMPARE(d.soundip->text(), "typed.host");
    QCOMPARE(d.lightport->text(), "12a");
    QCOMPARE(d.soundArgs->currentIndex(), 1);
    QCOMPARE(d.pos(), at);
}

void tst_Unit3::cancelThenReopenShowsStored_data() {
    QTest::addColumn<bool>("closeBox");
    QTest::newRow("Cancel button") << false;
    QTest::newRow("close box") << true;
}

void tst_Unit3::cancelThenReopenShowsStored() {
    QFETCH(bool, closeBox);
    TDialogFixture f(TargetSettings(1111, 2222));
    const QByteArray before = ReadFileBytes(f.Settings);
    TForm3& d = f.Dialog;
    d.ShowNonModal();
    const QStringList stored = Edits(d);
    QCOMPARE(stored, (QStringList{"127.0.0.1", "1111", "sound", "127.0.0.1", "2222", "light"}));
    Type(d, {"x", "1", "y", "z", "2", "w"});
    d.soundForm->setCurrentIndex(1);
    if (closeBox)
        QVERIFY(d.close());
    else
        d.Button1->click();
    QVERIFY(!d.isVisible());
    QCOMPARE(ReadFileBytes(f.Settings), before);
    QCOMPARE(Shared(f.Targets), stored);
    QCOMPARE(f.Targets.SoundForm, TOscForm::Bundle);
    d.ShowNonModal();
    QCOMPARE(Edits(d), stored);
    QCOMPARE(Choices(d), (QList<int>{0, 0, 0, 0}));
}

QTEST_MAIN(tst_Unit3)
#include "tst_unit3.moc"
