#include "app/CommandLine.h"

#include <QDir>
#include <QFileInfo>
#include <QUrl>

#include <array>

namespace {

struct TOptionHelp {
    const char* Names;
    const char* Text;
};

// One row per option; the usage text is made from this table.
constexpr std::array<TOptionHelp, 4> OptionHelp{{
    {"-h, --help", "show this help and exit"},
    {"--version", "show the version and exit"},
    {"--export-prompt-book OUT.pdf SCRIPT.pdf", "write the script with its cues marked, and exit"},
    {"--export-cue-sheet OUT.csv SCRIPT.pdf", "write every cue as a CSV row, and exit"},
}};

bool IsFileUrl(const QString& text) {
    return text.startsWith(QLatin1String("file:"), Qt::CaseInsensitive);
}

// A script argument as a local absolute path; the empty text and a reason when
// it names nothing on this machine.
QString LocalScriptPath(const QString& argument, QString& error) {
    QString path = argument;
    if (IsFileUrl(argument)) {
        QUrl url(argument);
        if (url.host().compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
            url.setHost(QString());
        if (!url.isValid() || !url.isLocalFile() || !url.host().isEmpty()) {
            error = QStringLiteral("not a local file: %1").arg(argument);
            return {};
        }
        path = url.toLocalFile();
    }
    if (path.isEmpty()) {
        error = QStringLiteral("empty script name");
        return {};
    }
    // The script's path is remembered for the next start, which may begin in
    // another folder: keep it absolute.
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

} // namespace

TCommandLine ParseCommandLine(const QStringList& arguments) {
    TCommandLine result;
    QStringList scripts;
    bool optionsEnded = false;
    bool unknownLong = false;
    for (const QString& argument : arguments) {
        if (!optionsEnded && argument == QLatin1String("--")) {
            optionsEnded = true;
        } else if (!optionsEnded &&
                   (argument == QLatin1String("--help") || argument == QLatin1String("-h"))) {
            return {TCommandLine::TAction::Help, {}, {}, false};
        } else if (!optionsEnded && argument == QLatin1String("--version")) {
            return {TCommandLine::TAction::Version, {}, {}, false};
        } else if (!optionsEnded && argument.size() > 1 && argument.startsWith(u'-')) {
            // Keep scanning: a later "--help" still answers.
            if (result.Error.isEmpty() || (!unknownLong && argument.startsWith(u"--")))
                result.Error = QStringLiteral("unknown option: %1").arg(argument);
            unknownLong = unknownLong || argument.startsWith(u"--");
        } else {
            scripts.append(argument);
        }
    }
    if (result.Error.isEmpty() && scripts.size() > 1)
        result.Error = QStringLiteral("more than one script: %1").arg(scripts.join(u' '));
    if (result.Error.isEmpty() && scripts.size() == 1)
        result.Script = LocalScriptPath(scripts.constFirst(), result.Error);
    if (!result.Error.isEmpty()) {
        result.Action = TCommandLine::TAction::Error;
        // The toolkit's own options are written with one dash.
        result.ToolkitMayTake = !unknownLong;
        result.Script.clear();
    }
    return result;
}

QString UsageText(const QString& program) {
    QString text =
        QStringLiteral("Usage: %1 [OPTION]... [SCRIPT.pdf]\n"
                       "Call the cues of a live show from its script.\n\n"
                       "SCRIPT.pdf may be a path or a file:// URL. It is opened when no\n"
                       "script is remembered from the last run.\n\n"
                       "Options:\n")
            .arg(program);
    for (const TOptionHelp& option : OptionHelp) {
        // A long option takes its own line, its text goes under it.
        QString names = QString::fromLatin1(option.Names);
        names = names.size() < 24 ? names.leftJustified(24) : names + u'\n' + QString(26, u' ');
        text += QStringLiteral("  %1%2\n").arg(names, QString::fromLatin1(option.Text));
    }
    return text;
}

QString VersionText(const QString& program) {
    return program + u' ' + CuewellVersion() + u'\n';
}

QString CuewellVersion() {
    return QStringLiteral(CUEWELL_VERSION);
}
