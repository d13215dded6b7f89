#include "cues/GoGuard.h"

#include <QTest>

using namespace std::chrono_literals;

class tst_GoGuard : public QObject {
    Q_OBJECT
private slots:
    void passes_data();
    void passes();
};

void tst_GoGuard::passes_data() {
    QTest::addColumn<int>("guardMs");
    QTest::addColumn<QList<int>>("pressesMs");
    QTest::addColumn<QList<bool>>("fired");
    QTest::newRow("off: every press fires")
        << 0 << QList<int>{0, 1, 2} << QList<bool>{true, true, true};
    QTest::newRow("double press within the guard")
        << 200 << QList<int>{0, 50} << QList<bool>{true, false};
    QTest::newRow("exactly the guard apart")
        << 200 << QList<int>{0, 200} << QList<bool>{true, true};
    // A refused press does not restart the guard: the bounce ends, the next press fires.
    QTest::newRow("bounces measured from the GO that fired")
        << 200 << QList<int>{0, 150, 199, 210} << QList<bool>{true, false, false, true};
    QTest::newRow("negative is off") << -5 << QList<int>{0, 1} << QList<bool>{true, true};
}

void tst_GoGuard::passes() {
    QFETCH(int, guardMs);
    QFETCH(QList<int>, pressesMs);
    QFETCH(QList<bool>, fired);
    TGoGuard guard;
    guard.SetMinimumMs(guardMs);
    const TGoGuard::Clock::time_point start = TGoGuard::Clock::now();
    for (int i = 0; i < pressesMs.size(); ++i)
        QCOMPARE(guard.Pass(start + std::chrono::milliseconds(pressesMs[i])), fired[i]);
}

QTEST_GUILESS_MAIN(tst_GoGuard)
#include "tst_goguard.moc"
