#pragma once

// The main window: the page view with its pins and prompt, the menus, the
// shared state every handler works on, and the show's GO.

#include "app/FrameFollower.h"
#include "app/Seams.h"
#include "cues/KeyRepeatFilter.h"
#include "osc/UdpClient.h"
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
class TCuePin;
class TForm2;
class TForm3;
class TMostRecentFiles;
class IntervalTimer;

// What the windows are given from outside: the desktop's boxes and dialogs
// and where the executable lives. Tests hand in their own.
struct TAppContext {
    IPrompts& Prompts;
    IPaths& Paths;
    // The command line; the first argument may name a script.
    QStringList Arguments;
};

class TCuewell : public QMainWindow {
    Q_OBJECT
public:
    // Builds the controls, reads the recent-files list, then runs FormCreate.
    explicit TCuewell(TAppContext context, QWidget* parent = nullptr);
    ~TCuewell() override;

    // True when the operator cancelled the open dialog at start-up: the
    // window is never shown and the application ends.
    bool EndRequested() const { return FEndRequested; }

    // ---- shared state of the main window ----
    std::array<TCuePin*, MaxCuesPerPage> CuePin{};
    TCueTable CueTable;
    int LastPinIndex = 0;
    int ShownPage = 0;
    int CurrentCue = 0;
    int ClickX = 0;
    int ClickY = 0;
    int SoundPort = 0;
    int LightPort = 0;
    int ViewHeight = 0;
    int ViewWidth = 0;
    int ViewMidX = 0;
    bool PinMoved = false;
    bool ScriptLoaded = false;
    bool CuesDirty = false;
    bool CtrlDown = false;
    bool PromptIsArrow = true;
    QString LastScript;
    QString SoundIP;
    QString SoundAddress;
    QString LightIP;
    QString LightAddress;
    arStr CueFields;

    // ---- controls ----
    QPushButton* Prev = nullptr;
    QPushButton* Next = nullptr;
    QPushButton* NowCue = nullptr;
    TAdvPDFViewer* AdvPDF = nullptr;
    std::array<QIcon, 4> ImageList1;
    UdpClient UDPsound;
    UdpClient UDPLight;
    TMostRecentFiles* MostRecentFiles1 = nullptr;
    IntervalTimer* AutoCue = nullptr;
    TForm2* Form2 = nullptr;
    TForm3* Form3 = nullptr;

    QMenu* OpenRecentPDF1 = nullptr;
    QAction* OpenShowPDF1 = nullptr;
    QAction* OpenRecentPDF2 = nullptr;
    QAction* Exit1 = nullptr;
    QAction* SaveCues1 = nullptr;
    QAction* OSCSettings1 = nullptr;
    QAction* PromptisArrow1 = nullptr;
    QAction* PromptisCall1 = nullptr;
    QAction* AllowSizechange1 = nullptr;
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
    void AllowSizechange1Click();
    void Exit1Click();
    void SaveCues1Click();
    void MostRecentFiles1MenuClick(QObject* sender, const QString& Filename);
    void MostRecentFiles1FileNotExist(QObject* sender, const QString& Filename);

    // ---- cue table and cue file ----
    void SavePage();
    void SaveCues();
    void ReadPage();
    void ReadCues();
    // The same for a given page (the cue dialog works on the page it was filled for).
    void SavePageOf(int page);
    void ReadPageOf(int page);

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

    // ---- helpers shared with the dialogs ----
    // Runs a handler; an error escaping it is shown in the standard error box.
    void Guarded(const std::function<void()>& handler);
    void ShowStandardError(const QString& text);
    QString SettingsFile() const;
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
    void BuildMenus();
    void BuildImageList();
    void CreatePins();
    void SetViewerFileName(const QString& fileName);
    // Saves pending cue changes of the shown script before another one opens.
    void SavePendingBeforeOpening();
    // After the viewer moved on its own (wheel, its own keys), show that page's pins.
    void FollowViewerPage();
    bool HandleKeyPreview(QObject* watched, QKeyEvent* event);
    // Puts the prompt beside pin `which`, showing the current cue's call or arrow.
    void PlacePrompt(int which);

    TAppContext FContext;
    bool FEndRequested = false;
    bool FSizeLocked = false;
    bool FCloseSaveFailed = false;
    // The script whose cues CueTable holds; a load of another one starts empty.
    QString FTableScript;
    // The outer size asked for, kept while the window manager's frame changes.
    FrameFollower* FOuterSize = new FrameFollower(this);
    // A held key is one press, also where Qt does not mark its repeats.
    KeyRepeatFilter FKeyRepeats;
};
