// A held key is one press: auto-repeat told from physical presses by the
// events X sends, also when Qt has not marked them as repeats (a busy
// machine), first on their own and then at the main window's GO.

#include "cues/KeyRepeatFilter.h"

#include "tests/common/CuewellFixture.h"

#include <QKeyEvent>

namespace {

struct KeyStep {
    bool Press;
    int Key;
    quint64 Time;
    bool AutoRepeat;
};

KeyStep Down(quint64 time, int key = Qt::Key_Space, bool autoRepeat = false) {
    return {true, key, time, autoRepeat};
}
KeyStep Up(quint64 time, int key = Qt::Key_Space, bool autoRepeat = false) {
    return {false, key, time, autoRepeat};
}

// Space held from `from` for `repeats` repeats, 33 ms apart after a 660 ms
// delay, as X sends it: each repeat a release and a press of the same time,
// none of them marked as a repeat.
QList<KeyStep> HeldUnmarked(quint64 from, int repeats) {
    QList<KeyStep> steps{Down(from)};
    quint64 t = from + 660;
    for (int i = 0; i < repeats; ++i, t += 33)
        steps << Up(t) << Down(t);
    steps << Up(t + 100);
    return steps;
}

} // namespace

Q_DECLARE_METATYPE(QList<KeyStep>)

class tst_KeyRepeat : public QObject {
    Q_OBJECT
private slots:
    void physicalPresses_data();
    void physicalPresses();
    void heldSpaceFiresOnceInWindow_data();
    void heldSpaceFiresOnceInWindow();
};

void tst_KeyRepeat::physicalPresses_data() {
    QTest::addColumn<QList<KeyStep>>("steps");
    // For each press in turn: whether it is a new physical press.
    QTest::addColumn<QList<bool>>("expected");

    QTest::newRow("one tap") << QList<KeyStep>{Down(1000), Up(1080)} << QList<bool>{true};
    QTest::newRow("held, repeats unmarked")
        << HeldUnmarked(1000, 4) << QList<bool>{true, false, false, false, false};
    QTest::newRow("held, repeats marked by Qt")
        << QList<KeyStep>{Down(1000), Up(1660, Qt::Key_Space, true),
                          Down(1660, Qt::Key_Space, true), Up(1700)}
        << QList<bool>{true, false};
    QTest::newRow("marked and unmarked repeats mixed")
        << QList<KeyStep>{Down(1000),
                          Up(1660),
                          Down(1660),
                          Up(1693, Qt::Key_Space, true),
                          Down(1693, Qt::Key_Space, true),
                          Up(1726),
                          Down(1726),
                          Up(1800)}
        << QList<bool>{true, false, false, false};
    QTest::newRow("server one millisecond apart")
        << QList<KeyStep>{Down(1000), Up(1660), Down(1661), Up(1700)} << QList<bool>{true, false};
    QTest::newRow("quick second tap is a press")
        << QList<KeyStep>{Down(1000), Up(1060), Down(1110), Up(1170)} << QList<bool>{true, true};
    QTest::newRow("tap after a held key")
        << HeldUnmarked(1000, 2) + QList<KeyStep>{Down(2500), Up(2560)}
        << QList<bool>{true, false, false, true};
    QTest::newRow("another key's release does not pair")
        << QList<KeyStep>{Down(1000, Qt::Key_Control), Up(1500, Qt::Key_Control), Down(1500),
                          Up(1600)}
        << QList<bool>{true, true};
    QTest::newRow("held Ctrl repeats on its own")
        << QList<KeyStep>{Down(1000, Qt::Key_Control), Up(1660, Qt::Key_Control),
                          Down(1660, Qt::Key_Control), Down(1700), Up(1750)}
        << QList<bool>{true, false, true};
    // Events made by a program carry no time: each press counts.
    QTest::newRow("no time stamps")
        << QList<KeyStep>{Down(0), Up(0), Down(0), Up(0)} << QList<bool>{true, true};
}

void tst_KeyRepeat::physicalPresses() {
    QFETCH(QList<KeyStep>, steps);
    QFETCH(QList<bool>, expected);
    KeyRepeatFilter filter;
    QList<bool> pressesNew;
    for (const KeyStep& s : steps) {
        if (s.Press)
            pressesNew.append(filter.Press(s.Key, s.Time, s.AutoRepeat));
        else
            filter.Release(s.Key, s.Time);
    }
    QCOMPARE(pressesNew, expected);
}

void tst_KeyRepeat::heldSpaceFiresOnceInWindow_data() {
    QTest::addColumn<QList<KeyStep>>("steps");
    QTest::addColumn<QStringList>("sent");

    QTest::newRow("held, repeats unmarked") << HeldUnmarked(5000, 40) << QStringList{"/sound/a"};
    QTest::newRow("two taps") << QList<KeyStep>{Down(5000), Up(5090), Down(5400), Up(5480)}
                              << QStringList{"/sound/a", "/sound/b"};
    QTest::newRow("held, then a tap")
        << HeldUnmarked(5000, 10) + QList<KeyStep>{Down(7000), Up(7070)}
        << QStringList{"/sound/a", "/sound/b"};
}

void tst_KeyRepeat::heldSpaceFiresOnceInWindow() {
    QFETCH(QList<KeyStep>, steps);
    QFETCH(QStringList, sent);
    TWindowFixture f;
    TReceiver sound, light;
    WriteFileText(f.SettingsPath(), TargetSettings(sound.Port(), light.Port()));
    const QString script = MakeScript(f.Path("show.pdf"), 2);
    WriteFileText(f.Path("show.cues"), CueFileText({{"0.2|0.2|/sound/a|0||", "0.4|0.2|/sound/b|0||",
                                                     "0.6|0.2|/sound/c|0||"},
                                                    {"0.2|0.2|/sound/d|0||"}}));
    TCuewell& w = f.StartOn(script);
    QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
    QVERIFY(w.NowCue->isVisible());
    for (const KeyStep& s : steps) {
        QKeyEvent event(s.Press ? QEvent::KeyPress : QEvent::KeyRelease, s.Key, Qt::NoModifier,
                        s.Key == Qt::Key_Space ? QStringLiteral(" ") : QString(), s.AutoRepeat);
        event.setTimestamp(s.Time);
        QCoreApplication::sendEvent(KeyTarget(w), &event);
    }
    QStringList got;
    for (const QByteArray& d : sound.Drain())
        got.append(QString::fromLatin1(d.mid(20, 8)).remove(QChar(0)));
    QCOMPARE(got, sent);
    QCOMPARE(w.AdvPDF->PageIndex(), 0);
    QCOMPARE(w.Book->CurrentCue(), sent.size());
}

QTEST_MAIN(tst_KeyRepeat)
#include "tst_keyrepeat.moc"
