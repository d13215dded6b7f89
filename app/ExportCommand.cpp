#include "app/ExportCommand.h"

#include "app/Application.h"
#include "app/Errors.h"
#include "app/Seams.h"
#include "cues/CueSheet.h"
#include "cues/PromptBook.h"
#include "store/CueStore.h"
#include "store/KeyValueFile.h"

#include <QApplication>
#include <QFileInfo>
#include <QMainWindow>
#include <QMenuBar>
#include <QPdfDocument>
#include <QTextStream>
#include <memory>

namespace {

const QString PromptBookOption = QStringLiteral("--export-prompt-book");
const QString CueSheetOption = QStringLiteral("--export-cue-sheet");

// The view the cues were placed in: the main window's client area below its
// menu bar, at the outer size the cue file records. A desktop's window frame
// is not known here and is taken as none.
QSize ViewSizeOfWindow(QSize outer) {
    QMainWindow window;
    window.menuBar()->addMenu(QStringLiteral("File"));
    const int menu = window.menuBar()->sizeHint().height();
    return QSize(outer.width(), std::max(1, outer.height() - menu));
}

struct TShow {
    TCueTable Table;
    QSize ViewSize;
};

TShow ReadShow(const QString& script) {
    if (!QFileInfo(script).isFile())
        throw CuewellError(QStringLiteral("The script \"%1\" does not exist").arg(script));
    QPdfDocument doc;
    if (doc.load(script) != QPdfDocument::Error::None || doc.pageCount() <= 0)
        throw CuewellError(
            QStringLiteral("The script \"%1\" cannot be opened as a PDF").arg(script));
    const QString cues = CueFilePath(script);
    if (!QFileInfo(cues).isFile())
        throw CuewellError(
            QStringLiteral("The script has no cue file: \"%1\" is missing").arg(cues));
    TShow show;
    std::unique_ptr<KeyValueFile> opened;
    try {
        opened = std::make_unique<KeyValueFile>(cues);
    } catch (const CuewellError& e) {
        throw CuewellError(
            QStringLiteral("Cannot read the cue file \"%1\": %2").arg(cues, e.Text()));
    }
    const KeyValueFile& file = *opened;
    // Paper that silently lacks a cue is worse than none: the file is mended first.
    if (file.Damaged())
        throw CuewellError(
            QStringLiteral("Cannot read the cue file \"%1\": %2").arg(cues, file.LoadProblem()));
    show.Table.resize(doc.pageCount());
    for (int page = 0; page < doc.pageCount(); ++page)
        ReadPageSection(file, page, show.Table[page]);
    const QString settings = QStringLiteral("Settings");
    // The view the pins were placed in, where the file records it; otherwise
    // the one the window gets at the outer size it is locked to.
    const QSize view(file.ReadInteger(settings, QStringLiteral("ViewWidth"), 0),
                     file.ReadInteger(settings, QStringLiteral("ViewHeight"), 0));
    show.ViewSize =
        view.width() > 0 && view.height() > 0
            ? view
            : ViewSizeOfWindow(QSize(file.ReadInteger(settings, QStringLiteral("Width"), 900),
                                     file.ReadInteger(settings, QStringLiteral("Height"), 580)));
    return show;
}

} // namespace

int RunExportCommand(const QStringList& arguments, const QString& settingsPath, QTextStream& out,
                     QTextStream& err) {
    if (arguments.size() < 2 ||
        (arguments[1] != PromptBookOption && arguments[1] != CueSheetOption))
        return -1;
    const bool book = arguments[1] == PromptBookOption;
    if (arguments.size() != 4) {
        err << "usage: cuewell " << arguments[1] << (book ? " OUT.pdf" : " OUT.csv")
            << " SCRIPT.pdf\n";
        err.flush();
        return 2;
    }
    const QString output = arguments[2], script = arguments[3];
    try {
        CheckExportTarget(output, script);
        const TShow show = ReadShow(script);
        QString sound, light;
        if (QFileInfo(settingsPath).isFile()) {
            const KeyValueFile settings(settingsPath);
            sound = settings.ReadString(QStringLiteral("OSC"), QStringLiteral("soundAddress"), {});
            light = settings.ReadString(QStringLiteral("OSC"), QStringLiteral("lightAddress"), {});
        }
        const int cues = int(CueEntries(show.Table, sound, light).size());
        if (book) {
            TPromptBookRequest request;
            request.Script = script;
            request.Output = output;
            request.Table = show.Table;
            request.SoundSelector = sound;
            request.LightSelector = light;
            request.ViewSize = show.ViewSize;
            const std::atomic<bool> never{false};
            WritePromptBook(request, never);
            out << "Wrote the prompt book \"" << output << "\": " << show.Table.size() << " pages, "
                << cues << " cues\n";
        } else {
            WriteCueSheet(output, show.Table, sound, light);
            out << "Wrote the cue sheet \"" << output << "\": " << cues << " cues\n";
        }
        out.flush();
        return 0;
    } catch (const CuewellError& e) {
        err << "cuewell: " << StandardErrorText(e.Text()) << "\n";
    } catch (const std::exception& e) {
        err << "cuewell: " << e.what() << "\n";
    }
    err.flush();
    return 1;
}

int RunExportCommandLine(int argc, char** argv) {
    if (argc < 2)
        return -1;
    const QString option = QString::fromLocal8Bit(argv[1]);
    if (option != PromptBookOption && option != CueSheetOption)
        return -1;
    // An export shows nothing: it must run where there is no display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ApplyDarkStyle(app);
    QTextStream out(stdout), err(stderr);
    ProcessPaths paths;
    return RunExportCommand(QCoreApplication::arguments(), SettingsFilePath(paths), out, err);
}
