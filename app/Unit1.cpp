#include "app/Unit1.h"

#include "app/Errors.h"
#include "app/Locations.h"
#include "app/WindowSettings.h"
#include "app/WindowTools.h"
#include "cues/CueBook.h"
#include "cues/CueGlyphs.h"
#include "cues/CueLayout.h"
#include "cues/CueListWindow.h"
#include "cues/CuePin.h"
#include "cues/GoGuard.h"
#include "cues/IntervalTimer.h"
#include "cues/PromptBookDialog.h"
#include "cues/Unit2.h"
#include "osc/Dispatch.h"
#include "osc/RemoteControl.h"
#include "osc/RemoteDialog.h"
#include "osc/Unit3.h"
#include "store/KeyValueFile.h"
#include "view/AdvPDFViewer.h"
#include "view/MruUnit.h"

#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLayout>
#include <QMenuBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QTimer>
#include <QWheelEvent>

#include <cstring>
#include <exception>

namespace {

// Equal bytes. The prepared message is a copy of the cue's field, mostly
// sharing its buffer, which then needs no comparing.
bool SameBytes(const QByteArray& a, const QByteArray& b) {
    return a.size() == b.size() &&
           (a.constData() == b.constData() ||
            std::memcmp(a.constData(), b.constData(), size_t(a.size())) == 0);
}

} // namespace

TCuewell::TCuewell(TAppContext context, QWidget* parent) : QMainWindow(parent), FContext(context) {
    setObjectName(QStringLiteral("Cuewell"));
    setWindowTitle(QStringLiteral("Cuewell"));
    QFont font(QStringLiteral("Segoe UI"));
    font.setPointSize(9);
    setFont(font);

    FGoGuard = std::make_unique<TGoGuard>();
    // Remote commands run exactly what Space and the page buttons do.
    Remote = new TRemoteControl(this);
    connect(Remote, &TRemoteControl::Go, this, [this] { Guarded([this] { ManualGo(); }); });
    connect(Remote, &TRemoteControl::NextPage, this, [this] { Guarded([this] { NextClick(); }); });
    connect(Remote, &TRemoteControl::PreviousPage, this,
            [this] { Guarded([this] { PrevClick(); }); });
    Book = new TCueBook(this);
    connect(Book, &TCueBook::PageCuesChanged, this,
            [this](int page) { Guarded([&] { BookPageChanged(page); }); });
    connect(Book, &TCueBook::PromptMoved, this, [this] { Guarded([this] { BookPromptMoved(); }); });

    BuildControls();
    BuildMenus();
    BuildImageList();

    AutoCue = new IntervalTimer(this);
    AutoCue->SetInterval(10);
    AutoCue->OnTimer = [this](QObject* sender) { AutoCueTimer(sender); };

    // The recent scripts are read while the window is built, before FormCreate.
    MostRecentFiles1 = new TMostRecentFiles(this, FContext.Paths.ExecutablePath(), SettingsFile());
    MostRecentFiles1->SetMaxFiles(8);
    MostRecentFiles1->SetMenuPosition(0);
    MostRecentFiles1->SetOwnerMenuItem(OpenRecentPDF1);
    MostRecentFiles1->OnMenuClick = [this](QObject* sender, const QString& name) {
        Guarded([&] { MostRecentFiles1MenuClick(sender, name); });
    };
    MostRecentFiles1->OnFileNotExist = [this](QObject* sender, const QString& name) {
        Guarded([&] { MostRecentFiles1FileNotExist(sender, name); });
    };
    Guarded([this] { MostRecentFiles1->ReadList(); });

    Guarded([this] { FormCreate(); });
}

TCuewell::~TCuewell() {
    // No autoplay tick and no key reaches a window being taken apart.
    AutoCue->SetEnabled(false);
    qApp->removeEventFilter(this);
    if (TCuewellApplication* app = TCuewellApplication::Instance();
        app && app->KeyFirst() == static_cast<IKeyFirst*>(this))
        app->SetKeyFirst(nullptr);
}

void TCuewell::BuildControls() {
    AdvPDF = new TAdvPDFViewer(this);
    AdvPDF->setObjectName(QStringLiteral("AdvPDF"));
    // One style sheet for what floats over the page, set before any of it is
    // made, so that each control is styled once: the pins' look and the prompt's.
    AdvPDF->setStyleSheet(CuePinStyleSheet() +
                          QStringLiteral(" QPushButton#NowCue { padding: 0px; }"));
    setCentralWidget(AdvPDF);
    // The design's client area; start-up replaces it with the stored size.
    resize(940, 524);
    ReadSettingsAhead();

    // Buttons, pins and the prompt float over the page, in the viewer's coordinates.
    Prev = new QPushButton(QStringLiteral("< Previous"), AdvPDF);
    Prev->setObjectName(QStringLiteral("Prev"));
    Prev->setGeometry(24, 16, 75, 25);
    Next = new QPushButton(QStringLiteral("Next >"), AdvPDF);
    Next->setObjectName(QStringLiteral("Next"));
    Next->setGeometry(120, 16, 75, 25);
    // The page buttons never keep the focus, so that Space cannot press them.
    Prev->setFocusPolicy(Qt::NoFocus);
    Next->setFocusPolicy(Qt::NoFocus);
    connect(Prev, &QPushButton::clicked, this, [this] { Guarded([this] { PrevClick(); }); });
    connect(Next, &QPushButton::clicked, this, [this] { Guarded([this] { NextClick(); }); });

    NowCue = new QPushButton(AdvPDF);
    NowCue->setObjectName(QStringLiteral("NowCue"));
    NowCue->setGeometry(632, 24, 32, 32);
    NowCue->setIconSize(QSize(32, 32));
    NowCue->setFocusPolicy(Qt::NoFocus);
    NowCue->hide();

    connect(AdvPDF, &TAdvPDFViewer::OnLoaded, this,
            [this](QObject*) { Guarded([this] { AdvPDFLoaded(); }); });
    // The cue rows of the pages after the first are read once the first page
    // is on the screen (anything that needs them earlier reads them then):
    // after its paint, since a read queued when its render arrives would run
    // before that paint, whose request Qt queues at a lower priority.
    connect(AdvPDF, &TAdvPDFViewer::OnPagePainted, this, [this] {
        if (Book->RestPending())
            QTimer::singleShot(0, this, [this] { Guarded([this] { Book->ReadRest(); }); });
    });
    connect(AdvPDF, &TAdvPDFViewer::OnMouseDown, this,
            [this](Qt::MouseButton b, Qt::KeyboardModifiers s, int x, int y) {
                Guarded([&] { AdvPDFMouseDown(b, s, x, y); });
            });
    connect(AdvPDF, &TAdvPDFViewer::OnMouseUp, this,
            [this](Qt::MouseButton b, Qt::KeyboardModifiers s, int x, int y) {
                Guarded([&] { AdvPDFMouseUp(b, s, x, y); });
            });
    connect(AdvPDF, &TAdvPDFViewer::OnClick, this, [this] { Guarded([this] { AdvPDFClick(); }); });
    connect(AdvPDF, &TAdvPDFViewer::OnMouseWheelDown, this,
            [this](Qt::KeyboardModifiers s, QPoint p, bool* h) {
                Guarded([&] { AdvPDFMouseWheelDown(s, p, h); });
            });
    connect(AdvPDF, &TAdvPDFViewer::OnMouseWheelUp, this,
            [this](Qt::KeyboardModifiers s, QPoint p, bool* h) {
                Guarded([&] { AdvPDFMouseWheelUp(s, p, h); });
            });

    // Around the viewer's own handling: its size is the view size; a page it turns
    // by itself (wheel, its own keys) brings that page's pins; a dropped script
    // first saves the cues of the one it replaces.
    AdvPDF->installEventFilter(new EventHook(this, [this](QObject*, QEvent* event) {
        switch (event->type()) {
        case QEvent::Resize:
            Guarded([this] { FormResize(); });
            return false;
        case QEvent::Drop:
            // Cues that could not be saved keep their script on the screen.
            if (TryGuarded([this] { SavePendingBeforeOpening(); }))
                return false;
            event->ignore();
            return true;
        case QEvent::Wheel:
        case QEvent::KeyPress: {
            const bool turns =
                event->type() == QEvent::Wheel
                    ? !(static_cast<QWheelEvent*>(event)->modifiers() & Qt::ControlModifier)
                    : IsPageKey(static_cast<QKeyEvent*>(event)->key());
            if (turns)
                Guarded([this] { SavePendingBeforeTurning(); });
            // The viewer's own handling, then the pins of the page it now shows.
            static_cast<QObject*>(AdvPDF)->event(event);
            Guarded([this] { FollowViewerPage(); });
            return true;
        }
        default:
            return false;
        }
    }));
}

void TCuewell::ReadSettingsAhead() {
    try {
        FSettingsAhead = std::make_unique<KeyValueFile>(SettingsFile());
        TWindowSettings stored;
        stored.Read(*FSettingsAhead);
        if (!stored.LastScript.isEmpty())
            OpenScriptAhead(stored.LastScript);
    } catch (...) {
        // FormCreate reads the file again and says what is wrong with it.
        FSettingsAhead.reset();
    }
}

void TCuewell::OpenScriptAhead(const QString& script) {
    FFirstPageHint = ReadFirstPageHint(FirstPageHintPath(FContext.Paths));
    if (FFirstPageHint.Script == QFileInfo(script).absoluteFilePath())
        AdvPDF->OpenAhead(script, FFirstPageHint.Box, FFirstPageHint.DevicePixelRatio);
    else
        AdvPDF->OpenAhead(script);
}

void TCuewell::RememberFirstPage(const QString& script) {
    const TFirstPageHint now{QFileInfo(script).absoluteFilePath(), AdvPDF->PageBox(),
                             AdvPDF->devicePixelRatioF()};
    FFirstPageOuter = QSize(OuterWidth(), OuterHeight());
    if (now == FFirstPageHint || !now.Box.isValid())
        return;
    FFirstPageHint = now;
    // Written once the first page is on its way: a cache is no reason to hold
    // it up, and a write that fails only leaves the next start without it.
    QTimer::singleShot(0, this, [path = FirstPageHintPath(FContext.Paths), now] {
        WriteFirstPageHint(path, now);
    });
}

void TCuewell::BuildMenus() {
    QMenu* file = menuBar()->addMenu(QStringLiteral("File"));
    OpenShowPDF1 = file->addAction(QStringLiteral("Open Show PDF"));
    OpenRecentPDF1 = file->addMenu(QStringLiteral("Open Recent PDF"));
    OpenRecentPDF2 = file->addAction(QStringLiteral("Save Backup"));
    file->addSeparator();
    ExportPromptBook1 = file->addAction(QStringLiteral("Export Prompt Book..."));
    ExportCueSheet1 = file->addAction(QStringLiteral("Export Cue Sheet..."));
    file->addSeparator();
    Exit1 = file->addAction(QStringLiteral("Exit"));

    QMenu* options = menuBar()->addMenu(QStringLiteral("Options"));
    SaveCues1 = options->addAction(QStringLiteral("Save Cues"));
    OSCSettings1 = options->addAction(QStringLiteral("OSC Settings"));
    RemoteControl1 = options->addAction(QStringLiteral("Remote Control"));
    PromptisArrow1 = options->addAction(QStringLiteral("Prompt is Arrow"));
    PromptisCall1 = options->addAction(QStringLiteral("Prompt is Call"));
    AllowSizechange1 = options->addAction(QStringLiteral("Allow Size change"));
    options->addSeparator();
    LockCues1 = options->addAction(QStringLiteral("Lock Cues"));
    LockCues1->setCheckable(true);
    GoGuard1 = options->addMenu(QStringLiteral("GO Guard"));
    auto* guards = new QActionGroup(this);
    for (const int ms : {0, 100, 200, 300, 400}) {
        QAction* item =
            GoGuard1->addAction(ms == 0 ? QStringLiteral("Off") : QStringLiteral("%1 ms").arg(ms));
        item->setCheckable(true);
        item->setData(ms);
        guards->addAction(item);
        connect(item, &QAction::triggered, this, [this, ms] { SetGoGuard(ms); });
    }
    QMenu* view = menuBar()->addMenu(QStringLiteral("View"));
    CueList1 = view->addAction(QStringLiteral("Cue List"));
    menuBar()->addMenu(QStringLiteral("Help"));

    // The two prompt styles are one radio group; they only change what is stored at close.
    auto* promptStyle = new QActionGroup(this);
    promptStyle->setExclusive(true);
    for (QAction* item : {PromptisArrow1, PromptisCall1}) {
        item->setCheckable(true);
        promptStyle->addAction(item);
    }
    PromptisArrow1->setChecked(true);

    connect(OpenShowPDF1, &QAction::triggered, this,
            [this] { Guarded([this] { OpenShowPDF1Click(); }); });
    connect(Exit1, &QAction::triggered, this, [this] { Guarded([this] { Exit1Click(); }); });
    connect(SaveCues1, &QAction::triggered, this,
            [this] { Guarded([this] { SaveCues1Click(); }); });
    connect(OSCSettings1, &QAction::triggered, this,
            [this] { Guarded([this] { OSCSettings1Click(); }); });
    connect(RemoteControl1, &QAction::triggered, this,
            [this] { Guarded([this] { RemoteControl1Click(); }); });
    connect(ExportPromptBook1, &QAction::triggered, this,
            [this] { Guarded([this] { ExportPromptBook1Click(); }); });
    connect(ExportCueSheet1, &QAction::triggered, this,
            [this] { Guarded([this] { ExportCueSheet1Click(); }); });
    connect(CueList1, &QAction::triggered, this, [this] { Guarded([this] { CueList1Click(); }); });
    connect(LockCues1, &QAction::triggered, this,
            [this] { Guarded([this] { LockCues1Click(); }); });
    connect(AllowSizechange1, &QAction::triggered, this,
            [this] { Guarded([this] { AllowSizechange1Click(); }); });
}

void TCuewell::BuildImageList() {
    ImageList1 = PromptImages();
}

void TCuewell::CreatePins() {
    QString problem;
    const QIcon glyph(
        ReadPinGlyph(PinGlyphFile(QDir::currentPath(), FContext.Paths.ExecutablePath()), problem));
    // The show can still be run with the drawn pin; say what went wrong and go on.
    if (!problem.isEmpty())
        ShowStandardError(problem);
    for (int i = 0; i < MaxCuesPerPage; ++i) {
        auto* pin = new TCuePin(AdvPDF, glyph);
        pin->setObjectName(QStringLiteral("CuePin%1").arg(i));
        pin->OnMouseDown = [this](TCuePin* s, Qt::MouseButton b, Qt::KeyboardModifiers m, int x,
                                  int y) { Guarded([&] { PickedCueDown(s, b, m, x, y); }); };
        pin->OnMouseMove = [this](TCuePin* s, Qt::MouseButton b, Qt::KeyboardModifiers m, int x,
                                  int y) { Guarded([&] { PickedCueMove(s, b, m, x, y); }); };
        pin->OnMouseUp = [this](TCuePin* s, Qt::MouseButton b, Qt::KeyboardModifiers m, int x,
                                int y) { Guarded([&] { PickedCueUp(s, b, m, x, y); }); };
        connect(pin, &QPushButton::clicked, this, [this, pin] { Guarded([&] { RedClick(pin); }); });
        CuePin[i] = pin;
    }
    NowCue->raise();
}

// ---------------------------------------------------------------- start and stop

void TCuewell::FormCreate() {
    AdvPDF->lower();
    CreatePins();
    LastPinIndex = 0;
    ShownPage = 0;
    // Key preview: the window sees every key before its focused control. It
    // comes first so that no error while reading the settings leaves GO dead.
    qApp->installEventFilter(this);
    // The program's application object lets GO go before its own dispatch.
    if (TCuewellApplication* app = TCuewellApplication::Instance())
        app->SetKeyFirst(this);

    QString settingsProblem;
    TWindowSettings stored;
    // The script of the last show is opening on the worker already when the
    // file was read ahead; the open below takes it.
    const bool openedAhead = FSettingsAhead != nullptr;
    {
        std::unique_ptr<KeyValueFile> settings = std::move(FSettingsAhead);
        if (!settings)
            settings = std::make_unique<KeyValueFile>(SettingsFile());
        stored.Read(*settings);
        Targets.ReadFrom(*settings);
        Remote->ReadSettings(*settings);
        // A damaged settings file is read as far as it can be: the targets and
        // the keys keep working, and the operator hears of it once.
        settingsProblem = settings->LoadProblem();
        settings->Free();
    }
    // Otherwise it opens now, while the rest of the window is set up and its
    // cue file is read.
    if (!openedAhead && !stored.LastScript.isEmpty())
        OpenScriptAhead(stored.LastScript);
    move(stored.Left, stored.Top);
    SetOuterHeight(stored.Height);
    SetOuterWidth(stored.Width);
    LastScript = stored.LastScript;
    PromptisArrow1->setChecked(stored.Arrow);
    PromptisCall1->setChecked(!stored.Arrow);
    PromptIsArrow = PromptisArrow1->isChecked();
    LockCues1->setChecked(stored.LockCues);
    Book->SetLocked(stored.LockCues);
    SetGoGuard(stored.GoGuard);
    if (!settingsProblem.isEmpty())
        ShowStandardError(settingsProblem);

    Targets.Apply();
    // A port that cannot be opened is reported; the show runs on from the keys.
    Guarded([this] { Remote->Apply(); });

    AdvPDF->Options().Header.clear();
    OpenDialog1Folder = QFileInfo(FContext.Paths.ExecutablePath()).absolutePath();

    if (!LastScript.isEmpty()) {
        SetViewerFileName(LastScript);
        return;
    }
    const QStringList& args = FContext.Arguments;
    if (args.size() > 1 && QFileInfo(args.at(1)).isFile()) {
        SetViewerFileName(args.at(1));
        return;
    }
    const QString chosen = FContext.Prompts.OpenFileName(this, OpenDialog1Folder,
                                                         QString::fromLatin1(OpenDialog1Filter));
    if (chosen.isEmpty())
        FEndRequested = true;
    else
        SetViewerFileName(chosen);
}

void TCuewell::FormResize() {
    ViewHeight = AdvPDF->height();
    ViewWidth = AdvPDF->width();
    ViewMidX = RoundHalfEven(ViewWidth / 2.0);
    if (Book->ScriptLoaded()) {
        ShowCues(AdvPDF->PageIndex());
        // The prompt follows its pin to the pin's new place; nothing is fired.
        const int current = Book->CurrentCue();
        if (NowCue->isVisible() && current >= 0 && current < MaxCuesPerPage &&
            CuePin[current]->isVisible())
            PlacePrompt(current);
    }
}

void TCuewell::AdvPDFLoaded() {
    const QString script = AdvPDF->FileName();
    // Changes made while this script was loading belong to the one shown before.
    bool keepTable = false;
    if (Book->CuesDirty() && !TryGuarded([this] { Book->SaveCues(); })) {
        if (script != Book->Script()) {
            // Opening it would drop cues that are in no file: show their script again.
            AdvPDF->SetFileName(Book->Script());
            return;
        }
        keepTable = true;
    }
    Book->Load(script, AdvPDF->PageCount());
    AdvPDF->Options().Header = script;
    ShownPage = AdvPDF->PageIndex();
    NowCue->hide();
    if (QFileInfo::exists(CueFile())) {
        if (!keepTable)
            ReadCues();
        ShowCues(0);
        return;
    }
    ShowCues(0);
    FContext.Prompts.MessageBox(this, QStringLiteral("Set Window size"),
                                QStringLiteral("Before you add any cues, please set the size of "
                                               "the Window."),
                                TMsgIcon::None, TMsgButton::OK);
    SetSizeLocked(false);
}

void TCuewell::FormClose(QCloseEvent* event) {
    if (Book->CuesDirty()) {
        try {
            SaveCues();
        } catch (const CuewellError& error) {
            ShowStandardError(error.Text());
            if (!FCloseSaveFailed) {
                // Keep the window so the operator can make the folder writable and
                // close again; a second failed close quits, having said so twice.
                FCloseSaveFailed = true;
                FContext.Prompts.MessageBox(
                    this, QStringLiteral("Cuewell"),
                    QStringLiteral("The cues could not be saved. Close the window again to quit "
                                   "without saving them."),
                    TMsgIcon::Warning, TMsgButton::OK);
                event->ignore();
                return;
            }
        }
    }
    for (TCuePin* pin : CuePin)
        if (pin)
            pin->hide();

    // The script shown is the one to reopen; a script that never opened is not,
    // while the one remembered from the last run is kept until another opens.
    const QString lastScript = Book->ScriptLoaded() ? Book->Script() : LastScript;
    TWindowSettings stored;
    stored.Top = frameGeometry().top();
    stored.Left = frameGeometry().left();
    stored.LastScript = lastScript;
    stored.Arrow = PromptisArrow1->isChecked();
    stored.LockCues = Book->Locked();
    stored.GoGuard = GoGuardMs();
    KeyValueFile settings(SettingsFile());
    settings.SetAutoSave(true);
    stored.WriteAtClose(settings);
    settings.Free();

    Book->StoreWindowSize(OuterHeight(), OuterWidth());
    ForgetMovedFirstPage();
}

void TCuewell::ForgetMovedFirstPage() {
    // Resized since the start: the next start lays its page out elsewhere, and
    // rendering it where this start had it would only delay the real render.
    if (!FFirstPageOuter.isEmpty() && FFirstPageOuter != QSize(OuterWidth(), OuterHeight()))
        QFile::remove(FirstPageHintPath(FContext.Paths));
}

void TCuewell::closeEvent(QCloseEvent* event) {
    event->accept();
    Guarded([&] { FormClose(event); });
    if (event->isAccepted()) {
        AutoCue->SetEnabled(false);
        // A dialog never opened has nothing to hide.
        if (FForm2)
            FForm2->hide();
        if (FForm3)
            FForm3->hide();
    }
}

// ---------------------------------------------------------------- menus

void TCuewell::OpenShowPDF1Click() {
    const QString chosen = FContext.Prompts.OpenFileName(this, OpenDialog1Folder,
                                                         QString::fromLatin1(OpenDialog1Filter));
    if (chosen.isEmpty())
        return;
    SetViewerFileName(chosen);
    MostRecentFiles1->AddFile(AdvPDF->FileName());
}

void TCuewell::OSCSettings1Click() {
    Form3()->ShowNonModal();
}

void TCuewell::RemoteControl1Click() {
    if (!RemoteDialog)
        RemoteDialog = new TRemoteDialog(*Remote, FContext.Prompts, SettingsFile(), this);
    RemoteDialog->ShowNonModal();
}

void TCuewell::ExportPromptBook1Click() {
    if (!Book->ScriptLoaded())
        return;
    // The cues as they stand, pending changes included.
    ExportPromptBookInteractive(this, FContext.Prompts, Book->Script(), Book->CueTable(),
                                Targets.SoundAddress, Targets.LightAddress,
                                QSize(ViewWidth, ViewHeight));
}

void TCuewell::ExportCueSheet1Click() {
    if (!Book->ScriptLoaded())
        return;
    ExportCueSheetInteractive(this, FContext.Prompts, Book->Script(), Book->CueTable(),
                              Targets.SoundAddress, Targets.LightAddress);
}

void TCuewell::CueList1Click() {
    if (!CueList) {
        CueList =
            new TCueListWindow(Book->CueTable(), Targets.SoundAddress, Targets.LightAddress, this);
        connect(CueList, &TCueListWindow::CueChosen, this,
                [this](int page, int slot) { Guarded([&] { GoToCue(page, slot); }); });
        // The list shows every page: rows not read yet are read before it looks.
        connect(Book, &TCueBook::PageCuesChanged, CueList, [this] {
            Book->ReadRest();
            CueList->Reset();
        });
        connect(Book, &TCueBook::ScriptChanged, CueList, [this] { CueList->Reset(); });
        connect(Book, &TCueBook::PromptMoved, CueList, [this] {
            CueList->SetPrompted(Book->HasPrompt() ? Book->PromptPage() : -1,
                                 Book->HasPrompt() ? Book->CurrentCue() : -1);
        });
        connect(&Targets, &TOscTargets::Changed, CueList,
                [this] { CueList->SetSelectors(Targets.SoundAddress, Targets.LightAddress); });
        CueList->SetPrompted(Book->HasPrompt() ? Book->PromptPage() : -1,
                             Book->HasPrompt() ? Book->CurrentCue() : -1);
    }
    CueList->show();
    CueList->raise();
}

void TCuewell::GoToCue(int page, int slot) {
    if (!Book->ValidPage(page) || page >= AdvPDF->PageCount())
        return;
    if (page != AdvPDF->PageIndex()) {
        AutoCue->SetEnabled(false);
        SavePendingBeforeTurning();
        AdvPDF->SetPageIndex(page);
        ShownPage = AdvPDF->PageIndex();
        NowCue->hide();
        ShowCues(ShownPage);
    }
    CueClick(slot);
}

void TCuewell::AllowSizechange1Click() {
    SetSizeLocked(false);
}

void TCuewell::LockCues1Click() {
    Book->SetLocked(LockCues1->isChecked());
}

void TCuewell::SetGoGuard(int ms) {
    FGoGuard->SetMinimumMs(ms);
    QAction* match = nullptr;
    for (QAction* item : GoGuard1->actions())
        if (item->data().toInt() == FGoGuard->MinimumMs() && !item->data().isNull())
            match = item;
    if (!match) {
        // A value from a hand-edited settings file gets an entry of its own.
        match = GoGuard1->addAction(QStringLiteral("%1 ms").arg(FGoGuard->MinimumMs()));
        match->setCheckable(true);
        match->setData(FGoGuard->MinimumMs());
        GoGuard1->actions().constFirst()->actionGroup()->addAction(match);
        const int chosen = FGoGuard->MinimumMs();
        connect(match, &QAction::triggered, this, [this, chosen] { SetGoGuard(chosen); });
    }
    match->setChecked(true);
}

TForm2* TCuewell::Form2() {
    if (!FForm2)
        FForm2 = new TForm2(this, *Book, FContext.Prompts);
    return FForm2;
}

TForm3* TCuewell::Form3() {
    if (!FForm3)
        FForm3 = new TForm3(
            Targets, FContext.Prompts, [this] { return SettingsFile(); }, this);
    return FForm3;
}

int TCuewell::GoGuardMs() const {
    return FGoGuard->MinimumMs();
}

void TCuewell::Exit1Click() {
    close();
}

void TCuewell::SaveCues1Click() {
    SaveCues();
}

void TCuewell::MostRecentFiles1MenuClick(QObject*, const QString& Filename) {
    SetViewerFileName(Filename);
}

void TCuewell::MostRecentFiles1FileNotExist(QObject*, const QString& Filename) {
    FContext.Prompts.MessageBox(this, QStringLiteral("Cuewell"),
                                QStringLiteral("Unable to find the file\n") + Filename + u'.',
                                TMsgIcon::Warning, TMsgButton::Retry);
}

void TCuewell::SetViewerFileName(const QString& fileName) {
    if (fileName != Book->Script())
        SavePendingBeforeOpening();
    // The size the script's cues were placed in is applied before it loads, so
    // that its first page is rendered once, at that size. The cue file is read
    // for it once; the book takes the cues from the same read when the script
    // has loaded.
    if (QFileInfo(fileName).isFile())
        ApplyStoredSize(Book->ReadAhead(fileName));
    if (isVisible()) {
        AdvPDF->SetFileName(fileName);
        return;
    }
    // At start-up the script opens while the window lays itself out for its
    // first show, with the frame the window system already knows of; then the
    // first page renders at its final size while the window is being built.
    // The controls are styled first: that needs no fonts, which may still be
    // loading, while the layout waits for them.
    ensurePolished();
    FOuterSize->LearnFrameBeforeShow();
    AdvPDF->SetFileName(fileName);
    if (layout())
        layout()->activate();
    AdvPDF->StartFirstPage();
    RememberFirstPage(fileName);
}

void TCuewell::ApplyStoredSize(const TStoredSize& size) {
    if (!size.Exists)
        return;
    SetSizeLocked(false);
    SetOuterHeight(size.Height);
    SetOuterWidth(size.Width);
    SetSizeLocked(true);
}

void TCuewell::SavePendingBeforeOpening() {
    if (Book->CuesDirty())
        SaveCues();
}

// ---------------------------------------------------------------- cue table and file

void TCuewell::SavePage() {
    BusyCursor busy;
    Book->SavePage(AdvPDF->PageIndex());
    ShowCues(AdvPDF->PageIndex());
}

void TCuewell::SaveCues() {
    BusyCursor busy;
    Book->SaveCues();
}

void TCuewell::SavePendingBeforeTurning() {
    if (!Book->CuesDirty())
        return;
    const int page = AdvPDF->PageIndex();
    // Only the shown page is pending in the usual case: write just its section.
    if (Book->OnlyPageDirty(page))
        SavePage();
    else
        SaveCues();
}

void TCuewell::BookPageChanged(int page) {
    if (page == AdvPDF->PageIndex() || page == TCueBook::AllPages)
        ShowCues(AdvPDF->PageIndex());
}

void TCuewell::BookPromptMoved() {
    if (!NowCue->isVisible())
        return;
    // The prompted cue re-sorted to another slot: the prompt goes with it. A
    // prompt whose cue has gone is hidden; GO waits for a click on a pin.
    if (!Book->HasPrompt() || Book->PromptPage() != AdvPDF->PageIndex()) {
        NowCue->hide();
        return;
    }
    if (CuePin[Book->CurrentCue()]->isVisible())
        PlacePrompt(Book->CurrentCue());
}

void TCuewell::ReadPage() {
    Book->ReadPage(AdvPDF->PageIndex());
}

void TCuewell::ReadCues() {
    const TStoredSize size = Book->ReadCues();
    if (!Book->LoadProblem().isEmpty())
        ShowStandardError(Book->LoadProblem());
    ApplyStoredSize(size);
}

// ---------------------------------------------------------------- pins

void TCuewell::ShowCues(int Which) {
    if (!Book->ScriptLoaded() || Which < 0)
        return;
    // One pass over the pins: a pin that stays shown is only moved, which keeps
    // a page turn in the middle of a show quick.
    const TPinLayout layout =
        Book->ValidPage(Which) ? LayoutPins(Book->Row(Which), ViewWidth, ViewHeight) : TPinLayout();
    for (int i = 0; i < MaxCuesPerPage; ++i) {
        TCuePin* pin = CuePin[i];
        if (i < layout.Count) {
            pin->move(layout.At[i]);
            pin->SetTag(i);
            pin->setVisible(true);
        } else {
            pin->setVisible(false);
        }
    }
    // A record that cannot be placed stops the layout there, with the pins
    // before it shown.
    if (!layout.Error.isEmpty())
        throw CuewellError(layout.Error);
    LastPinIndex = layout.Count - 1;
}

void TCuewell::AdvPDFMouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y) {
    if (button != Qt::LeftButton)
        return;
    // The press itself tells whether Ctrl is down, even if a key-up went elsewhere.
    CtrlDown = shift.testFlag(Qt::ControlModifier);
    if (PinMoved)
        return;
    ClickX = x;
    ClickY = y;
}

void TCuewell::AdvPDFMouseUp(Qt::MouseButton, Qt::KeyboardModifiers, int, int) {}

void TCuewell::AdvPDFClick() {
    if (!CtrlDown || Book->Locked())
        return;
    const int page = AdvPDF->PageIndex();
    if (!Book->ScriptLoaded() || !Book->ValidPage(page))
        return;
    if (LastPinIndex >= MaxCuesPerPage - 1) {
        FContext.Prompts.MessageBox(
            this, QStringLiteral("Cuewell"),
            QStringLiteral("The maximum 21 cues per page has been reached."), TMsgIcon::Warning,
            TMsgButton::Cancel);
        return;
    }
    const int slot = LastPinIndex + 1;
    LastPinIndex = slot;
    TCuePin* pin = CuePin[slot];
    pin->move(ClickX - PinSize / 2, ClickY - PinSize / 2);
    pin->show();
    // The book sorts the cue among the page's cues and saves the page; should
    // the save fail, the cue stays in the table, pending.
    BusyCursor busy;
    Book->AddCue(page, NewCueRecord(pin->y(), pin->x(), ViewHeight, ViewWidth));
}

void TCuewell::PickedCueDown(TCuePin* sender, Qt::MouseButton button, Qt::KeyboardModifiers, int x,
                             int y) {
    if (button != Qt::LeftButton)
        return;
    // A press starts a possible drag; the prompted cue, the one GO fires, stays
    // until the press ends in a click.
    PinMoved = true;
    FPinDragged = false;
    FDragSlot = sender->Tag();
    ClickX = x;
    ClickY = y;
}

void TCuewell::PickedCueMove(TCuePin*, Qt::MouseButton, Qt::KeyboardModifiers, int x, int y) {
    if (!PinMoved || FDragSlot < 0 || FDragSlot >= MaxCuesPerPage || Book->Locked())
        return;
    TCuePin* pin = CuePin[FDragSlot];
    pin->move(pin->x() + x - ClickX, pin->y() + y - ClickY);
    FPinDragged = true;
    Book->MarkDirty(AdvPDF->PageIndex());
}

void TCuewell::PickedCueUp(TCuePin* sender, Qt::MouseButton button, Qt::KeyboardModifiers, int,
                           int) {
    if (button != Qt::RightButton)
        return;
    const int page = AdvPDF->PageIndex();
    if (!Book->ValidPage(page))
        return;
    // The dialog keeps its own cue; the prompted cue, the one GO fires, stays.
    Form2()->FillFor(page, sender->Tag(), Book->Record(page, sender->Tag()));
}

void TCuewell::RedClick(TCuePin* sender) {
    CueClick(sender->Tag());
}

// ---------------------------------------------------------------- prompt and show

void TCuewell::CueClick(int which) {
    const int page = AdvPDF->PageIndex();
    if (!Book->ValidPage(page) || which < 0 || which >= MaxCuesPerPage)
        return;
    if (PinMoved && FPinDragged && FDragSlot >= 0 && FDragSlot < MaxCuesPerPage &&
        !Book->Record(page, FDragSlot).isEmpty()) {
        // The dragged pin's place is stored; the page re-sorts, and `which`
        // follows its cue to wherever that lands.
        const TCuePin* pin = CuePin[FDragSlot];
        const QList<int> newSlotOf =
            Book->MoveCue(page, FDragSlot,
                          MovedCueRecord(pin->y(), pin->x(), ViewHeight, ViewWidth,
                                         SplitRecord(Book->Record(page, FDragSlot))));
        if (newSlotOf[which] >= 0)
            which = newSlotOf[which];
    }
    PinMoved = false;
    FPinDragged = false;
    // Read the flag before anything changes: a record it cannot read leaves the
    // prompt hidden and nothing armed. Arming first keeps autoplay runs tight;
    // the tick cannot come before this handler has returned. A cue that is not
    // autoplay disarms a tick still pending for the cue prompted before it.
    bool prompted = false;
    const bool autoplay = Book->SetPrompt(page, which, &prompted);
    if (!prompted)
        return;
    AutoCue->SetEnabled(autoplay);
    PreparedCue = Targets.Prepare(FieldOf(Book->CueFields(), cfMessage));
    PlacePrompt(Book->CurrentCue());
    NowCue->show();
}

void TCuewell::PlacePrompt(int which) {
    const arStr& fields = Book->CueFields();
    const QString call = QString::fromUtf8(FieldOf(fields, cfCall));
    const QPoint pin = CuePin[which]->pos();
    NowCue->setToolTip(call);
    if (PromptIsArrow) {
        NowCue->setText(QString());
        NowCue->setIcon(ImageList1[piArrow]);
        NowCue->setIconSize(QSize(32, 32));
        NowCue->setGeometry(ArrowPromptRect(pin));
    } else {
        NowCue->setText(call);
        const QString selector =
            SplitOscCommand(QString::fromUtf8(FieldOf(fields, cfMessage))).Selector;
        NowCue->setIcon(
            ImageList1[CallPromptImage(selector, Targets.SoundAddress, Targets.LightAddress)]);
        NowCue->setIconSize(QSize(16, 16));
        NowCue->setGeometry(CallPromptRect(pin, GetTextWidth(call), ViewMidX));
    }
    NowCue->raise();
}

int TCuewell::GetTextWidth(const QString& AText) const {
    return QFontMetrics(NowCue->font()).horizontalAdvance(AText);
}

void TCuewell::PlayCue() {
    // The datagram leaves first; the prompt goes right after, also when the send
    // fails. Nothing is painted before this handler returns either way.
    struct HidePrompt {
        QWidget* prompt;
        ~HidePrompt() { prompt->hide(); }
    } hidePrompt{NowCue};
    SendOSCMessage();
}

void TCuewell::CueAdvance() {
    const int page = AdvPDF->PageIndex();
    if (!Book->ValidPage(page))
        return;
    const int next = Book->CurrentCue() + 1;
    if (next < MaxCuesPerPage && !Book->Record(page, next).isEmpty()) {
        CueClick(next);
        NowCue->show();
        return;
    }
    if (page >= AdvPDF->PageCount() - 1)
        return;
    // Changes of the page being left go to the file before the page turns.
    SavePendingBeforeTurning();
    // A drag on the page being left can no longer end on its pin.
    PinMoved = false;
    FPinDragged = false;
    // The next page's first cue is prompted and its autoplay armed before the
    // page turns, so that turning, laying out and painting never delay the beat.
    bool prompted = false;
    bool autoplay = false;
    std::exception_ptr unreadable;
    try {
        autoplay = Book->SetPrompt(page + 1, 0, &prompted);
    } catch (...) {
        unreadable = std::current_exception();
    }
    if (prompted) {
        AutoCue->SetEnabled(autoplay);
        PreparedCue = Targets.Prepare(FieldOf(Book->CueFields(), cfMessage));
    }
    AdvPDF->NextPage();
    ShownPage = AdvPDF->PageIndex();
    ShowCues(ShownPage);
    if (unreadable)
        std::rethrow_exception(unreadable);
    if (prompted) {
        PlacePrompt(0);
        NowCue->show();
    }
}

bool TCuewell::ManualGo() {
    if (!NowCue->isVisible())
        return false;
    if (!FGoGuard->Pass())
        return true;
    {
        // A tick still pending belongs to the cue this GO fires by hand. Ticks
        // come through the event loop, which this handler holds until the cue
        // is out, so the timer is disarmed after the send, also when it fails
        // (a warning before the send disarms it first: its box lets events in).
        const auto disarm = qScopeGuard([this] { AutoCue->SetEnabled(false); });
        PlayCue();
    }
    CueAdvance();
    return true;
}

void TCuewell::AutoCueTimer(QObject*) {
    AutoCue->SetEnabled(false);
    PlayCue();
    CueAdvance();
}

bool TCuewell::FormKeyDown(int& key, Qt::KeyboardModifiers shift, bool autoRepeat) {
    CtrlDown = shift.testFlag(Qt::ControlModifier);
    switch (key) {
    case Qt::Key_Space:
        if (!NowCue->isVisible())
            return false;
        // Holding Space fires one cue: repeats are swallowed.
        if (!autoRepeat)
            ManualGo();
        key = 0;
        return true;
    case Qt::Key_PageUp:
    case Qt::Key_Down:
        PrevClick();
        key = 0;
        return true;
    case Qt::Key_PageDown:
    case Qt::Key_Right:
        NextClick();
        key = 0;
        return true;
    default:
        return false;
    }
}

void TCuewell::FormKeyUp(int, Qt::KeyboardModifiers) {
    CtrlDown = false;
}

void TCuewell::PrevClick() {
    AutoCue->SetEnabled(false);
    SavePendingBeforeTurning();
    AdvPDF->PreviousPage();
    ShownPage = AdvPDF->PageIndex();
    NowCue->hide();
    ShowCues(ShownPage);
}

void TCuewell::NextClick() {
    AutoCue->SetEnabled(false);
    SavePendingBeforeTurning();
    AdvPDF->NextPage();
    ShownPage = AdvPDF->PageIndex();
    NowCue->hide();
    ShowCues(ShownPage);
}

void TCuewell::AdvPDFMouseWheelDown(Qt::KeyboardModifiers, QPoint, bool*) {
    AutoCue->SetEnabled(false);
    SavePendingBeforeTurning();
    NowCue->hide();
}

void TCuewell::AdvPDFMouseWheelUp(Qt::KeyboardModifiers, QPoint, bool*) {
    AutoCue->SetEnabled(false);
    SavePendingBeforeTurning();
    NowCue->hide();
}

void TCuewell::FollowViewerPage() {
    if (!Book->ScriptLoaded() || AdvPDF->PageIndex() == ShownPage)
        return;
    AutoCue->SetEnabled(false);
    ShownPage = AdvPDF->PageIndex();
    NowCue->hide();
    ShowCues(ShownPage);
}

// ---------------------------------------------------------------- dispatch

void TCuewell::SendOSCMessage() {
    // The cue prepared at the prompt, unless its fields changed since (a dialog
    // Save). Compared in place: the message is read again only when it changed.
    const arStr& fields = Book->CueFields();
    const bool prepared = cfMessage < fields.size()
                              ? SameBytes(fields[cfMessage], PreparedCue.Message)
                              : PreparedCue.Message.isEmpty();
    if (!prepared)
        PreparedCue = Targets.Prepare(FieldOf(fields, cfMessage));
    Targets.Fire(PreparedCue, [this] {
        // The box lets a pending tick in; this GO's cue is the one it would fire.
        AutoCue->SetEnabled(false);
        NowCue->hide();
        FContext.Prompts.MessageBox(this, QStringLiteral("Cuewell"),
                                    QStringLiteral("Missing/Improper Command. Please "
                                                   "check the OSC command and settings."),
                                    TMsgIcon::Warning, TMsgButton::Retry);
    });
}

// ---------------------------------------------------------------- key preview

bool TCuewell::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::ShortcutOverride:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
        return HandleKeyPreview(watched, static_cast<QKeyEvent*>(event));
    default:
        return false;
    }
}

bool TCuewell::HandleKeyPreview(QObject* watched, QKeyEvent* event) {
    // Only keys meant for this window, and each only once: a key first goes to
    // the focused control and then, if ignored, up to its parents. The focused
    // control is asked first: it is the receiver of a GO, which must not wait.
    if (watched != KeyReceiver()) {
        // The press that follows an offer taken as GO is that same press; any
        // other key event of this window ends the wait for it.
        const auto* widget = qobject_cast<QWidget*>(watched);
        if (widget && widget->window() == this)
            FPressTakenAtOffer = false;
        return false;
    }
    const bool pressTaken = std::exchange(FPressTakenAtOffer, false);
    int key = event->key();
    switch (event->type()) {
    case QEvent::ShortcutOverride:
        // Before a press is delivered it is offered to the focused control and
        // then to the shortcut map, which takes as long as the GO itself. Space
        // with a prompt shown is GO whatever the modifiers (no shortcut of this
        // window uses Space), so the cue leaves here; accepting the offer keeps
        // the press from any shortcut, and the press is swallowed when it comes.
        if (key != Qt::Key_Space || !NowCue->isVisible())
            return false;
        event->accept();
        FPressTakenAtOffer = true;
        // Taken also when the GO fails: the error has been shown.
        KeyDown(key, event);
        return true;
    case QEvent::KeyPress:
        return pressTaken || KeyDown(key, event);
    default:
        FKeyRepeats.Release(key, event->timestamp());
        // The release of an unmarked repeat pair still clears CtrlDown; the
        // press right after it sets it again.
        if (!event->isAutoRepeat())
            Guarded([&] { FormKeyUp(key, event->modifiers()); });
        return false;
    }
}

bool TCuewell::TakeKeyFirst(QObject* receiver, QKeyEvent* event) {
    // Every other key, and a press the system delivers, goes Qt's way to the
    // key preview, so that the shortcuts see it in the same order as ever.
    const bool offer = event->type() == QEvent::ShortcutOverride;
    if ((!offer && event->spontaneous()) || event->key() != Qt::Key_Space || !NowCue->isVisible() ||
        receiver != KeyReceiver())
        return false;
    // Taken as the offer is, with the steps of the key handler for Space done
    // straight. A press the program sends itself is offered to the shortcuts
    // first, to the same receiver; taken here, it is that offer and its press
    // at once, so no press is left to swallow.
    FPressTakenAtOffer = offer;
    event->accept();
    // Space is no modifier key: its press reports the modifiers as they were.
    CtrlDown = static_cast<const QInputEvent*>(event)->modifiers().testFlag(Qt::ControlModifier);
    // Holding Space fires one cue: repeats are swallowed.
    if (!FKeyRepeats.Press(Qt::Key_Space, event->timestamp(), event->isAutoRepeat()))
        return true;
    try {
        ManualGo();
    } catch (...) {
        Guarded([] { throw; });
    }
    return true;
}

QWidget* TCuewell::KeyReceiver() {
    QWidget* focus = QApplication::focusWidget();
    return focus && focus->window() == this ? focus : this;
}

bool TCuewell::KeyDown(int& key, QKeyEvent* event) {
    const bool repeat = !FKeyRepeats.Press(key, event->timestamp(), event->isAutoRepeat());
    bool consumed = false;
    Guarded([&] { consumed = FormKeyDown(key, event->modifiers(), repeat); });
    return consumed;
}

// ---------------------------------------------------------------- helpers

void TCuewell::Guarded(const std::function<void()>& handler) {
    RunGuarded(FContext.Prompts, this, handler);
}

bool TCuewell::TryGuarded(const std::function<void()>& handler) {
    bool done = false;
    Guarded([&] {
        handler();
        done = true;
    });
    return done;
}

void TCuewell::ShowStandardError(const QString& text) {
    ::ShowStandardError(FContext.Prompts, this, text);
}

QString TCuewell::SettingsFile() const {
    return SettingsFilePath(FContext.Paths);
}

QString TCuewell::CueFile() const {
    return Book->CueFile();
}

void TCuewell::SetSizeLocked(bool locked) {
    FSizeLocked = locked;
    FOuterSize->SetLocked(locked);
}

int TCuewell::OuterHeight() const {
    return FOuterSize->Outer().height();
}

int TCuewell::OuterWidth() const {
    return FOuterSize->Outer().width();
}

void TCuewell::SetOuterHeight(int height) {
    FOuterSize->SetOuterHeight(height);
}

void TCuewell::SetOuterWidth(int width) {
    FOuterSize->SetOuterWidth(width);
}
