#pragma once

#include <QString>

#include <functional>

class QWidget;

// What the windows ask of the desktop, behind interfaces that tests replace,
// so that no test ever blocks on a modal box or a file dialog.

enum class TMsgIcon { None, Warning, Stop };
enum class TMsgButton { OK, Retry, Cancel };

class IPrompts {
public:
    virtual ~IPrompts() = default;
    // A modal message box with a single button; returns when it is closed.
    virtual void MessageBox(QWidget* parent, const QString& title, const QString& text,
                            TMsgIcon icon, TMsgButton button) = 0;
    // A modal file-open dialog; the empty text when the operator cancels.
    virtual QString OpenFileName(QWidget* parent, const QString& folder, const QString& filter) = 0;
    // A modal save dialog starting at `suggested` (a full path) that asks before
    // replacing a file; the empty text when the operator cancels. Stand-ins
    // that do not answer it cancel.
    virtual QString SaveFileName(QWidget* parent, const QString& title, const QString& suggested,
                                 const QString& filter) {
        (void)parent, (void)title, (void)suggested, (void)filter;
        return {};
    }
};

class IPaths {
public:
    virtual ~IPaths() = default;
    // Full path of the running executable; the settings file sits beside it
    // when it can.
    virtual QString ExecutablePath() const = 0;
    // Whether this process may create files in a folder (access(2) semantics:
    // the permission bits for a user, always yes for root unless read-only mounted).
    virtual bool IsWritableFolder(const QString& folder) const;
    // The user's configuration folder for this program (e.g. ~/.config/cuewell).
    virtual QString UserConfigFolder() const;
    // The user's cache folder for this program (e.g. ~/.cache/cuewell).
    virtual QString UserCacheFolder() const;
};

// The real desktop: QMessageBox, QFileDialog, QCoreApplication::applicationFilePath.
class DesktopPrompts final : public IPrompts {
public:
    void MessageBox(QWidget* parent, const QString& title, const QString& text, TMsgIcon icon,
                    TMsgButton button) override;
    QString OpenFileName(QWidget* parent, const QString& folder, const QString& filter) override;
    QString SaveFileName(QWidget* parent, const QString& title, const QString& suggested,
                         const QString& filter) override;
};

class ProcessPaths final : public IPaths {
public:
    QString ExecutablePath() const override;
};

// Settings file: the executable's path with its extension replaced by ".ini"
// when that file exists or the executable's folder is writable; otherwise the
// same name in the user's configuration folder, which is created if missing.
QString SettingsFilePath(const IPaths& paths);
// The first page's place at the last start (see TFirstPageHint).
QString FirstPageHintPath(const IPaths& paths);

// Runs a handler; an error escaping it is shown in the standard error box over
// `parent`. Every window's handlers run through this, so none needs another window.
void RunGuarded(IPrompts& prompts, QWidget* parent, const std::function<void()>& handler);
// The standard error box: "Cuewell", the text with its final ".", a stop icon.
void ShowStandardError(IPrompts& prompts, QWidget* parent, const QString& text);
