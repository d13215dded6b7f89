#include "store/KeyValueFile.h"
#include "view/MruUnit.h"

#include <QAction>
#include <QFile>
#include <QMenu>
#include <QTemporaryDir>
#include <QTest>

namespace {

QStringList Captions(const QMenu& menu) {
    QStringList out;
    for (const QAction* a : menu.actions())
        out.append(a->isSeparator() ? QStringLiteral("-") : a->text());
    return out;
}

QList<QAction*> Entries(const QMenu& menu) {
    QList<QAction*> out;
    for (QAction* a : menu.actions())
        if (!a->isSeparator() && a->data().toInt() == MruTag)
            out.append(a);
    return out;
}

void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

QByteArray ReadFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class tst_MostRecentFiles : public QObject {
    Q_OBJECT

private slots:
    void init();

    void maxFiles_data();
    void maxFiles();
    void storageFile_data();
    void storageFile();

    void addFile_data();
    void addFile();
    void addWithoutMenuDoesNothing();
    void captions();
    void separators_data();
    void separators();

    void chooseEntry_data();
    void chooseEntry();
    void chooseVanishedLastEntryEmptiesMenu();

    void readStopsAtFirstGapAndWritesBackWithoutGaps();
    void bothWritersInOneRun();
    void missingFileStartsEmpty();
    void lineBreakInPathIsNotStored();
    void unreadableSettingsFileIsLeftAlone();
    void writingLeavesEveryOtherLine_data();
    void writingLeavesEveryOtherLine();

private:
    std::unique_ptr<TMostRecentFiles> Make(QMenu* menu, int maxFiles = 8);
    QString Touch(const QString& name);

    std::unique_ptr<QTemporaryDir> FDir;
    QString FIni;
};

void tst_MostRecentFiles::init() {
    FDir = std::make_unique<QTemporaryDir>();
    QVERIFY(FDir->isValid());
    FIni = FDir->filePath("cuewell.ini");
}

std::unique_ptr<TMostRecentFiles> tst_MostRecentFiles::Make(QMenu* menu, int maxFiles) {
    auto mru = std::make_unique<TMostRecentFiles>(nullptr, FDir->filePath("cuewell"));
    mru->SetMaxFiles(maxFiles);
    mru->SetOwnerMenuItem(menu);
    return mru;
}

QString tst_MostRecentFiles::Touch(const QString& name) {
    const QString path = FDir->filePath(name);
    WriteFile(path, "%PDF-1.4\n");
    return path;
}

void tst_MostRecentFiles::maxFiles_data() {
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("expected");
    QTest::newRow("zero gives one") << 0 << 1;
    QTest::newRow("negative gives one") << -5 << 1;
    QTest::newRow("five") << 5 << 5;
    QTest::newRow("eight") << 8 << 8;
    QTest::newRow("nine gives eight") << 9 << 8;
    QTest::newRow("huge gives eight") << 1000 << 8;
}

void tst_MostRecentFiles::maxFiles() {
    QFETCH(int, value);
    QFETCH(int, expected);
    TMostRecentFiles mru(nullptr, FDir->filePath("cuewell"));
    QCOMPARE(mru.MaxFiles(), 4);
    mru.SetMaxFiles(value);
    QCOMPARE(mru.MaxFiles(), expected);
}

void tst_MostRecentFiles::storageFile_data() {
    QTest::addColumn<QString>("exe");
    QTest::addColumn<QString>("iniFile");
    QTest::addColumn<QString>("expected");
    QTest::newRow("beside the executable") << "/opt/show/cuewell"
                                           << ""
                                           << "/opt/show/cuewell.ini";
    QTest::newRow("extension replaced") << "/opt/show/cue.well.exe"
                                        << ""
                                        << "/opt/show/cue.well.ini";
    QTest::newRow("path kept") << "/opt/show/cuewell"
                               << "/etc/cues/recent.ini"
                               << "/etc/cues/recent.ini";
    QTest::newRow("bare name in the executable's folder") << "/opt/show/cuewell"
                                                          << "recent.ini"
                                                          << "/opt/show/recent.ini";
}

void tst_MostRecentFiles::storageFile() {
    QFETCH(QString, exe);
    QFETCH(QString, iniFile);
    QFETCH(QString, expected);
    QMenu menu;
    TMostRecentFiles mru(nullptr, exe);
    mru.SetIniFile(iniFile);
    QCOMPARE(mru.StorageFile(), expected);
    // Point the write at exit somewhere harmless.
    mru.SetIniFile(FIni);
}

void tst_MostRecentFiles::addFile_data() {
    QTest::addColumn<QStringList>("added");
    QTest::addColumn<QStringList>("expected");
    QStringList nine;
    for (int i = 1; i <= 9; ++i)
        nine << QStringLiteral("/s/%1.pdf").arg(i);
    QTest::newRow("ninth drops the oldest")
        << nine << QStringList{"/s/9.pdf", "/s/8.pdf", "/s/7.pdf", "/s/6.pdf",
                               "/s/5.pdf", "/s/4.pdf", "/s/3.pdf", "/s/2.pdf"};
    QTest::newRow("third again moves to the top")
        << QStringList{"/s/a.pdf", "/s/b.pdf", "/s/c.pdf", "/s/d.pdf", "/s/b.pdf"}
        << QStringList{"/s/b.pdf", "/s/d.pdf", "/s/c.pdf", "/s/a.pdf"};
    QTest::newRow("top again in another case changes nothing")
        << QStringList{"/s/a.pdf", "/s/Act2.pdf", "/S/ACT2.PDF"}
        << QStringList{"/s/Act2.pdf", "/s/a.pdf"};
    QTest::newRow("lower entry in another case moves, new spelling")
        << QStringList{"/s/Act2.pdf", "/s/a.pdf", "/s/act2.PDF"}
        << QStringList{"/s/act2.PDF", "/s/a.pdf"};
    QTest::newRow("a longer name is not the same")
        << QStringList{"/s/a.pdf", "/s/a.pdf2"} << QStringList{"/s/a.pdf2", "/s/a.pdf"};
}

void tst_MostRecentFiles::addFile() {
    QFETCH(QStringList, added);
    QFETCH(QStringList, expected);
    QMenu menu;
    auto mru = Make(&menu);
    mru->SetIniFile(FIni);
    for (const QString& f : added)
        mru->AddFile(f);
    QCOMPARE(mru->Files(), expected);
    QStringList captions;
    for (int i = 0; i < expected.size(); ++i)
        captions << QStringLiteral("&%1  %2").arg(i + 1).arg(expected[i].section('/', -1));
    QCOMPARE(Captions(menu), captions);
}

void tst_MostRecentFiles::addWithoutMenuDoesNothing() {
    auto mru = Make(nullptr);
    mru->SetIniFile(FIni);
    mru->AddFile("/s/a.pdf");
    QVERIFY(mru->Files().isEmpty());
    // The menu going away is noticed too.
    auto menu = std::make_unique<QMenu>();
    mru->SetOwnerMenuItem(menu.get());
    mru->AddFile("/s/a.pdf");
    menu.reset();
    QCOMPARE(mru->OwnerMenuItem(), nullptr);
    mru->AddFile("/s/b.pdf");
    QCOMPARE(mru->Files(), QStringList{"/s/a.pdf"});
}

void tst_MostRecentFiles::captions() {
    QMenu menu;
    auto mru = Make(&menu);
    mru->SetIniFile(FIni);
    mru->AddFile("/shows/Rock & Roll.pdf");
    mru->AddFile("/shows/Act2.pdf");
    QCOMPARE(Captions(menu), (QStringList{"&1  Act2.pdf", "&2  Rock & Roll.pdf"}));
    mru->SetShowFullPath(true);
    QCOMPARE(Captions(menu), (QStringList{"&1  /shows/Act2.pdf", "&2  /shows/Rock & Roll.pdf"}));
}

void tst_MostRecentFiles::separators_data() {
    QTest::addColumn<QStringList>("existing");
    QTest::addColumn<int>("position");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("empty menu: entries only")
        << QStringList{} << 0 << QStringList{"&1  b.pdf", "&2  a.pdf"};
    QTest::newRow("before other items")
        << QStringList{"Open"} << 0 << QStringList{"&1  b.pdf", "&2  a.pdf", "-", "Open"};
    QTest::newRow("after other items")
        << QStringList{"Open"} << 5 << QStringList{"Open", "-", "&1  b.pdf", "&2  a.pdf"};
    QTest::newRow("between, existing separators kept")
        << QStringList{"Open", "-", "Close"} << 2
        << QStringList{"Open", "-", "&1  b.pdf", "&2  a.pdf", "-", "Close"};
}

void tst_MostRecentFiles::separators() {
    QFETCH(QStringList, existing);
    QFETCH(int, position);
    QFETCH(QStringList, expected);
    QMenu menu;
    for (const QString& text : existing) {
        if (text == "-")
            menu.addSeparator();
        else
            menu.addAction(text);
    }
    auto mru = Make(&menu);
    mru->SetIniFile(FIni);
    mru->SetMenuPosition(position);
    mru->AddFile("/s/a.pdf");
    mru->AddFile("/s/b.pdf");
    QCOMPARE(Captions(menu), expected);
    // Rebuilding touches only its own items.
    mru->RebuildRecentMenu();
    mru->RebuildRecentMenu();
    QCOMPARE(Captions(menu), expected);
}

void tst_MostRecentFiles::chooseEntry_data() {
    QTest::addColumn<int>("position"); // menu position, after an "Open" item
    QTest::addColumn<int>("chosen");
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QStringList>("expected"); // file names after the choice
    QTest::newRow("third moves to the top")
        << 0 << 2 << true << QStringList{"c.pdf", "a.pdf", "b.pdf"};
    QTest::newRow("top stays") << 0 << 0 << true << QStringList{"a.pdf", "b.pdf", "c.pdf"};
    QTest::newRow("behind a separator") << 1 << 1 << true << QStringList{"b.pdf", "a.pdf", "c.pdf"};
    QTest::newRow("vanished file leaves the list")
        << 0 << 1 << false << QStringList{"a.pdf", "c.pdf"};
    QTest::newRow("vanished behind a separator")
        << 1 << 2 << false << QStringList{"a.pdf", "b.pdf"};
}

void tst_MostRecentFiles::chooseEntry() {
    QFETCH(int, position);
    QFETCH(int, chosen);
    QFETCH(bool, exists);
    QFETCH(QStringList, expected);
    QMenu menu;
    menu.addAction("Open");
    auto mru = Make(&menu);
    mru->SetIniFile(FIni);
    mru->SetMenuPosition(position);
    QStringList paths;
    for (const char* name : {"c.pdf", "b.pdf", "a.pdf"}) {
        paths.prepend(Touch(name));
        mru->AddFile(paths.first());
    }
    if (!exists)
        QVERIFY(QFile::remove(paths[chosen]));
    QStringList clicked, missing;
    QObject* clickSender = nullptr;
    mru->OnMenuClick = [&](QObject* sender, const QString& f) {
        clickSender = sender;
        clicked << f;
    };
    mru->OnFileNotExist = [&](QObject*, const QString& f) { missing << f; };

    QAction* item = Entries(menu).at(chosen);
    item->trigger(); // through the menu item's own signal
    QCoreApplication::processEvents();

    QCOMPARE(clicked, exists ? QStringList{paths[chosen]} : QStringList{});
    QCOMPARE(missing, exists ? QStringList{} : QStringList{paths[chosen]});
    if (exists)
        QCOMPARE(clickSender, item);
    QStringList names;
    for (const QString& f : mru->Files())
        names << f.section('/', -1);
    QCOMPARE(names, expected);
    QCOMPARE(Entries(menu).size(), expected.size());
    QCOMPARE(Entries(menu).first()->text(), "&1  " + expected.first());
}

void tst_MostRecentFiles::chooseVanishedLastEntryEmptiesMenu() {
    QMenu menu;
    auto mru = Make(&menu);
    mru->SetIniFile(FIni);
    mru->AddFile(FDir->filePath("gone.pdf"));
    int menuClicks = 0, missing = 0;
    mru->OnMenuClick = [&](QObject*, const QString&) { ++menuClicks; };
    mru->OnFileNotExist = [&](QObject*, const QString&) { ++missing; };
    // A folder of that name is not the file.
    QVERIFY(QDir(FDir->path()).mkdir("gone.pdf"));
    Entries(menu).first()->trigger();
    QCOMPARE(menuClicks, 0);
    QCOMPARE(missing, 1);
    QVERIFY(mru->Files().isEmpty());
    QVERIFY(menu.actions().isEmpty());
    QVERIFY(!menu.menuAction()->isEnabled());
    // Without OnMenuClick a choice does nothing at all.
    mru->AddFile(FDir->filePath("gone.pdf"));
    QVERIFY(menu.menuAction()->isEnabled());
    mru->OnMenuClick = nullptr;
    Entries(menu).first()->trigger();
    QCOMPARE(missing, 1);
    QCOMPARE(mru->Files().size(), 1);
}

void tst_MostRecentFiles::readStopsAtFirstGapAndWritesBackWithoutGaps() {
    WriteFile(FIni, "[Settings]\r\nLastScript=/s/last.pdf\r\n\r\n[MRU List]\r\n1=/s/one.pdf\r\n"
                    "2=\r\n3=/s/three.pdf\r\n\r\n[OSC]\r\nsoundPort=53000\r\n");
    QMenu menu;
    {
        auto mru = Make(&menu);
        mru->ReadList();
        QCOMPARE(mru->Files(), QStringList{"/s/one.pdf"});
        QCOMPARE(Captions(menu), QStringList{"&1  one.pdf"});
        mru->AddFile("/s/two.pdf");
    }
    const KeyValueFile file(FIni);
    QCOMPARE(file.ReadString("MRU List", "1", "?"), "/s/two.pdf");
    QCOMPARE(file.ReadString("MRU List", "2", "?"), "/s/one.pdf");
    for (int i = 3; i <= 8; ++i)
        QCOMPARE(file.ReadString("MRU List", QString::number(i), "?"), QString());
    QCOMPARE(file.ReadString("Settings", "LastScript", "?"), "/s/last.pdf");
    QCOMPARE(file.ReadInteger("OSC", "soundPort", 0), 53000);
}

void tst_MostRecentFiles::bothWritersInOneRun() {
    const QString unicode = QStringLiteral("/shows/Ünïcødé – Akt 2.pdf");
    QMenu menu;
    auto mru = Make(&menu);
    mru->ReadList();
    mru->AddFile("/shows/act1.pdf");
    mru->AddFile(unicode);
    {
        // The main window's own save at close, before the list is written.
        KeyValueFile settings(FIni);
        settings.SetAutoSave(true);
        settings.WriteInteger("Settings", "Top", 120);
        settings.WriteString("Settings", "LastScript", unicode);
        settings.WriteString("OSC", "soundIP", "10.0.0.5");
        settings.Free();
    }
    mru.reset();

    const QByteArray bytes = ReadFile(FIni);
    QVERIFY(bytes.startsWith("\xEF\xBB\xBF"));
    QVERIFY(bytes.contains(unicode.toUtf8()));
    const KeyValueFile file(FIni);
    QCOMPARE(file.ReadInteger("Settings", "Top", 0), 120);
    QCOMPARE(file.ReadString("Settings", "LastScript", ""), unicode);
    QCOMPARE(file.ReadString("OSC", "soundIP", ""), "10.0.0.5");
    QCOMPARE(file.ReadString("MRU List", "1", ""), unicode);
    QCOMPARE(file.ReadString("MRU List", "2", ""), "/shows/act1.pdf");

    // And the next start reads it back.
    QMenu next;
    auto again = Make(&next);
    again->ReadList();
    QCOMPARE(again->Files(), (QStringList{unicode, "/shows/act1.pdf"}));
}

void tst_MostRecentFiles::missingFileStartsEmpty() {
    QMenu menu;
    menu.addAction("Keep me");
    auto mru = Make(&menu);
    mru->ReadList();
    QVERIFY(mru->Files().isEmpty());
    QCOMPARE(Captions(menu), QStringList{"Keep me"});
    mru.reset();
    // All eight keys are written, empty.
    const KeyValueFile file(FIni);
    for (int i = 1; i <= 8; ++i)
        QCOMPARE(file.ReadString("MRU List", QString::number(i), "?"), QString());
}

void tst_MostRecentFiles::lineBreakInPathIsNotStored() {
    WriteFile(FIni, "[Settings]\r\nLastScript=/s/real.pdf\r\n");
    QMenu menu;
    auto mru = Make(&menu);
    mru->ReadList();
    mru->AddFile("/s/good.pdf");
    mru->AddFile("/s/evil\r\n[Settings]\r\nLastScript=/s/planted.pdf");
    QCOMPARE(mru->Files().size(), 2);
    mru.reset();
    const KeyValueFile file(FIni);
    QCOMPARE(file.ReadString("Settings", "LastScript", ""), "/s/real.pdf");
    QCOMPARE(file.ReadString("MRU List", "1", ""), "/s/good.pdf");
    QCOMPARE(file.ReadString("MRU List", "2", "?"), QString());
}

void tst_MostRecentFiles::unreadableSettingsFileIsLeftAlone() {
    const QByteArray broken = "[MRU List]\r\n1=/s/\xFF\xFE.pdf\r\n";
    WriteFile(FIni, broken);
    QMenu menu;
    auto mru = Make(&menu);
    mru->ReadList();
    QVERIFY(mru->Files().isEmpty());
    mru->AddFile("/s/a.pdf");
    mru.reset(); // the write fails quietly
    QCOMPARE(ReadFile(FIni), broken);
}

void tst_MostRecentFiles::writingLeavesEveryOtherLine_data() {
    QTest::addColumn<QByteArray>("before"); // null: no file
    QTest::addColumn<QByteArray>("after");

    const QByteArray bom("\xEF\xBB\xBF");
    QTest::newRow("keys set where they stand, all else as it was")
        << QByteArray("; my settings\n[Settings]\ntop = 5\nUnknown=x\n\n[mru list]\n"
                      "1=/old/a.pdf\n ; note\n  2 = /old/b.pdf\nExtra=keep me\n\n\n"
                      "[OSC]\nsoundIP=1.2.3.4\n")
        << QByteArray("; my settings\n[Settings]\ntop = 5\nUnknown=x\n\n[mru list]\n"
                      "1=/new/x.pdf\n ; note\n  2 =\nExtra=keep me\n3=\n\n\n"
                      "[OSC]\nsoundIP=1.2.3.4\n");
    QTest::newRow("mixed line ends and a bom kept")
        << bom + "[MRU List]\r\n1=/old/a.pdf\n2=/old/b.pdf\r3=/old/c.pdf\r\n[X]\r\n"
        << bom + "[MRU List]\r\n1=/new/x.pdf\n2=\r3=\r\n[X]\r\n";
    QTest::newRow("missing section added at the end")
        << bom + "[Settings]\r\nTop=5\r\n"
        << bom + "[Settings]\r\nTop=5\r\n[MRU List]\r\n1=/new/x.pdf\r\n2=\r\n3=\r\n\r\n";
    QTest::newRow("no line break at the end")
        << QByteArray("[MRU List]\r\n1=/old/a.pdf")
        << QByteArray("[MRU List]\r\n1=/new/x.pdf\r\n2=\r\n3=");
    QTest::newRow("only the first of a repeated section")
        << QByteArray("[MRU List]\r\n1=a\r\n\r\n[MRU List]\r\n1=b\r\n")
        << QByteArray("[MRU List]\r\n1=/new/x.pdf\r\n2=\r\n3=\r\n\r\n[MRU List]\r\n1=b\r\n");
    QTest::newRow("a bare line of the key gets its value")
        << QByteArray("[MRU List]\r\n1\r\n2=\r\n3=\r\n")
        << QByteArray("[MRU List]\r\n1=/new/x.pdf\r\n2=\r\n3=\r\n");
    QTest::newRow("no file") << QByteArray()
                             << bom + "[MRU List]\r\n1=/new/x.pdf\r\n2=\r\n3=\r\n\r\n";
}

void tst_MostRecentFiles::writingLeavesEveryOtherLine() {
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);

    if (!before.isNull())
        WriteFile(FIni, before);
    QMenu menu;
    auto mru = Make(&menu, 3);
    mru->AddFile("/new/x.pdf");
    mru.reset();
    QCOMPARE(ReadFile(FIni), after);
}

QTEST_MAIN(tst_MostRecentFiles)
#include "tst_mostrecentfiles.moc"
