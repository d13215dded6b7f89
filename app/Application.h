#pragma once

#include <QApplication>

class IPrompts;

// The application object. Handlers run guarded by their window; this is the
// last line: an error that still escapes an event is shown in the standard
// error box and the application keeps running.
class TCuewellApplication : public QApplication {
public:
    TCuewellApplication(int& argc, char** argv);
    void SetPrompts(IPrompts* prompts) { FPrompts = prompts; }
    bool notify(QObject* receiver, QEvent* event) override;

private:
    IPrompts* FPrompts = nullptr;
};

// The dark look of every window: Fusion with a charcoal palette.
void ApplyDarkStyle(QApplication& app);

class QWidget;

// Closes `window` as its close box would, for a request from outside (a
// termination signal). A modal box or dialog in the way is dismissed first,
// so the handler that opened it finishes before the window's close runs.
void CloseFromOutside(QWidget* window);
