// The cue details dialog on the real main window, offscreen: filled by a
// right-click on a pin, Save, Delete and Cancel against the real cue file,
// and the cue the dialog stays bound to while the show goes on.

#include "tests/common/CuewellFixture.h"

#include "cues/CuePin.h"
#include "cues/IntervalTimer.h"
#include "cues/Unit2.h"
#include "store/CueStore.h"

#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>

namespace {

// The records of one page in the cue file, from Cue0 up to the first empty key.
QStringList FilePage(const QString& path, int page) {
    KeyValueFile file(path);
    QStringList records;
    for (int slot = 0; slot < MaxCuesPerPage; ++slot) {
        const QString record = file.ReadString(PageSection(page), CueKey(slot), QString());
        if (record.isEmpty())
            break;
        records.append(record);
    }
    return records;
}

// The records of one page in the cue table, from slot 0 up to the first empty one.
QStringList TablePage(const TCuewell& w, int page) {
    QStringList records;
    for (const CueRecord& record : w.Book->CueTable()[page]) {
        if (record.isEmpty())
            break;
        records.append(record);
    }
    return records;
}

void RightClick(TCuewell& w, int pin) {
    QTest::mouseClick(w.CuePin[pin], Qt::RightButton);
}

void Click(QPushButton* button) {
    QTest::mouseClick(button, Qt::LeftButton);
}

const QList<QByteArray> FourSoundCues = {"0.2|0.2|/sound/a|0|A|", "0.4|0.2|/sound/b|0|B|",
                                         "0.6|0.2|/sound/c|-1|C|", "0.8|0.2|/sound/d|0|D|"};

} // namespace

class tst_Unit2 : public QObject {
    Q_OBJECT
private slots:
    void dialogShape();
    void newCueOpensEmptyAndSavesSlash();
    void saveStoresWhatWasTyped_data();
    void saveStoresWhatWasTyped();
    void saveRewritesWholeCueFile();
    void cancelWritesNothing_data();
    void cancelWritesNothing();
    void deleteSecondOfThree();
    void rightClickOnAnotherPinRebinds();
    void notABooleanKeepsDialogClosed();
    void shortRecordOpensWithEmptyFields_data();
    void shortRecordOpensWithEmptyFields();
    void actsOnTheCueItShows_data();
    void actsOnTheCueItShows();
    void rightClickLeavesGoOnPromptedCue();
    void saveChangesNextGoOnlyForPromptedCue_data();
    void saveChangesNextGoOnlyForPromptedCue();
    void spaceInEditIsText();
    void followsItsCueWhenPageIsResorted_data();
    void followsItsCueWhenPageIsResorted();
    void saveKeepsPositionOfDraggedPin();
    void cueOfReplacedScriptIsNeverWritten();
    void recordBreakingTextIsRefused_data();
    void recordBreakingTextIsRefused();
    void deleteOnOtherPageKeepsPendingChanges();
    void failedWriteKeepsEditPending();
};

void tst_Unit2::dialogShape() {
    TWindowFixture f;
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    WriteFileText(f.Path("show.cues"), CueFileText({{"0.2|0.2||0||"}}));
    TCuewell& w = f.StartOn(script);
    TForm2* d = w.Form2();
    QVERIFY(!d->isVisible());
    QVERIFY(d->isWindow());
    QCOMPARE(d->windowTitle(), "Cue details");
    QCOMPARE(d->size(), QSize(352, 179));
    QCOMPARE(d->Label2->text(), "Cue #:");
    QCOMPARE(d->Label1->text(), "OSC message to send:");
    QCOMPARE(d->Label4->text(), "Cue Call:");
    QCOMPARE(d->CheckBox1->text(), "Autoplay");
    QCOMPARE(d->btnSave->text(), "Save");
    QCOMPARE(d->btnDelete->text(), "Delete");
    QCOMPARE(d->btnDelete->toolTip(), "Delete this cue pin");
    QCOMPARE(d->btnCancel->text(), "Cancel");
    RightClick(w, 0);
    QVERIFY(d->isVisible());
    // Not modal: the main window stays usable while the dialog is open.
    QCOMPARE(d->windowModality(), Qt::NonModal);
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
    QCOMPARE(d->size(), QSize(352, 179));
    QCOMPARE(d->focusWidget(), d->Edit1);
}

void tst_Unit2::newCueOpensEmptyAndSavesSlash() {
    TWindowFixture f;
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    TCuewell& w = f.StartOn(script);
    QTest::mouseClick(w.AdvPDF, Qt::LeftButton, Qt::ControlModifier, QPoint(108, 208));
    QCOMPARE(w.Book->CueTable()[0][0], "0.4|0.11||0||");
    RightClick(w, 0);
    TForm2* d = w.Form2();
    QVERIFY(d->isVisible());
    QCOMPARE(d->Edit1->text(), "");
    QCOMPARE(d->Edit2->text(), "");
    QVERIFY(!d->CheckBox1->isChecked());
    QCOMPARE(d->Label3->text(), "0");
    Click(d->btnSave);
    QVERIFY(!d->isVisible());
    QCOMPARE(d->Edit1->text(), "/");
    QCOMPARE(w.Book->CueTable()[0][0], "0.4|0.11|/|0||");
    QCOMPARE(FilePage(f.Path("show.cues"), 0), QStringList{"0.4|0.11|/|0||"});
    QVERIFY(!w.Book->CuesDirty());
    QVERIFY(StopTexts(f.Prompts).isEmpty());
}

void tst_Unit2::saveStoresWhatWasTyped_data() {
    QTest::addColumn<int>("slot");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("autoplay");
    QTest::addColumn<QString>("call");
    QTest::addColumn<QString>("shown");  // Edit1 after Save
    QTest::addColumn<QString>("record"); // what the slot holds after Save
    QTest::newRow("go gets its slash") << 0 << "go" << false << "Alpha"
                                       << "/go"
                                       << "0.2|0.2|/go|0|Alpha|";
    QTest::newRow("autoplay checked") << 0 << "/sound/a" << true << "Alpha"
                                      << "/sound/a"
                                      << "0.2|0.2|/sound/a|-1|Alpha|";
    QTest::newRow("autoplay unchecked") << 1 << "/sound/b" << false << "Bravo"
                                        << "/sound/b"
                                        << "0.4|0.2|/sound/b|0|Bravo|";
    QTest::newRow("spaces kept as typed") << 2 << "/light/fade 1  2 " << false << " Lights up "
                                          << "/light/fade 1  2 "
                                          << "0.6|0.2|/light/fade 1  2 |0| Lights up |";
    QTest::newRow("letters beyond ASCII")
        << 2 << QString::fromUtf8("/sound/Grüße") << false << QString::fromUtf8("Tür – zu")
        << QString::fromUtf8("/sound/Grüße")
        << QString::fromUtf8("0.6|0.2|/sound/Grüße|0|Tür – zu|");
}

void tst_Unit2::saveStoresWhatWasTyped() {
    QFETCH(int, slot);
    QFETCH(QString, message);
    QFETCH(bool, autoplay);
    QFETCH(QString, call);
    QFETCH(QString, shown);
    QFETCH(QString, record);
    TWindowFixture f;
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    const QList<QByteArray> cues = {"0.2|0.2|/sound/a|0|Alpha|", "0.4|0.2|/sound/b|-1|Bravo|",
                                    "0.6|0.2||0||"};
    WriteFileText(f.Path("show.cues"), CueFileText({cues}));
    TCuewell& w = f.StartOn(script);
    RightClick(w, slot);
    TForm2* d = w.Form2();
    QVERIFY(d->isVisible());
    QCOMPARE(d->Label3->text(), QString::number(slot));
    QCOMPARE(d->CheckBox1->isChecked(), slot == 1);
    d->Edit1->setText(message);
    d->Edit2->setText(call);
    d->CheckBox1->setChecked(autoplay);
    Click(d->btnSave);
    QVERIFY(!d->isVisible());
    QCOMPARE(d->Edit1->text(), shown);

    QStringList expected;
    for (const QByteArray& cue : cues)
        expected.append(QString::fromUtf8(cue));
    expected[slot] = record;
    QCOMPARE(TablePage(w, 0), expected);
    QCOMPARE(FilePage(f.Path("show.cues"), 0), expected);
    // The stored record opens again as it was saved.
    RightClick(w, slot);
    QCOMPARE(d->Edit1->text(), shown);
    QCOMPARE(d->Edit2->text(), call);
    QCOMPARE(d->CheckBox1->isChecked(), autoplay);
}

void tst_Unit2::saveRewritesWholeCueFile() {
    TWindowFixture f;
    const QString script = MakeScript(f.Path("show.pdf"), 3);
    // Page 1 is listed out of order and page 2 has no section: Save writes
    // every page from the table, each sorted, and a section for every page.
    WriteFileText(
        f.Path("show.cues"),
        CueFileText({{"0.2|0.2|/sound/a|0||"}, {"0.6|0.2|/sound/c|0||", "0.3|0.2|/sound/b|0||"}}) +
            "[Settings]\r\nHeight=620\r\nWidth=960\r\n\r\n");
    TCuewell& w = f.StartOn(script);
    RightClick(w, 0);
    w.Form2()->Edit1->setText("/sound/edited");
    Click(w.Form2()->btnSave);
    const QString cues = f.Path("show.cues");
    QCOMPARE(FilePage(cues, 0), QStringList{"0.2|0.2|/sound/edited|0||"});
    QCOMPARE(FilePage(cues, 1), (QStringList{"0.3|0.2|/sound/b|0||", "0.6|0.2|/sound/c|0||"}));
    QCOMPARE(FilePage(cues, 2), QStringList{});
    const QByteArray bytes = ReadFileBytes(cues);
    QVERIFY(bytes.contains("[Settings]\r\nHeight=620\r\nWidth=960\r\n"));
    QVERIFY(bytes.contains("Cue1=\r\n"));
    QVERIFY(bytes.contains("[Page2]\r\nCue0=\r\n"));
    QVERIFY(!w.Book->CuesDirty());
}

void tst_Unit2::cancelWritesNothing_data() {
    QTest::addColumn<bool>("closeBox");
    QTest::newRow("Cancel button") << false;
    QTest::newRow("close box") << true;
}

void tst_Unit2::cancelWritesNothing() {
    QFETCH(bool, closeBox);
    TWindowFixture f;
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    WriteFileText(f.Path("show.cues"), CueFileText({{"0.2|0.2|/sound/a|0|Alpha|"}}));
    TCuewell& w = f.StartOn(script);
    const QByteArray before = ReadFileBytes(f.Path("show.cues"));
    RightClick(w, 0);
    TForm2* d = w.Form2();
    d->Edit1->setText("/sound/typed");
    d->Edit2->setText("typed");
    d->CheckBox1->setChecked(true);
    if (closeBox)
        QVERIFY(d->close());
    else
        Click(d->btnCancel);
    QVERIFY(!d->isVisible());
    QCOMPARE(ReadFileBytes(f.Path("show.cues")), before);
    QCOMPARE(w.Book->CueTable()[0][0], "0.2|0.2|/sound/a|0|Alpha|");
    // Opened again, it shows the stored cue, not what was typed.
    RightClick(w, 0);
    QCOMPARE(d->Edit1->text(), "/sound/a");
    QCOMPARE(d->Edit2->text(), "Alpha");
    QVERIFY(!d->CheckBox1->isChecked());
}

void tst_Unit2::deleteSecondOfThree() {
    TWindowFixture f;
    TReceiver sound, light;
    WriteFileText(f.SettingsPath(), TargetSettings(sound.Port(), light.Port()));
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    WriteFileText(
        f.Path("show.cues"),
        CueFileText({{"0.2|0.2|/sound/a|0|A|", "0.4|0.2|/sound/b|0|B|", "0.6|0.2|/sound/c|0|C|"}}));
    TCuewell& w = f.StartOn(script);
    QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
    QVERIFY(w.NowCue->isVisible());
    RightClick(w, 1);
    QCOMPARE(w.Form2()->Label3->text(), "1");
    Click(w.Form2()->btnDelete);
    QVERIFY(!w.Form2()->isVisible());
    QCOMPARE(VisiblePins(w), 2);
    QCOMPARE(w.LastPinIndex, 1);
    QCOMPARE(TablePage(w, 0), (QStringList{"0.2|0.2|/sound/a|0|A|", "0.6|0.2|/sound/c|0|C|"}));
    QCOMPARE(w.CuePin[1]->Tag(), 1);
    QVERIFY(!w.NowCue->isVisible());
    QVERIFY(!w.Book->CuesDirty());
    QVERIFY(ReadFileBytes(f.Path("show.cues"))
                .contains("[Page0]\r\nCue0=0.2|0.2|/sound/a|0|A|\r\nCue1=0.6|0.2|/sound/c|0|C|\r\n"
                          "Cue2=\r\n"));
    // GO waits until a pin is clicked.
    Go(w);
    QVERIFY(sound.Next(200).isNull());
}

void tst_Unit2::rightClickOnAnotherPinRebinds() {
    TWindowFixture f;
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    WriteFileText(f.Path("show.cues"), CueFileText({FourSoundCues}));
    TCuewell& w = f.StartOn(script);
    TForm2* d = w.Form2();
    RightClick(w, 0);
    d->Edit1->setText("/sound/typed for a");
    RightClick(w, 2);
    QVERIFY(d->isVisible());
    QCOMPARE(d->Label3->text(), "2");
    QCOMPARE(d->Edit1->text(), "/sound/c");
    QCOMPARE(d->Edit2->text(), "C");
    QVERIFY(d->CheckBox1->isChecked());
    d->Edit2->setText("Charlie");
    Click(d->btnSave);
    QCOMPARE(w.Book->CueTable()[0][0], "0.2|0.2|/sound/a|0|A|");
    QCOMPARE(w.Book->CueTable()[0][2], "0.6|0.2|/sound/c|-1|Charlie|");
    QCOMPARE(FilePage(f.Path("show.cues"), 0).value(2), "0.6|0.2|/sound/c|-1|Charlie|");
}

void tst_Unit2::notABooleanKeepsDialogClosed() {
    TWindowFixture f;
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    WriteFileText(f.Path("show.cues"),
                  CueFileText({{"0.2|0.2|/sound/a|0|A|", "0.4|0.2|/sound/b|maybe|B|"}}));
    TCuewell& w = f.StartOn(script);
    TForm2* d = w.Form2();
    RightClick(w, 1);
    QVERIFY(!d->isVisible());
    QCOMPARE(StopTexts(f.Prompts), QStringList{"'maybe' is not a valid boolean value."});
    QCOMPARE(f.Prompts.Boxes.last().Title, "Cuewell");
    QCOMPARE(f.Prompts.Boxes.last().Button, TMsgButton::OK);
    // With the dialog open, such a pin leaves it showing its own cue.
    RightClick(w, 0);
    QVERIFY(d->isVisible());
    RightClick(w, 1);
    QCOMPARE(StopTexts(f.Prompts).size(), 2);
    QCOMPARE(d->Label3->text(), "0");
    QCOMPARE(d->Edit1->text(), "/sound/a");
    QCOMPARE(d->Edit2->text(), "A");
    d->Edit2->setText("Alpha");
    Click(d->btnSave);
    QCOMPARE(TablePage(w, 0),
             (QStringList{"0.2|0.2|/sound/a|0|Alpha|", "0.4|0.2|/sound/b|maybe|B|"}));
}

void tst_Unit2::shortRecordOpensWithEmptyFields_data() {
    QTest::addColumn<QString>("record");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("autoplay");
    QTest::addColumn<QString>("saved");
    QTest::newRow("position only") << "0.2|0.3"
                                   << "" << false << "0.2|0.3|/|0||";
    QTest::newRow("with message") << "0.2|0.3|/sound/x"
                                  << "/sound/x" << false << "0.2|0.3|/sound/x|0||";
    QTest::newRow("with autoplay") << "0.2|0.3|/sound/x|-1"
                                   << "/sound/x" << true << "0.2|0.3|/sound/x|-1||";
}

void tst_Unit2::shortRecordOpensWithEmptyFields() {
    QFETCH(QString, record);
    QFETCH(QString, message);
    QFETCH(bool, autoplay);
    QFETCH(QString, saved);
    TWindowFixture f;
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    WriteFileText(f.Path("show.cues"), CueFileText({{record.toUtf8()}}));
    TCuewell& w = f.StartOn(script);
    TForm2* d = w.Form2();
    RightClick(w, 0);
    QVERIFY(d->isVisible());
    QCOMPARE(d->Edit1->text(), message);
    QCOMPARE(d->Edit2->text(), "");
    QCOMPARE(d->CheckBox1->isChecked(), autoplay);
    Click(d->btnSave);
    QCOMPARE(w.Book->CueTable()[0][0], saved);
    QCOMPARE(FilePage(f.Path("show.cues"), 0), QStringList{saved});
    QVERIFY(StopTexts(f.Prompts).isEmpty());
}

void tst_Unit2::actsOnTheCueItShows_data() {
    QTest::addColumn<QString>("meanwhile");
    QTest::addColumn<bool>("remove");
    for (const char* meanwhile : {"GO", "autoplay tick", "press on another pin"}) {
        QTest::addRow("%s, then Save", meanwhile) << meanwhile << false;
        QTest::addRow("%s, then Delete", meanwhile) << meanwhile << true;
    }
}

void tst_Unit2::actsOnTheCueItShows() {
    QFETCH(QString, meanwhile);
    QFETCH(bool, remove);
    TWindowFixture f;
    TReceiver sound, light;
    WriteFileText(f.SettingsPath(), TargetSettings(sound.Port(), light.Port()));
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    WriteFileText(f.Path("show.cues"), CueFileText({FourSoundCues}));
    TCuewell& w = f.StartOn(script);
    TForm2* d = w.Form2();
    if (meanwhile == "GO") {
        QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
        RightClick(w, 0);
        Go(w);
        QVERIFY(sound.Next().contains("/sound/a"));
        QCOMPARE(w.Book->CurrentCue(), 1);
    } else if (meanwhile == "autoplay tick") {
        RightClick(w, 0);
        // Cue 2 is autoplay: prompting it fires it and moves on by itself.
        QTest::mouseClick(w.CuePin[2], Qt::LeftButton);
        QTRY_COMPARE(w.Book->CurrentCue(), 3);
        QVERIFY(sound.Next().contains("/sound/c"));
    } else {
        RightClick(w, 0);
        QTest::mouseClick(w.CuePin[3], Qt::LeftButton);
        QCOMPARE(w.Book->CurrentCue(), 3);
    }
    QVERIFY(d->isVisible());
    QCOMPARE(d->Label3->text(), "0");
    QStringList expected;
    for (const QByteArray& cue : FourSoundCues)
        expected.append(QString::fromUtf8(cue));
    if (remove) {
        Click(d->btnDelete);
        expected.removeFirst();
    } else {
        d->Edit1->setText("/sound/edited");
        Click(d->btnSave);
        expected[0] = "0.2|0.2|/sound/edited|0|A|";
    }
    QVERIFY(!d->isVisible());
    QCOMPARE(TablePage(w, 0), expected);
    QCOMPARE(FilePage(f.Path("show.cues"), 0), expected);
}

void tst_Unit2::rightClickLeavesGoOnPromptedCue() {
    TWindowFixture f;
    TReceiver sound, light;
    WriteFileText(f.SettingsPath(), TargetSettings(sound.Port(), light.Port()));
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    WriteFileText(f.Path("show.cues"), CueFileText({FourSoundCues}));
    TCuewell& w = f.StartOn(script);
    QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
    const QPoint prompt = w.NowCue->pos();
    RightClick(w, 3);
    QVERIFY(w.Form2()->isVisible());
    QCOMPARE(w.NowCue->pos(), prompt);
    QCOMPARE(w.Book->CurrentCue(), 0);
    Go(w);
    QVERIFY(sound.Next().contains("/sound/a"));
    QCOMPARE(w.Book->CurrentCue(), 1);
}

void tst_Unit2::saveChangesNextGoOnlyForPromptedCue_data() {
    QTest::addColumn<int>("edited");
    QTest::addColumn<QByteArray>("sent");
    QTest::newRow("the prompted cue") << 0 << QByteArray("/sound/edited");
    QTest::newRow("another cue") << 1 << QByteArray("/sound/a");
}

void tst_Unit2::saveChangesNextGoOnlyForPromptedCue() {
    QFETCH(int, edited);
    QFETCH(QByteArray, sent);
    TWindowFixture f;
    TReceiver sound, light;
    WriteFileText(f.SettingsPath(), TargetSettings(sound.Port(), light.Port()));
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    WriteFileText(f.Path("show.cues"), CueFileText({FourSoundCues}));
    TCuewell& w = f.StartOn(script);
    QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
    RightClick(w, edited);
    w.Form2()->Edit1->setText("/sound/edited");
    Click(w.Form2()->btnSave);
    QVERIFY(w.NowCue->isVisible());
    Go(w);
    const QByteArray datagram = sound.Next();
    QVERIFY2(datagram.contains(sent + '\0'), datagram.toHex().constData());
}

void tst_Unit2::spaceInEditIsText() {
    TWindowFixture f;
    TReceiver sound, light;
    WriteFileText(f.SettingsPath(), TargetSettings(sound.Port(), light.Port()));
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    WriteFileText(f.Path("show.cues"), CueFileText({FourSoundCues}));
    TCuewell& w = f.StartOn(script);
    QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
    RightClick(w, 1);
    QVERIFY(w.NowCue->isVisible());
    QTest::keyClick(w.Form2()->Edit1, Qt::Key_Space);
    QTest::keyClicks(w.Form2()->Edit1, "5");
    QCOMPARE(w.Form2()->Edit1->text(), "/sound/b 5");
    QVERIFY(sound.Next(200).isNull());
    QVERIFY(w.NowCue->isVisible());
    QCOMPARE(w.Book->CurrentCue(), 0);
}

void tst_Unit2::followsItsCueWhenPageIsResorted_data() {
    QTest::addColumn<bool>("remove");
    QTest::newRow("Save") << false;
    QTest::newRow("Delete") << true;
}

void tst_Unit2::followsItsCueWhenPageIsResorted() {
    QFETCH(bool, remove);
    TWindowFixture f;
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    WriteFileText(f.Path("show.cues"), CueFileText({{"0.5|0.2|/sound/b|0|B|"}}));
    TCuewell& w = f.StartOn(script, QSize(940, 500));
    TForm2* d = w.Form2();
    RightClick(w, 0);
    // A cue added above it while the dialog is open takes slot 0.
    QTest::mouseClick(w.AdvPDF, Qt::LeftButton, Qt::ControlModifier, QPoint(108, 58));
    QCOMPARE(TablePage(w, 0), (QStringList{"0.1|0.11||0||", "0.5|0.2|/sound/b|0|B|"}));
    QStringList expected{"0.1|0.11||0||"};
    if (remove) {
        Click(d->btnDelete);
    } else {
        d->Edit1->setText("/sound/edited");
        Click(d->btnSave);
        expected.append("0.5|0.2|/sound/edited|0|B|");
    }
    QVERIFY(StopTexts(f.Prompts).isEmpty());
    QCOMPARE(TablePage(w, 0), expected);
    QCOMPARE(FilePage(f.Path("show.cues"), 0), expected);
}

void tst_Unit2::saveKeepsPositionOfDraggedPin() {
    TWindowFixture f;
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    WriteFileText(f.Path("show.cues"), CueFileText({{"0.4|0.1|/sound/go 7|0|Door|"}}));
    TCuewell& w = f.StartOn(script, QSize(1000, 500));
    RightClick(w, 0);
    TCuePin* pin = w.CuePin[0];
    QTest::mousePress(pin, Qt::LeftButton, Qt::NoModifier, QPoint(8, 8));
    QMouseEvent move(QEvent::MouseMove, QPointF(16, 11), pin->mapToGlobal(QPointF(16, 11)),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(pin, &move);
    QTest::mouseRelease(pin, Qt::LeftButton, Qt::NoModifier, QPoint(8, 8));
    QCOMPARE(w.Book->CueTable()[0][0], "0.406|0.108|/sound/go 7|0|Door|");
    w.Form2()->Edit2->setText("Door opens");
    Click(w.Form2()->btnSave);
    QCOMPARE(w.Book->CueTable()[0][0], "0.406|0.108|/sound/go 7|0|Door opens|");
    QCOMPARE(FilePage(f.Path("show.cues"), 0),
             QStringList{"0.406|0.108|/sound/go 7|0|Door opens|"});
}

void tst_Unit2::cueOfReplacedScriptIsNeverWritten() {
    TWindowFixture f;
    const QString first = MakeScript(f.Path("first.pdf"), 1);
    const QString second = MakeScript(f.Path("second.pdf"), 1);
    WriteFileText(f.Path("first.cues"), CueFileText({{"0.2|0.2|/sound/a|0|A|"}}));
    WriteFileText(f.Path("second.cues"), CueFileText({{"0.7|0.7|/light/z|0|Z|"}}));
    TCuewell& w = f.StartOn(first);
    TForm2* d = w.Form2();
    RightClick(w, 0);
    d->Edit1->setText("/sound/edited");
    const QByteArray firstBefore = ReadFileBytes(f.Path("first.cues"));
    const QByteArray secondBefore = ReadFileBytes(f.Path("second.cues"));
    f.Prompts.Answers = {second};
    w.OpenShowPDF1->trigger();
    QTRY_COMPARE(w.Book->CueTable().value(0)[0], "0.7|0.7|/light/z|0|Z|");
    const int stops = StopTexts(f.Prompts).size();
    for (QPushButton* button : {d->btnSave, d->btnDelete}) {
        if (!d->isVisible())
            break;
        Click(button);
    }
    QCOMPARE(w.Book->CueTable()[0][0], "0.7|0.7|/light/z|0|Z|");
    QCOMPARE(ReadFileBytes(f.Path("second.cues")), secondBefore);
    QCOMPARE(ReadFileBytes(f.Path("first.cues")), firstBefore);
    if (d->isVisible())
        QVERIFY(StopTexts(f.Prompts).size() > stops);
}

void tst_Unit2::recordBreakingTextIsRefused_data() {
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("call");
    QTest::newRow("bar in the message") << QStringLiteral("/sound/a|b") << QStringLiteral("A");
    QTest::newRow("bar in the call") << QStringLiteral("/sound/a") << QStringLiteral("A|B");
    QTest::newRow("line break in the message")
        << QStringLiteral("/sound/a\nb") << QStringLiteral("A");
    QTest::newRow("line break in the call")
        << QStringLiteral("/sound/a") << QStringLiteral("A\r\nB");
}

void tst_Unit2::recordBreakingTextIsRefused() {
    QFETCH(QString, message);
    QFETCH(QString, call);
    TWindowFixture f;
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    WriteFileText(f.Path("show.cues"), CueFileText({{"0.2|0.2|/sound/a|0|A|"}}));
    TCuewell& w = f.StartOn(script);
    const QByteArray before = ReadFileBytes(f.Path("show.cues"));
    TForm2* d = w.Form2();
    RightClick(w, 0);
    d->Edit1->setText(message);
    d->Edit2->setText(call);
    Click(d->btnSave);
    // "|" separates a record's fields and a line break ends the record.
    QCOMPARE(StopTexts(f.Prompts).size(), 1);
    QVERIFY(d->isVisible());
    QCOMPARE(d->Edit1->text(), message);
    QCOMPARE(w.Book->CueTable()[0][0], "0.2|0.2|/sound/a|0|A|");
    QCOMPARE(ReadFileBytes(f.Path("show.cues")), before);
}

void tst_Unit2::deleteOnOtherPageKeepsPendingChanges() {
    TWindowFixture f;
    const QString script = MakeScript(f.Path("show.pdf"), 2);
    WriteFileText(f.Path("show.cues"),
                  CueFileText({{"0.2|0.2|/sound/a|0|A|", "0.6|0.2|/sound/b|0|B|"},
                               {"0.4|0.1|/sound/c|0|C|"}}));
    TCuewell& w = f.StartOn(script, QSize(1000, 500));
    TForm2* d = w.Form2();
    RightClick(w, 1);
    w.NextClick();
    QCOMPARE(w.AdvPDF->PageIndex(), 1);
    // A drag on page 1 leaves changes pending.
    TCuePin* pin = w.CuePin[0];
    QTest::mousePress(pin, Qt::LeftButton, Qt::NoModifier, QPoint(8, 8));
    QMouseEvent move(QEvent::MouseMove, QPointF(16, 11), pin->mapToGlobal(QPointF(16, 11)),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(pin, &move);
    QTest::mouseRelease(pin, Qt::LeftButton, Qt::NoModifier, QPoint(8, 8));
    QCOMPARE(w.Book->CueTable()[1][0], "0.406|0.108|/sound/c|0|C|");
    QVERIFY(w.Book->CuesDirty());
    QVERIFY(w.NowCue->isVisible());
    Click(d->btnDelete);
    QCOMPARE(FilePage(f.Path("show.cues"), 0), QStringList{"0.2|0.2|/sound/a|0|A|"});
    // Page 1 is still shown with its prompt, and its drag is still to be saved.
    QCOMPARE(VisiblePins(w), 1);
    QVERIFY(w.NowCue->isVisible());
    QVERIFY(w.Book->CuesDirty());
    QVERIFY(w.close());
    QCOMPARE(FilePage(f.Path("show.cues"), 1), QStringList{"0.406|0.108|/sound/c|0|C|"});
}

void tst_Unit2::failedWriteKeepsEditPending() {
    TWindowFixture f;
    QDir(f.Dir.path()).mkdir("show");
    const QString script = MakeScript(f.Path("show/show.pdf"), 1);
    WriteFileText(f.Path("show/show.cues"), CueFileText({{"0.2|0.2|/sound/a|0|A|"}}));
    TCuewell& w = f.StartOn(script);
    TForm2* d = w.Form2();
    RightClick(w, 0);
    d->Edit1->setText("/sound/edited");
    // The script's folder goes away and a file takes its name: the cue file
    // cannot be written, whoever runs the test.
    QVERIFY(QDir(f.Dir.path()).rename("show", "moved"));
    WriteFileText(f.Path("show"), "not a folder", false);
    Click(d->btnSave);
    QCOMPARE(StopTexts(f.Prompts).size(), 1);
    QVERIFY(d->isVisible());
    QCOMPARE(w.Book->CueTable()[0][0], "0.2|0.2|/sound/edited|0|A|");
    QVERIFY(w.Book->CuesDirty());
    // Once the folder is back, Save stores the edit.
    QVERIFY(QFile::remove(f.Path("show")));
    QVERIFY(QDir(f.Dir.path()).rename("moved", "show"));
    Click(d->btnSave);
    QVERIFY(!d->isVisible());
    QCOMPARE(FilePage(f.Path("show/show.cues"), 0), QStringList{"0.2|0.2|/sound/edited|0|A|"});
    QVERIFY(!w.Book->CuesDirty());
}

QTEST_MAIN(tst_Unit2)
#include "tst_unit2.moc"
