// Where the program's own files are: the settings file (beside the executable
// or in the user's configuration folder) and the pin glyph.

#include "app/Locations.h"
#include "app/Seams.h"
#include "app/Unit1.h"
#include "cues/CueBook.h"
#include "view/AdvPDFViewer.h"
#include "view/MruUnit.h"

#include <QDir>
#include <QFile>
#include <QPainter>
#include <QPdfWriter>
#include <QTemporaryDir>
#include <QTest>

namespace {

// An executable whose folder may be declared read-only, and a configuration
// folder of the test's choosing.
class TPlacedPaths final : public IPaths {
public:
    TPlacedPaths(QString exe, bool writable, QString config)
        : FExe(std::move(exe)), FWritable(writable), FConfig(std::move(config)) {}
    QString ExecutablePath() const override { return FExe; }
    bool IsWritableFolder(const QString& folder) const override {
        return FWritable && IPaths::IsWritableFolder(folder);
    }
    QString UserConfigFolder() const override { return FConfig; }
    QString UserCacheFolder() const override { return FConfig; }

private:
    QString FExe;
    bool FWritable;
    QString FConfig;
};

class TSilentPrompts final : public IPrompts {
public:
    void MessageBox(QWidget*, const QString&, const QString& text, TMsgIcon, TMsgButton) override {
        Texts.append(text);
    }
    QString OpenFileName(QWidget*, const QString&, const QString&) override { return {}; }
    QStringList Texts;
};

void MakeScript(const QString& path) {
    QPdfWriter pdf(path);
    pdf.setPageSize(QPageSize(QPageSize::A4));
    QPainter p(&pdf);
    p.drawText(QPointF(80, 100), QStringLiteral("Act one"));
}

QByteArray Contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool Touch(const QString& path, const QByteArray& bytes = {}) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// One run of the main window on `script` from the command line (or on what
// the settings remember when it is empty), with `recent` opened through the
// recent list, closed as the operator closes it.
QString RunWindow(IPaths& paths, const QString& script, const QString& recent) {
    TSilentPrompts prompts;
    QStringList arguments{paths.ExecutablePath()};
    if (!script.isEmpty())
        arguments.append(script);
    TCuewell window(TAppContext{prompts, paths, arguments});
    if (window.EndRequested())
        return {};
    window.show();
    if (!QTest::qWaitFor([&] { return window.Book->ScriptLoaded(); }, 10000))
        return {};
    if (!recent.isEmpty())
        window.MostRecentFiles1->AddFile(recent);
    const QString opened = window.AdvPDF->FileName();
    window.close();
    return opened;
}

} // namespace

class tst_Locations : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void chooseSettingsFile_data();
    void chooseSettingsFile();
    void configFolderMadeOnlyWhenChosen_data();
    void configFolderMadeOnlyWhenChosen();
    void pinGlyphFile_data();
    void pinGlyphFile();
    void windowAndRecentListAgree_data();
    void windowAndRecentListAgree();

private:
    QString FOldCwd;
    QTemporaryDir FGlyphDir;
};

void tst_Locations::initTestCase() {
    // The pins read their glyph from the working folder.
    FOldCwd = QDir::currentPath();
    QFile::copy(QStringLiteral(CUEWELL_PIN_GLYPH), FGlyphDir.filePath(PinGlyphName));
    QDir::setCurrent(FGlyphDir.path());
}

void tst_Locations::cleanupTestCase() {
    QDir::setCurrent(FOldCwd);
}

void tst_Locations::chooseSettingsFile_data() {
    QTest::addColumn<QString>("exe");
    QTest::addColumn<bool>("besideExists");
    QTest::addColumn<bool>("writable");
    QTest::addColumn<QString>("config");
    QTest::addColumn<QString>("expected");

    QTest::newRow("writable folder")
        << "/opt/show/cuewell" << false << true << "/home/sm/.config/cuewell"
        << "/opt/show/cuewell.ini";
    QTest::newRow("file already beside a read-only executable")
        << "/usr/bin/cuewell" << true << false << "/home/sm/.config/cuewell"
        << "/usr/bin/cuewell.ini";
    QTest::newRow("read-only folder, no file")
        << "/usr/bin/cuewell" << false << false << "/home/sm/.config/cuewell"
        << "/home/sm/.config/cuewell/cuewell.ini";
    QTest::newRow("same name as the executable")
        << "/usr/bin/cue.well" << false << false << "/home/sm/.config/cuewell/"
        << "/home/sm/.config/cuewell/cue.ini";
    QTest::newRow("no configuration folder known") << "/usr/bin/cuewell" << false << false << ""
                                                   << "/usr/bin/cuewell.ini";
}

void tst_Locations::chooseSettingsFile() {
    QFETCH(QString, exe);
    QFETCH(bool, besideExists);
    QFETCH(bool, writable);
    QFETCH(QString, config);
    QFETCH(QString, expected);
    QCOMPARE(ChooseSettingsFile(exe, besideExists, writable, config), expected);
}

void tst_Locations::configFolderMadeOnlyWhenChosen_data() {
    QTest::addColumn<bool>("writable");
    QTest::addColumn<bool>("besideExists");
    QTest::addColumn<bool>("inConfig");
    QTest::newRow("writable") << true << false << false;
    QTest::newRow("read-only, file beside") << false << true << false;
    QTest::newRow("read-only, no file") << false << false << true;
}

void tst_Locations::configFolderMadeOnlyWhenChosen() {
    QFETCH(bool, writable);
    QFETCH(bool, besideExists);
    QFETCH(bool, inConfig);
    QTemporaryDir dir;
    const QString exe = dir.filePath(QStringLiteral("bin/cuewell"));
    QDir().mkpath(dir.filePath(QStringLiteral("bin")));
    if (besideExists)
        QVERIFY(Touch(dir.filePath(QStringLiteral("bin/cuewell.ini"))));
    const QString config = dir.filePath(QStringLiteral("config/deep/cuewell"));
    TPlacedPaths paths(exe, writable, config);
    const QString chosen = SettingsFilePath(paths);
    QCOMPARE(chosen, inConfig ? config + QStringLiteral("/cuewell.ini")
                              : dir.filePath(QStringLiteral("bin/cuewell.ini")));
    QCOMPARE(QFileInfo(config).isDir(), inConfig);
}

void tst_Locations::pinGlyphFile_data() {
    QTest::addColumn<bool>("inWorkingFolder");
    QTest::addColumn<bool>("installed");
    QTest::addColumn<QString>("expected"); // relative to the temporary folder
    QTest::newRow("working folder") << true << false << "work/Pin_16T3.bmp";
    QTest::newRow("working folder first") << true << true << "work/Pin_16T3.bmp";
    QTest::newRow("installed data folder") << false << true << "usr/share/cuewell/Pin_16T3.bmp";
    QTest::newRow("nowhere: the working folder's name") << false << false << "work/Pin_16T3.bmp";
}

void tst_Locations::pinGlyphFile() {
    QFETCH(bool, inWorkingFolder);
    QFETCH(bool, installed);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    QDir().mkpath(dir.filePath(QStringLiteral("work")));
    if (inWorkingFolder)
        QVERIFY(Touch(dir.filePath(QStringLiteral("work/Pin_16T3.bmp"))));
    if (installed)
        QVERIFY(Touch(dir.filePath(QStringLiteral("usr/share/cuewell/Pin_16T3.bmp"))));
    QCOMPARE(PinGlyphFile(dir.filePath(QStringLiteral("work")),
                          dir.filePath(QStringLiteral("usr/bin/cuewell"))),
             dir.filePath(expected));
}

void tst_Locations::windowAndRecentListAgree_data() {
    QTest::addColumn<bool>("writable");
    QTest::addColumn<QByteArray>("besideBefore"); // settings beside the executable at start
    QTest::addColumn<bool>("inConfig");
    QTest::newRow("writable folder") << true << QByteArray() << false;
    QTest::newRow("read-only folder") << false << QByteArray() << true;
    QTest::newRow("read-only folder, settings beside")
        << false << QByteArray("\xEF\xBB\xBF[OSC]\r\nsoundPort=9001\r\n\r\n") << false;
}

// The window's settings and the recent list, read and written in one place:
// beside the executable or in the user's configuration folder, byte for byte
// what a writable installation would hold.
void tst_Locations::windowAndRecentListAgree() {
    QFETCH(bool, writable);
    QFETCH(QByteArray, besideBefore);
    QFETCH(bool, inConfig);
    QTemporaryDir dir;
    const QString script = dir.filePath(QStringLiteral("Act 1.pdf"));
    const QString other = dir.filePath(QStringLiteral("Act 2.pdf"));
    MakeScript(script);
    MakeScript(other);

    // What a writable installation holds after the same run.
    QDir().mkpath(dir.filePath(QStringLiteral("reference")));
    if (!besideBefore.isEmpty())
        QVERIFY(Touch(dir.filePath(QStringLiteral("reference/cuewell.ini")), besideBefore));
    TPlacedPaths reference(dir.filePath(QStringLiteral("reference/cuewell")), true,
                           dir.filePath(QStringLiteral("unused")));
    QCOMPARE(RunWindow(reference, script, other), script);
    const QByteArray expected = Contents(dir.filePath(QStringLiteral("reference/cuewell.ini")));
    QVERIFY(expected.contains("LastScript=" + script.toUtf8()));
    QVERIFY(expected.contains("[MRU List]\r\n1=" + other.toUtf8()));

    QDir().mkpath(dir.filePath(QStringLiteral("bin")));
    const QString beside = dir.filePath(QStringLiteral("bin/cuewell.ini"));
    if (!besideBefore.isEmpty())
        QVERIFY(Touch(beside, besideBefore));
    const QString config = dir.filePath(QStringLiteral("config/cuewell"));
    TPlacedPaths paths(dir.filePath(QStringLiteral("bin/cuewell")), writable, config);
    QCOMPARE(RunWindow(paths, script, other), script);
    const QString written = inConfig ? config + QStringLiteral("/cuewell.ini") : beside;
    QCOMPARE(Contents(written), expected);
    QCOMPARE(QFile::exists(beside), !inConfig);
    QCOMPARE(QFile::exists(config + QStringLiteral("/cuewell.ini")), inConfig);

    // The next start reads from the same place: the remembered script opens
    // without a command line, and the recent list comes back.
    QCOMPARE(RunWindow(paths, QString(), QString()), script);
    QCOMPARE(Contents(written), expected);
}

QTEST_MAIN(tst_Locations)
#include "tst_locations.moc"
