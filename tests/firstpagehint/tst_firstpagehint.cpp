// The file that says where the first page went at the last start: what is
// written reads back exactly, and anything else reads as no hint at all.

#include "app/FirstPageHint.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class tst_FirstPageHint : public QObject {
    Q_OBJECT
private slots:
    void writtenReadsBackExactly_data();
    void writtenReadsBackExactly();
    void anythingElseIsNoHint_data();
    void anythingElseIsNoHint();
    void unwritableFolderFails();

private:
    QTemporaryDir FDir;
};

void tst_FirstPageHint::writtenReadsBackExactly_data() {
    QTest::addColumn<QString>("script");
    QTest::addColumn<QRectF>("box");
    QTest::addColumn<double>("ratio");
    QTest::newRow("whole pixels") << "/shows/hamlet.pdf" << QRectF(5, 40, 930, 479) << 1.0;
    QTest::newRow("fractions and a scale")
        << "/shows/hamlet.pdf" << QRectF(5, 40, 930.3333333333334, 479.1) << 1.25;
    QTest::newRow("spaces and accents")
        << "/shows/Act one/Mère Courage.pdf" << QRectF(0, 0, 1, 1) << 2.0;
}

void tst_FirstPageHint::writtenReadsBackExactly() {
    QFETCH(QString, script);
    QFETCH(QRectF, box);
    QFETCH(double, ratio);
    // In a folder not made yet, over an older hint.
    const QString path =
        FDir.filePath(QStringLiteral("%1/cache/first-page").arg(QTest::currentDataTag()));
    QVERIFY(WriteFirstPageHint(path, {QStringLiteral("/older.pdf"), QRectF(1, 2, 3, 4), 1.0}));
    const TFirstPageHint hint{script, box, ratio};
    QVERIFY(WriteFirstPageHint(path, hint));
    const TFirstPageHint read = ReadFirstPageHint(path);
    QCOMPARE(read.Script, script);
    // Equal to the last bit: a box that differs in any way renders again.
    QVERIFY(read.Box == box);
    QCOMPARE(read.Box.width(), box.width());
    QCOMPARE(read.DevicePixelRatio, ratio);
    // Nothing but the hint is left in its folder.
    QCOMPARE(QDir(QFileInfo(path).path()).entryList(QDir::Files), QStringList{"first-page"});
}

void tst_FirstPageHint::anythingElseIsNoHint_data() {
    QTest::addColumn<QByteArray>("text"); // the file's bytes; "-" for no file
    QTest::newRow("no file") << QByteArray("-");
    QTest::newRow("empty") << QByteArray("");
    QTest::newRow("no final newline") << QByteArray("/s.pdf\n5 40 930 479 1");
    QTest::newRow("a line too many") << QByteArray("/s.pdf\n5 40 930 479 1\nmore\n");
    QTest::newRow("relative script") << QByteArray("s.pdf\n5 40 930 479 1\n");
    QTest::newRow("no script") << QByteArray("\n5 40 930 479 1\n");
    QTest::newRow("a number missing") << QByteArray("/s.pdf\n5 40 930 479\n");
    QTest::newRow("not a number") << QByteArray("/s.pdf\n5 40 wide 479 1\n");
    QTest::newRow("not finite") << QByteArray("/s.pdf\n5 40 inf 479 1\n");
    QTest::newRow("empty box") << QByteArray("/s.pdf\n5 40 0 479 1\n");
    QTest::newRow("negative box") << QByteArray("/s.pdf\n5 40 930 -479 1\n");
    QTest::newRow("no scale") << QByteArray("/s.pdf\n5 40 930 479 0\n");
    QTest::newRow("not a number at all") << QByteArray("/s.pdf\n5 40 nan 479 1\n");
    QTest::newRow("far beyond any screen") << QByteArray("/s.pdf\n5 40 1e300 479 1\n");
    QTest::newRow("absurd scale") << QByteArray("/s.pdf\n5 40 930 479 1000\n");
    QTest::newRow("huge") << QByteArray("/s.pdf\n5 40 930 479 1\n") + QByteArray(100000, ' ');
}

void tst_FirstPageHint::anythingElseIsNoHint() {
    QFETCH(QByteArray, text);
    const QString path = FDir.filePath(QStringLiteral("garbage-%1").arg(QTest::currentDataTag()));
    if (text != "-") {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text);
    }
    const TFirstPageHint hint = ReadFirstPageHint(path);
    QVERIFY(hint.Script.isEmpty());
    QVERIFY(hint == TFirstPageHint());
}

void tst_FirstPageHint::unwritableFolderFails() {
    // A file where the folder should be.
    const QString blocker = FDir.filePath(QStringLiteral("blocker"));
    QFile file(blocker);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    QVERIFY(!WriteFirstPageHint(blocker + QStringLiteral("/first-page"),
                                {QStringLiteral("/s.pdf"), QRectF(5, 40, 930, 479), 1.0}));
    QVERIFY(!WriteFirstPageHint(FDir.filePath(QStringLiteral("no-script")), {}));
    QVERIFY(!QFile::exists(FDir.filePath(QStringLiteral("no-script"))));
}

QTEST_GUILESS_MAIN(tst_FirstPageHint)
#include "tst_firstpagehint.moc"
