// The cue list beside the main window under a real X server and window
// manager (Xvfb with openbox, started by the test): the main window's frame
// and pins stay where they are while the list opens and closes, and a real
// double-click on the list followed by a real Space fires the chosen cue.

#include "tests/common/X11Frame.h"
#include "tests/common/X11Session.h"

#include "tests/common/CuewellFixture.h"

#include "cues/CueListWindow.h"

#include <QApplication>
#include <QRegularExpression>
#include <QTableView>

namespace {

QByteArray ShowCues() {
    return "[Page0]\r\nCue0=0.2|0.2|/sound/a|0||\r\nCue1=0.5|0.6|/sound/b|0||\r\n\r\n"
           "[Page1]\r\nCue0=0.3|0.3|/sound/c|0||\r\n\r\n"
           "[Settings]\r\nHeight=640\r\nWidth=820\r\n\r\n";
}

} // namespace

class tst_CueListWindowX11 : public QObject {
    Q_OBJECT
public:
    explicit tst_CueListWindowX11(const X11Session& x) : X(x) {}

private slots:
    void initTestCase();
    void listLeavesMainWindowAndPinsAlone_data();
    void listLeavesMainWindowAndPinsAlone();
    void spaceAfterADoubleClickOnTheListFires();

private:
    // The main window's frame as the X server and window manager have it.
    QRect RealFrame(const QWidget& w) const;
    // Waits until the frame has stayed the same for a while and returns it.
    QRect SettledFrame(const TCuewell& w) const;
    TCuewell& Start(TWindowFixture& f, TReceiver& sound, TReceiver& light);

    const X11Session& X;
};

void tst_CueListWindowX11::initTestCase() {
    if (!X.Why().isEmpty())
        QSKIP(qPrintable(QStringLiteral("No X server with a window manager: ") + X.Why()));
    QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
}

QRect tst_CueListWindowX11::RealFrame(const QWidget& w) const {
    return ::RealFrame(X, w.winId());
}

QRect tst_CueListWindowX11::SettledFrame(const TCuewell& w) const {
    QRect last;
    int steady = 0;
    for (int i = 0; i < 60 && steady < 4; ++i) {
        QTest::qWait(100);
        const QRect now = RealFrame(w);
        steady = now == last && now.isValid() ? steady + 1 : 0;
        last = now;
    }
    return last;
}

TCuewell& tst_CueListWindowX11::Start(TWindowFixture& f, TReceiver& sound, TReceiver& light) {
    WriteFileText(f.SettingsPath(), TargetSettings(sound.Port(), light.Port()));
    const QString script = MakeScript(f.Path("show.pdf"), 2);
    WriteFileText(f.Path("show.cues"), ShowCues());
    f.Prompts.Answers = {script};
    TCuewell& w = f.Start();
    w.show();
    if (!QTest::qWaitForWindowExposed(&w))
        qWarning("window not exposed");
    if (!QTest::qWaitFor([&] { return w.Book->ScriptLoaded(); }, 10000))
        qWarning("script did not load");
    return w;
}

void tst_CueListWindowX11::listLeavesMainWindowAndPinsAlone_data() {
    QTest::addColumn<bool>("prompted");
    QTest::newRow("nothing prompted") << false;
    QTest::newRow("a cue prompted") << true;
}

void tst_CueListWindowX11::listLeavesMainWindowAndPinsAlone() {
    QFETCH(bool, prompted);
    TWindowFixture f;
    TReceiver sound, light;
    TCuewell& w = Start(f, sound, light);
    QVERIFY(w.SizeLocked());
    if (prompted)
        QTest::mouseClick(w.CuePin[1], Qt::LeftButton);
    const QRect frame = SettledFrame(w);
    QCOMPARE(frame.size(), QSize(820, 640));
    const QSize view = w.AdvPDF->size();
    const QPoint pin0 = w.CuePin[0]->pos(), pin1 = w.CuePin[1]->pos();
    const QRect prompt = w.NowCue->geometry();

    const auto unchanged = [&](const char* when) {
        QCOMPARE(SettledFrame(w), frame);
        QVERIFY2(w.AdvPDF->size() == view, when);
        QVERIFY2(w.CuePin[0]->pos() == pin0, when);
        QVERIFY2(w.CuePin[1]->pos() == pin1, when);
        QVERIFY2(w.NowCue->geometry() == prompt, when);
        QVERIFY2(w.NowCue->isVisible() == prompted, when);
    };
    w.CueList1->trigger();
    QVERIFY(QTest::qWaitForWindowExposed(w.CueList));
    unchanged("with the list open");
    if (QTest::currentTestFailed())
        return;
    QVERIFY(w.CueList->isWindow());
    // It opens beside the main window, covering neither the script nor a pin.
    QTRY_VERIFY(RealFrame(*w.CueList).isValid());
    QTest::qWait(200);
    QVERIFY2(!RealFrame(*w.CueList).intersects(frame),
             qPrintable(QStringLiteral("list at %1,%2 %3 x %4")
                            .arg(RealFrame(*w.CueList).x())
                            .arg(RealFrame(*w.CueList).y())
                            .arg(RealFrame(*w.CueList).width())
                            .arg(RealFrame(*w.CueList).height())));
    // All of its inside is on the screen (the frame's border may differ from
    // the main window's, which the list's size was worked out with).
    QVERIFY(QRect(0, 0, 1280, 1024).contains(w.CueList->geometry()));
    // A list made much larger and then closed leaves the main window alone too.
    w.CueList->resize(1100, 900);
    unchanged("with the list resized");
    if (QTest::currentTestFailed())
        return;
    w.CueList->close();
    QTRY_VERIFY(!w.CueList->isVisible());
    unchanged("with the list closed");
    if (QTest::currentTestFailed())
        return;
    w.CueList1->trigger();
    QVERIFY(QTest::qWaitForWindowExposed(w.CueList));
    unchanged("with the list open again");
    // And the size stored with the cues is the window's own.
    QVERIFY(w.close());
    const QByteArray cues = ReadFileBytes(f.Path("show.cues"));
    QVERIFY2(cues.contains("Height=640\r\nWidth=820\r\n"), cues.constData());
}

void tst_CueListWindowX11::spaceAfterADoubleClickOnTheListFires() {
    TWindowFixture f;
    TReceiver sound, light;
    TCuewell& w = Start(f, sound, light);
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    w.CueList1->trigger();
    QVERIFY(QTest::qWaitForWindowExposed(w.CueList));
    // The operator double-clicks cue c (page 2) with the mouse; the list takes
    // the focus as a clicked window does.
    QTableView& view = w.CueList->View();
    const QRect cell = view.visualRect(view.model()->index(2, TCueListModel::colCall));
    const QPoint at = view.viewport()->mapToGlobal(cell.center());
    QVERIFY(!X.Run("xdotool mousemove --sync " + std::to_string(at.x()) + " " +
                   std::to_string(at.y()) + " click --repeat 2 --delay 80 1")
                 .isNull());
    QTRY_COMPARE(w.AdvPDF->PageIndex(), 1);
    QTRY_VERIFY(w.NowCue->isVisible());
    QTRY_VERIFY(QApplication::activeWindow() == w.CueList);
    QTest::qWait(200);
    QVERIFY(sound.Next(0).isNull());

    QVERIFY(!X.Run("xdotool key space").isNull());
    // The key arrives through the event loop, which a blocking wait would stall.
    QTRY_VERIFY(sound.Socket.hasPendingDatagrams());
    const QByteArray sent = sound.Next();
    QVERIFY2(sent.contains("/sound/c"), sent.constData());
    QTest::qWait(200);
    QVERIFY(sound.Next(0).isNull());
}

int main(int argc, char** argv) {
    return RunUnderX11<tst_CueListWindowX11>(argc, argv);
}

#include "tst_cuelistwindow_x11.moc"
