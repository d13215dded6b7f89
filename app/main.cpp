// Cuewell: calls the cues of a live show from its script.

#include "app/Application.h"
#include "app/CommandLine.h"
#include "app/ExportCommand.h"
#include "app/Seams.h"
#include "app/TerminationSignals.h"
#include "app/Unit1.h"

#include <QFileInfo>

#include <cstdio>

namespace {

QStringList ArgumentsAfterProgram(int argc, char** argv) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return arguments;
}

void Print(std::FILE* stream, const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stream);
}

int Refuse(const QString& program, const QString& error) {
    Print(stderr, QStringLiteral("%1: %2\nTry '%1 --help'.\n").arg(program, error));
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    // The exports turn a show folder into paper without a window.
    if (const int status = RunExportCommandLine(argc, argv); status >= 0)
        return status;
    const QString program = QFileInfo(QString::fromLocal8Bit(argv[0])).fileName();
    // Help and version need no display, so they are answered before Qt starts.
    const TCommandLine early = ParseCommandLine(ArgumentsAfterProgram(argc, argv));
    if (early.Action == TCommandLine::TAction::Help) {
        Print(stdout, UsageText(program));
        return 0;
    }
    if (early.Action == TCommandLine::TAction::Version) {
        Print(stdout, VersionText(program));
        return 0;
    }
    if (early.Action == TCommandLine::TAction::Error && !early.ToolkitMayTake)
        return Refuse(program, early.Error);

    TCuewellApplication app(argc, argv);
    // The fonts load while the window is built, until its first text needs them.
    const TFontWarmup fonts;
    // Qt has now taken its own options (-platform, -style, ...) off the line.
    const TCommandLine line = ParseCommandLine(QCoreApplication::arguments().mid(1));
    if (line.Action == TCommandLine::TAction::Error)
        return Refuse(program, line.Error);
    ApplyDarkStyle(app);

    DesktopPrompts prompts;
    ProcessPaths paths;
    app.SetPrompts(&prompts);

    QStringList arguments{QCoreApplication::applicationFilePath()};
    if (!line.Script.isEmpty())
        arguments.append(line.Script);
    TCuewell window(TAppContext{prompts, paths, arguments});
    if (window.EndRequested())
        return 0;
    window.show();

    // Logout, shutdown or Ctrl+C close the window like Exit, so cues and
    // settings are saved.
    TTerminationSignals termination;
    QObject::connect(&termination, &TTerminationSignals::Requested, &window,
                     [&window] { CloseFromOutside(&window); });
    return app.exec();
}
