#pragma once

// The exports from the command line, so a show folder becomes paper without
// opening the window:
//   cuewell --export-prompt-book OUT.pdf SCRIPT.pdf
//   cuewell --export-cue-sheet OUT.csv SCRIPT.pdf

#include <QString>
#include <QStringList>

class QTextStream;

// Runs the export the arguments (the program's name first) ask for, with the
// selectors of the settings file at `settingsPath`. Returns -1 when they ask
// for none, 0 when written, otherwise non-zero with the reason on `err`.
// Needs an application object.
int RunExportCommand(const QStringList& arguments, const QString& settingsPath, QTextStream& out,
                     QTextStream& err);

// For main(), before any window exists: -1 when the arguments ask for no
// export; otherwise runs it without a display and returns the exit status.
int RunExportCommandLine(int argc, char** argv);
