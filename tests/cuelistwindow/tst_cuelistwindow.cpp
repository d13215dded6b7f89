// The cue list beside the real main window, and the exports from its File
// menu: the list follows GO, autoplay and every edit; a double-click prompts
// as a pin click does; the written files read back with poppler's pdfinfo and
// Python's csv module. Offscreen, with real PDFs, files and UDP receivers.

#include "tests/common/CuewellFixture.h"

#include "cues/CueLayout.h"
#include "cues/CueListWindow.h"
#include "cues/Unit2.h"
#include "osc/Unit3.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableView>

namespace {

// Seven cues on three pages; d and e follow c by autoplay.
//   row 0 a, 1 b (page 1); 2 c, 3 d, 4 e, 5 f (page 2); 6 g (page 3)
QByteArray ShowCues() {
    return CueFileText({{"0.2|0.2|/sound/a|0|Alpha|", "0.5|0.2|/light/b|0|Bravo|"},
                        {"0.2|0.2|/sound/c|0||", "0.3|0.2|/sound/d|-1||", "0.4|0.2|/sound/e|-1||",
                         "0.5|0.2|/light/f|0||"},
                        {"0.3|0.3|/sound/g|0|Golf|"}});
}

// The main window on the three-page show with the cue list open.
TCuewell& StartShow(TWindowFixture& f, TReceiver& sound, TReceiver& light,
                    const QByteArray& cues = ShowCues(), int pages = 3) {
    WriteFileText(f.SettingsPath(), TargetSettings(sound.Port(), light.Port()));
    const QString script = MakeScript(f.Path("show.pdf"), pages);
    WriteFileText(f.Path("show.cues"), cues);
    TCuewell& w = f.StartOn(script);
    w.CueList1->trigger();
    if (!w.CueList || !QTest::qWaitForWindowExposed(w.CueList))
        qWarning("the cue list did not open");
    return w;
}

TCueListModel& List(TCuewell& w) {
    return w.CueList->Model();
}

// The first token of every datagram: the OSC address it was sent to.
QStringList Addresses(const QList<QByteArray>& datagrams) {
    QStringList addresses;
    for (const QByteArray& d : datagrams) {
        const int start = d.indexOf('/');
        addresses.append(QString::fromLatin1(d.mid(start, d.indexOf('\0', start) - start)));
    }
    return addresses;
}

QStringList Messages(TCueListModel& m) {
    QStringList messages;
    for (int row = 0; row < m.rowCount(); ++row)
        messages.append(m.EntryAt(row).Message);
    return messages;
}

// Rows marked as prompted, as the view is told through the model.
QList<int> PromptedRows(TCueListModel& m) {
    QList<int> rows;
    for (int row = 0; row < m.rowCount(); ++row)
        if (m.index(row, 0).data(TCueListModel::PromptedRole).toBool())
            rows.append(row);
    return rows;
}

void DoubleClickRow(TCuewell& w, int row) {
    QTableView& view = w.CueList->View();
    const QRect cell = view.visualRect(view.model()->index(row, TCueListModel::colCall));
    QVERIFY(!cell.isEmpty());
    // The first press of a double-click comes as a plain click.
    QTest::mouseClick(view.viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
    QTest::mouseDClick(view.viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
}

struct TRun {
    int Status = -1;
    QString Out, Err;
};

TRun Run(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.start(program, arguments);
    TRun run;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        run.Err = program + QStringLiteral(" did not finish: ") + process.errorString();
        return run;
    }
    run.Status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    run.Out = QString::fromUtf8(process.readAllStandardOutput());
    run.Err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

} // namespace

class tst_CueListWindow : public QObject {
    Q_OBJECT
private slots:
    void goMovesTheHighlight_data();
    void goMovesTheHighlight();
    void doubleClickPromptsAsAPinClick_data();
    void doubleClickPromptsAsAPinClick();
    void spaceInTheListIsGo();
    void cueReachingNoTargetIsFlagged_data();
    void cueReachingNoTargetIsFlagged();
    void flagsFollowTheOscSettings();
    void editsReachTheList_data();
    void editsReachTheList();
    void anotherScriptReplacesTheList_data();
    void anotherScriptReplacesTheList();
    void cueSheetFromTheMenuReadsBackAsTheTable();
    void promptBookFromTheMenuHasEveryPage();
    void promptBookNotesBreakBetweenWords_data();
    void promptBookNotesBreakBetweenWords();
    void listOpensBesideTheMainWindow_data();
    void listOpensBesideTheMainWindow();
};

void tst_CueListWindow::goMovesTheHighlight_data() {
    QTest::addColumn<int>("page");
    QTest::addColumn<int>("slot");
    QTest::addColumn<QStringList>("fired");
    QTest::addColumn<int>("row");
    QTest::newRow("to the next cue on the page") << 0 << 0 << QStringList{"/sound/a"} << 1;
    QTest::newRow("across a page turn") << 0 << 1 << QStringList{"/light/b"} << 2;
    QTest::newRow("through an autoplay run")
        << 1 << 0 << QStringList{"/sound/c", "/sound/d", "/sound/e"} << 5;
    QTest::newRow("after an autoplay run, across a page turn")
        << 1 << 3 << QStringList{"/light/f"} << 6;
}

void tst_CueListWindow::goMovesTheHighlight() {
    QFETCH(int, page);
    QFETCH(int, slot);
    QFETCH(QStringList, fired);
    QFETCH(int, row);
    TWindowFixture f;
    TReceiver sound, light;
    TCuewell& w = StartShow(f, sound, light);
    QCOMPARE(List(w).rowCount(), 7);
    QCOMPARE(PromptedRows(List(w)), QList<int>{});
    for (int i = 0; i < page; ++i)
        w.NextClick();
    QTest::mouseClick(w.CuePin[slot], Qt::LeftButton);
    QCOMPARE(PromptedRows(List(w)), QList<int>{List(w).RowOf(page, slot)});

    Go(w);
    QTRY_COMPARE(PromptedRows(List(w)), QList<int>{row});
    QList<QByteArray> sent;
    for (int i = 0; i < fired.size(); ++i) {
        const QByteArray next = fired[i].startsWith("/sound") ? sound.Next() : light.Next();
        sent.append(next);
    }
    QCOMPARE(Addresses(sent), fired);
    // The list and the window agree on the cue the next GO fires.
    const TCueEntry& entry = List(w).EntryAt(row);
    QCOMPARE(w.Book->PromptPage(), entry.Page);
    QCOMPARE(w.Book->CurrentCue(), entry.Slot);
    QVERIFY(w.NowCue->isVisible());
}

void tst_CueListWindow::doubleClickPromptsAsAPinClick_data() {
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("page");
    QTest::addColumn<QStringList>("fired");
    QTest::addColumn<int>("promptedRow");
    QTest::newRow("plain cue on another page") << 6 << 2 << QStringList{} << 6;
    QTest::newRow("plain cue on the shown page") << 1 << 0 << QStringList{} << 1;
    QTest::newRow("autoplay cue on another page")
        << 3 << 1 << QStringList{"/sound/d", "/sound/e"} << 5;
}

void tst_CueListWindow::doubleClickPromptsAsAPinClick() {
    QFETCH(int, row);
    QFETCH(int, page);
    QFETCH(QStringList, fired);
    QFETCH(int, promptedRow);
    TWindowFixture f;
    TReceiver sound, light;
    TCuewell& w = StartShow(f, sound, light);
    QCOMPARE(w.AdvPDF->PageIndex(), 0);

    DoubleClickRow(w, row);
    QCOMPARE(w.AdvPDF->PageIndex(), page);
    QCOMPARE(w.ShownPage, page);
    QCOMPARE(VisiblePins(w), w.Book->CueCount(page));
    QTRY_COMPARE(PromptedRows(List(w)), QList<int>{promptedRow});
    QList<QByteArray> sent;
    for (int i = 0; i < fired.size(); ++i)
        sent.append(sound.Next());
    QCOMPARE(Addresses(sent), fired);
    QVERIFY(sound.Next(150).isNull());
    QVERIFY(light.Next(0).isNull());

    // The prompt stands at the prompted cue's pin, and GO fires that cue.
    const TCueEntry entry = List(w).EntryAt(promptedRow);
    QCOMPARE(w.Book->PromptPage(), entry.Page);
    QCOMPARE(w.Book->CurrentCue(), entry.Slot);
    QVERIFY(w.NowCue->isVisible());
    QCOMPARE(w.NowCue->geometry(), ArrowPromptRect(w.CuePin[entry.Slot]->pos()));
    Go(w);
    TReceiver& target = entry.Target == TCueTarget::Light ? light : sound;
    QCOMPARE(Addresses({target.Next()}), QStringList{entry.Message});
}

void tst_CueListWindow::spaceInTheListIsGo() {
    // The operator has just double-clicked the list, which is now the active
    // window: the next Space is still GO.
    TWindowFixture f;
    TReceiver sound, light;
    TCuewell& w = StartShow(f, sound, light);
    DoubleClickRow(w, 6);
    QVERIFY(w.NowCue->isVisible());
    QTest::keyClick(w.CueList, Qt::Key_Space);
    QCOMPARE(Addresses({sound.Next()}), QStringList{"/sound/g"});
    QVERIFY(!w.NowCue->isVisible());
    // A page key turns the page as it does in the main window.
    QTest::keyClick(w.CueList, Qt::Key_PageUp);
    QCOMPARE(w.AdvPDF->PageIndex(), 1);
}

void tst_CueListWindow::cueReachingNoTargetIsFlagged_data() {
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<bool>("flagged");
    QTest::addColumn<QString>("target");
    QTest::newRow("sound") << QByteArray("0.5|0.5|/sound/go 1|0||") << false << "sound";
    QTest::newRow("light") << QByteArray("0.5|0.5|/light/go 1|0||") << false << "light";
    QTest::newRow("another selector")
        << QByteArray("0.5|0.5|/video/go 1|0||") << true << "no target";
    QTest::newRow("selector in other case")
        << QByteArray("0.5|0.5|/Sound/go 1|0||") << true << "no target";
    QTest::newRow("no message") << QByteArray("0.5|0.5||0||") << true << "no target";
}

void tst_CueListWindow::cueReachingNoTargetIsFlagged() {
    QFETCH(QByteArray, record);
    QFETCH(bool, flagged);
    QFETCH(QString, target);
    TWindowFixture f;
    TReceiver sound, light;
    TCuewell& w =
        StartShow(f, sound, light, CueFileText({{"0.1|0.1|/sound/first|0||", record}}), 1);
    TCueListModel& m = List(w);
    QCOMPARE(m.rowCount(), 2);
    QCOMPARE(m.index(1, TCueListModel::colTarget).data().toString(), target);
    QCOMPARE(m.index(1, 0).data(TCueListModel::NoTargetRole).toBool(), flagged);
    // Flagged rows stand out from the rest at a glance.
    const QVariant plain = m.index(0, 0).data(Qt::BackgroundRole);
    QCOMPARE(m.index(1, 0).data(Qt::BackgroundRole) != plain, flagged);
    const QString summary = w.CueList->findChild<QLabel*>("CueListSummary")->text();
    QCOMPARE(summary.contains("reaches no target"), flagged);
}

void tst_CueListWindow::flagsFollowTheOscSettings() {
    TWindowFixture f;
    TReceiver sound, light;
    TCuewell& w = StartShow(f, sound, light,
                            CueFileText({{"0.1|0.1|/sound/a|0||", "0.2|0.1|/video/b|0||"}}), 1);
    TCueListModel& m = List(w);
    QCOMPARE(m.index(1, 0).data(TCueListModel::NoTargetRole).toBool(), true);
    w.OSCSettings1Click();
    w.Form3()->soundOSC->setText("video");
    w.Form3()->btnSaveClick();
    QCOMPARE(m.index(0, 0).data(TCueListModel::NoTargetRole).toBool(), true);
    QCOMPARE(m.index(1, 0).data(TCueListModel::NoTargetRole).toBool(), false);
    QCOMPARE(m.index(1, TCueListModel::colTarget).data().toString(), "sound");
}

void tst_CueListWindow::editsReachTheList_data() {
    QTest::addColumn<QString>("edit");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<QString>("prompted"); // message of the marked cue; empty for none
    QTest::newRow("Ctrl+click adds a cue above the prompted one")
        << "add" << QStringList{"/sound/a", "", "/light/b", "/sound/c"} << "/light/b";
    QTest::newRow("the dialog deletes a cue above the prompted one")
        << "delete" << QStringList{"/light/b", "/sound/c"} << "";
    QTest::newRow("the dialog deletes a cue on another page")
        << "delete elsewhere" << QStringList{"/sound/a", "/light/b"} << "/light/b";
    QTest::newRow("the dialog edits a cue")
        << "edit" << QStringList{"/sound/a", "/light/changed", "/sound/c"} << "/light/changed";
}

void tst_CueListWindow::editsReachTheList() {
    QFETCH(QString, edit);
    QFETCH(QStringList, messages);
    QFETCH(QString, prompted);
    TWindowFixture f;
    TReceiver sound, light;
    TCuewell& w = StartShow(
        f, sound, light,
        CueFileText({{"0.2|0.2|/sound/a|0||", "0.6|0.2|/light/b|0||"}, {"0.2|0.2|/sound/c|0||"}}),
        2);
    QTest::mouseClick(w.CuePin[1], Qt::LeftButton);
    if (edit == "add") {
        // Between the two pins, at 40 % of the view's height.
        QTest::mouseClick(w.AdvPDF, Qt::LeftButton, Qt::ControlModifier, QPoint(300, 200));
    } else if (edit == "delete" || edit == "edit") {
        QTest::mouseClick(w.CuePin[edit == "delete" ? 0 : 1], Qt::RightButton);
        QVERIFY(w.Form2()->isVisible());
        if (edit == "delete") {
            QTest::mouseClick(w.Form2()->btnDelete, Qt::LeftButton);
        } else {
            w.Form2()->Edit1->setText("/light/changed");
            QTest::mouseClick(w.Form2()->btnSave, Qt::LeftButton);
        }
    } else {
        DoubleClickRow(w, 2);
        QTest::mouseClick(w.CuePin[0], Qt::RightButton);
        QTest::mouseClick(w.Form2()->btnDelete, Qt::LeftButton);
        DoubleClickRow(w, 1);
    }
    TCueListModel& m = List(w);
    QCOMPARE(Messages(m), messages);
    const QList<int> rows = PromptedRows(m);
    if (prompted.isEmpty()) {
        QCOMPARE(rows, QList<int>{});
        QVERIFY(!w.Book->HasPrompt() || !w.NowCue->isVisible());
    } else {
        QCOMPARE(rows.size(), 1);
        QCOMPARE(m.EntryAt(rows[0]).Message, prompted);
        QCOMPARE(m.EntryAt(rows[0]).Page, w.Book->PromptPage());
        QCOMPARE(m.EntryAt(rows[0]).Slot, w.Book->CurrentCue());
    }
    // The list's summary counts what it lists.
    const QString summary = w.CueList->findChild<QLabel*>("CueListSummary")->text();
    QVERIFY2(summary.startsWith(QString::number(messages.size()) + " cue"), qPrintable(summary));
}

void tst_CueListWindow::anotherScriptReplacesTheList_data() {
    QTest::addColumn<QByteArray>("cues"); // of the other script; empty for no cue file
    QTest::addColumn<QStringList>("messages");
    QTest::newRow("a script without cues") << QByteArray() << QStringList{};
    QTest::newRow("a script with cues")
        << CueFileText({{}, {"0.2|0.2|/light/x|0||", "0.4|0.2|/sound/y|-1||"}})
        << QStringList{"/light/x", "/sound/y"};
}

void tst_CueListWindow::anotherScriptReplacesTheList() {
    QFETCH(QByteArray, cues);
    QFETCH(QStringList, messages);
    TWindowFixture f;
    TReceiver sound, light;
    TCuewell& w = StartShow(f, sound, light);
    QTest::mouseClick(w.CuePin[1], Qt::LeftButton);
    QCOMPARE(PromptedRows(List(w)), QList<int>{1});
    const QString other = MakeScript(f.Path("other.pdf"), 2);
    if (!cues.isEmpty())
        WriteFileText(f.Path("other.cues"), cues);

    w.MostRecentFiles1MenuClick(nullptr, other);
    QTRY_COMPARE(w.Book->Script(), other);
    QCOMPARE(Messages(List(w)), messages);
    QCOMPARE(PromptedRows(List(w)), QList<int>{});
    for (int row = 0; row < List(w).rowCount(); ++row)
        QCOMPARE(List(w).EntryAt(row).Page, 1);
    // And back: the first script's cues are listed again.
    w.MostRecentFiles1MenuClick(nullptr, f.Path("show.pdf"));
    QTRY_COMPARE(w.Book->Script(), f.Path("show.pdf"));
    QCOMPARE(List(w).rowCount(), 7);
}

void tst_CueListWindow::cueSheetFromTheMenuReadsBackAsTheTable() {
    TWindowFixture f;
    TReceiver sound, light;
    TCuewell& w = StartShow(
        f, sound, light,
        CueFileText({{"0.2|0.2|/sound/go 1|0|Thunder|", "0.6|0.2|/video/x|-1|Film, \"late\"|"},
                     {},
                     {"0.3|0.3|/light/гром|True|Гром — 雷鳴|"}}));
    // A cue added just before the export is in it.
    QTest::mouseClick(w.AdvPDF, Qt::LeftButton, Qt::ControlModifier, QPoint(300, 450));
    const QString csv = f.Path("sheet.csv");
    f.Prompts.SaveAnswers = {csv};
    w.ExportCueSheet1->trigger();
    QCOMPARE(f.Prompts.SaveTitles, QStringList{"Export Cue Sheet"});
    QCOMPARE(StopTexts(f.Prompts), QStringList{});

    const TRun read = Run(QStringLiteral("python3"),
                          {QStringLiteral("-c"),
                           QStringLiteral("import csv, json, sys\n"
                                          "with open(sys.argv[1], newline='', "
                                          "encoding='utf-8') as f:\n"
                                          "    print(json.dumps(list(csv.reader(f))))"),
                           csv});
    QVERIFY2(read.Status == 0, qPrintable(read.Err));
    QStringList rows;
    for (const QJsonValue& row : QJsonDocument::fromJson(read.Out.toUtf8()).array())
        rows.append(row.toVariant().toStringList().join(QStringLiteral(" ; ")));
    QCOMPARE(rows, (QStringList{"Page ; Cue ; Call ; OSC message ; Target ; Autoplay",
                                "1 ; 1 ; Thunder ; /sound/go 1 ; sound ; no",
                                "1 ; 2 ; Film, \"late\" ; /video/x ; no target ; yes",
                                "1 ; 3 ;  ;  ; no target ; no",
                                "3 ; 1 ; Гром — 雷鳴 ; /light/гром ; light ; yes"}));

    // Cancelled, nothing is written and nothing is said.
    QFile::remove(csv);
    w.ExportCueSheet1->trigger();
    QVERIFY(!QFile::exists(csv));
    QCOMPARE(f.Prompts.Boxes.size(), 0);
}

void tst_CueListWindow::promptBookFromTheMenuHasEveryPage() {
    TWindowFixture f;
    TReceiver sound, light;
    TCuewell& w = StartShow(f, sound, light);
    const QString pdf = f.Path("book.pdf");
    f.Prompts.SaveAnswers = {pdf};
    w.ExportPromptBook1->trigger();
    QCOMPARE(f.Prompts.SaveTitles, QStringList{"Export Prompt Book"});
    QCOMPARE(StopTexts(f.Prompts), QStringList{});
    const TRun info = Run(QStringLiteral("pdfinfo"), {pdf});
    QVERIFY2(info.Status == 0, qPrintable(info.Err));
    const QRegularExpressionMatch pages =
        QRegularExpression(QStringLiteral("Pages:\\s+(\\d+)")).match(info.Out);
    QVERIFY(pages.hasMatch());
    QCOMPARE(pages.captured(1).toInt(), 3);
    const TRun text = Run(QStringLiteral("pdftotext"),
                          {QStringLiteral("-f"), QStringLiteral("3"), QStringLiteral("-l"),
                           QStringLiteral("3"), pdf, QStringLiteral("-")});
    QVERIFY(text.Out.contains("Golf"));
    QVERIFY(text.Out.contains("/sound/g"));
}

void tst_CueListWindow::promptBookNotesBreakBetweenWords_data() {
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<QStringList>("words"); // each found whole on the page
    QTest::newRow("long call")
        << QByteArray("0.3|0.3|/sound/go 1|0|Curtain film, \"slow\" \xE2\x80\x94 projector|")
        << QStringList{"Curtain", "film,", "projector"};
    QTest::newRow("long message")
        << QByteArray("0.3|0.3|/sound/play overture_final_mix thunderstorm_long|0|Go|")
        << QStringList{"/sound/play", "overture_final_mix", "thunderstorm_long"};
    // Wider than the column: split, but every letter is on the page.
    QTest::newRow("word wider than the column")
        << QByteArray("0.3|0.3|/sound/play_the_overture_final_mix_for_act_one_v2|0|Go|")
        << QStringList{"/sound/play_the_overture_final_mix_for_act_one_v2"};
}

void tst_CueListWindow::promptBookNotesBreakBetweenWords() {
    QFETCH(QByteArray, record);
    QFETCH(QStringList, words);
    TWindowFixture f;
    TReceiver sound, light;
    TCuewell& w = StartShow(f, sound, light, CueFileText({{record}}), 1);
    const QString pdf = f.Path("book.pdf");
    f.Prompts.SaveAnswers = {pdf};
    w.ExportPromptBook1->trigger();
    const TRun text = Run(QStringLiteral("pdftotext"), {pdf, QStringLiteral("-")});
    QVERIFY2(text.Status == 0, qPrintable(text.Err));
    const QStringList found = text.Out.simplified().split(' ');
    QString joined = text.Out;
    joined.remove(QRegularExpression(QStringLiteral("\\s")));
    for (const QString& word : words) {
        if (QTest::currentDataTag() == QByteArray("word wider than the column"))
            QVERIFY2(joined.contains(word), qPrintable(word + QStringLiteral(" in: ") + text.Out));
        else
            QVERIFY2(found.contains(word), qPrintable(word + QStringLiteral(" in: ") + text.Out));
    }
}

void tst_CueListWindow::listOpensBesideTheMainWindow_data() {
    QTest::addColumn<QRect>("owner");
    QTest::addColumn<QRect>("screen");
    QTest::addColumn<QRect>("list");
    const QRect wide(0, 0, 1600, 1000);
    QTest::newRow("right, narrowed to the room there")
        << QRect(100, 100, 820, 640) << wide << QRect(920, 100, 680, 445);
    QTest::newRow("below, when only there is room")
        << QRect(0, 0, 1600, 600) << wide << QRect(0, 600, 702, 400);
    QTest::newRow("left, where the room is")
        << QRect(900, 50, 700, 900) << wide << QRect(198, 50, 702, 445);
    QTest::newRow("above, when the main window sits low")
        << QRect(100, 555, 1500, 445) << wide << QRect(100, 110, 702, 445);
    QTest::newRow("level with the top as far as the screen allows")
        << QRect(0, 100, 1000, 400) << QRect(0, 0, 1600, 500) << QRect(1000, 55, 600, 445);
    QTest::newRow("screen not at the origin")
        << QRect(1700, 100, 820, 640) << QRect(1600, 0, 1600, 1000) << QRect(2520, 100, 680, 445);
    QTest::newRow("no room anywhere: the window manager places it")
        << QRect(0, 0, 1500, 900) << wide << QRect();
}

void tst_CueListWindow::listOpensBesideTheMainWindow() {
    QFETCH(QRect, owner);
    QFETCH(QRect, screen);
    QFETCH(QRect, list);
    const QRect place = CueListPlacement(owner, screen, QSize(702, 445), QSize(322, 225));
    QCOMPARE(place, list);
    if (!place.isNull()) {
        QVERIFY(!place.intersects(owner));
        QVERIFY(screen.contains(place));
    }
}

QTEST_MAIN(tst_CueListWindow)
#include "tst_cuelistwindow.moc"
