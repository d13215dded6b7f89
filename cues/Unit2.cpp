#include "cues/Unit2.h"

#include "app/Errors.h"
#include "app/Seams.h"
#include "cues/CueBook.h"
#include "cues/CueLayout.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {
// Centres a tool window over the main window.
void CentreOver(QWidget* dialog, const QWidget* owner) {
    const QRect area = owner->frameGeometry();
    dialog->move(area.center() - QPoint(dialog->width() / 2, dialog->height() / 2));
}
} // namespace

TForm2::TForm2(QWidget* owner, TCueBook& book, IPrompts& prompts)
    : QWidget(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint), FOwner(owner),
      FBook(book), FPrompts(prompts) {
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("Cue details"));
    setFixedSize(352, 179);

    Label2 = new QLabel(QStringLiteral("Cue #:"), this);
    Label2->move(8, 10);
    Label3 = new QLabel(this);
    Label3->setGeometry(50, 10, 90, 15);
    CheckBox1 = new QCheckBox(QStringLiteral("Autoplay"), this);
    CheckBox1->setGeometry(152, 12, 113, 17);
    Label1 = new QLabel(QStringLiteral("OSC message to send:"), this);
    Label1->move(8, 40);
    Edit1 = new QLineEdit(QStringLiteral("/"), this);
    Edit1->setGeometry(8, 61, 337, 23);
    Label4 = new QLabel(QStringLiteral("Cue Call:"), this);
    Label4->move(8, 88);
    Edit2 = new QLineEdit(this);
    Edit2->setGeometry(8, 109, 337, 23);
    btnSave = new QPushButton(QStringLiteral("Save"), this);
    btnSave->setGeometry(141, 150, 65, 25);
    btnDelete = new QPushButton(QStringLiteral("Delete"), this);
    btnDelete->setGeometry(212, 150, 65, 25);
    btnDelete->setToolTip(QStringLiteral("Delete this cue pin"));
    btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
    btnCancel->setGeometry(283, 150, 65, 25);

    // Tab order: Edit1, Cancel, Save, Delete, Autoplay, Edit2.
    setTabOrder(Edit1, btnCancel);
    setTabOrder(btnCancel, btnSave);
    setTabOrder(btnSave, btnDelete);
    setTabOrder(btnDelete, CheckBox1);
    setTabOrder(CheckBox1, Edit2);

    connect(btnSave, &QPushButton::clicked, this, [this] { Guarded([this] { btnSaveClick(); }); });
    connect(btnDelete, &QPushButton::clicked, this,
            [this] { Guarded([this] { btnDeleteClick(); }); });
    connect(btnCancel, &QPushButton::clicked, this,
            [this] { Guarded([this] { btnCancelClick(); }); });
    // The dialog knows its cue by page and slot and follows it through the book.
    connect(&FBook, &TCueBook::ScriptChanged, this, [this] {
        Unbind();
        hide();
    });
    connect(&FBook, &TCueBook::LockChanged, this, [this](bool locked) { ShowLock(locked); });
    connect(&FBook, &TCueBook::PageCuesChanged, this,
            [this](int page, const QList<int>& newSlotOf) { FollowCue(page, newSlotOf); });
    hide();
}

void TForm2::Guarded(const std::function<void()>& handler) {
    RunGuarded(FPrompts, this, handler);
}

void TForm2::ShowLock(bool locked) {
    // Locked, the dialog shows the cue and changes nothing.
    Edit1->setReadOnly(locked);
    Edit2->setReadOnly(locked);
    CheckBox1->setEnabled(!locked);
    btnSave->setEnabled(!locked);
    btnDelete->setEnabled(!locked);
}

void TForm2::Unbind() {
    FPage = -1;
    FSlot = -1;
}

void TForm2::FollowCue(int page, const QList<int>& newSlotOf) {
    if ((page != FPage && page != TCueBook::AllPages) || FSlot < 0)
        return;
    // A row read anew from the file no longer says where its cues went.
    FSlot = FSlot < newSlotOf.size() ? newSlotOf[FSlot] : -1;
    if (FSlot >= 0)
        Label3->setText(QString::number(FSlot));
}

void TForm2::FillFor(int page, int slot, const CueRecord& record) {
    // Read the flag first: a record it cannot read keeps the dialog as it was.
    const bool autoplay = CueAutoplay(record);
    // A record cut short opens with the missing fields empty.
    const arStr fields = SplitRecord(record);
    FPage = page;
    FSlot = slot;
    Edit1->setText(QString::fromUtf8(fields[cfMessage]));
    Edit2->setText(QString::fromUtf8(fields[cfCall]));
    CheckBox1->setChecked(autoplay);
    Label3->setText(QString::number(FSlot));
    ShowLock(FBook.Locked());
    if (isVisible()) {
        raise();
        activateWindow();
        return;
    }
    CentreOver(this, FOwner);
    show();
}

void TForm2::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    Guarded([this] { FormShow(); });
}

void TForm2::FormShow() {
    Edit1->setFocus();
    Label3->setText(QString::number(FSlot));
}

namespace {
void RaiseCueGone() {
    throw CuewellError(
        QStringLiteral("This cue is no longer on its page. Right-click its pin to edit it again."));
}
} // namespace

void TForm2::btnSaveClick() {
    if (FBook.Locked())
        return;
    // "|" separates the fields of a record and a line break ends it: stored,
    // either would cut the cue apart.
    for (const QLineEdit* edit : {Edit1, Edit2})
        for (const QChar c : edit->text())
            if (c == u'|' || c == u'\n' || c == u'\r')
                throw CuewellError(QStringLiteral(
                    "A cue's message and call cannot contain \"|\" or a line break."));
    if (FSlot < 0 || FBook.Record(FPage, FSlot).isEmpty())
        RaiseCueGone();
    if (!Edit1->text().startsWith(u'/'))
        Edit1->setText(u'/' + Edit1->text());
    // The book re-sorts the page, keeps the prompt on its cue (a GO that follows
    // sends the edited message) and saves every page; should the file refuse
    // the write, the edit stays pending for the next save.
    FBook.EditCue(FPage, FSlot, Edit1->text().toUtf8(), CheckBox1->isChecked(),
                  Edit2->text().toUtf8());
    hide();
}

void TForm2::btnDeleteClick() {
    if (FBook.Locked())
        return;
    if (FSlot < 0 || FBook.Record(FPage, FSlot).isEmpty())
        RaiseCueGone();
    // The cues after it move up a slot; the window hides the pin and the prompt.
    const int page = FPage;
    const int slot = FSlot;
    Unbind();
    FBook.DeleteCue(page, slot);
    hide();
}

void TForm2::btnCancelClick() {
    hide();
}
