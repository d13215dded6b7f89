// A termination signal closes the main window like Exit, even when a modal
// box is open over it.

#include "app/Application.h"
#include "app/TerminationSignals.h"

#include <QCloseEvent>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <csignal>

namespace {

class TClosingWindow : public QWidget {
public:
    int Closes = 0;

protected:
    void closeEvent(QCloseEvent* event) override {
        ++Closes;
        event->accept();
    }
};

} // namespace

class tst_TerminationSignals : public QObject {
    Q_OBJECT
private slots:
    void signalArrives_data();
    void signalArrives();
    void closesWindow_data();
    void closesWindow();
};

void tst_TerminationSignals::signalArrives_data() {
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGHUP") << SIGHUP;
}

void tst_TerminationSignals::signalArrives() {
    QFETCH(int, signalNumber);
    TTerminationSignals termination;
    QSignalSpy spy(&termination, &TTerminationSignals::Requested);
    QCOMPARE(::raise(signalNumber), 0);
    QVERIFY(spy.wait(5000));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toInt(), signalNumber);
}

void tst_TerminationSignals::closesWindow_data() {
    QTest::addColumn<bool>("withBox");
    QTest::newRow("window alone") << false;
    QTest::newRow("message box open over it") << true;
}

void tst_TerminationSignals::closesWindow() {
    QFETCH(bool, withBox);
    TClosingWindow window;
    window.show();
    TTerminationSignals termination;
    connect(&termination, &TTerminationSignals::Requested, &window,
            [&window] { CloseFromOutside(&window); });
    QTimer::singleShot(50, [] { ::raise(SIGTERM); });
    if (withBox) {
        QMessageBox box(
            QMessageBox::NoIcon, QStringLiteral("Set Window size"),
            QStringLiteral("Before you add any cues, please set the size of the Window."),
            QMessageBox::Ok, &window);
        // Only the signal ends this box; the guard keeps a broken build from hanging.
        QTimer guard;
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, &box, [&box] { box.done(-42); });
        guard.start(10000);
        QVERIFY(box.exec() != -42);
        // The window is closed after the box's own loop has returned.
        QCOMPARE(window.Closes, 0);
    }
    QTRY_COMPARE_WITH_TIMEOUT(window.Closes, 1, 5000);
    QVERIFY(!window.isVisible());
}

QTEST_MAIN(tst_TerminationSignals)
#include "tst_terminationsignals.moc"
