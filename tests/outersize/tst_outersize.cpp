// The outer size asked for stays the size stored, whatever the frame does and
// whenever it becomes known; the client size follows the frame.

#include "app/OuterSize.h"

#include <QTest>

namespace {

// One thing that happens to a window, in turn.
struct SizeStep {
    enum Kind { Want, Frame, Reported } What;
    QSize Size;       // Want: outer size; Reported: client size
    QMargins Margins; // Frame
    bool Resizable = false;
};

SizeStep Want(QSize outer) {
    return {SizeStep::Want, outer, {}};
}
SizeStep Frame(int left, int top, int right, int bottom) {
    return {SizeStep::Frame, {}, QMargins(left, top, right, bottom)};
}
SizeStep Unframed() {
    return {SizeStep::Frame, {}, QMargins()};
}
SizeStep ReportedBy(QSize client, bool resizable) {
    return {SizeStep::Reported, client, {}, resizable};
}

// The window does what it is asked: after each step its client size is what
// the class says it should be, and that size is reported back.
struct Run {
    QSize Client{940, 524};
    QSize Outer;
};

Run Play(const QList<SizeStep>& steps) {
    OuterSize size;
    Run run;
    for (const SizeStep& s : steps) {
        switch (s.What) {
        case SizeStep::Want:
            size.SetWantedHeight(s.Size.height());
            size.SetWantedWidth(s.Size.width());
            break;
        case SizeStep::Frame:
            size.SetFrame(s.Margins);
            break;
        case SizeStep::Reported:
            size.Reported(s.Size, s.Resizable);
            run.Client = s.Size;
            continue;
        }
        run.Client = size.Client(run.Client);
        size.Asked(run.Client);
    }
    run.Outer = size.Outer(run.Client);
    return run;
}

} // namespace

Q_DECLARE_METATYPE(QList<SizeStep>)

class tst_OuterSize : public QObject {
    Q_OBJECT
private slots:
    void clientFollowsFrame_data();
    void clientFollowsFrame();
    void frameChangeAsksAnew();
    void dimensionNeverAskedForIsMeasured();
};

void tst_OuterSize::clientFollowsFrame_data() {
    QTest::addColumn<QList<SizeStep>>("steps");
    QTest::addColumn<QSize>("client");
    QTest::addColumn<QSize>("outer");

    QTest::newRow("frame known before the size")
        << QList<SizeStep>{Frame(1, 20, 1, 5), Want({600, 800})} << QSize(598, 775)
        << QSize(600, 800);
    QTest::newRow("frame known only after the size")
        << QList<SizeStep>{Want({600, 800}), Frame(1, 20, 1, 5)} << QSize(598, 775)
        << QSize(600, 800);
    // A fixed size takes the resize handle away: the frame shrinks, the client grows.
    QTest::newRow("frame shrinks when the size is fixed")
        << QList<SizeStep>{Want({600, 800}), Frame(1, 20, 1, 5), Frame(1, 20, 1, 1)}
        << QSize(598, 779) << QSize(600, 800);
    QTest::newRow("frame never known")
        << QList<SizeStep>{Want({600, 800})} << QSize(600, 800) << QSize(600, 800);
    // Hidden or not yet framed again: the last frame known stands in.
    QTest::newRow("frame lost again")
        << QList<SizeStep>{Want({600, 800}), Frame(1, 20, 1, 1), Unframed()} << QSize(598, 779)
        << QSize(600, 800);
    QTest::newRow("new size under a known frame")
        << QList<SizeStep>{Want({700, 600}), Frame(1, 20, 1, 5), Want({960, 620})}
        << QSize(958, 595) << QSize(960, 620);
    QTest::newRow("frame larger than the size asked")
        << QList<SizeStep>{Want({10, 10}), Frame(10, 30, 10, 10)} << QSize(1, 1) << QSize(10, 10);
    // The operator drags the border of a resizable window.
    QTest::newRow("operator's resize becomes the size")
        << QList<SizeStep>{Want({600, 800}), Frame(1, 20, 1, 5), ReportedBy({700, 500}, true)}
        << QSize(700, 500) << QSize(702, 525);
    QTest::newRow("no operator's resize of a fixed window")
        << QList<SizeStep>{Want({600, 800}), Frame(1, 20, 1, 1), ReportedBy({700, 500}, false)}
        << QSize(700, 500) << QSize(600, 800);
    // X may report earlier requests after later ones: they are no resize.
    QTest::newRow("late report of an earlier request")
        << QList<SizeStep>{Want({600, 800}), Frame(1, 20, 1, 5), ReportedBy({598, 775}, true),
                           ReportedBy({600, 800}, true)}
        << QSize(600, 800) << QSize(600, 800);
    QTest::newRow("operator's resize back to a size asked before")
        << QList<SizeStep>{Want({600, 800}), Frame(1, 20, 1, 5), ReportedBy({700, 500}, true),
                           ReportedBy({598, 775}, true)}
        << QSize(598, 775) << QSize(600, 800);
}

void tst_OuterSize::clientFollowsFrame() {
    QFETCH(QList<SizeStep>, steps);
    QFETCH(QSize, client);
    QFETCH(QSize, outer);
    const Run run = Play(steps);
    QCOMPARE(run.Client, client);
    QCOMPARE(run.Outer, outer);
}

void tst_OuterSize::frameChangeAsksAnew() {
    OuterSize size;
    size.SetWantedHeight(800);
    size.SetWantedWidth(600);
    QVERIFY(!size.FrameKnown());
    QVERIFY(size.SetFrame(QMargins(1, 20, 1, 5)));
    QVERIFY(size.FrameKnown());
    // The same frame again, or a move that changes nothing: nothing to ask.
    QVERIFY(!size.SetFrame(QMargins(1, 20, 1, 5)));
    QVERIFY(size.SetFrame(QMargins(1, 20, 1, 1)));
    QVERIFY(!size.SetFrame(QMargins()));
    QVERIFY(!size.FrameKnown());
    QVERIFY(!size.SetFrame(QMargins(1, 20, 1, 1)));
}

void tst_OuterSize::dimensionNeverAskedForIsMeasured() {
    OuterSize size;
    size.SetFrame(QMargins(1, 20, 1, 5));
    QCOMPARE(size.Outer(QSize(940, 524)), QSize(942, 549));
    size.SetWantedHeight(600);
    QCOMPARE(size.Client(QSize(940, 524)), QSize(940, 575));
    QCOMPARE(size.Outer(QSize(940, 575)), QSize(942, 600));
}

QTEST_MAIN(tst_OuterSize)
#include "tst_outersize.moc"
