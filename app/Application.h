#pragma once

#include <QApplication>
#include <thread>

class IPrompts;
class QKeyEvent;

// Takes a key event before the application's dispatch starts, where a GO
// must not wait for it: Qt first offers a press to the shortcuts and then
// hands it through every event filter. It sees each key event once, for its
// first receiver, and takes only what its filter would take the same way.
class IKeyFirst {
public:
    virtual bool TakeKeyFirst(QObject* receiver, QKeyEvent* event) = 0;

protected:
    ~IKeyFirst() = default;
};

// The application object. Handlers run guarded by their window; this is the
// last line: an error that still escapes an event is shown in the standard
// error box and the application keeps running.
class TCuewellApplication : public QApplication {
public:
    TCuewellApplication(int& argc, char** argv);
    void SetPrompts(IPrompts* prompts) { FPrompts = prompts; }
    bool notify(QObject* receiver, QEvent* event) override;
    // The object that sees key events first; null for none. Cleared by the
    // object's owner before it goes.
    void SetKeyFirst(IKeyFirst* taker) { FKeyFirst = taker; }
    IKeyFirst* KeyFirst() const { return FKeyFirst; }
    // The application object when it is this class, else null.
    static TCuewellApplication* Instance();

private:
    IPrompts* FPrompts = nullptr;
    IKeyFirst* FKeyFirst = nullptr;
};

// The dark look of every window: Fusion with a charcoal palette.
void ApplyDarkStyle(QApplication& app);

class QWidget;

// Closes `window` as its close box would, for a request from outside (a
// termination signal). A modal box or dialog in the way is dismissed first,
// so the handler that opened it finishes before the window's close runs.
void CloseFromOutside(QWidget* window);

// Reads the system's font list on a thread of its own while the main window is
// built: loading a cold font configuration takes longer than building the
// window, and the first text laid out would wait for it on the user-interface
// thread. The font database serves every thread; the thread is joined when
// the object goes.
class TFontWarmup {
public:
    TFontWarmup();
    ~TFontWarmup();
    TFontWarmup(const TFontWarmup&) = delete;
    TFontWarmup& operator=(const TFontWarmup&) = delete;

private:
    std::thread FThread;
};
