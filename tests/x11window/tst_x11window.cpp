// The main window under a real X server and window manager (Xvfb with
// openbox, started by the test on a display of its own): the frame that the
// offscreen platform lacks, and key auto-repeat as X delivers it.

#include "tests/common/X11Frame.h"
#include "tests/common/X11Session.h"

#include "tests/common/CuewellFixture.h"
#include "tests/common/TestApplication.h"

#include "app/FirstPageHint.h"
#include "view/AdvPDFViewer.h"
#include "view/PdfRenderer.h"

#include <QApplication>
#include <QRegularExpression>

namespace {

QByteArray CueFileWithSize(QSize outer) {
    return "[Page0]\r\nCue0=0.2|0.2|/sound/a|0||\r\nCue1=0.4|0.2|/sound/b|0||\r\n"
           "Cue2=0.6|0.2|/sound/c|0||\r\n\r\n[Settings]\r\nHeight=" +
           QByteArray::number(outer.height()) + "\r\nWidth=" + QByteArray::number(outer.width()) +
           "\r\n\r\n";
}

// Counts the Space presses that reach the application, repeats included.
class SpaceCounter : public QObject {
public:
    int Presses = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::KeyPress &&
            static_cast<QKeyEvent*>(event)->key() == Qt::Key_Space && event->spontaneous())
            ++Presses;
        return false;
    }
};

} // namespace

class tst_X11Window : public QObject {
    Q_OBJECT
public:
    explicit tst_X11Window(const X11Session& x) : X(x) {}

private slots:
    void initTestCase();
    void sizeRoundTripsOverStarts_data();
    void sizeRoundTripsOverStarts();
    void firstStartTakesSettingsSizeAsOuter();
    void laterStartsFindTheirFirstPageRendered();
    void heldSpaceFiresOneCue();
    void eachTapOfSpaceFiresOneCue_data();
    void eachTapOfSpaceFiresOneCue();

private:
    // The window's outer size as the X server and window manager have it.
    QSize RealOuter(const TCuewell& w) const;
    // Waits until the real outer size is `outer` and has stayed so for a while:
    // the window manager has finished framing the window.
    bool SettlesAt(const TCuewell& w, QSize outer) const;
    TCuewell& StartAndWait(TWindowFixture& f, const QString& script);
    // A one-page show whose window is active, with the viewer focused (as after
    // the operator clicked into the page) and the first cue prompted; null when
    // the window did not become active or nothing was prompted.
    TCuewell* StartPrompted(TWindowFixture& f, const TReceiver& sound, const TReceiver& light);

    const X11Session& X;
};

void tst_X11Window::initTestCase() {
    if (!X.Why().isEmpty())
        QSKIP(qPrintable(QStringLiteral("No X server with a window manager: ") + X.Why()));
    QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
}

QSize tst_X11Window::RealOuter(const TCuewell& w) const {
    return RealFrame(X, w.winId()).size();
}

bool tst_X11Window::SettlesAt(const TCuewell& w, QSize outer) const {
    int steady = 0;
    for (int i = 0; i < 100 && steady < 5; ++i) {
        QTest::qWait(100);
        steady = RealOuter(w) == outer ? steady + 1 : 0;
    }
    return steady >= 5;
}

TCuewell& tst_X11Window::StartAndWait(TWindowFixture& f, const QString& script) {
    f.Window.reset();
    f.Prompts.Answers = {script};
    TCuewell& w = f.Start();
    w.show();
    if (!QTest::qWaitForWindowExposed(&w))
        qWarning("window not exposed");
    if (!QTest::qWaitFor([&] { return w.Book->ScriptLoaded(); }, 10000))
        qWarning("script did not load");
    return w;
}

TCuewell* tst_X11Window::StartPrompted(TWindowFixture& f, const TReceiver& sound,
                                       const TReceiver& light) {
    WriteFileText(f.SettingsPath(), TargetSettings(sound.Port(), light.Port()));
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    WriteFileText(f.Path("show.cues"), CueFileWithSize(QSize(700, 600)));
    TCuewell& w = StartAndWait(f, script);
    w.activateWindow();
    if (!QTest::qWaitForWindowActive(&w))
        return nullptr;
    w.AdvPDF->setFocus();
    QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
    return w.NowCue->isVisible() ? &w : nullptr;
}

void tst_X11Window::sizeRoundTripsOverStarts_data() {
    QTest::addColumn<QSize>("outer");
    QTest::newRow("600 x 800") << QSize(600, 800);
    QTest::newRow("960 x 620") << QSize(960, 620);
}

void tst_X11Window::sizeRoundTripsOverStarts() {
    QFETCH(QSize, outer);
    TWindowFixture f;
    const QString script = MakeScript(f.Path("show.pdf"), 2);
    const QString cues = f.Path("show.cues");
    WriteFileText(cues, CueFileWithSize(outer));
    QSize firstView;
    for (int start = 0; start < 6; ++start) {
        TCuewell& w = StartAndWait(f, script);
        QVERIFY(w.SizeLocked());
        const bool settled = SettlesAt(w, outer);
        QVERIFY2(settled, qPrintable(QStringLiteral("start %1: the window's outer size is %2 x %3")
                                         .arg(start)
                                         .arg(RealOuter(w).width())
                                         .arg(RealOuter(w).height())));
        const QSize view = w.AdvPDF->size();
        if (start == 0)
            firstView = view;
        QCOMPARE(view, firstView);
        QCOMPARE(QSize(w.ViewWidth, w.ViewHeight), firstView);
        QVERIFY(w.close());
        const QByteArray text = ReadFileBytes(cues);
        QCOMPARE(QSize(IntAfter(text, "Width"), IntAfter(text, "Height")), outer);
    }
}

void tst_X11Window::firstStartTakesSettingsSizeAsOuter() {
    TWindowFixture f;
    const QString script = MakeScript(f.Path("show.pdf"), 1);
    WriteFileText(f.SettingsPath(), "[Settings]\r\nHeight=650\r\nWidth=820\r\n\r\n");
    TCuewell& w = StartAndWait(f, script);
    QVERIFY(!w.SizeLocked());
    QVERIFY2(SettlesAt(w, QSize(820, 650)), qPrintable(QStringLiteral("outer size %1 x %2")
                                                           .arg(RealOuter(w).width())
                                                           .arg(RealOuter(w).height())));
    QCOMPARE(QSize(w.OuterWidth(), w.OuterHeight()), QSize(820, 650));
}

void tst_X11Window::laterStartsFindTheirFirstPageRendered() {
    // The page's place depends on the frame the window manager gives: each
    // start must find it where the one before left it, or none gains.
    TWindowFixture f;
    const QString script = MakeScript(f.Path("show.pdf"), 2);
    WriteFileText(f.Path("show.cues"), CueFileWithSize(QSize(760, 640)));
    QRectF firstBox;
    for (int start = 0; start < 4; ++start) {
        // The first start is given the script; the others open the last one.
        TCuewell& w = start == 0 ? StartAndWait(f, script) : StartAndWait(f, QString());
        QCOMPARE(w.Book->Script(), script);
        QTRY_VERIFY(w.AdvPDF->PageCached(0));
        const QRectF box = w.AdvPDF->PageBox();
        if (start == 0)
            firstBox = box;
        QVERIFY2(box == firstBox,
                 qPrintable(QStringLiteral("start %1: the page box is %2 x %3, first %4 x %5")
                                .arg(start)
                                .arg(box.width())
                                .arg(box.height())
                                .arg(firstBox.width())
                                .arg(firstBox.height())));
        QCOMPARE(w.AdvPDF->Renderer().RendersServedAhead(), start == 0 ? 0 : 1);
        QTRY_VERIFY(ReadFirstPageHint(FirstPageHintPath(f.Paths)).Box == firstBox);
        QVERIFY(w.close());
    }
    QVERIFY(f.Prompts.Boxes.isEmpty());
}

void tst_X11Window::heldSpaceFiresOneCue() {
    TWindowFixture f;
    TReceiver sound, light;
    TCuewell* const prompted = StartPrompted(f, sound, light);
    QVERIFY(prompted);
    TCuewell& w = *prompted;
    SpaceCounter counter;
    qApp->installEventFilter(&counter);

    // The operator holds Space for a second and a half.
    QVERIFY(!X.Run("xdotool keydown space").isNull());
    QTest::qWait(1500);
    QVERIFY(!X.Run("xdotool keyup space").isNull());
    QTest::qWait(300);
    qApp->removeEventFilter(&counter);

    QVERIFY2(counter.Presses > 3, "X auto-repeat did not reach the window");
    QCOMPARE(sound.Drain(300).size(), 1);
    QCOMPARE(w.Book->CurrentCue(), 1);
    QVERIFY(w.NowCue->isVisible());
}

void tst_X11Window::eachTapOfSpaceFiresOneCue_data() {
    QTest::addColumn<QString>("keys"); // as xdotool names them
    QTest::addColumn<int>("cues");
    QTest::newRow("Space") << "space" << 1;
    QTest::newRow("two taps") << "space space" << 2;
    QTest::newRow("Ctrl+Space") << "ctrl+space" << 1;
    QTest::newRow("Shift+Space") << "shift+space" << 1;
    // Alt+Space is left out: the window manager takes it for its window menu.
    QTest::newRow("Ctrl+Shift+Space") << "ctrl+shift+space" << 1;
}

void tst_X11Window::eachTapOfSpaceFiresOneCue() {
    QFETCH(QString, keys);
    QFETCH(int, cues);
    TWindowFixture f;
    TReceiver sound, light;
    TCuewell* const prompted = StartPrompted(f, sound, light);
    QVERIFY(prompted);
    TCuewell& w = *prompted;

    QVERIFY(!X.Run("xdotool key --delay 150 " + keys.toStdString()).isNull());
    QTest::qWait(300);

    const QList<QByteArray> sent = sound.Drain(300);
    QCOMPARE(sent.size(), cues);
    QVERIFY(sent[0].contains("/sound/a"));
    QCOMPARE(w.Book->CurrentCue(), cues);
    QVERIFY(w.NowCue->isVisible());
    QVERIFY(!w.CtrlDown);
}

int main(int argc, char** argv) {
    return RunUnderX11<tst_X11Window, TTestApplication>(argc, argv);
}

#include "tst_x11window.moc"
