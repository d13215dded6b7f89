// The pictures the window needs at start-up: the pin glyph and the menu bar's
// "more items" arrow. Each is made without loading an image-format plugin, a
// cost paid before the first page can be painted; the glyph is still read
// whatever its file holds.

#include "app/Application.h"
#include "cues/CueGlyphs.h"

#include <QFile>
#include <QImage>
#include <QMainWindow>
#include <QMenuBar>
#include <QStyle>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Whether any image-format plugin is mapped into this process.
bool ImagePluginLoaded() {
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (!maps.open(QIODevice::ReadOnly))
        return false;
    return maps.readAll().contains("/imageformats/");
}

int VisiblePixels(const QImage& image) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            count += qAlpha(image.pixel(x, y)) > 0;
    return count;
}

} // namespace

class tst_StartupImages : public QObject {
    Q_OBJECT
private slots:
    // First: a plugin loaded by a later case stays loaded.
    void windowPicturesLoadNoImagePlugin();
    void extensionArrowIsDrawn_data();
    void extensionArrowIsDrawn();
    void pinGlyphWhateverTheFileHolds_data();
    void pinGlyphWhateverTheFileHolds();

private:
    QTemporaryDir FDir;
};

void tst_StartupImages::windowPicturesLoadNoImagePlugin() {
    QVERIFY(!ImagePluginLoaded());
    ApplyDarkStyle(*qApp);
    QMainWindow window;
    window.menuBar()->addMenu(QStringLiteral("File"));
    QString problem;
    const QPixmap glyph = ReadPinGlyph(QStringLiteral(CUEWELL_PIN_GLYPH), problem);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QVERIFY(!glyph.isNull());
    QVERIFY(!ImagePluginLoaded());
}

void tst_StartupImages::extensionArrowIsDrawn_data() {
    QTest::addColumn<int>("which");
    QTest::newRow("horizontal") << int(QStyle::SP_ToolBarHorizontalExtensionButton);
    QTest::newRow("vertical") << int(QStyle::SP_ToolBarVerticalExtensionButton);
}

void tst_StartupImages::extensionArrowIsDrawn() {
    QFETCH(int, which);
    ApplyDarkStyle(*qApp);
    const QIcon icon = qApp->style()->standardIcon(QStyle::StandardPixmap(which));
    QVERIFY(!icon.isNull());
    for (const int size : {8, 16, 32}) {
        const QImage image = icon.pixmap(size, size).toImage();
        QCOMPARE(image.size(), QSize(size, size));
        // Strokes on a clear ground: neither empty nor filled.
        const int visible = VisiblePixels(image);
        QVERIFY2(visible > 0 && visible < size * size / 2, qPrintable(QString::number(visible)));
    }
}

void tst_StartupImages::pinGlyphWhateverTheFileHolds_data() {
    QTest::addColumn<QByteArray>("format"); // "" for no file, "text" for no image
    QTest::addColumn<bool>("read");
    QTest::newRow("the shipped bitmap") << QByteArray("bmp") << true;
    QTest::newRow("a PNG under the bitmap's name") << QByteArray("png") << true;
    QTest::newRow("not an image") << QByteArray("text") << false;
    QTest::newRow("no file") << QByteArray() << false;
}

void tst_StartupImages::pinGlyphWhateverTheFileHolds() {
    QFETCH(QByteArray, format);
    QFETCH(bool, read);
    const QString path =
        FDir.filePath(QStringLiteral("%1/Pin_16T3.bmp").arg(QTest::currentDataTag()));
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    const QImage shipped(QStringLiteral(CUEWELL_PIN_GLYPH));
    QVERIFY(!shipped.isNull());
    if (format == "text") {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[Page0]\nCue0=0.1|0.1|/go|0||\n");
    } else if (!format.isEmpty()) {
        QVERIFY(shipped.save(path, format.constData()));
    }
    QString problem;
    const QImage glyph = ReadPinGlyph(path, problem).toImage();
    if (read) {
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QCOMPARE(glyph.size(), shipped.size());
        // The bottom-left pixel's colour is see-through, the rest is not.
        QCOMPARE(qAlpha(glyph.pixel(0, glyph.height() - 1)), 0);
        QVERIFY(VisiblePixels(glyph) > 0);
    } else {
        QVERIFY(problem.startsWith(QStringLiteral("Cannot open file \"%1\".").arg(path)));
        QCOMPARE(glyph.size(), BuiltInPinGlyph().size());
    }
    if (format.isEmpty())
        QVERIFY(problem.endsWith(QStringLiteral("The file does not exist")));
}

QTEST_MAIN(tst_StartupImages)
#include "tst_startupimages.moc"
