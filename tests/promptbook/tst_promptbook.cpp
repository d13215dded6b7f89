// The prompt book and the cue sheet, read back with the tools a reader of them
// has: poppler's pdfinfo, pdftotext and pdftoppm, and Python's csv module.

#include "app/Errors.h"
#include "app/ExportCommand.h"
#include "cues/CueLayout.h"
#include "cues/PromptBook.h"
#include "store/CueStore.h"
#include "store/KeyValueFile.h"
#include "view/ViewerGeometry.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPainter>
#include <QPdfWriter>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

#include "cues/CueSheet.h"

namespace {

struct TRun {
    int Status = -1;
    QString Out, Err;
};

TRun Run(const QString& program, const QStringList& arguments,
         const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    TRun run;
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        run.Err = QStringLiteral("did not finish: ") + process.errorString();
        return run;
    }
    run.Status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    run.Out = QString::fromUtf8(process.readAllStandardOutput());
    run.Err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

QString PageText(const QString& pdf, int page) { // page is 1-based
    const TRun run = Run(QStringLiteral("pdftotext"),
                         {QStringLiteral("-f"), QString::number(page), QStringLiteral("-l"),
                          QString::number(page), QStringLiteral("-enc"), QStringLiteral("UTF-8"),
                          pdf, QStringLiteral("-")});
    // Lines wrap where the notes column ends; compare words, not lines.
    return run.Out.simplified();
}

int PageCount(const QString& pdf) {
    const TRun run = Run(QStringLiteral("pdfinfo"), {pdf});
    const auto match = QRegularExpression(QStringLiteral("Pages:\\s+(\\d+)")).match(run.Out);
    return match.hasMatch() ? match.captured(1).toInt() : -1;
}

// A script of `pages` A4 pages, each with a few lines of text.
void MakeScript(const QString& path, int pages) {
    QPdfWriter pdf(path);
    pdf.setPageSize(QPageSize(QPageSize::A4));
    pdf.setPageMargins(QMarginsF(0, 0, 0, 0));
    pdf.setResolution(72);
    QPainter p(&pdf);
    for (int i = 0; i < pages; ++i) {
        if (i > 0)
            pdf.newPage();
        for (int line = 0; line < 20; ++line)
            p.drawText(QPointF(90, 100 + line * 30),
                       QStringLiteral("Page %1, line %2 of the script").arg(i + 1).arg(line + 1));
    }
}

// A cue file holding `rows` (records per page) and the window size.
void MakeCueFile(const QString& script, const QList<QStringList>& rows, QSize window) {
    KeyValueFile file(CueFilePath(script));
    file.SetAutoSave(true);
    for (int page = 0; page < rows.size(); ++page)
        for (int slot = 0; slot < rows[page].size(); ++slot)
            file.WriteString(PageSection(page), CueKey(slot), rows[page][slot]);
    file.WriteInteger(QStringLiteral("Settings"), QStringLiteral("Height"), window.height());
    file.WriteInteger(QStringLiteral("Settings"), QStringLiteral("Width"), window.width());
    file.Free();
}

void MakeSettings(const QString& path, const QString& sound, const QString& light) {
    KeyValueFile file(path);
    file.SetAutoSave(true);
    file.WriteString(QStringLiteral("OSC"), QStringLiteral("soundAddress"), sound);
    file.WriteString(QStringLiteral("OSC"), QStringLiteral("lightAddress"), light);
    file.Free();
}

TCueTable ReadTable(const QString& script, int pages) {
    TCueTable table(pages);
    const KeyValueFile file(CueFilePath(script));
    for (int page = 0; page < pages; ++page)
        ReadPageSection(file, page, table[page]);
    return table;
}

TRun Export(const QStringList& arguments, const QString& settings) {
    QString out, err;
    QTextStream o(&out), e(&err);
    TRun run;
    run.Status =
        RunExportCommand(QStringList{QStringLiteral("cuewell")} + arguments, settings, o, e);
    run.Out = out;
    run.Err = err;
    return run;
}

QStringList FilesIn(const QString& folder) {
    return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

} // namespace

class TestPromptBook : public QObject {
    Q_OBJECT

    QTemporaryDir FDir;
    QString FExe;                // a copy of the program with its own settings file beside it
    QString FScript;             // the demo show
    QString FBook;               // its prompt book, written by the program without a display
    TCueTable FTable;            // the demo's cues as the cue file holds them
    const QSize FView{940, 615}; // the viewer the demo's cues were placed in

private slots:
    void initTestCase() {
        QVERIFY(FDir.isValid());
        const TRun demo =
            Run(QStringLiteral(MAKEDEMO_EXE), {FDir.filePath(QStringLiteral("demo"))});
        QCOMPARE(demo.Status, 0);
        FScript = demo.Out.trimmed();
        QVERIFY(QFile::exists(FScript));
        FTable = ReadTable(FScript, 3);

        QDir().mkpath(FDir.filePath(QStringLiteral("bin")));
        FExe = FDir.filePath(QStringLiteral("bin/cuewell"));
        QVERIFY(QFile::copy(QStringLiteral(CUEWELL_EXE), FExe));
        MakeSettings(FDir.filePath(QStringLiteral("bin/cuewell.ini")), QStringLiteral("sound"),
                     QStringLiteral("light"));

        // As a show folder is turned into paper on a machine without a screen.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        FBook = FDir.filePath(QStringLiteral("demo/book.pdf"));
        const TRun run = Run(FExe, {QStringLiteral("--export-prompt-book"), FBook, FScript}, env);
        QVERIFY2(run.Status == 0, qPrintable(run.Err));
        QVERIFY(QFile::exists(FBook));
    }

    void bookHasEveryPageOfTheScript() { QCOMPARE(PageCount(FBook), PageCount(FScript)); }

    void bookNamesEveryCueOnItsPage_data() {
        QTest::addColumn<int>("page");
        QTest::addColumn<QString>("call");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("note");
        for (const TCueEntry& e :
             CueEntries(FTable, QStringLiteral("sound"), QStringLiteral("light")))
            QTest::addRow("page %d cue %d", e.Page + 1, e.Slot + 1)
                << e.Page << e.Call << e.Message
                << (CueTargetName(e.Target) +
                    (e.AutoplayOn ? QStringLiteral(" AUTOPLAY") : QString()));
    }
    void bookNamesEveryCueOnItsPage() {
        QFETCH(int, page);
        QFETCH(QString, call);
        QFETCH(QString, message);
        QFETCH(QString, note);
        const QString text = PageText(FBook, page + 1);
        QVERIFY2(text.contains(call), qPrintable(text));
        QVERIFY2(text.contains(message), qPrintable(text));
        QVERIFY2(text.contains(note), qPrintable(text));
        // Not on the other pages: the call belongs to this page's margin.
        for (int other = 0; other < 3; ++other)
            if (other != page)
                QVERIFY(!PageText(FBook, other + 1)
                             .contains(QStringLiteral(" ") + call + QStringLiteral(" ")) ||
                        call == QStringLiteral("Rain"));
    }

    // The red marker's pixels sit where the viewer showed the pin: the stored
    // fractions of the view, over a page fitted into the viewer and centred.
    void markerSitsAtThePin_data() {
        QTest::addColumn<int>("page");
        QTest::addColumn<QRectF>("pin"); // on the page, in points
        for (const TCueEntry& e : CueEntries(FTable, {}, {})) {
            const QPoint at = PinTopLeft(SplitRecord(e.Record), FView.width(), FView.height());
            const QRectF page = ComputeViewerLayout(FView, false, 1.0f).Page;
            const QRectF shown = PlacedImageRect(page, QSizeF(595, 842));
            const double scale = 595 / shown.width();
            QTest::addRow("page %d cue %d", e.Page + 1, e.Slot + 1)
                << e.Page
                << QRectF((at.x() - shown.left()) * scale, (at.y() - shown.top()) * scale,
                          PinSize * scale, PinSize * scale);
        }
    }
    void markerSitsAtThePin() {
        QFETCH(int, page);
        QFETCH(QRectF, pin);
        constexpr int Dpi = 100;
        const QString prefix = FDir.filePath(QStringLiteral("page%1").arg(page + 1));
        const QString png = prefix + QStringLiteral(".png");
        if (!QFile::exists(png)) {
            const TRun run =
                Run(QStringLiteral("pdftoppm"),
                    {QStringLiteral("-f"), QString::number(page + 1), QStringLiteral("-l"),
                     QString::number(page + 1), QStringLiteral("-r"), QString::number(Dpi),
                     QStringLiteral("-png"), QStringLiteral("-singlefile"), FBook, prefix});
            QCOMPARE(run.Status, 0);
        }
        const QImage image(png);
        QVERIFY(!image.isNull());
        const double px = Dpi / 72.0;
        const QRect expected = QRectF(pin.topLeft() * px, pin.size() * px).toRect();
        // The red shape reached from the first red pixel along the pin's middle row;
        // the neighbouring markers are apart from it.
        const auto red = [&](QPoint p) {
            if (!image.rect().contains(p))
                return false;
            const QColor c = image.pixelColor(p);
            return c.red() > 180 && c.green() < 70 && c.blue() < 70;
        };
        QPoint seed(-1, -1);
        for (int x = expected.left() - expected.width() / 4; x <= expected.right(); ++x)
            if (red(QPoint(x, expected.center().y()))) {
                seed = QPoint(x, expected.center().y());
                break;
            }
        QRect found;
        if (seed.x() >= 0) {
            QList<QPoint> todo{seed};
            QSet<std::pair<int, int>> seen{{seed.x(), seed.y()}};
            while (!todo.isEmpty()) {
                const QPoint p = todo.takeLast();
                found |= QRect(p, QSize(1, 1));
                for (const QPoint d : {QPoint(1, 0), QPoint(-1, 0), QPoint(0, 1), QPoint(0, -1)}) {
                    const QPoint q = p + d;
                    if (red(q) && !seen.contains({q.x(), q.y()})) {
                        seen.insert({q.x(), q.y()});
                        todo.append(q);
                    }
                }
            }
        }
        QVERIFY2(!found.isEmpty(), "no marker near the pin");
        const QPointF offset = QPointF(found.center()) - QPointF(expected.center());
        QVERIFY2(qAbs(offset.x()) <= 2 && qAbs(offset.y()) <= 2,
                 qPrintable(QStringLiteral("marker at %1,%2 %3x%4, pin at %5,%6 %7x%8")
                                .arg(found.x())
                                .arg(found.y())
                                .arg(found.width())
                                .arg(found.height())
                                .arg(expected.x())
                                .arg(expected.y())
                                .arg(expected.width())
                                .arg(expected.height())));
        QVERIFY(qAbs(found.width() - expected.width()) <= 3);
        QVERIFY(qAbs(found.height() - expected.height()) <= 3);
    }

    // Each record alone on a one-page show; its row as Python's csv module reads it.
    void cueSheetReadsBackExactly_data() {
        QTest::addColumn<QString>("record");
        QTest::addColumn<QStringList>("row");
        QTest::newRow("plain") << QStringLiteral("0.1|0.2|/sound/go 5|0|Go|")
                               << QStringList{"1", "1", "Go", "/sound/go 5", "sound", "no"};
        QTest::newRow("comma and quote")
            << QStringLiteral("0.1|0.2|/light/go 7, 8|-1|Lights, \"slow\" fade|")
            << QStringList{"1", "1", "Lights, \"slow\" fade", "/light/go 7, 8", "light", "yes"};
        QTest::newRow("non-Latin")
            << QStringLiteral("0.1|0.2|/sound/play гром|True|Гром — 雷鳴|")
            << QStringList{"1", "1", "Гром — 雷鳴", "/sound/play гром", "sound", "yes"};
        QTest::newRow("no target") << QStringLiteral("0.1|0.2|/Sound/go 1|0||")
                                   << QStringList{"1", "1", "", "/Sound/go 1", "no target", "no"};
        QTest::newRow("unreadable autoplay kept as written")
            << QStringLiteral("0.1|0.2|/light/x|maybe|Odd|")
            << QStringList{"1", "1", "Odd", "/light/x", "light", "maybe"};
    }
    void cueSheetReadsBackExactly() {
        QFETCH(QString, record);
        QFETCH(QStringList, row);
        const QString tag = QString::fromLatin1(QTest::currentDataTag()).replace(' ', '_');
        const QString script = FDir.filePath(tag + QStringLiteral(".pdf"));
        MakeScript(script, 1);
        MakeCueFile(script, {{record}}, QSize(940, 640));
        const QString csv = FDir.filePath(tag + QStringLiteral(".csv"));
        const TRun run = Export({QStringLiteral("--export-cue-sheet"), csv, script},
                                FDir.filePath(QStringLiteral("bin/cuewell.ini")));
        QVERIFY2(run.Status == 0, qPrintable(run.Err));
        const TRun read =
            Run(QStringLiteral("python3"),
                {QStringLiteral("-c"),
                 QStringLiteral("import csv, json, sys\n"
                                "with open(sys.argv[1], newline='', encoding='utf-8') as f:\n"
                                "    print(json.dumps(list(csv.reader(f))))"),
                 csv});
        QVERIFY2(read.Status == 0, qPrintable(read.Err));
        const QJsonArray rows = QJsonDocument::fromJson(read.Out.toUtf8()).array();
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows[0].toVariant().toStringList(),
                 (QStringList{"Page", "Cue", "Call", "OSC message", "Target", "Autoplay"}));
        QCOMPARE(rows[1].toVariant().toStringList(), row);
    }

    // Texts a plain CSV or a PDF writer mangles reach the book's text intact.
    void bookKeepsAwkwardTexts() {
        const QString script = FDir.filePath(QStringLiteral("awkward.pdf"));
        MakeScript(script, 2);
        MakeCueFile(script,
                    {{},
                     {QStringLiteral("0.2|0.1|/light/go 7, 8|-1|Lights, \"slow\" fade|"),
                      QStringLiteral("0.5|0.1|/sound/play гром|0|Гром и молния|")}},
                    QSize(940, 640));
        const QString book = FDir.filePath(QStringLiteral("awkward-book.pdf"));
        const TRun run = Export({QStringLiteral("--export-prompt-book"), book, script},
                                FDir.filePath(QStringLiteral("bin/cuewell.ini")));
        QVERIFY2(run.Status == 0, qPrintable(run.Err));
        QCOMPARE(PageCount(book), 2);
        const QString text = PageText(book, 2);
        for (const QString& s :
             {QStringLiteral("Lights, \"slow\" fade"), QStringLiteral("/light/go 7, 8"),
              QStringLiteral("Гром и молния"), QStringLiteral("/sound/play гром")})
            QVERIFY2(text.contains(s), qPrintable(text));
        QVERIFY(!PageText(book, 1).contains(QStringLiteral("Гром")));
    }

    // A cancelled export leaves no file under the chosen name, and no scrap
    // beside it; an older book of that name stays as it was.
    void cancelledExportLeavesNoFile_data() {
        QTest::addColumn<bool>("older");
        QTest::newRow("new name") << false;
        QTest::newRow("replacing an older book") << true;
    }
    void cancelledExportLeavesNoFile() {
        QFETCH(bool, older);
        QTemporaryDir dir;
        const QString script = dir.filePath(QStringLiteral("long.pdf"));
        MakeScript(script, 30);
        const QString out = dir.filePath(QStringLiteral("book.pdf"));
        if (older) {
            QFile file(out);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("older book");
        }
        const QStringList before = FilesIn(dir.path());
        TPromptBookRequest request;
        request.Script = script;
        request.Output = out;
        request.Table = TCueTable(30);
        request.Table[0][0] = QStringLiteral("0.2|0.1|/light/go 1|0|One|");
        request.ViewSize = QSize(940, 615);
        TPromptBookExport exporter(request);
        QSignalSpy finished(&exporter, &TPromptBookExport::Finished);
        int pagesSeen = 0;
        connect(&exporter, &TPromptBookExport::Progress, this, [&](int done, int) {
            pagesSeen = done;
            if (done == 3)
                exporter.Cancel();
        });
        exporter.Start();
        QVERIFY(finished.wait(60000));
        QCOMPARE(finished.first().at(0).value<TExportOutcome>(), TExportOutcome::Cancelled);
        QVERIFY(pagesSeen < 30);
        QCOMPARE(FilesIn(dir.path()), before);
        if (older) {
            QFile file(out);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), QByteArray("older book"));
        }
    }

    // Failures: a clear reason, a non-zero status, and nothing written.
    void commandLineFailures_data() {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("problem");
        QTest::addColumn<QString>("reason");
        for (const QString& option :
             {QStringLiteral("--export-prompt-book"), QStringLiteral("--export-cue-sheet")}) {
            const QByteArray o = option.toLatin1();
            QTest::addRow("%s missing script", o.data()) << option << "missing script"
                                                         << "does not exist";
            QTest::addRow("%s not a PDF", o.data()) << option << "not a pdf"
                                                    << "cannot be opened";
            QTest::addRow("%s no cue file", o.data()) << option << "no cue file"
                                                      << "no cue file";
            QTest::addRow("%s cue file not UTF-8", o.data()) << option << "bad cue file"
                                                             << "cues";
            QTest::addRow("%s unwritable output", o.data()) << option << "unwritable"
                                                            << "Cannot write";
            QTest::addRow("%s output is the script", o.data()) << option << "onto script"
                                                               << "replace the script";
            QTest::addRow("%s output is the cue file", o.data()) << option << "onto cues"
                                                                 << "replace the script's cues";
            QTest::addRow("%s too few arguments", o.data()) << option << "usage"
                                                            << "usage";
        }
    }
    void commandLineFailures() {
        QFETCH(QString, option);
        QFETCH(QString, problem);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        QString script = dir.filePath(QStringLiteral("show.pdf"));
        QString out = dir.filePath(QStringLiteral("out.file"));
        if (problem != "missing script" && problem != "not a pdf")
            MakeScript(script, 2);
        if (problem == "not a pdf") {
            QFile file(script);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("not a pdf at all");
        }
        if (problem == "bad cue file") {
            QFile file(CueFilePath(script));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("[Page0]\r\nCue0=0.1|0.1|\xff\xfe|0||\r\n");
        } else if (problem != "no cue file") {
            MakeCueFile(script, {{QStringLiteral("0.2|0.1|/light/go 1|0|One|")}}, QSize(940, 640));
        }
        if (problem == "unwritable")
            out = dir.filePath(QStringLiteral("no such folder/out.file"));
        if (problem == "onto script")
            out = script;
        if (problem == "onto cues")
            out = CueFilePath(script);
        QByteArray scriptBefore, cuesBefore;
        {
            QFile s(script), c(CueFilePath(script));
            if (s.open(QIODevice::ReadOnly))
                scriptBefore = s.readAll();
            if (c.open(QIODevice::ReadOnly))
                cuesBefore = c.readAll();
        }
        const QStringList files = FilesIn(dir.path());
        QStringList arguments{option, out, script};
        if (problem == "usage")
            arguments.removeLast();
        const TRun run = Export(arguments, FDir.filePath(QStringLiteral("bin/cuewell.ini")));
        QVERIFY2(run.Status > 0, qPrintable(QString::number(run.Status)));
        QVERIFY2(run.Err.contains(reason), qPrintable(run.Err));
        QCOMPARE(FilesIn(dir.path()), files);
        QFile s(script), c(CueFilePath(script));
        if (s.open(QIODevice::ReadOnly))
            QCOMPARE(s.readAll(), scriptBefore);
        if (c.open(QIODevice::ReadOnly))
            QCOMPARE(c.readAll(), cuesBefore);
    }

    void otherArgumentsAreNoExport() {
        QCOMPARE(Export({}, {}).Status, -1);
        QCOMPARE(Export({QStringLiteral("show.pdf")}, {}).Status, -1);
    }
};

QTEST_MAIN(TestPromptBook)
#include "tst_promptbook.moc"
