#pragma once

// The main window: the page view with its pins and prompt, the menus and the
// show's GO. The cues and the prompted cue belong to the cue book; the window
// shows them and turns the operator's actions into the book's operations.

#include "app/Application.h"
#include "app/FirstPageHint.h"
#include "app/FrameFollower.h"
#include "app/Seams.h"
#include "cues/KeyRepeatFilter.h"
#include "osc/OscTargets.h"
#include "store/CueStore.h"

#include <QIcon>
#include <QMainWindow>
#include <QPixmap>
#include <QStringList>
#include <array>
#include <functional>
#include <memory>

class QAction;
class QMenu;
class QPushButton;
class TAdvPDFViewer;
class TCueBook;
struct TStoredSize;
class TCueListWindow;
class TRemoteControl;
class TRemoteDialog;
class TGoGuard;
class TCuePin;
class TForm2;
class TForm3;
class TMostRecentFiles;
class IntervalTimer;
class KeyValueFile;

// What the windows are given from outside: the desktop's boxes and dialogs
// and where the executable lives. Tests hand in their own.
struct TAppContext {
    IPrompts& Prompts;
    IPaths& Paths;
    // The command line; the first argument may name a script.
    QStringList Arguments;
};

class TCuewell : public QMainWindow, private IKeyFirst {
    Q_OBJECT
public:
    // Builds the controls, reads the recent-files list, then runs FormCreate.
    explicit TCuewell(TAppContext context, QWidget* parent = nullptr);
    ~TCuewell() override;

    // True when the operator cancelled the open dialog at start-up: the
    // window is never shown and the application ends.
    bool EndRequested() const { return FEndRequested; }

    // The show's cues, their script and the prompted cue.
    TCueBook* Book = nullptr;

    // ---- state of the window ----
    std::array<TCuePin*, MaxCuesPerPage> CuePin{};
    int LastPinIndex = 0;
    int ShownPage = 0;
    int ClickX = 0;
    int ClickY = 0;
    int ViewHeight = 0;
    int ViewWidth = 0;
    int ViewMidX = 0;
    bool PinMoved = false;
    bool CtrlDown = false;
    bool PromptIsArrow = true;
    QString LastScript;

    // ---- controls ----
    QPushButton* Prev = nullptr;
    QPushButton* Next = nullptr;
    QPushButton* NowCue = nullptr;
    TAdvPDFViewer* AdvPDF = nullptr;
    std::array<QIcon, 4> ImageList1;
    // The sound and light targets with their settings and clients.
    TOscTargets Targets;
    // The prompted cue's datagrams, encoded when the prompt was placed.
    TPreparedCue PreparedCue;
    TMostRecentFiles* MostRecentFiles1 = nullptr;
    IntervalTimer* AutoCue = nullptr;
    // The cue details and OSC settings dialogs, made on first use: nothing of
    // them is needed before the first page is on the screen.
    TForm2* Form2();
    TForm3* Form3();
    // GO and the page buttons from another program, a pedal or a tablet.
    TRemoteControl* Remote = nullptr;
    TRemoteDialog* RemoteDialog = nullptr;
    // All cues of the script in show order, in a window of its own.
    TCueListWindow* CueList = nullptr;

    QMenu* OpenRecentPDF1 = nullptr;
    QAction* OpenShowPDF1 = nullptr;
    QAction* OpenRecentPDF2 = nullptr;
    QAction* Exit1 = nullptr;
    QAction* ExportPromptBook1 = nullptr;
    QAction* ExportCueSheet1 = nullptr;
    QAction* CueList1 = nullptr;
    QAction* RemoteControl1 = nullptr;
    QAction* SaveCues1 = nullptr;
    QAction* OSCSettings1 = nullptr;
    QAction* PromptisArrow1 = nullptr;
    QAction* PromptisCall1 = nullptr;
    QAction* AllowSizechange1 = nullptr;
    QAction* LockCues1 = nullptr;
    QMenu* GoGuard1 = nullptr;
    QString OpenDialog1Folder;
    static constexpr const char* OpenDialog1Filter = "Script (*.pdf);;All files (*)";

    // ---- start and stop ----
    void FormCreate();
    void FormResize();
    void AdvPDFLoaded();
    void FormClose(QCloseEvent* event);

    // ---- menus ----
    void OpenShowPDF1Click();
    void OSCSettings1Click();
    void RemoteControl1Click();
    void ExportPromptBook1Click();
    void ExportCueSheet1Click();
    void CueList1Click();
    // Turns to a cue's page and prompts it, as a click on its pin does.
    void GoToCue(int page, int slot);
    void AllowSizechange1Click();
    void LockCues1Click();
    // Sets the shortest time between two GOs given by hand; 0 is off.
    void SetGoGuard(int ms);
    int GoGuardMs() const;
    void Exit1Click();
    void SaveCues1Click();
    void MostRecentFiles1MenuClick(QObject* sender, const QString& Filename);
    void MostRecentFiles1FileNotExist(QObject* sender, const QString& Filename);

    // ---- cue table and cue file ----
    void SavePage();
    void SaveCues();
    void ReadPage();
    void ReadCues();

    // ---- pins ----
    void ShowCues(int Which);
    void AdvPDFMouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    void AdvPDFMouseUp(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    void AdvPDFClick();
    void PickedCueDown(TCuePin* sender, Qt::MouseButton button, Qt::KeyboardModifiers shift, int x,
                       int y);
    void PickedCueMove(TCuePin* sender, Qt::MouseButton button, Qt::KeyboardModifiers shift, int x,
                       int y);
    void PickedCueUp(TCuePin* sender, Qt::MouseButton button, Qt::KeyboardModifiers shift, int x,
                     int y);
    void RedClick(TCuePin* sender);

    // ---- prompt and show running ----
    void CueClick(int which);
    int GetTextWidth(const QString& AText) const;
    void PlayCue();
    void CueAdvance();
    void AutoCueTimer(QObject* sender);
    // Returns whether the key was consumed by the window.
    bool FormKeyDown(int& key, Qt::KeyboardModifiers shift, bool autoRepeat = false);
    void FormKeyUp(int key, Qt::KeyboardModifiers shift);
    void PrevClick();
    void NextClick();
    void AdvPDFMouseWheelDown(Qt::KeyboardModifiers shift, QPoint mousePos, bool* handled);
    void AdvPDFMouseWheelUp(Qt::KeyboardModifiers shift, QPoint mousePos, bool* handled);

    // ---- dispatch ----
    void SendOSCMessage();
    // GO by hand (Space or a remote): fires the prompted cue and moves on,
    // unless the prompt is hidden or the GO guard holds it back. Returns
    // whether the prompt was shown (the GO was for this window).
    bool ManualGo();

    // ---- helpers shared with the dialogs ----
    // Runs a handler; an error escaping it is shown in the standard error box.
    void Guarded(const std::function<void()>& handler);
    void ShowStandardError(const QString& text);
    QString SettingsFile() const;
    // The cue file of the script whose cues are shown; empty before one has loaded.
    QString CueFile() const;
    TAppContext& Context() { return FContext; }
    bool SizeLocked() const { return FSizeLocked; }
    void SetSizeLocked(bool locked);
    int OuterHeight() const;
    int OuterWidth() const;
    void SetOuterHeight(int height);
    void SetOuterWidth(int width);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildControls();
    // Reads the settings file while the window is built and starts opening the
    // script of the last show on the viewer's worker, so that it loads while
    // the menus, pins and the rest are made. FormCreate takes the read.
    void ReadSettingsAhead();
    void BuildMenus();
    void BuildImageList();
    void CreatePins();
    void SetViewerFileName(const QString& fileName);
    // Starts opening the last show's script, and rendering its first page
    // where the last start put it, while the window is built.
    void OpenScriptAhead(const QString& script);
    // Keeps where the first page of `script` goes for the next start, when
    // that is not what this start was told.
    void RememberFirstPage(const QString& script);
    // At close: drops that place when the window has been resized since.
    void ForgetMovedFirstPage();
    // Saves pending cue changes of the shown script before another one opens.
    void SavePendingBeforeOpening();
    // Saves what is pending before the shown page is left.
    void SavePendingBeforeTurning();
    // Sizes the window as a cue file says and locks it; nothing without a cue file.
    void ApplyStoredSize(const TStoredSize& size);
    // Runs a handler like Guarded and says whether it ended without an error.
    bool TryGuarded(const std::function<void()>& handler);
    // The book changed a page's cues or moved the prompted cue.
    void BookPageChanged(int page);
    void BookPromptMoved();
    // After the viewer moved on its own (wheel, its own keys), show that page's pins.
    void FollowViewerPage();
    bool HandleKeyPreview(QObject* watched, QKeyEvent* event);
    // GO before the application's dispatch: Space for this window's focused
    // control while a cue is prompted, taken as its offer would be.
    bool TakeKeyFirst(QObject* receiver, QKeyEvent* event) override;
    // The control that gets this window's keys: the focused one, else the window.
    QWidget* KeyReceiver();
    // A press of `key` for this window: told from a repeat, then handled.
    bool KeyDown(int& key, QKeyEvent* event);
    // Puts the prompt beside pin `which`, showing the current cue's call or arrow.
    void PlacePrompt(int which);

    TAppContext FContext;
    bool FEndRequested = false;
    bool FSizeLocked = false;
    bool FCloseSaveFailed = false;
    // The slot of the pin pressed last, and whether it has been dragged since.
    int FDragSlot = -1;
    std::unique_ptr<TGoGuard> FGoGuard;
    bool FPinDragged = false;
    // The outer size asked for, kept while the window manager's frame changes.
    FrameFollower* FOuterSize = new FrameFollower(this);
    // A held key is one press, also where Qt does not mark its repeats.
    KeyRepeatFilter FKeyRepeats;
    // Space was taken as GO when it was offered to the shortcuts; its press,
    // which comes next, is not a second GO.
    bool FPressTakenAtOffer = false;
    // The settings file as read while the window was built, until FormCreate
    // takes it; null when that read failed (FormCreate reads again and says why).
    std::unique_ptr<KeyValueFile> FSettingsAhead;
    // Where this start was told the first page goes, and the window's outer
    // size when it went there; empty before.
    TFirstPageHint FFirstPageHint;
    QSize FFirstPageOuter;
    // Owned as children of the window; null until first asked for.
    TForm2* FForm2 = nullptr;
    TForm3* FForm3 = nullptr;
};
