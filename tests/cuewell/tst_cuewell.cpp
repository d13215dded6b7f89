// The main window as the operator meets it: start-up and close, the cue file
// behind the pins, GO and autoplay, driven offscreen with real PDFs, real
// files and real UDP receivers on loopback.

#include "tests/common/CuewellFixture.h"
#include "tests/common/TestApplication.h"

#include "app/FirstPageHint.h"
#include "app/WindowTools.h"
#include "cues/CueLayout.h"
#include "cues/CuePin.h"
#include "cues/IntervalTimer.h"
#include "cues/Unit2.h"
#include "osc/Unit3.h"
#include "store/CueStore.h"
#include "view/AdvPDFViewer.h"
#include "view/MruUnit.h"
#include "view/PdfRenderer.h"

#include <QCheckBox>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QWheelEvent>
#include <QtTest/qtestspontaneevent.h>
#include <optional>

// The step in which the platform (and QTest) offers a key press to the
// focused control and the shortcut map before the press itself is sent.
bool qt_sendShortcutOverrideEvent(QObject* o, ulong timestamp, int k, Qt::KeyboardModifiers mods,
                                  const QString& text, bool autorep, ushort count);

namespace {

const QByteArray SoundGo5 = QByteArray::fromHex("2362756e646c6500"
                                                "0000000000000001"
                                                "00000014"
                                                "2f736f756e642f676f000000"
                                                "2c730000"
                                                "35000000");

// Counts the key presses that reach a control's own filters, after the
// application's.
// Counts Space as the application's event filters see it go to one control,
// offers included; a key a control ignores goes on to its parents.
class SpaceCounter : public QObject {
public:
    explicit SpaceCounter(QObject* control) : FControl(control) {}
    int Seen = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == FControl &&
            (event->type() == QEvent::KeyPress || event->type() == QEvent::ShortcutOverride) &&
            static_cast<QKeyEvent*>(event)->key() == Qt::Key_Space)
            ++Seen;
        return false;
    }

private:
    QObject* FControl;
};

class PressCounter : public QObject {
public:
    int Presses = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        Presses += event->type() == QEvent::KeyPress ? 1 : 0;
        return false;
    }
};

QStringList SectionKeys(const QByteArray& file, const QByteArray& section) {
    QStringList keys;
    bool inside = false;
    for (const QByteArray& raw : file.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith('[')) {
            inside = line.contains("[" + section + "]");
            continue;
        }
        if (inside && line.contains('='))
            keys.append(QString::fromUtf8(line.left(line.indexOf('='))));
    }
    return keys;
}

// A two-page show named in the settings as the last one, its cue file giving
// the window's size (taken before the first page is fitted); returns the script.
QString WriteLastShow(TWindowFixture& f) {
    const QString script = MakeScript(f.Path("show.pdf"), 2);
    WriteFileText(f.Path("show.cues"), CueFileText({{"0.2|0.2|/sound/a|0|A|"}}, true));
    WriteFileText(f.SettingsPath(), "[Settings]\r\nLastScript=" + script.toUtf8() + "\r\n\r\n");
    return script;
}

// Starts and shows the window; null when its first page is not rendered in time.
TCuewell* StartOnFirstPage(TWindowFixture& f) {
    TCuewell& w = f.Start();
    w.show();
    return QTest::qWaitFor([&] { return w.AdvPDF->PageCached(0); }, 10000) ? &w : nullptr;
}

} // namespace

class tst_Cuewell : public QObject {
    Q_OBJECT
private slots:
    void firstStartWithoutSettings();
    void scriptChoice_data();
    void scriptChoice();
    void closeWritesSettingsAndWindowSize();
    void unsavedCuesSavedBeforeSettings();
    void cueFileSizesAndLocksWindow_data();
    void cueFileSizesAndLocksWindow();
    void scriptWithoutCueFileAsksForWindowSize();
    void missingPinGlyph();
    void openingAnotherScriptSavesPendingCues();
    void scriptWithoutCueFileStartsEmpty();
    void failedSaveAtCloseNeverLosesCuesSilently();
    void errorInHandlerShowsStandardReport();

    void ctrlClickAddsCue();
    void ctrlClickOnFullPage();
    void ctrlClickSortsAmongPageCues();
    void pinsLaidOutTopToBottomWithSeparation();
    void dragStoresThousandthsAndKeepsFields();
    void goSendsWorkedExampleToSoundOnly();
    void goReadByOscdump();
    void equalSelectorsSendToBoth();
    void unresolvableHostWarnsOnceAndGoesOn();
    void goAtLastCueOfPageTurnsPage();
    void goAtLastCueOfScriptStops();
    void autoplayRunFiresFromOneGo();
    void autoplayRunStopsAtCueThatCannotBeSent_data();
    void autoplayRunStopsAtCueThatCannotBeSent();
    void callPromptBesidePin();
    void layoutNeverChangesPromptedCue();
    void oneKeyPressMovesOnePage();
    void pinsFollowViewerAfterPartialAndCtrlWheel();
    void heldSpaceFiresOneCue();
    void spaceFiresOncePerPress_data();
    void spaceFiresOncePerPress();
    void failedGoAtTheOfferKeepsItsPress();
    void goLeavesBeforeTheDispatch_data();
    void goLeavesBeforeTheDispatch();
    void shortRecordsReadAsEmptyFields();
    void failedOrPendingOpenLeavesCuesWithShownScript_data();
    void failedOrPendingOpenLeavesCuesWithShownScript();
    void newCueWhoseSaveFailedStaysPending();
    void dropWithUnsavedCuesKeepsTheScript();
    void everyDialogSaveReachesGo();
    void ctrlClickAbovePromptedCueFiresEachCueOnce();
    void manualActionCancelsPendingAutoplayTick_data();
    void manualActionCancelsPendingAutoplayTick();
    void tickPendingDuringGoWarningFiresNothing();
    void recordWithoutBarSendsNothingAndGoMovesOn();
    void recentScriptChoiceErrorIsShown();
    void promptFollowsPinAfterResizeWithoutFiring();
    void cueDialogHiddenWhenAnotherScriptReplacesIt();
    void autoplayStoppedWhenWindowCloses();
    void goAcrossPagesSavesPendingChanges();
    void goGuardHoldsBackASecondGoNotAutoplay();
    void lockedCuesStayAsTheyAre();
    void damagedSettingsKeepGoWorking();
    void damagedCueFileLoadsWhatItCan();
    void laterPagesReadOnceFirstPageIsPainted();
    void dialogsMadeOnFirstUse_data();
    void dialogsMadeOnFirstUse();
    void lastScriptLoadedOnce();
    void firstPageAheadWhereTheLastStartPutIt_data();
    void firstPageAheadWhereTheLastStartPutIt();
    void resizedWindowLeavesNoFirstPageBehind_data();
    void resizedWindowLeavesNoFirstPageBehind();
};

void tst_Cuewell::firstStartWithoutSettings() {
    TWindowFixture f;
    TCuewell& w = f.Start();
    QVERIFY(w.EndRequested());
    QCOMPARE(f.Prompts.DialogFolders, QStringList{QFileInfo(f.Dir.path()).absoluteFilePath()});
    QCOMPARE(w.frameGeometry().top(), 100);
    QCOMPARE(w.frameGeometry().left(), 100);
    QCOMPARE(w.OuterHeight(), 600);
    QCOMPARE(w.OuterWidth(), 700);
    QVERIFY(w.PromptisArrow1->isChecked());
    QVERIFY(!w.PromptisCall1->isChecked());
    QVERIFY(w.PromptIsArrow);
    QVERIFY(!w.isVisible());
    f.Window.reset();
    // Only the recent-files list may have been stored; no settings were written.
    QVERIFY(!ReadFileBytes(f.SettingsPath()).contains("[Settings]"));
}

void tst_Cuewell::scriptChoice_data() {
    QTest::addColumn<bool>("remembered");
    QTest::addColumn<bool>("argumentExists");
    QTest::addColumn<QString>("opened");
    QTest::addColumn<int>("dialogs");
    QTest::newRow("remembered beats the argument") << true << true << "a.pdf" << 0;
    QTest::newRow("argument without a remembered script") << false << true << "b.pdf" << 0;
    QTest::newRow("argument naming no file") << false << false << "c.pdf" << 1;
}

void tst_Cuewell::scriptChoice() {
    QFETCH(bool, remembered);
    QFETCH(bool, argumentExists);
    QFETCH(QString, opened);
    QFETCH(int, dialogs);
    TWindowFixture f;
    MakeScript(f.Path("a.pdf"), 1);
    MakeScript(f.Path("c.pdf"), 1);
    if (argumentExists)
        MakeScript(f.Path("b.pdf"), 1);
    if (remembered)
        WriteFileText(f.SettingsPath(),
                      "[Settings]\r\nLastScript=" + f.Path("a.pdf").toUtf8() + "\r\n");
    f.Prompts.Answers = {f.Path("c.pdf")};
    TCuewell& w = f.Start({f.Path("b.pdf")});
    QCOMPARE(w.AdvPDF->FileName(), f.Path(opened));
    QCOMPARE(f.Prompts.DialogFolders.size(), dialogs);
    QVERIFY(!w.EndRequested());
}

void tst_Cuewell::closeWritesSettingsAndWindowSize() {
    TWindowFixture f;
    const QString script = MakeScript(f.Path("show.pdf"), 2);
    WriteFileText(f.Path("show.cues"), CueFileText({{"0.5|0.5||0||"}}));
    WriteFileText(f.SettingsPath(), "[Other]\r\nkeep=me\r\n\r\n");
    TCuewell& w = f.StartOn(script);
    w.PromptisCall1->trigger();
    const int height = w.OuterHeight(), width = w.OuterWidth();
    QVERIFY(w.close());

    const QByteArray settings = ReadFileBytes(f.SettingsPath());
    QVERIFY(settings.startsWith("\xEF\xBB\xBF[Other]\r\nkeep=me\r\n\r\n[Settings]\r\n"));
    QCOMPARE(SectionKeys(settings, "Settings"),
             (QStringList{"Top", "Left", "LastScript", "Arrow"}));
    QVERIFY(settings.contains("LastScript=" + script.toUtf8() + "\r\n"));
    QVERIFY(settings.contains("Arrow=0\r\n"));

    const QByteArray cues = ReadFileBytes(f.Path("show.cues"));
    QVERIFY(cues.contains("[Settings]\r\nHeight=" + QByteArray::number(height) +
                          "\r\nWidth=" + QByteArray::number(width) + "\r\n"));
}

void tst_Cuewell::unsavedCuesSavedBeforeSettings() {
    TWindowFixture f;
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    WriteFileText(f.Path("show.cues"), CueFileText({{"0.1|0.5|/sound/go 1|0||"}}));
    TCuewell& w = f.StartOn(script);
    // A dragged pin: the change is in the table, not yet in the file.
    w.Book->MoveCue(0, 0, "0.25|0.5|/sound/go 1|0||");
    QVERIFY(w.Book->CuesDirty());
    // The settings file cannot be written: the cues must still have been saved first.
    QDir(f.Dir.path()).mkdir("cuewell.ini");
    w.close();
    QVERIFY(ReadFileBytes(f.Path("show.cues")).contains("Cue0=0.25|0.5|/sound/go 1|0||\r\n"));
    QVERIFY(!w.Book->CuesDirty());
    QCOMPARE(f.Prompts.Boxes.last().Icon, TMsgIcon::Stop);
    QVERIFY(f.Prompts.Boxes.last().Text.contains("cuewell.ini"));
}

void tst_Cuewell::cueFileSizesAndLocksWindow_data() {
    QTest::addColumn<bool>("withSize");
    QTest::addColumn<QSize>("outer");
    QTest::newRow("no Settings section") << false << QSize(900, 580);
    QTest::newRow("stored size") << true << QSize(960, 620);
}

void tst_Cuewell::cueFileSizesAndLocksWindow() {
    QFETCH(bool, withSize);
    QFETCH(QSize, outer);
    TWindowFixture f;
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    WriteFileText(f.Path("show.cues"), CueFileText({{"0.5|0.5||0||"}}, withSize));
    f.Prompts.Answers = {script};
    TCuewell& w = f.Start();
    w.show();
    QTRY_VERIFY(w.Book->ScriptLoaded());
    QCOMPARE(QSize(w.OuterWidth(), w.OuterHeight()), outer);
    QVERIFY(w.SizeLocked());
    QCOMPARE(w.minimumSize(), w.maximumSize());
    QVERIFY(!f.Prompts.Texts().join('\n').contains("Before you add any cues"));
    w.AllowSizechange1->trigger();
    QVERIFY(!w.SizeLocked());
    QVERIFY(w.minimumSize() != w.maximumSize());
}

void tst_Cuewell::scriptWithoutCueFileAsksForWindowSize() {
    TWindowFixture f;
    TCuewell& w = f.StartOn(MakeScript(f.Path("show.pdf"), 3));
    QCOMPARE(f.Prompts.Boxes.size(), 1);
    const TRecordedBox& box = f.Prompts.Boxes.first();
    QCOMPARE(box.Title, "Set Window size");
    QCOMPARE(box.Text, "Before you add any cues, please set the size of the Window.");
    QCOMPARE(box.Icon, TMsgIcon::None);
    QCOMPARE(box.Button, TMsgButton::OK);
    QVERIFY(!w.SizeLocked());
    QCOMPARE(w.Book->CueTable().size(), 3);
    QCOMPARE(w.AdvPDF->Options().Header, w.AdvPDF->FileName());
}

void tst_Cuewell::missingPinGlyph() {
    TWindowFixture f;
    QFile::remove(f.Path("Pin_16T3.bmp"));
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    WriteFileText(f.SettingsPath(), TargetSettings(9, 10));
    f.Prompts.Answers = {script};
    TCuewell& w = f.Start();
    QVERIFY(!f.Prompts.Boxes.isEmpty());
    QCOMPARE(f.Prompts.Boxes.first().Icon, TMsgIcon::Stop);
    QVERIFY(f.Prompts.Boxes.first().Text.contains("Pin_16T3.bmp"));
    QVERIFY(f.Prompts.Boxes.first().Text.endsWith('.'));
    for (const TCuePin* pin : w.CuePin)
        QVERIFY(pin && !pin->icon().isNull());
    QCOMPARE(w.Targets.SoundIP, "127.0.0.1");
    QCOMPARE(w.Targets.LightPort, 10);
    QCOMPARE(w.AdvPDF->FileName(), script);
}

void tst_Cuewell::openingAnotherScriptSavesPendingCues() {
    TWindowFixture f;
    const QString first = MakeScript(f.Path("first.pdf"), 1);
    const QString second = MakeScript(f.Path("second.pdf"), 1);
    WriteFileText(f.Path("first.cues"), CueFileText({{"0.1|0.3|/light/go 1|0||"}}));
    TCuewell& w = f.StartOn(first);
    w.Book->MoveCue(0, 0, "0.3|0.3|/light/go 1|0||");
    f.Prompts.Answers = {second};
    w.OpenShowPDF1->trigger();
    QVERIFY(ReadFileBytes(f.Path("first.cues")).contains("Cue0=0.3|0.3|/light/go 1|0||"));
    QVERIFY(!w.Book->CuesDirty());
    QTRY_COMPARE(w.AdvPDF->Options().Header, second);
    QVERIFY(!QFileInfo::exists(f.Path("second.cues")));
}

void tst_Cuewell::scriptWithoutCueFileStartsEmpty() {
    TWindowFixture f;
    const QString first = MakeScript(f.Path("first.pdf"), 2);
    WriteFileText(f.Path("first.cues"), CueFileText({{"0.3|0.3|/light/go 1|0||"}, {}}));
    const QString second = MakeScript(f.Path("second.pdf"), 2);
    TCuewell& w = f.StartOn(first);
    QCOMPARE(VisiblePins(w), 1);
    w.MostRecentFiles1MenuClick(nullptr, second);
    QTRY_COMPARE(w.AdvPDF->Options().Header, second);
    QCOMPARE(VisiblePins(w), 0);
    for (const CueRow& row : w.Book->CueTable())
        for (const CueRecord& record : row)
            QVERIFY(record.isEmpty());
    // A new cue on the new script saves only its own cues.
    QTest::mouseClick(w.AdvPDF, Qt::LeftButton, Qt::ControlModifier, QPoint(200, 300));
    const QByteArray cues = ReadFileBytes(f.Path("second.cues"));
    QVERIFY(cues.contains("Cue0=0.58|0.2||0||"));
    QVERIFY(!cues.contains("/light/go 1"));
}

void tst_Cuewell::failedSaveAtCloseNeverLosesCuesSilently() {
    TWindowFixture f;
    QDir(f.Dir.path()).mkdir("show");
    const QString script = MakeScript(f.Path("show/show.pdf"), 1);
    TCuewell& w = f.StartOn(script);
    QTest::mouseClick(w.AdvPDF, Qt::LeftButton, Qt::ControlModifier, QPoint(200, 300));
    w.Book->MoveCue(0, 0, "0.3|0.3|/light/go 1|0||");
    // The script's folder goes away and a file takes its name: the cue file
    // cannot be written, whoever runs the test.
    QVERIFY(QDir(f.Dir.path()).rename("show", "moved"));
    WriteFileText(f.Path("show"), "not a folder", false);

    QVERIFY(!w.close());
    QVERIFY(w.isVisible());
    QVERIFY(w.Book->CuesDirty());
    QCOMPARE(f.Prompts.Boxes.size(), 3); // window size notice, the error, the explanation
    QCOMPARE(f.Prompts.Boxes[1].Icon, TMsgIcon::Stop);
    QVERIFY(f.Prompts.Boxes[1].Text.contains("show.cues"));
    QVERIFY(f.Prompts.Boxes[2].Text.contains("Close the window again"));

    // The operator can still leave: the second close ends, after the error again.
    QVERIFY(w.close());
    QVERIFY(!w.isVisible());
    QCOMPARE(f.Prompts.Boxes[3].Icon, TMsgIcon::Stop);
}

void tst_Cuewell::errorInHandlerShowsStandardReport() {
    TWindowFixture f;
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    WriteFileText(f.Path("show.cues"), CueFileText({{"0.5|0.5||0||", "abc|0.5||0||"}}));
    TCuewell& w = f.StartOn(script);
    const QList<TRecordedBox> stops = [&] {
        QList<TRecordedBox> found;
        for (const TRecordedBox& box : f.Prompts.Boxes)
            if (box.Icon == TMsgIcon::Stop)
                found.append(box);
        return found;
    }();
    QVERIFY(!stops.isEmpty());
    QCOMPARE(stops.first().Title, "Cuewell");
    QCOMPARE(stops.first().Text, "'abc' is not a valid floating point value.");
    QCOMPARE(stops.first().Button, TMsgButton::OK);
    // The pins before the bad record stay shown and the window goes on.
    QCOMPARE(VisiblePins(w), 1);
    QVERIFY(w.isVisible());
}

void tst_Cuewell::ctrlClickAddsCue() {
    TWindowFixture f;
    TCuewell& w = f.StartOn(MakeScript(f.Path("show.pdf"), 1), QSize(940, 500));
    QCOMPARE(w.ViewWidth, 940);
    QCOMPARE(w.ViewHeight, 500);
    QTest::mouseClick(w.AdvPDF, Qt::LeftButton, Qt::ControlModifier, QPoint(108, 208));
    QCOMPARE(w.Book->CueTable()[0][0], "0.4|0.11||0||");
    QVERIFY(
        ReadFileBytes(f.Path("show.cues")).contains("[Page0]\r\nCue0=0.4|0.11||0||\r\nCue1=\r\n"));
    QVERIFY(w.CuePin[0]->isVisible());
    QCOMPARE(w.CuePin[0]->pos(), QPoint(103, 200));
    QCOMPARE(w.LastPinIndex, 0);
    // The cue is in the file: nothing is pending.
    QVERIFY(!w.Book->CuesDirty());
    // Without Ctrl a click adds nothing.
    QTest::mouseClick(w.AdvPDF, Qt::LeftButton, Qt::NoModifier, QPoint(300, 300));
    QVERIFY(w.Book->CueTable()[0][1].isEmpty());
}

void tst_Cuewell::ctrlClickOnFullPage() {
    TWindowFixture f;
    QList<QByteArray> full;
    for (int i = 0; i < MaxCuesPerPage; ++i)
        full.append("0." + QByteArray::number(10 + i * 2) + "|0.1||0||");
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    WriteFileText(f.Path("show.cues"), CueFileText({full}));
    TCuewell& w = f.StartOn(script);
    QCOMPARE(w.LastPinIndex, 20);
    const QByteArray before = ReadFileBytes(f.Path("show.cues"));
    QTest::mouseClick(w.AdvPDF, Qt::LeftButton, Qt::ControlModifier, QPoint(400, 400));
    QCOMPARE(f.Prompts.Boxes.last().Text, "The maximum 21 cues per page has been reached.");
    QCOMPARE(f.Prompts.Boxes.last().Button, TMsgButton::Cancel);
    QCOMPARE(f.Prompts.Boxes.last().Icon, TMsgIcon::Warning);
    QCOMPARE(ReadFileBytes(f.Path("show.cues")), before);
    QCOMPARE(VisiblePins(w), 21);
}

void tst_Cuewell::ctrlClickSortsAmongPageCues() {
    TWindowFixture f;
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    WriteFileText(f.Path("show.cues"), CueFileText({{"0.5|0.5|/a|0||", "0.7|0.5|/b|0||"}}));
    TCuewell& w = f.StartOn(script, QSize(1000, 500));
    QTest::mouseClick(w.AdvPDF, Qt::LeftButton, Qt::ControlModifier, QPoint(508, 58));
    QCOMPARE(w.Book->CueTable()[0][0], "0.1|0.5||0||");
    QCOMPARE(w.Book->CueTable()[0][1], "0.5|0.5|/a|0||");
    QCOMPARE(w.Book->CueTable()[0][2], "0.7|0.5|/b|0||");
    QCOMPARE(w.LastPinIndex, 2);
}

void tst_Cuewell::pinsLaidOutTopToBottomWithSeparation() {
    TWindowFixture f;
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    WriteFileText(f.Path("show.cues"),
                  CueFileText({{"0.2|0.1||0||", "0.2|0.2||0||", "0.2|0.3||0||", "0.5|0.1||0||"}}));
    TCuewell& w = f.StartOn(script, QSize(1000, 500));
    QCOMPARE(w.LastPinIndex, 3);
    QCOMPARE(w.CuePin[0]->pos(), QPoint(100, 100));
    QCOMPARE(w.CuePin[1]->pos(), QPoint(200, 116));
    QCOMPARE(w.CuePin[2]->pos(), QPoint(300, 116));
    QCOMPARE(w.CuePin[3]->pos(), QPoint(100, 250));
    for (int i = 0; i < 4; ++i)
        QCOMPARE(w.CuePin[i]->Tag(), i);
}

void tst_Cuewell::dragStoresThousandthsAndKeepsFields() {
    TWindowFixture f;
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    WriteFileText(f.Path("show.cues"), CueFileText({{"0.4|0.1|/sound/go 7|0|Door|"}}));
    TCuewell& w = f.StartOn(script, QSize(1000, 500));
    TCuePin* pin = w.CuePin[0];
    QCOMPARE(pin->pos(), QPoint(100, 200));
    QTest::mousePress(pin, Qt::LeftButton, Qt::NoModifier, QPoint(8, 8));
    QMouseEvent move(QEvent::MouseMove, QPointF(16, 11), pin->mapToGlobal(QPointF(16, 11)),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(pin, &move);
    QCOMPARE(pin->pos(), QPoint(108, 203));
    QTest::mouseRelease(pin, Qt::LeftButton, Qt::NoModifier, QPoint(8, 8));
    QCOMPARE(w.Book->CueTable()[0][0], "0.406|0.108|/sound/go 7|0|Door|");
    QVERIFY(!w.PinMoved);
    QVERIFY(w.NowCue->isVisible());
    QCOMPARE(w.Book->CurrentCue(), 0);
}

void tst_Cuewell::goSendsWorkedExampleToSoundOnly() {
    TWindowFixture f;
    TReceiver sound, light;
    TCuewell& w = f.StartShow(sound, light, 1, {{"0.2|0.2|/sound/go 5|0||", "0.4|0.2|/x|0||"}});
    QVERIFY(!w.NowCue->isVisible());
    // With the prompt hidden Space fires nothing.
    Go(w);
    QVERIFY(sound.Next(200).isNull());
    QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
    QVERIFY(w.NowCue->isVisible());
    Go(w);
    QCOMPARE(sound.Next(), SoundGo5);
    QVERIFY(light.Next(200).isNull());
    QCOMPARE(w.Book->CurrentCue(), 1);
    QVERIFY(w.NowCue->isVisible());
}

void tst_Cuewell::goReadByOscdump() {
    // A receiver written elsewhere (liblo's oscdump) reads what GO sends.
    const QString oscdump = QStandardPaths::findExecutable(QStringLiteral("oscdump"));
    if (oscdump.isEmpty())
        QSKIP("oscdump (Debian package liblo-tools) is not on PATH");
    int port = 0;
    {
        QUdpSocket probe;
        QVERIFY(probe.bind(QHostAddress::LocalHost, 0));
        port = probe.localPort();
    }
    QProcess dump;
    dump.start(oscdump, {QStringLiteral("-L"), QString::number(port)});
    QVERIFY2(dump.waitForStarted(10000), qPrintable(dump.errorString()));
    auto stop = qScopeGuard([&] {
        dump.kill();
        dump.waitForFinished(10000);
    });
    // It says nothing when it is ready: ping until a ping comes back.
    QUdpSocket sender;
    const QByteArray ping("/ping\0\0\0,\0\0\0", 12);
    QByteArray out;
    QElapsedTimer clock;
    clock.start();
    while (!out.contains("/ping")) {
        QVERIFY2(clock.elapsed() < 10000, "oscdump did not answer");
        sender.writeDatagram(ping, QHostAddress::LocalHost, quint16(port));
        if (dump.waitForReadyRead(100))
            out += dump.readAllStandardOutput();
    }

    TWindowFixture f;
    WriteFileText(f.SettingsPath(), TargetSettings(port, 9));
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    WriteFileText(f.Path("show.cues"), CueFileText({{"0.2|0.2|/sound/go 5|0|Go|"}}));
    TCuewell& w = f.StartOn(script);
    QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
    out.clear();
    Go(w);
    clock.restart();
    while (!out.contains("/sound/go") && clock.elapsed() < 10000)
        if (dump.waitForReadyRead(100))
            out += dump.readAllStandardOutput();
    const QList<QByteArray> lines = out.split('\n');
    const auto line = std::find_if(lines.begin(), lines.end(),
                                   [](const QByteArray& l) { return l.contains("/sound/go"); });
    QVERIFY2(line != lines.end(), out.constData());
    QVERIFY2(line->trimmed().endsWith("/sound/go s \"5\""), line->constData());
}

void tst_Cuewell::equalSelectorsSendToBoth() {
    TWindowFixture f;
    TReceiver sound, light;
    WriteFileText(f.SettingsPath(), TargetSettings(sound.Port(), light.Port(), "fx", "fx"));
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    WriteFileText(f.Path("show.cues"), CueFileText({{"0.2|0.2|/fx/boom 1 2|0||"}}));
    TCuewell& w = f.StartOn(script);
    QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
    Go(w);
    const QByteArray toSound = sound.Next();
    QVERIFY(!toSound.isEmpty());
    QCOMPARE(light.Next(), toSound);
    QVERIFY(toSound.contains("/fx/boom") && toSound.contains("1 2"));
}

void tst_Cuewell::unresolvableHostWarnsOnceAndGoesOn() {
    TWindowFixture f;
    TReceiver sound, light;
    WriteFileText(f.SettingsPath(), TargetSettings(sound.Port(), light.Port(), "fx", "fx",
                                                   "127.0.0.1", "no-such-host.invalid"));
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    WriteFileText(f.Path("show.cues"), CueFileText({{"0.2|0.2|/fx/go|0||"}}));
    TCuewell& w = f.StartOn(script);
    QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
    const int before = f.Prompts.Boxes.size();
    Go(w);
    QVERIFY(!sound.Next().isEmpty());
    const QList<TRecordedBox> boxes = f.Prompts.Boxes.mid(before);
    int warnings = 0;
    for (const TRecordedBox& box : boxes)
        if (box.Text == "Missing/Improper Command. Please check the OSC command and settings.") {
            ++warnings;
            QCOMPARE(box.Button, TMsgButton::Retry);
        }
    QCOMPARE(warnings, 1);
}

void tst_Cuewell::goAtLastCueOfPageTurnsPage() {
    TWindowFixture f;
    TReceiver sound, light;
    WriteFileText(f.SettingsPath(), TargetSettings(sound.Port(), light.Port()));
    const QString script = MakeScript(f.Path("show.pdf"), 3);
    WriteFileText(
        f.Path("show.cues"),
        CueFileText(
            {{"0.2|0.2|/sound/a|0||"}, {"0.3|0.2|/sound/b|0||", "0.6|0.2|/sound/c|0||"}, {}}));
    TCuewell& w = f.StartOn(script);
    QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
    Go(w);
    QVERIFY(sound.Next().contains("/sound/a"));
    QCOMPARE(w.AdvPDF->PageIndex(), 1);
    QCOMPARE(w.ShownPage, 1);
    QCOMPARE(w.Book->CurrentCue(), 0);
    QCOMPARE(VisiblePins(w), 2);
    QVERIFY(w.NowCue->isVisible());
    // GO from the last cue before a page without cues stops on that page.
    Go(w);
    Go(w);
    QCOMPARE(sound.Drain().size(), 2);
    QCOMPARE(w.AdvPDF->PageIndex(), 2);
    QVERIFY(!w.NowCue->isVisible());
    QCOMPARE(VisiblePins(w), 0);
}

void tst_Cuewell::goAtLastCueOfScriptStops() {
    TWindowFixture f;
    TReceiver sound, light;
    TCuewell& w = f.StartShow(sound, light, 2, {{}, {"0.2|0.2|/sound/end|0||"}});
    w.NextClick();
    QCOMPARE(VisiblePins(w), 1);
    QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
    Go(w);
    QVERIFY(sound.Next().contains("/sound/end"));
    QVERIFY(!w.NowCue->isVisible());
    QCOMPARE(w.AdvPDF->PageIndex(), 1);
    Go(w);
    QVERIFY(sound.Next(200).isNull());
}

void tst_Cuewell::autoplayRunFiresFromOneGo() {
    TWindowFixture f;
    TReceiver sound, light;
    TCuewell& w =
        f.StartShow(sound, light, 1,
                    {{"0.1|0.2|/sound/1|0||", "0.2|0.2|/sound/2|-1||", "0.3|0.2|/sound/3|-1||",
                      "0.4|0.2|/sound/4|True||", "0.5|0.2|/sound/5|0||"}});
    QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
    Go(w);
    QTRY_COMPARE_WITH_TIMEOUT(w.Book->CurrentCue(), 4, 5000);
    QList<QByteArray> sent;
    for (int i = 0; i < 4; ++i)
        sent.append(sound.Next());
    for (int i = 0; i < 4; ++i)
        QVERIFY2(sent[i].contains("/sound/" + QByteArray::number(i + 1)), sent[i].constData());
    QVERIFY(sound.Next(100).isNull());
    QVERIFY(w.NowCue->isVisible());
    QVERIFY(!w.AutoCue->Enabled());
}

// A cue whose send fails ends its tick before the advance, so the run stops
// there, also when the next cue is marked autoplay or lies on the next page.
void tst_Cuewell::autoplayRunStopsAtCueThatCannotBeSent_data() {
    QTest::addColumn<QList<QList<QByteArray>>>("cues");
    QTest::newRow("next autoplay cue on the same page") << QList<QList<QByteArray>>{
        {"0.1|0.2|/sound/a|0||", "0.2|0.2|/light/b|-1||", "0.3|0.2|/sound/c|-1||"},
        {"0.1|0.2|/sound/d|0||"}};
    QTest::newRow("next autoplay cue on the next page")
        << QList<QList<QByteArray>>{{"0.1|0.2|/sound/a|0||", "0.2|0.2|/light/b|-1||"},
                                    {"0.1|0.2|/sound/c|-1||", "0.2|0.2|/sound/d|0||"}};
}

void tst_Cuewell::autoplayRunStopsAtCueThatCannotBeSent() {
    QFETCH(QList<QList<QByteArray>>, cues);
    TWindowFixture f;
    TReceiver sound, light;
    // The light target's name never resolves: every light cue fails to send.
    WriteFileText(f.SettingsPath(), TargetSettings(sound.Port(), light.Port(), "sound", "light",
                                                   "127.0.0.1", "no-such-host.invalid"));
    const QString script = MakeScript(f.Path("show.pdf"), 2);
    WriteFileText(f.Path("show.cues"), CueFileText(cues));
    TCuewell& w = f.StartOn(script);
    QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
    Go(w);
    QVERIFY(sound.Next().contains("/sound/a"));
    QVERIFY(w.AutoCue->Enabled());
    QTRY_VERIFY_WITH_TIMEOUT(!w.AutoCue->Enabled(), 5000);
    QTest::qWait(100);
    QVERIFY(sound.Next(0).isNull());
    QVERIFY(light.Next(0).isNull());
    // The prompt stays hidden at the cue that failed; nothing is armed.
    QVERIFY(!w.NowCue->isVisible());
    QCOMPARE(w.AdvPDF->PageIndex(), 0);
    QCOMPARE(w.Book->CurrentCue(), 1);
    QVERIFY(!w.AutoCue->Enabled());
    // The tick drops its error: no error box.
    QCOMPARE(StopTexts(f.Prompts), QStringList{});
}

void tst_Cuewell::callPromptBesidePin() {
    TWindowFixture f;
    WriteFileText(f.SettingsPath(), "[Settings]\r\nArrow=0\r\n\r\n" + TargetSettings(9, 9));
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    WriteFileText(f.Path("show.cues"),
                  CueFileText({{"0.2|0.3|/sound/a|0|Thunder|", "0.4|0.6|/light/b|0|Dawn|",
                                "0.6|0.6|/video/c|0|Film|"}}));
    TCuewell& w = f.StartOn(script, QSize(1000, 500));
    QVERIFY(!w.PromptIsArrow);
    QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
    // Left half: the prompt ends 8 pixels left of the pin, level with its middle.
    QCOMPARE(w.NowCue->geometry().right() + 1, 300 - 8);
    QCOMPARE(w.NowCue->geometry().top(), 100 - 4);
    QCOMPARE(w.NowCue->height(), 24);
    QCOMPARE(w.NowCue->width(), w.GetTextWidth("Thunder") + 46);
    QCOMPARE(w.NowCue->text(), "Thunder");
    QCOMPARE(w.NowCue->toolTip(), "Thunder");
    QCOMPARE(w.NowCue->icon().pixmap(16).toImage().pixelColor(8, 8), QColor(65, 255, 65));
    // Right half: it starts 8 pixels right of the pin.
    QTest::mouseClick(w.CuePin[1], Qt::LeftButton);
    QCOMPARE(w.NowCue->x(), 600 + 24);
    QCOMPARE(w.NowCue->icon().pixmap(16).toImage().pixelColor(8, 8), QColor(69, 251, 247));
    QTest::mouseClick(w.CuePin[2], Qt::LeftButton);
    QCOMPARE(w.NowCue->icon().pixmap(16).toImage().pixelColor(8, 8), QColor(252, 68, 228));
}

void tst_Cuewell::layoutNeverChangesPromptedCue() {
    TWindowFixture f;
    TReceiver sound, light;
    TCuewell& w = f.StartShow(
        sound, light, 1,
        {{"0.2|0.2|/sound/first|0||", "0.4|0.2|/sound/second|0||", "0.6|0.2|/sound/third|0||"}});
    QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
    // A resize and a new cue lay the pins out again; GO still fires the prompted cue.
    f.SetViewSize(QSize(900, 480));
    QTest::mouseClick(w.AdvPDF, Qt::LeftButton, Qt::ControlModifier, QPoint(400, 440));
    w.ShowCues(0);
    QVERIFY(w.NowCue->isVisible());
    Go(w);
    QVERIFY(sound.Next().contains("/sound/first"));
}

void tst_Cuewell::oneKeyPressMovesOnePage() {
    TWindowFixture f;
    const QString script = MakeScript(f.Path("show.pdf"), 4);
    WriteFileText(f.Path("show.cues"),
                  CueFileText({{"0.2|0.2||0||"}, {"0.2|0.2||0||", "0.5|0.2||0||"}, {}, {}}));
    TCuewell& w = f.StartOn(script);
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    w.AdvPDF->setFocus();
    QCOMPARE(QApplication::focusWidget(), w.AdvPDF);
    struct Step {
        int key;
        int page;
    };
    // Page Down and Right go forward, Page Up and Down back; the viewer's own
    // keys (Up, Left, End, Home) move it too, and the pins follow.
    const Step steps[] = {{Qt::Key_PageDown, 1}, {Qt::Key_Right, 2}, {Qt::Key_PageUp, 1},
                          {Qt::Key_Down, 0},     {Qt::Key_End, 3},   {Qt::Key_Up, 2},
                          {Qt::Key_Left, 1},     {Qt::Key_Home, 0}};
    const int pins[] = {1, 2, 0, 0};
    for (const Step& step : steps) {
        PressKey(KeyTarget(w), step.key);
        QCOMPARE(w.AdvPDF->PageIndex(), step.page);
        QCOMPARE(w.ShownPage, step.page);
        QCOMPARE(VisiblePins(w), pins[step.page]);
    }
}

void tst_Cuewell::pinsFollowViewerAfterPartialAndCtrlWheel() {
    TWindowFixture f;
    const QString script = MakeScript(f.Path("show.pdf"), 3);
    WriteFileText(f.Path("show.cues"),
                  CueFileText({{"0.2|0.2||0||"}, {"0.2|0.2||0||", "0.5|0.2||0||"}, {}}));
    TCuewell& w = f.StartOn(script);
    const QPointF at(300, 300);
    auto wheel = [&](int delta, Qt::KeyboardModifiers mods) {
        QWheelEvent event(at, w.AdvPDF->mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton,
                          mods, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(w.AdvPDF, &event);
    };
    wheel(-40, Qt::NoModifier); // less than a notch: the viewer still turns a page
    QCOMPARE(w.AdvPDF->PageIndex(), 1);
    QCOMPARE(VisiblePins(w), 2);
    wheel(-120, Qt::ControlModifier); // zooms, turns nothing
    QCOMPARE(w.AdvPDF->PageIndex(), 1);
    QCOMPARE(VisiblePins(w), 2);
    wheel(120, Qt::NoModifier);
    QCOMPARE(w.AdvPDF->PageIndex(), 0);
    QCOMPARE(VisiblePins(w), 1);
    wheel(-120, Qt::NoModifier);
    wheel(-120, Qt::NoModifier);
    wheel(-120, Qt::NoModifier); // at the last page the pins of the last page stay
    QCOMPARE(w.AdvPDF->PageIndex(), 2);
    QCOMPARE(w.ShownPage, 2);
    QCOMPARE(VisiblePins(w), 0);
}

void tst_Cuewell::heldSpaceFiresOneCue() {
    TWindowFixture f;
    TReceiver sound, light;
    TCuewell& w =
        f.StartShow(sound, light, 1,
                    {{"0.2|0.2|/sound/a|0||", "0.4|0.2|/sound/b|0||", "0.6|0.2|/sound/c|0||"}});
    QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, " ");
    QCoreApplication::sendEvent(KeyTarget(w), &press);
    for (int i = 0; i < 5; ++i) {
        QKeyEvent repeat(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, " ", true);
        QCoreApplication::sendEvent(KeyTarget(w), &repeat);
    }
    QCOMPARE(sound.Drain().size(), 1);
    QCOMPARE(w.Book->CurrentCue(), 1);
}

void tst_Cuewell::spaceFiresOncePerPress_data() {
    QTest::addColumn<QString>("steps"); // o: offer to shortcuts, p: press, r: release, k: Go(w)
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<bool>("prompted");
    QTest::addColumn<int>("datagrams");
    QTest::addColumn<int>("pressesToControl");
    const int none = Qt::NoModifier;
    QTest::newRow("tap as the platform delivers it") << "opr" << none << true << 1 << 0;
    QTest::newRow("two taps") << "opropr" << none << true << 2 << 0;
    QTest::newRow("offer whose press never comes") << "o" << none << true << 1 << 0;
    QTest::newRow("press without an offer") << "pr" << none << true << 1 << 0;
    QTest::newRow("offer after a press without one") << "propr" << none << true << 2 << 0;
    QTest::newRow("press sent by a program") << "kk" << none << true << 2 << 0;
    QTest::newRow("Ctrl+Space") << "opr" << int(Qt::ControlModifier) << true << 1 << 0;
    QTest::newRow("Shift+Space") << "opr" << int(Qt::ShiftModifier) << true << 1 << 0;
    QTest::newRow("no prompt: the control gets Space") << "opr" << none << false << 0 << 1;
    QTest::newRow("no prompt, by a program") << "k" << none << false << 0 << 1;
}

void tst_Cuewell::spaceFiresOncePerPress() {
    QFETCH(QString, steps);
    QFETCH(int, modifiers);
    QFETCH(bool, prompted);
    QFETCH(int, datagrams);
    QFETCH(int, pressesToControl);
    TWindowFixture f;
    TReceiver sound, light;
    TCuewell& w = f.StartShow(sound, light, 1,
                              {{"0.2|0.2|/sound/a|0||", "0.4|0.2|/sound/b|0||",
                                "0.6|0.2|/sound/c|0||", "0.8|0.2|/sound/d|0||"}});
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    w.AdvPDF->setFocus();
    QCOMPARE(QApplication::focusWidget(), w.AdvPDF);
    if (prompted)
        w.CueClick(0);
    QCOMPARE(w.NowCue->isVisible(), prompted);
    PressCounter control;
    w.AdvPDF->installEventFilter(&control);
    const auto mods = Qt::KeyboardModifiers(modifiers);
    const QString text = QStringLiteral(" ");
    for (const QChar step : steps) {
        if (step == u'o') {
            qt_sendShortcutOverrideEvent(w.AdvPDF, 0, Qt::Key_Space, mods, text, false, 1);
        } else if (step == u'k') {
            PressKey(w.AdvPDF, Qt::Key_Space);
        } else {
            QKeyEvent key(step == u'p' ? QEvent::KeyPress : QEvent::KeyRelease, Qt::Key_Space, mods,
                          text);
            // As the platform delivers it: spontaneous, so not offered again.
            QSpontaneKeyEvent::setSpontaneous(&key);
            qApp->notify(w.AdvPDF, &key);
        }
    }
    w.AdvPDF->removeEventFilter(&control);
    QCOMPARE(sound.Drain(200).size(), datagrams);
    if (prompted)
        QCOMPARE(w.Book->CurrentCue(), datagrams);
    QCOMPARE(control.Presses, pressesToControl);
}

// A GO taken at the offer whose send fails: the error is shown once, and
// neither the offer nor the press that follows reaches the focused control.
void tst_Cuewell::failedGoAtTheOfferKeepsItsPress() {
    TWindowFixture f;
    TReceiver sound, light;
    // Too long for one datagram: the send fails.
    const QByteArray tooLong = "0.2|0.2|/sound/" + QByteArray(70000, 'x') + "|0||";
    TCuewell& w = f.StartShow(sound, light, 1, {{tooLong, "0.4|0.2|/sound/b|0||"}});
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    w.AdvPDF->setFocus();
    w.CueClick(0);
    QVERIFY(w.NowCue->isVisible());
    // Space as the control itself gets it, its offer included.
    SpaceCounter control(w.AdvPDF);
    w.AdvPDF->installEventFilter(&control);
    const auto removeFilter = qScopeGuard([&] { w.AdvPDF->removeEventFilter(&control); });
    const QString text = QStringLiteral(" ");
    qt_sendShortcutOverrideEvent(w.AdvPDF, 0, Qt::Key_Space, Qt::NoModifier, text, false, 1);
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, text);
    QSpontaneKeyEvent::setSpontaneous(&press);
    qApp->notify(w.AdvPDF, &press);
    QCOMPARE(StopTexts(f.Prompts).size(), 1);
    QVERIFY(StopTexts(f.Prompts)[0].contains("Cannot send"));
    QCOMPARE(control.Seen, 0);
    QVERIFY(sound.Drain(200).isEmpty());
    QCOMPARE(w.Book->CurrentCue(), 0);
}

void tst_Cuewell::goLeavesBeforeTheDispatch_data() {
    QTest::addColumn<QString>("steps"); // o: offer to shortcuts, p: platform's press, k: Go(w)
    QTest::addColumn<bool>("prompted");
    QTest::addColumn<int>("datagrams");
    QTest::addColumn<int>("seenByFilters");
    QTest::newRow("press sent by a program") << "k" << true << 1 << 0;
    QTest::newRow("offer") << "o" << true << 1 << 0;
    // The press the platform delivers after its offer goes Qt's way and is
    // swallowed by the key preview.
    QTest::newRow("offer and the platform's press") << "op" << true << 1 << 1;
    QTest::newRow("no prompt: Qt's way, offer and press") << "k" << false << 0 << 2;
}

// The program's application object hands GO to the window before its
// dispatch: before the shortcut map and every event filter have had it.
void tst_Cuewell::goLeavesBeforeTheDispatch() {
#ifndef CUEWELL_PROGRAM_APPLICATION
    QSKIP("a plain application object: the window's key preview takes GO");
#endif
    QFETCH(QString, steps);
    QFETCH(bool, prompted);
    QFETCH(int, datagrams);
    QFETCH(int, seenByFilters);
    TWindowFixture f;
    TReceiver sound, light;
    TCuewell& w = f.StartShow(sound, light, 1, {{"0.2|0.2|/sound/a|0||", "0.4|0.2|/sound/b|0||"}});
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    w.AdvPDF->setFocus();
    if (prompted)
        w.CueClick(0);
    // Installed after the window's own filter, so it sees keys before it.
    SpaceCounter filters(w.AdvPDF);
    qApp->installEventFilter(&filters);
    const auto removeFilter = qScopeGuard([&] { qApp->removeEventFilter(&filters); });
    const QString text = QStringLiteral(" ");
    for (const QChar step : steps) {
        if (step == u'o') {
            qt_sendShortcutOverrideEvent(w.AdvPDF, 0, Qt::Key_Space, Qt::NoModifier, text, false,
                                         1);
        } else if (step == u'k') {
            PressKey(w.AdvPDF, Qt::Key_Space);
        } else {
            QKeyEvent key(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, text);
            QSpontaneKeyEvent::setSpontaneous(&key);
            qApp->notify(w.AdvPDF, &key);
        }
    }
    QCOMPARE(sound.Drain(200).size(), datagrams);
    QCOMPARE(filters.Seen, seenByFilters);
}

void tst_Cuewell::shortRecordsReadAsEmptyFields() {
    TWindowFixture f;
    TReceiver sound, light;
    // Empty selectors: a cue whose message is empty goes to both targets.
    WriteFileText(f.SettingsPath(), TargetSettings(sound.Port(), light.Port(), "", "light"));
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    WriteFileText(f.Path("show.cues"), CueFileText({{"0.2|0.2", "0.4|0.2|/light/x"}}));
    TCuewell& w = f.StartOn(script);
    QCOMPARE(VisiblePins(w), 2);
    QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
    QVERIFY(w.NowCue->isVisible());
    QCOMPARE(w.Book->CueFields().size(), 5);
    Go(w);
    QCOMPARE(sound.Next(), QByteArray::fromHex("2362756e646c6500"
                                               "0000000000000001"
                                               "0000000c"
                                               "00000000"
                                               "2c730000"
                                               "00000000"));
    // Three fields: the message is there, and a missing autoplay field is off.
    QVERIFY(w.NowCue->isVisible());
    QCOMPARE(w.Book->CurrentCue(), 1);
    Go(w);
    QVERIFY(light.Next().contains("/light/x"));
}

void tst_Cuewell::failedOrPendingOpenLeavesCuesWithShownScript_data() {
    QTest::addColumn<bool>("brokenOther");
    // A file that is not a PDF never loads; a real one is still loading when
    // the cue is placed.
    QTest::newRow("open fails") << true;
    QTest::newRow("open in flight") << false;
}

void tst_Cuewell::failedOrPendingOpenLeavesCuesWithShownScript() {
    QFETCH(bool, brokenOther);
    TWindowFixture f;
    const QString a = MakeScript(f.Path("a.pdf"), 1);
    WriteFileText(f.Path("a.cues"), CueFileText({{"0.5|0.5|/sound/a|0||"}}, true));
    const QString other = f.Path("other.pdf");
    if (brokenOther)
        WriteFileText(other, "this is not a PDF", false);
    else
        MakeScript(other, 2);
    TCuewell& w = f.StartOn(a);
    f.Prompts.Answers = {other};
    w.OpenShowPDF1->trigger();
    if (brokenOther)
        QTRY_VERIFY(!w.AdvPDF->IsLoading());
    QTest::mouseClick(w.AdvPDF, Qt::LeftButton, Qt::ControlModifier, QPoint(108, 108));
    QVERIFY(
        ReadFileBytes(f.Path("a.cues")).contains("Cue0=0.2|0.11||0||\r\nCue1=0.5|0.5|/sound/a"));
    QVERIFY(!QFileInfo::exists(f.Path("other.cues")));
    if (!brokenOther)
        QTRY_COMPARE(w.Book->Script(), other);
    w.close();
    const QByteArray settings = ReadFileBytes(f.SettingsPath());
    QVERIFY(settings.contains("LastScript=" + (brokenOther ? a : other).toUtf8() + "\r\n"));
    QVERIFY(!QFileInfo::exists(f.Path("other.cues")));
    if (brokenOther)
        QVERIFY(ReadFileBytes(f.Path("a.cues")).contains("[Settings]\r\nHeight="));
}

void tst_Cuewell::newCueWhoseSaveFailedStaysPending() {
    TWindowFixture f;
    QDir(f.Dir.path()).mkdir("show");
    const QString script = MakeScript(f.Path("show/show.pdf"), 1);
    TCuewell& w = f.StartOn(script);
    // The script's folder goes away and a file takes its name.
    QVERIFY(QDir(f.Dir.path()).rename("show", "moved"));
    WriteFileText(f.Path("show"), "not a folder", false);
    QTest::mouseClick(w.AdvPDF, Qt::LeftButton, Qt::ControlModifier, QPoint(108, 108));
    QCOMPARE(StopTexts(f.Prompts).size(), 1);
    QVERIFY(w.CuePin[0]->isVisible());
    QVERIFY(w.Book->CuesDirty());
    // The folder is back: closing saves the cue.
    QVERIFY(QFile::remove(f.Path("show")));
    QVERIFY(QDir(f.Dir.path()).rename("moved", "show"));
    QVERIFY(w.close());
    QVERIFY(ReadFileBytes(f.Path("show/show.cues")).contains("Cue0=0.2|0.11||0||"));
    QCOMPARE(StopTexts(f.Prompts).size(), 1);
}

void tst_Cuewell::dropWithUnsavedCuesKeepsTheScript() {
    TWindowFixture f;
    QDir(f.Dir.path()).mkdir("show");
    const QString script = MakeScript(f.Path("show/show.pdf"), 1);
    const QString other = MakeScript(f.Path("other.pdf"), 1);
    TCuewell& w = f.StartOn(script);
    QVERIFY(QDir(f.Dir.path()).rename("show", "moved"));
    WriteFileText(f.Path("show"), "not a folder", false);
    QTest::mouseClick(w.AdvPDF, Qt::LeftButton, Qt::ControlModifier, QPoint(108, 108));
    QVERIFY(w.Book->CuesDirty());

    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(other)});
    // The drag enters the page, then the script is dropped on it.
    QDragEnterEvent enter(QPoint(300, 300), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(w.AdvPDF, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(300, 300), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(w.AdvPDF, &drop);
    QTest::qWait(200);
    QVERIFY(!w.AdvPDF->IsLoading());
    QCOMPARE(w.AdvPDF->FileName(), script);
    QCOMPARE(w.Book->Script(), script);
    QCOMPARE(w.Book->CueCount(0), 1);
    QVERIFY(w.Book->CuesDirty());
    QCOMPARE(StopTexts(f.Prompts).size(), 2); // the failed new cue, the refused drop
}

void tst_Cuewell::everyDialogSaveReachesGo() {
    TWindowFixture f;
    TReceiver sound, light;
    TCuewell& w = f.StartShow(sound, light, 1, {{"0.2|0.2|/sound/a|0||", "0.4|0.2|/sound/b|0||"}});
    QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
    QTest::mouseClick(w.CuePin[0], Qt::RightButton);
    w.Form2()->CheckBox1->setChecked(true);
    QTest::mouseClick(w.Form2()->btnSave, Qt::LeftButton);
    QTest::mouseClick(w.CuePin[0], Qt::RightButton);
    w.Form2()->Edit1->setText("/sound/changed");
    QTest::mouseClick(w.Form2()->btnSave, Qt::LeftButton);
    QCOMPARE(w.Book->Record(0, 0), "0.2|0.2|/sound/changed|-1||");
    Go(w);
    QVERIFY(sound.Next().contains("/sound/changed"));
}

void tst_Cuewell::ctrlClickAbovePromptedCueFiresEachCueOnce() {
    TWindowFixture f;
    TReceiver sound, light;
    TCuewell& w = f.StartShow(sound, light, 1, {{"0.5|0.5|/sound/a|0||", "0.7|0.5|/sound/b|0||"}},
                              QSize(1000, 500));
    QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
    QTest::mouseClick(w.AdvPDF, Qt::LeftButton, Qt::ControlModifier, QPoint(508, 58));
    QCOMPARE(w.Book->Record(0, 0), "0.1|0.5||0||");
    // The prompt went with its cue to slot 1.
    QCOMPARE(w.Book->CurrentCue(), 1);
    QCOMPARE(w.NowCue->geometry(), ArrowPromptRect(w.CuePin[1]->pos()));
    Go(w);
    Go(w);
    const QList<QByteArray> sent = sound.Drain();
    QCOMPARE(sent.size(), 2);
    QVERIFY(sent[0].contains("/sound/a"));
    QVERIFY(sent[1].contains("/sound/b"));
}

void tst_Cuewell::manualActionCancelsPendingAutoplayTick_data() {
    QTest::addColumn<QString>("action");
    QTest::newRow("second GO") << "go";
    QTest::newRow("next page") << "next";
    QTest::newRow("previous page") << "previous";
    QTest::newRow("click on a cue without autoplay") << "click";
}

void tst_Cuewell::manualActionCancelsPendingAutoplayTick() {
    QFETCH(QString, action);
    TWindowFixture f;
    TReceiver sound, light;
    TCuewell& w = f.StartShow(sound, light, 2,
                              {{"0.2|0.2|/sound/a|0||", "0.4|0.2|/sound/b|-1||",
                                "0.6|0.2|/sound/c|0||", "0.8|0.2|/sound/d|0||"},
                               {"0.2|0.2|/sound/e|0||"}});
    QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
    // GO fires a and prompts b, whose autoplay tick is now armed; the next
    // action comes before the tick.
    Go(w);
    QVERIFY(w.AutoCue->Enabled());
    QList<QByteArray> expected = {"/sound/a"};
    if (action == "go") {
        Go(w);
        expected.append("/sound/b");
    } else if (action == "next") {
        w.NextClick();
    } else if (action == "previous") {
        w.PrevClick();
    } else {
        w.CueClick(3);
    }
    QTest::qWait(100);
    const QList<QByteArray> sent = sound.Drain();
    QCOMPARE(sent.size(), expected.size());
    for (int i = 0; i < sent.size(); ++i)
        QVERIFY2(sent[i].contains(expected[i]), sent[i].constData());
}

void tst_Cuewell::tickPendingDuringGoWarningFiresNothing() {
    // Light's host does not resolve: its GO warns, and the warning's box lets
    // events through while it is shown.
    TWindowFixture f;
    TReceiver sound, light;
    WriteFileText(f.SettingsPath(), TargetSettings(sound.Port(), light.Port(), "fx", "fx",
                                                   "127.0.0.1", "no-such-host.invalid"));
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    WriteFileText(f.Path("show.cues"),
                  CueFileText({{"0.2|0.2|/fx/a|0||", "0.4|0.2|/fx/b|-1||", "0.6|0.2|/fx/c|0||"}}));
    TCuewell& w = f.StartOn(script);
    w.AutoCue->SetInterval(150);
    f.Prompts.WhileShown = [] { QTest::qWait(300); };
    // b is autoplay: clicking its pin arms the tick, and GO by hand comes first.
    w.CueClick(1);
    QVERIFY(w.AutoCue->Enabled());
    Go(w);
    f.Prompts.WhileShown = nullptr;
    QTest::qWait(300);
    const QList<QByteArray> sent = sound.Drain();
    QCOMPARE(sent.size(), 1);
    QVERIFY(sent[0].contains("/fx/b"));
    QVERIFY(!w.AutoCue->Enabled());
}

void tst_Cuewell::recordWithoutBarSendsNothingAndGoMovesOn() {
    TWindowFixture f;
    TReceiver sound, light;
    TCuewell& w =
        f.StartShow(sound, light, 1, {{"0.2|0.2|/sound/a|0||", "junk", "0.6|0.2|/sound/c|0||"}});
    QCOMPARE(VisiblePins(w), 3);
    QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
    Go(w);
    QVERIFY(w.NowCue->isVisible());
    QCOMPARE(w.Book->CurrentCue(), 1);
    Go(w);
    QCOMPARE(w.Book->CurrentCue(), 2);
    Go(w);
    const QList<QByteArray> sent = sound.Drain();
    QCOMPARE(sent.size(), 2);
    QVERIFY(sent[0].contains("/sound/a"));
    QVERIFY(sent[1].contains("/sound/c"));
    QVERIFY(light.Drain().isEmpty());
    QCOMPARE(StopTexts(f.Prompts), QStringList{});
}

void tst_Cuewell::recentScriptChoiceErrorIsShown() {
    TWindowFixture f;
    QDir(f.Dir.path()).mkdir("show");
    const QString script = MakeScript(f.Path("show/show.pdf"), 1);
    const QString other = MakeScript(f.Path("other.pdf"), 1);
    TCuewell& w = f.StartOn(script);
    w.MostRecentFiles1->AddFile(other);
    QVERIFY(QDir(f.Dir.path()).rename("show", "moved"));
    WriteFileText(f.Path("show"), "not a folder", false);
    QTest::mouseClick(w.AdvPDF, Qt::LeftButton, Qt::ControlModifier, QPoint(108, 108));
    const int errors = StopTexts(f.Prompts).size();
    QAction* entry = nullptr;
    for (QAction* action : w.OpenRecentPDF1->actions())
        if (action->text().contains("other.pdf"))
            entry = action;
    QVERIFY(entry);
    // The pending cue cannot be saved: choosing the entry reports it and keeps
    // the script.
    entry->trigger();
    QCOMPARE(StopTexts(f.Prompts).size(), errors + 1);
    QCOMPARE(w.AdvPDF->FileName(), script);
    QVERIFY(w.Book->CuesDirty());
}

void tst_Cuewell::promptFollowsPinAfterResizeWithoutFiring() {
    TWindowFixture f;
    TReceiver sound, light;
    TCuewell& w = f.StartShow(sound, light, 1, {{"0.2|0.2|/sound/a|-1||", "0.5|0.5|/sound/b|0||"}},
                              QSize(1000, 500));
    QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
    QTRY_COMPARE(w.Book->CurrentCue(), 1);
    QVERIFY(sound.Next().contains("/sound/a"));
    const QByteArray cues = ReadFileBytes(f.Path("show.cues"));
    f.SetViewSize(QSize(800, 400));
    QCOMPARE(w.CuePin[1]->pos(), QPoint(400, 200));
    QVERIFY(w.NowCue->isVisible());
    QCOMPARE(w.NowCue->geometry(), ArrowPromptRect(QPoint(400, 200)));
    QVERIFY(!w.AutoCue->Enabled());
    QTest::qWait(100);
    QVERIFY(sound.Next(0).isNull());
    QCOMPARE(w.Book->Record(0, 1), "0.5|0.5|/sound/b|0||");
    QVERIFY(!w.Book->CuesDirty());
    QCOMPARE(ReadFileBytes(f.Path("show.cues")), cues);
}

void tst_Cuewell::cueDialogHiddenWhenAnotherScriptReplacesIt() {
    TWindowFixture f;
    const QString a = MakeScript(f.Path("a.pdf"), 1);
    WriteFileText(f.Path("a.cues"), CueFileText({{"0.2|0.2|/sound/a|0||"}}));
    const QString b = MakeScript(f.Path("b.pdf"), 1);
    TCuewell& w = f.StartOn(a);
    QTest::mouseClick(w.CuePin[0], Qt::RightButton);
    QVERIFY(w.Form2()->isVisible());
    w.MostRecentFiles1MenuClick(nullptr, b);
    QTRY_COMPARE(w.Book->Script(), b);
    QVERIFY(!w.Form2()->isVisible());
}

void tst_Cuewell::autoplayStoppedWhenWindowCloses() {
    TWindowFixture f;
    TReceiver sound, light;
    TCuewell& w = f.StartShow(sound, light, 1, {{"0.2|0.2|/sound/a|-1||", "0.5|0.5|/sound/b|0||"}});
    // The click prompts an autoplay cue; the window closes before its tick.
    QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
    QVERIFY(w.AutoCue->Enabled());
    QVERIFY(w.close());
    QTest::qWait(100);
    QVERIFY(sound.Next(0).isNull());
}

void tst_Cuewell::goAcrossPagesSavesPendingChanges() {
    TWindowFixture f;
    TReceiver sound, light;
    TCuewell& w =
        f.StartShow(sound, light, 2,
                    {{"0.2|0.2|/sound/a|0||", "0.5|0.5|/sound/b|0||"}, {"0.2|0.2|/sound/c|0||"}},
                    QSize(1000, 500));
    // A drag of the first pin stores its place in the table, pending.
    TCuePin* pin = w.CuePin[0];
    QTest::mousePress(pin, Qt::LeftButton, Qt::NoModifier, QPoint(8, 8));
    QMouseEvent move(QEvent::MouseMove, QPointF(8, 58), pin->mapToGlobal(QPointF(8, 58)),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(pin, &move);
    QTest::mouseRelease(pin, Qt::LeftButton, Qt::NoModifier, QPoint(8, 8));
    QCOMPARE(w.Book->Record(0, 0), "0.3|0.2|/sound/a|0||");
    QVERIFY(w.Book->CuesDirty());
    Go(w);
    Go(w);
    QCOMPARE(w.AdvPDF->PageIndex(), 1);
    QVERIFY(!w.Book->CuesDirty());
    QVERIFY(ReadFileBytes(f.Path("show.cues")).contains("[Page0]\r\nCue0=0.3|0.2|/sound/a|0||"));
}

void tst_Cuewell::goGuardHoldsBackASecondGoNotAutoplay() {
    TWindowFixture f;
    TReceiver sound, light;
    WriteFileText(f.SettingsPath(),
                  "[Settings]\r\nGoGuard=200\r\n\r\n" + TargetSettings(sound.Port(), light.Port()));
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    WriteFileText(f.Path("show.cues"),
                  CueFileText({{"0.2|0.2|/sound/a|0||", "0.4|0.2|/sound/b|-1||",
                                "0.6|0.2|/sound/c|0||", "0.8|0.2|/sound/d|0||"}}));
    TCuewell& w = f.StartOn(script);
    QCOMPARE(w.GoGuardMs(), 200);
    QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
    Go(w);
    // b follows by autoplay; a bounce of the key 50 ms after the GO fires nothing.
    QTest::qWait(50);
    Go(w);
    QTest::qWait(50);
    QList<QByteArray> sent = sound.Drain();
    QCOMPARE(sent.size(), 2);
    QVERIFY(sent[0].contains("/sound/a"));
    QVERIFY(sent[1].contains("/sound/b"));
    QCOMPARE(w.Book->CurrentCue(), 2);
    // Once the guard has passed, GO fires again.
    QTest::qWait(150);
    Go(w);
    sent = sound.Drain();
    QCOMPARE(sent.size(), 1);
    QVERIFY(sent[0].contains("/sound/c"));
}

void tst_Cuewell::lockedCuesStayAsTheyAre() {
    TWindowFixture f;
    WriteFileText(f.SettingsPath(), "[Settings]\r\nLockCues=1\r\n\r\n");
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    WriteFileText(f.Path("show.cues"),
                  CueFileText({{"0.2|0.2|/sound/a|0|A|", "0.4|0.2|/sound/b|0|B|"}}, true));
    const QByteArray file = ReadFileBytes(f.Path("show.cues"));
    TCuewell& w = f.StartOn(script, QSize(1000, 500));
    QVERIFY(w.LockCues1->isChecked());
    const TCueTable table = w.Book->CueTable();
    // Ctrl+click adds nothing.
    QTest::mouseClick(w.AdvPDF, Qt::LeftButton, Qt::ControlModifier, QPoint(508, 58));
    QCOMPARE(VisiblePins(w), 2);
    // A drag moves nothing.
    TCuePin* pin = w.CuePin[0];
    const QPoint at = pin->pos();
    QTest::mousePress(pin, Qt::LeftButton, Qt::NoModifier, QPoint(8, 8));
    QMouseEvent move(QEvent::MouseMove, QPointF(8, 308), pin->mapToGlobal(QPointF(8, 308)),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(pin, &move);
    QTest::mouseRelease(pin, Qt::LeftButton, Qt::NoModifier, QPoint(8, 8));
    QCOMPARE(pin->pos(), at);
    // The dialog opens read-only; its Save and Delete change nothing.
    QTest::mouseClick(w.CuePin[1], Qt::RightButton);
    QVERIFY(w.Form2()->isVisible());
    QVERIFY(w.Form2()->Edit1->isReadOnly());
    QVERIFY(!w.Form2()->btnSave->isEnabled());
    QVERIFY(!w.Form2()->btnDelete->isEnabled());
    w.Form2()->btnSaveClick();
    w.Form2()->btnDeleteClick();
    QCOMPARE(w.Book->CueTable(), table);
    QVERIFY(!w.Book->CuesDirty());
    QCOMPARE(ReadFileBytes(f.Path("show.cues")), file);
    // Unlocked, the same dialog saves again.
    w.LockCues1->trigger();
    QVERIFY(!w.Book->Locked());
    QVERIFY(w.Form2()->btnSave->isEnabled());
    w.close();
    QVERIFY(ReadFileBytes(f.SettingsPath()).contains("LockCues=0\r\n"));
}

void tst_Cuewell::damagedSettingsKeepGoWorking() {
    TWindowFixture f;
    TReceiver sound, light;
    // A Latin-1 "é" in a comment line of a hand-edited settings file.
    const QByteArray settings =
        "[Settings]\r\nNote=caf\xE9\r\n\r\n" + TargetSettings(sound.Port(), light.Port());
    WriteFileText(f.SettingsPath(), settings);
    const QByteArray original = ReadFileBytes(f.SettingsPath());
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    WriteFileText(f.Path("show.cues"), CueFileText({{"0.2|0.2|/sound/a|0||"}}));
    TCuewell& w = f.StartOn(script);
    const QStringList errors = StopTexts(f.Prompts);
    QCOMPARE(errors.size(), 1);
    QVERIFY2(errors.first().contains("cuewell.ini") && errors.first().contains("line 2"),
             qPrintable(errors.first()));
    QVERIFY(errors.first().contains("cuewell.ini.unreadable"));
    // The targets were read and the keys work.
    QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
    Go(w);
    QVERIFY(sound.Next().contains("/sound/a"));
    // Closing says nothing more; the original is kept before the file is rewritten.
    QVERIFY(w.close());
    QCOMPARE(StopTexts(f.Prompts).size(), 1);
    QCOMPARE(ReadFileBytes(f.Path("cuewell.ini.unreadable")), original);
    const QByteArray rewritten = ReadFileBytes(f.SettingsPath());
    QVERIFY(!rewritten.contains("\xE9"));
    QVERIFY(rewritten.contains("soundPort=" + QByteArray::number(sound.Port())));
}

void tst_Cuewell::damagedCueFileLoadsWhatItCan() {
    TWindowFixture f;
    const QString a = MakeScript(f.Path("a.pdf"), 1);
    WriteFileText(f.Path("a.cues"), CueFileText({{"0.1|0.1|/a1|0||", "0.2|0.1|/a2|0||",
                                                  "0.3|0.1|/a3|0||", "0.4|0.1|/a4|0||"}}));
    const QString b = MakeScript(f.Path("b.pdf"), 1);
    WriteFileText(f.Path("b.cues"),
                  CueFileText({{"0.2|0.2|/b1|0||", "0.4|0.2|/b\xE9|0||", "0.6|0.2|/b3|0||"}}));
    TCuewell& w = f.StartOn(a);
    QCOMPARE(VisiblePins(w), 4);
    w.MostRecentFiles1MenuClick(nullptr, b);
    QTRY_COMPARE(w.Book->Script(), b);
    // Every cue but the damaged line's is read; a's pins are gone.
    QCOMPARE(VisiblePins(w), 2);
    QCOMPARE(w.Book->Record(0, 0), "0.2|0.2|/b1|0||");
    QCOMPARE(w.Book->Record(0, 1), "0.6|0.2|/b3|0||");
    const QStringList errors = StopTexts(f.Prompts);
    QCOMPARE(errors.size(), 1);
    QVERIFY2(errors.first().contains("b.cues") && errors.first().contains("line 3"),
             qPrintable(errors.first()));
}

void tst_Cuewell::laterPagesReadOnceFirstPageIsPainted() {
    TWindowFixture f;
    const QString script = MakeScript(f.Path("show.pdf"), 3);
    WriteFileText(f.Path("show.cues"),
                  CueFileText({{"0.1|0.1|/a|0||"}, {"0.2|0.2|/b|0||"}, {"0.3|0.3|/c|0||"}}));
    f.Prompts.Answers = {script};
    TCuewell& w = f.Start();
    // Whether the cue rows of the later pages were still unread when the first
    // page's image was painted: reading them must not hold up that paint.
    std::optional<bool> restPendingAtPaint;
    w.AdvPDF->installEventFilter(new EventHook(w.AdvPDF, [&](QObject*, QEvent* event) {
        if (event->type() == QEvent::Paint && !restPendingAtPaint && w.Book->ScriptLoaded() &&
            w.AdvPDF->PageCached(0))
            restPendingAtPaint = w.Book->RestPending();
        return false;
    }));
    w.show();
    QTRY_VERIFY(restPendingAtPaint.has_value());
    QVERIFY(*restPendingAtPaint);
    // Read soon after by themselves, before anything asks for them.
    QTRY_VERIFY(!w.Book->RestPending());
    QCOMPARE(w.Book->CueTable().at(2).at(0), "0.3|0.3|/c|0||");
}

void tst_Cuewell::dialogsMadeOnFirstUse_data() {
    QTest::addColumn<bool>("osc");
    QTest::newRow("cue details") << false;
    QTest::newRow("OSC settings") << true;
}

void tst_Cuewell::dialogsMadeOnFirstUse() {
    QFETCH(bool, osc);
    TWindowFixture f;
    // Read at start-up, before either dialog exists: the targets and the lock.
    WriteFileText(f.SettingsPath(),
                  TargetSettings(9001, 9002, "snd", "lx") + "[Settings]\r\nLockCues=1\r\n\r\n");
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    WriteFileText(f.Path("show.cues"), CueFileText({{"0.2|0.2|/sound/a|0|A|"}}, true));
    TCuewell& w = f.StartOn(script, QSize(1000, 500));
    // Nothing of them is made while the window starts.
    QVERIFY(w.findChildren<TForm2*>().isEmpty());
    QVERIFY(w.findChildren<TForm3*>().isEmpty());

    // Opened the operator's way, twice: one dialog, centred over the window,
    // showing what was read at start-up.
    for (int open = 0; open < 2; ++open) {
        QWidget* dialog = nullptr;
        if (osc) {
            w.OSCSettings1->trigger();
            dialog = w.Form3();
            QCOMPARE(w.Form3()->soundip->text(), "127.0.0.1");
            QCOMPARE(w.Form3()->soundport->text(), "9001");
            QCOMPARE(w.Form3()->soundOSC->text(), "snd");
            QCOMPARE(w.Form3()->lightport->text(), "9002");
            QCOMPARE(w.Form3()->lightosc->text(), "lx");
        } else {
            QTest::mouseClick(w.CuePin[0], Qt::RightButton);
            dialog = w.Form2();
            QCOMPARE(w.Form2()->Edit1->text(), "/sound/a");
            QVERIFY(w.Form2()->Edit1->isReadOnly());
            QVERIFY(!w.Form2()->btnSave->isEnabled());
        }
        QVERIFY(dialog->isVisible());
        QCOMPARE(w.findChildren<TForm2*>().size(), osc ? 0 : 1);
        QCOMPARE(w.findChildren<TForm3*>().size(), osc ? 1 : 0);
        // Centred: within the rounding of the two centres.
        const QPoint offset = dialog->geometry().center() - w.frameGeometry().center();
        QVERIFY2(qAbs(offset.x()) <= 2 && qAbs(offset.y()) <= 2,
                 qPrintable(QStringLiteral("%1,%2").arg(offset.x()).arg(offset.y())));
    }
    // Closing the window hides the one opened and makes no other.
    QVERIFY(w.close());
    QVERIFY(!(osc ? static_cast<QWidget*>(w.Form3()) : w.Form2())->isVisible());
    QCOMPARE(w.findChildren<TForm2*>().size(), osc ? 0 : 1);
    QCOMPARE(w.findChildren<TForm3*>().size(), osc ? 1 : 0);
}

void tst_Cuewell::lastScriptLoadedOnce() {
    TWindowFixture f;
    const QString script = MakeScript(f.Path("show.pdf"), 2);
    WriteFileText(f.Path("show.cues"), CueFileText({{"0.2|0.2|/sound/a|0|A|"}}, true));
    WriteFileText(f.SettingsPath(), "[Settings]\r\nLastScript=" + script.toUtf8() + "\r\n\r\n");
    TCuewell& w = f.Start();
    QVERIFY(!w.EndRequested());
    w.show();
    QTRY_VERIFY(w.Book->ScriptLoaded());
    QCOMPARE(w.Book->Script(), script);
    QTRY_VERIFY(w.AdvPDF->PageCached(0));
    // Opened ahead while the window was built, and that document is the one
    // shown: the file was loaded once.
    QCOMPARE(w.AdvPDF->Renderer().DocumentsLoaded(), 1);
    QVERIFY(f.Prompts.Boxes.isEmpty());
}

void tst_Cuewell::firstPageAheadWhereTheLastStartPutIt_data() {
    QTest::addColumn<QString>("hint"); // what the second start finds
    QTest::addColumn<bool>("served");  // its first page by the render made ahead
    QTest::newRow("left by the last start") << "kept" << true;
    QTest::newRow("none") << "none" << false;
    QTest::newRow("another script's") << "other" << false;
    QTest::newRow("another box") << "box" << false;
    QTest::newRow("damaged") << "damaged" << false;
}

void tst_Cuewell::firstPageAheadWhereTheLastStartPutIt() {
    QFETCH(QString, hint);
    QFETCH(bool, served);
    TWindowFixture f;
    const QString script = WriteLastShow(f);
    const QString hintPath = FirstPageHintPath(f.Paths);
    QVERIFY(!QFile::exists(hintPath));
    {
        // The first start finds no hint and leaves one.
        TCuewell* first = StartOnFirstPage(f);
        QVERIFY(first);
        QCOMPARE(first->AdvPDF->Renderer().RendersServedAhead(), 0);
        QTRY_VERIFY(QFile::exists(hintPath));
        const TFirstPageHint left = ReadFirstPageHint(hintPath);
        QCOMPARE(left.Script, script);
        QVERIFY(left.Box == first->AdvPDF->PageBox());
        QCOMPARE(left.DevicePixelRatio, first->AdvPDF->devicePixelRatioF());
        f.Window.reset();
    }
    const TFirstPageHint left = ReadFirstPageHint(hintPath);
    if (hint == "none")
        QVERIFY(QFile::remove(hintPath));
    else if (hint == "other")
        QVERIFY(
            WriteFirstPageHint(hintPath, {f.Path("other.pdf"), left.Box, left.DevicePixelRatio}));
    else if (hint == "box")
        QVERIFY(WriteFirstPageHint(
            hintPath, {left.Script, left.Box.adjusted(0, 0, -10, 0), left.DevicePixelRatio}));
    else if (hint == "damaged")
        WriteFileText(hintPath, "not a hint");

    TCuewell* w = StartOnFirstPage(f);
    QVERIFY(w);
    QCOMPARE(w->AdvPDF->Renderer().RendersServedAhead(), served ? 1 : 0);
    QCOMPARE(w->AdvPDF->Renderer().DocumentsLoaded(), 1);
    QVERIFY(w->AdvPDF->PageBox() == left.Box);
    // Whatever it found, the next start finds where this one put the page.
    QTRY_VERIFY(ReadFirstPageHint(hintPath) == left);
    QVERIFY2(f.Prompts.Boxes.isEmpty(), qPrintable(f.Prompts.Boxes.value(0).Text));
}

void tst_Cuewell::resizedWindowLeavesNoFirstPageBehind_data() {
    QTest::addColumn<int>("wider"); // pixels the window is widened by before it closes
    QTest::newRow("closed at its size") << 0;
    QTest::newRow("resized") << 40;
}

void tst_Cuewell::resizedWindowLeavesNoFirstPageBehind() {
    QFETCH(int, wider);
    TWindowFixture f;
    WriteLastShow(f);
    const QString hintPath = FirstPageHintPath(f.Paths);
    {
        TCuewell* first = StartOnFirstPage(f);
        QVERIFY(first);
        QTRY_VERIFY(QFile::exists(hintPath));
        if (wider > 0) {
            first->SetSizeLocked(false);
            first->SetOuterWidth(first->OuterWidth() + wider);
            QTRY_VERIFY(first->AdvPDF->PageBox() != ReadFirstPageHint(hintPath).Box);
        }
        QVERIFY(first->close());
        f.Window.reset();
    }
    // A place the next start would not lay its page out at is not kept.
    QCOMPARE(QFile::exists(hintPath), wider == 0);
    TCuewell* w = StartOnFirstPage(f);
    QVERIFY(w);
    QCOMPARE(w->AdvPDF->Renderer().RendersServedAhead(), wider == 0 ? 1 : 0);
    // Whichever it was, the next start finds its page where this one has it.
    QTRY_VERIFY(ReadFirstPageHint(hintPath).Box == w->AdvPDF->PageBox());
}

CUEWELL_TEST_MAIN(tst_Cuewell)
#include "tst_cuewell.moc"
