#include "cues/CueLayout.h"

#include <QTest>

class tst_CueLayout : public QObject {
    Q_OBJECT
private slots:
    void pinTopLeft_data();
    void pinTopLeft();
    void separation_data();
    void separation();
    void arrowPrompt();
    void callPrompt_data();
    void callPrompt();
    void callPromptImage_data();
    void callPromptImage();
};

void tst_CueLayout::pinTopLeft_data() {
    QTest::addColumn<QString>("record");
    QTest::addColumn<QSize>("view");
    QTest::addColumn<QPoint>("expected");
    QTest::newRow("new cue") << "0.4|0.11||0||" << QSize(940, 500) << QPoint(103, 200);
    // 0.125 x 400 = 50 exactly; 0.5 x 469 = 234.5 rounds to the even 234.
    QTest::newRow("halves to even") << "0.125|0.5||0||" << QSize(469, 400) << QPoint(234, 50);
    QTest::newRow("beyond the view") << "-0.01|1.02||0||" << QSize(100, 100) << QPoint(102, -1);
    QTest::newRow("short record") << "0.5|0.5" << QSize(200, 100) << QPoint(100, 50);
}

void tst_CueLayout::pinTopLeft() {
    QFETCH(QString, record);
    QFETCH(QSize, view);
    QFETCH(QPoint, expected);
    QCOMPARE(PinTopLeft(SplitRecord(record), view.width(), view.height()), expected);
}

void tst_CueLayout::separation_data() {
    QTest::addColumn<int>("top");
    QTest::addColumn<int>("previous");
    QTest::addColumn<int>("shown");
    QTest::newRow("same top") << 100 << 100 << 116;
    QTest::newRow("15 below") << 115 << 100 << 131;
    QTest::newRow("16 below") << 116 << 100 << 116;
    // A third pin with the same stored top lands where the second was drawn.
    QTest::newRow("third of three") << 100 << 116 << 116;
    QTest::newRow("above its predecessor") << 40 << 100 << 56;
}

void tst_CueLayout::separation() {
    QFETCH(int, top);
    QFETCH(int, previous);
    QFETCH(int, shown);
    QCOMPARE(SeparatedTop(top, previous), shown);
}

void tst_CueLayout::arrowPrompt() {
    // The arrow sits on the left whichever half the pin is in.
    QCOMPARE(ArrowPromptRect(QPoint(300, 200)), QRect(260, 192, 32, 32));
    QCOMPARE(ArrowPromptRect(QPoint(800, 200)), QRect(760, 192, 32, 32));
}

void tst_CueLayout::callPrompt_data() {
    QTest::addColumn<QPoint>("pin");
    QTest::addColumn<int>("textWidth");
    QTest::addColumn<QRect>("expected");
    // A 120-pixel prompt (text 74 + 46) with the view's middle at 470.
    QTest::newRow("left half") << QPoint(300, 200) << 74 << QRect(172, 196, 120, 24);
    QTest::newRow("right half") << QPoint(600, 200) << 74 << QRect(624, 196, 120, 24);
    QTest::newRow("at the middle") << QPoint(470, 50) << 74 << QRect(494, 46, 120, 24);
}

void tst_CueLayout::callPrompt() {
    QFETCH(QPoint, pin);
    QFETCH(int, textWidth);
    QFETCH(QRect, expected);
    QCOMPARE(CallPromptRect(pin, textWidth, 470), expected);
}

void tst_CueLayout::callPromptImage_data() {
    QTest::addColumn<QString>("selector");
    QTest::addColumn<QString>("sound");
    QTest::addColumn<QString>("light");
    QTest::addColumn<int>("image");
    QTest::newRow("sound") << "sound"
                           << "sound"
                           << "light" << int(piSound);
    QTest::newRow("light") << "light"
                           << "sound"
                           << "light" << int(piLight);
    QTest::newRow("neither") << "video"
                             << "sound"
                             << "light" << int(piNeither);
    QTest::newRow("case counts") << "Sound"
                                 << "sound"
                                 << "light" << int(piNeither);
    QTest::newRow("equal selectors: light wins") << "fx"
                                                 << "fx"
                                                 << "fx" << int(piLight);
}

void tst_CueLayout::callPromptImage() {
    QFETCH(QString, selector);
    QFETCH(QString, sound);
    QFETCH(QString, light);
    QFETCH(int, image);
    QCOMPARE(int(CallPromptImage(selector, sound, light)), image);
}

QTEST_GUILESS_MAIN(tst_CueLayout)
#include "tst_cuelayout.moc"
