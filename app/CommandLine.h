#pragma once

#include <QString>
#include <QStringList>

// What the command line asks of the program. Parsed before any window exists,
// so that "--help" and "--version" work without a display.
struct TCommandLine {
    enum class TAction { Run, Help, Version, Error };
    TAction Action = TAction::Run;
    // The script to open: an absolute local path, or empty when none was given.
    QString Script;
    // Why the command line was refused (Action is Error).
    QString Error;
    // The refusal may go once the toolkit has taken its own options off the
    // line ("-platform offscreen", "-style Fusion"): parse again after that.
    bool ToolkitMayTake = false;
};

// Parses the arguments after the program name. "--help"/"-h" and "--version"
// win over everything else; "--" ends the options. A script may be a path or a
// "file:" URL (what file managers pass), percent-encoding decoded.
TCommandLine ParseCommandLine(const QStringList& arguments);

// The usage text printed by "--help", ending with a new line.
QString UsageText(const QString& program);
// "<program> <version>" and a new line, printed by "--version".
QString VersionText(const QString& program);
// The project's version, "0.1" style.
QString CuewellVersion();
