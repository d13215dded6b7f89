#include "app/Errors.h"
#include "cues/CueBook.h"
#include "store/CueStore.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

// The cue book without any window: its operations keep the prompted cue, keep
// changes pending until they are in the file, and save only to its own script.
class tst_CueBook : public QObject {
    Q_OBJECT
private slots:
    void loadingAnotherScriptEmptiesTableAndPrompt();
    void reloadingTheSameScriptKeepsItsTable();
    void editsKeepThePromptedCue_data();
    void editsKeepThePromptedCue();
    void deletingThePromptedCueClearsThePrompt();
    void everyDialogSaveReachesTheNextGo();
    void failedSaveKeepsTheChangePending_data();
    void failedSaveKeepsTheChangePending();
    void savesGoToTheBooksOwnScript();
    void recordWithoutBarIsACueWithEmptyFields();
    void fullPageRefusesANewCue();
    void lockedBookChangesNothing();
    void readAheadGivesWayToAChangedFile_data();
    void readAheadGivesWayToAChangedFile();
    void rowsReadLaterReachEverySave_data();
    void rowsReadLaterReachEverySave();
};

namespace {

QByteArray ReadBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

void WriteBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QByteArray CueFileText(const QList<QList<QByteArray>>& pages) {
    QByteArray text = "\xEF\xBB\xBF";
    for (int p = 0; p < pages.size(); ++p) {
        text += "[Page" + QByteArray::number(p) + "]\r\n";
        for (int i = 0; i < pages[p].size(); ++i)
            text += "Cue" + QByteArray::number(i) + "=" + pages[p][i] + "\r\n";
        text += "\r\n";
    }
    return text;
}

QByteArray Message(const TCueBook& book) {
    return FieldOf(book.CueFields(), cfMessage);
}

// The prompted cue's fields are always its own record's.
void VerifyPromptConsistent(const TCueBook& book) {
    QVERIFY(book.HasPrompt());
    QCOMPARE(book.CueFields(), SplitRecord(book.Record(book.PromptPage(), book.CurrentCue())));
}

const QList<QByteArray> ThreeCues = {"0.3|0.2|/sound/a|0|A|", "0.5|0.2|/sound/b|0|B|",
                                     "0.7|0.2|/sound/c|0|C|"};

} // namespace

void tst_CueBook::loadingAnotherScriptEmptiesTableAndPrompt() {
    QTemporaryDir dir;
    WriteBytes(dir.filePath("a.cues"), CueFileText({ThreeCues, {"0.1|0.1|/x|0||"}}));
    TCueBook book;
    QSignalSpy changed(&book, &TCueBook::ScriptChanged);
    QVERIFY(book.Load(dir.filePath("a.pdf"), 2));
    QVERIFY(book.ReadCues().Exists);
    QCOMPARE(book.CueCount(0), 3);
    book.SetPrompt(0, 1);
    book.MoveCue(1, 0, "0.2|0.1|/x|0||");
    QVERIFY(book.CuesDirty());

    QVERIFY(book.Load(dir.filePath("b.pdf"), 3));
    QCOMPARE(changed.size(), 2);
    QCOMPARE(book.PageCount(), 3);
    for (const CueRow& row : book.CueTable())
        for (const CueRecord& record : row)
            QVERIFY(record.isEmpty());
    QVERIFY(!book.HasPrompt());
    QVERIFY(book.CueFields().isEmpty());
    QVERIFY(!book.CuesDirty());
    QCOMPARE(book.CueFile(), dir.filePath("b.cues"));
    // Nothing of b exists yet: reading leaves the table empty.
    QVERIFY(!book.ReadCues().Exists);
    QCOMPARE(book.CueCount(0), 0);
}

void tst_CueBook::reloadingTheSameScriptKeepsItsTable() {
    QTemporaryDir dir;
    WriteBytes(dir.filePath("a.cues"), CueFileText({ThreeCues}));
    TCueBook book;
    book.Load(dir.filePath("a.pdf"), 1);
    book.ReadCues();
    book.SetPrompt(0, 2);
    QSignalSpy changed(&book, &TCueBook::ScriptChanged);
    QVERIFY(!book.Load(dir.filePath("a.pdf"), 2));
    QCOMPARE(changed.size(), 0);
    QCOMPARE(book.PageCount(), 2);
    QCOMPARE(book.CueCount(0), 3);
    QCOMPARE(book.CurrentCue(), 2);
    VerifyPromptConsistent(book);
}

void tst_CueBook::editsKeepThePromptedCue_data() {
    QTest::addColumn<int>("prompted");
    QTest::addColumn<QString>("operation");
    QTest::addColumn<int>("slotAfter");
    // Which cue is prompted (by slot among a, b, c), what happens, and where the
    // prompted cue must be found afterwards.
    QTest::newRow("new cue above") << 1 << "add 0.1" << 2;
    QTest::newRow("new cue below") << 1 << "add 0.9" << 1;
    QTest::newRow("new cue between, prompt after it") << 2 << "add 0.6" << 3;
    QTest::newRow("prompted cue dragged to the top") << 2 << "move 2 0.1" << 0;
    QTest::newRow("prompted cue dragged down") << 0 << "move 0 0.8" << 2;
    QTest::newRow("other cue dragged above the prompt") << 1 << "move 2 0.2" << 2;
    QTest::newRow("other cue dragged below the prompt") << 1 << "move 0 0.9" << 0;
    QTest::newRow("prompted cue edited") << 1 << "edit 1" << 1;
    QTest::newRow("cue above the prompt deleted") << 2 << "delete 0" << -1;
}

void tst_CueBook::editsKeepThePromptedCue() {
    QFETCH(int, prompted);
    QFETCH(QString, operation);
    QFETCH(int, slotAfter);
    QTemporaryDir dir;
    WriteBytes(dir.filePath("show.cues"), CueFileText({ThreeCues}));
    TCueBook book;
    book.Load(dir.filePath("show.pdf"), 1);
    book.ReadCues();
    book.SetPrompt(0, prompted);
    const QByteArray message = Message(book);

    const QStringList op = operation.split(' ');
    if (op[0] == "add") {
        book.AddCue(0, op[1] + "|0.5||0||");
    } else if (op[0] == "move") {
        const int slot = op[1].toInt();
        const arStr fields = SplitRecord(book.Record(0, slot));
        book.MoveCue(0, slot,
                     BuildRecord(arStr{op[2].toUtf8(), "0.2"}, fields[cfMessage],
                                 fields[cfAutoplay], fields[cfCall]));
    } else if (op[0] == "edit") {
        book.EditCue(0, op[1].toInt(), message, true, "Edited");
    } else {
        book.DeleteCue(0, op[1].toInt());
    }

    if (slotAfter < 0) {
        // A deletion on the prompt's page hides the prompt: the slots moved up.
        QVERIFY(!book.HasPrompt());
        return;
    }
    QCOMPARE(book.CurrentCue(), slotAfter);
    QCOMPARE(Message(book), message);
    VerifyPromptConsistent(book);
    // What the book holds is what its file lists after a save and a fresh read.
    book.SaveCues();
    TCueBook fresh;
    fresh.Load(dir.filePath("show.pdf"), 1);
    fresh.ReadCues();
    QCOMPARE(fresh.CueTable(), book.CueTable());
}

void tst_CueBook::deletingThePromptedCueClearsThePrompt() {
    QTemporaryDir dir;
    WriteBytes(dir.filePath("show.cues"), CueFileText({ThreeCues}));
    TCueBook book;
    book.Load(dir.filePath("show.pdf"), 1);
    book.ReadCues();
    book.SetPrompt(0, 1);
    QSignalSpy moved(&book, &TCueBook::PromptMoved);
    QSignalSpy cues(&book, &TCueBook::PageCuesChanged);
    book.DeleteCue(0, 1);
    QVERIFY(!book.HasPrompt());
    QVERIFY(moved.size() >= 1);
    QCOMPARE(cues.size(), 1);
    QCOMPARE(cues.first().at(1).value<QList<int>>().mid(0, 3), (QList<int>{0, -1, 1}));
    QCOMPARE(book.CueCount(0), 2);
    QCOMPARE(book.Record(0, 1), QString::fromUtf8(ThreeCues[2]));
    QVERIFY(!book.CuesDirty());
}

void tst_CueBook::everyDialogSaveReachesTheNextGo() {
    QTemporaryDir dir;
    WriteBytes(dir.filePath("show.cues"), CueFileText({ThreeCues}));
    TCueBook book;
    book.Load(dir.filePath("show.pdf"), 1);
    book.ReadCues();
    book.SetPrompt(0, 0);
    // The first Save changes the fields the prompt holds; the second must still
    // recognise the prompted cue.
    book.EditCue(0, 0, "/sound/a", true, "A");
    QCOMPARE(FieldOf(book.CueFields(), cfAutoplay), QByteArray("-1"));
    book.EditCue(0, 0, "/sound/changed", true, "A");
    QCOMPARE(Message(book), QByteArray("/sound/changed"));
    book.EditCue(0, 0, "/sound/again", false, "A2");
    QCOMPARE(Message(book), QByteArray("/sound/again"));
    QCOMPARE(FieldOf(book.CueFields(), cfCall), QByteArray("A2"));
    // Another cue's edit never reaches the prompted cue.
    book.EditCue(0, 1, "/sound/other", false, "");
    QCOMPARE(Message(book), QByteArray("/sound/again"));
}

void tst_CueBook::failedSaveKeepsTheChangePending_data() {
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("new cue") << "add" << QByteArray("Cue0=0.1|0.5||0||");
    QTest::newRow("dialog save") << "edit" << QByteArray("|/sound/edited|-1|E|");
    QTest::newRow("delete") << "delete" << QByteArray("Cue0=0.5|0.2|/sound/b|0|B|");
    QTest::newRow("drag, then page save") << "move" << QByteArray("Cue0=0.25|0.2|/sound/a|0|A|");
}

void tst_CueBook::failedSaveKeepsTheChangePending() {
    QFETCH(QString, operation);
    QFETCH(QByteArray, expected);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("show"));
    const QString folder = dir.filePath("show");
    WriteBytes(folder + "/show.cues", CueFileText({ThreeCues}));
    TCueBook book;
    book.Load(folder + "/show.pdf", 1);
    book.ReadCues();
    // The folder goes away and a file takes its name: no save can succeed,
    // whoever runs the test.
    QVERIFY(QDir(dir.path()).rename("show", "away"));
    WriteBytes(folder, "not a folder");

    bool raised = false;
    try {
        if (operation == "add") {
            book.AddCue(0, "0.1|0.5||0||");
        } else if (operation == "edit") {
            book.EditCue(0, 0, "/sound/edited", true, "E");
        } else if (operation == "delete") {
            book.DeleteCue(0, 0);
        } else {
            book.MoveCue(0, 0, "0.25|0.2|/sound/a|0|A|");
            book.SavePage(0);
        }
    } catch (const CuewellError&) {
        raised = true;
    }
    QVERIFY(raised);
    QVERIFY(book.CuesDirty());
    QVERIFY(book.PageDirty(0));

    // Once the folder is back, the pending change is saved.
    QVERIFY(QFile::remove(folder));
    QVERIFY(QDir(dir.path()).rename("away", "show"));
    book.SaveCues();
    QVERIFY(!book.CuesDirty());
    QVERIFY2(ReadBytes(folder + "/show.cues").contains(expected), ReadBytes(folder + "/show.cues"));
}

void tst_CueBook::savesGoToTheBooksOwnScript() {
    QTemporaryDir dir;
    WriteBytes(dir.filePath("a.cues"), CueFileText({ThreeCues}));
    TCueBook book;
    book.Load(dir.filePath("a.pdf"), 1);
    book.ReadCues();
    book.AddCue(0, "0.1|0.5|/new|0||");
    book.MoveCue(0, 0, "0.15|0.5|/new|0||");
    book.SavePage(0);
    book.EditCue(0, 1, "/sound/a2", false, "");
    QVERIFY(ReadBytes(dir.filePath("a.cues")).contains("Cue0=0.15|0.5|/new|0||"));
    QVERIFY(ReadBytes(dir.filePath("a.cues")).contains("/sound/a2"));
    const QStringList files = QDir(dir.path()).entryList(QDir::Files);
    QCOMPARE(files, QStringList{"a.cues"});
}

void tst_CueBook::recordWithoutBarIsACueWithEmptyFields() {
    QTemporaryDir dir;
    WriteBytes(dir.filePath("show.cues"),
               CueFileText({{"0.2|0.2|/sound/a|0||", "junk", "0.6|0.2|/sound/c|0||"}}));
    TCueBook book;
    book.Load(dir.filePath("show.pdf"), 1);
    book.ReadCues();
    QCOMPARE(book.CueCount(0), 3);
    bool prompted = false;
    QVERIFY(!book.SetPrompt(0, 1, &prompted));
    QVERIFY(prompted);
    QCOMPARE(book.CueFields(), arStr(5));
}

void tst_CueBook::fullPageRefusesANewCue() {
    QTemporaryDir dir;
    QList<QByteArray> full;
    for (int i = 0; i < MaxCuesPerPage; ++i)
        full.append("0." + QByteArray::number(10 + i * 2) + "|0.1||0||");
    WriteBytes(dir.filePath("show.cues"), CueFileText({full}));
    TCueBook book;
    book.Load(dir.filePath("show.pdf"), 1);
    book.ReadCues();
    const TCueTable before = book.CueTable();
    QVERIFY_THROWS_EXCEPTION(CuewellError, book.AddCue(0, "0.5|0.5||0||"));
    QCOMPARE(book.CueTable(), before);
    QVERIFY(!book.CuesDirty());
}

void tst_CueBook::lockedBookChangesNothing() {
    QTemporaryDir dir;
    const QByteArray file = CueFileText({ThreeCues});
    WriteBytes(dir.filePath("show.cues"), file);
    TCueBook book;
    book.Load(dir.filePath("show.pdf"), 1);
    book.ReadCues();
    book.SetPrompt(0, 1);
    book.SetLocked(true);
    const TCueTable before = book.CueTable();
    QCOMPARE(book.AddCue(0, "0.1|0.1||0||"), -1);
    book.MoveCue(0, 0, "0.9|0.9|/sound/a|0|A|");
    book.EditCue(0, 1, "/sound/x", true, "X");
    book.DeleteCue(0, 2);
    book.MarkDirty(0);
    QCOMPARE(book.CueTable(), before);
    QVERIFY(!book.CuesDirty());
    QCOMPARE(book.CurrentCue(), 1);
    QCOMPARE(ReadBytes(dir.filePath("show.cues")), file);
    // Unlocked, the book edits again.
    book.SetLocked(false);
    book.DeleteCue(0, 2);
    QCOMPARE(book.CueCount(0), 2);
}

QTEST_GUILESS_MAIN(tst_CueBook)
#include "tst_cuebook.moc"

void tst_CueBook::readAheadGivesWayToAChangedFile_data() {
    QTest::addColumn<QString>("change");
    QTest::addColumn<QByteArrayList>("messages");
    QTest::newRow("unchanged") << "" << QByteArrayList{"/sound/a", "/sound/b", "/sound/c"};
    // As long as before: only the bytes tell the files apart.
    QTest::newRow("rewritten in place, same length")
        << "same length" << QByteArrayList{"/sound/z", "/sound/b", "/sound/c"};
    QTest::newRow("replaced by another file") << "replaced" << QByteArrayList{"/light/1"};
    QTest::newRow("removed") << "removed" << QByteArrayList{};
    QTest::newRow("another script read ahead")
        << "other script" << QByteArrayList{"/sound/a", "/sound/b", "/sound/c"};
}

// The cue file read ahead of its script's load gives the size at once and
// the cues at the load; a file that has changed in between is read anew.
void tst_CueBook::readAheadGivesWayToAChangedFile() {
    QFETCH(QString, change);
    QFETCH(QByteArrayList, messages);
    QTemporaryDir dir;
    const QString cueFile = dir.filePath("a.cues");
    const QByteArray settings = "[Settings]\r\nHeight=500\r\nWidth=800\r\n";
    const QByteArray original = CueFileText({ThreeCues}) + settings;
    WriteBytes(cueFile, original);
    WriteBytes(dir.filePath("b.cues"), CueFileText({{"0.5|0.5|/b|0||"}}));
    TCueBook book;
    const TStoredSize size = book.ReadAhead(dir.filePath("a.pdf"));
    QVERIFY(size.Exists);
    QCOMPARE(size.Height, 500);
    QCOMPARE(size.Width, 800);

    if (change == "same length") {
        QByteArray changed = original;
        changed.replace("/sound/a", "/sound/z");
        QCOMPARE(changed.size(), original.size());
        QFile file(cueFile);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QCOMPARE(file.write(changed), changed.size());
    } else if (change == "replaced") {
        QVERIFY(QFile::remove(cueFile));
        WriteBytes(cueFile, CueFileText({{"0.4|0.4|/light/1|0||"}}) + settings);
    } else if (change == "removed") {
        QVERIFY(QFile::remove(cueFile));
    } else if (change == "other script") {
        book.ReadAhead(dir.filePath("b.pdf"));
    }

    book.Load(dir.filePath("a.pdf"), 1);
    const TStoredSize read = book.ReadCues();
    QCOMPARE(read.Exists, change != "removed");
    QByteArrayList got;
    for (int slot = 0; slot < book.CueCount(0); ++slot)
        got.append(FieldOf(SplitRecord(book.Record(0, slot)), cfMessage));
    QCOMPARE(got, messages);
}

void tst_CueBook::rowsReadLaterReachEverySave_data() {
    QTest::addColumn<QString>("operation");
    QTest::newRow("saving every page") << "save";
    QTest::newRow("editing a cue of the first page") << "edit";
    QTest::newRow("the same script with a page more, then saving") << "reload";
}

// ReadCues reads the first page at once and the others later; a save made
// before anything looked at them still writes every page's cues.
void tst_CueBook::rowsReadLaterReachEverySave() {
    QFETCH(QString, operation);
    QTemporaryDir dir;
    const QList<QByteArray> second = {"0.2|0.2|/light/2|0||"};
    const QList<QByteArray> third = {"0.3|0.3|/sound/3|-1|Three|", "0.6|0.3|/sound/4|0||"};
    WriteBytes(dir.filePath("a.cues"), CueFileText({ThreeCues, second, third}));
    TCueBook book;
    book.Load(dir.filePath("a.pdf"), 3);
    book.ReadCues();
    if (operation == "save") {
        book.SaveCues();
    } else if (operation == "edit") {
        book.EditCue(0, 0, "/sound/edited", false, "A");
    } else if (operation == "reload") {
        book.Load(dir.filePath("a.pdf"), 4);
        book.SaveCues();
    }

    TCueBook fresh;
    fresh.Load(dir.filePath("a.pdf"), 3);
    fresh.ReadCues();
    QCOMPARE(fresh.CueCount(0), 3);
    QCOMPARE(fresh.CueCount(1), 1);
    QCOMPARE(fresh.Record(1, 0), QString::fromUtf8(second[0]));
    QCOMPARE(fresh.CueCount(2), 2);
    QCOMPARE(fresh.Record(2, 0), QString::fromUtf8(third[0]));
    QCOMPARE(fresh.Record(2, 1), QString::fromUtf8(third[1]));
}
