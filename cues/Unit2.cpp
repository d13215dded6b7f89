#include "cues/Unit2.h"

#include "app/Errors.h"
#include "app/Unit1.h"
#include "cues/CueLayout.h"
#include "cues/CuePin.h"
#include "view/AdvPDFViewer.h"

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

TForm2::TForm2(TCuewell* owner)
    : QWidget(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint), FOwner(owner) {
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

    connect(btnSave, &QPushButton::clicked, this,
            [this] { FOwner->Guarded([this] { btnSaveClick(); }); });
    connect(btnDelete, &QPushButton::clicked, this,
            [this] { FOwner->Guarded([this] { btnDeleteClick(); }); });
    connect(btnCancel, &QPushButton::clicked, this,
            [this] { FOwner->Guarded([this] { btnCancelClick(); }); });
    hide();
}

void TForm2::FillFor(int page, int slot, const CueRecord& record) {
    // Read the flag first: a record it cannot read keeps the dialog as it was.
    const bool autoplay = CueAutoplay(record);
    // A record cut short opens with the missing fields empty.
    const arStr fields = SplitRecord(record);
    FScript = FOwner->AdvPDF->FileName();
    FPage = page;
    FSlot = slot;
    FRecord = record;
    Edit1->setText(QString::fromUtf8(fields[cfMessage]));
    Edit2->setText(QString::fromUtf8(fields[cfCall]));
    CheckBox1->setChecked(autoplay);
    Label3->setText(QString::number(FSlot));
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
    FOwner->Guarded([this] { FormShow(); });
}

void TForm2::FormShow() {
    Edit1->setFocus();
    Label3->setText(QString::number(FSlot));
}

int TForm2::SlotNow() const {
    // Another script has replaced the one the cue belongs to.
    if (FOwner->AdvPDF->FileName() != FScript || FPage < 0 || FPage >= FOwner->CueTable.size())
        return -1;
    const CueRow& row = FOwner->CueTable[FPage];
    if (FSlot >= 0 && FSlot < MaxCuesPerPage && row[FSlot] == FRecord)
        return FSlot;
    // A cue added or deleted meanwhile re-sorts the page: the cue may have moved.
    for (int i = 0; i < MaxCuesPerPage; ++i)
        if (row[i] == FRecord)
            return i;
    // A drag changes only the position fields.
    const auto content = [](const CueRecord& record) { return SplitRecord(record).mid(cfMessage); };
    const arStr shown = content(FRecord);
    if (FSlot >= 0 && FSlot < MaxCuesPerPage && !row[FSlot].isEmpty() &&
        content(row[FSlot]) == shown)
        return FSlot;
    for (int i = 0; i < MaxCuesPerPage; ++i)
        if (!row[i].isEmpty() && content(row[i]) == shown)
            return i;
    return -1;
}

namespace {
void RaiseCueGone() {
    throw CuewellError(
        QStringLiteral("This cue is no longer on its page. Right-click its pin to edit it again."));
}
} // namespace

void TForm2::btnSaveClick() {
    // "|" separates the fields of a record and a line break ends it: stored,
    // either would cut the cue apart.
    for (const QLineEdit* edit : {Edit1, Edit2})
        for (const QChar c : edit->text())
            if (c == u'|' || c == u'\n' || c == u'\r')
                throw CuewellError(QStringLiteral(
                    "A cue's message and call cannot contain \"|\" or a line break."));
    const int slot = SlotNow();
    if (slot < 0)
        RaiseCueGone();
    if (!Edit1->text().startsWith(u'/'))
        Edit1->setText(u'/' + Edit1->text());
    const QByteArray autoplay = CheckBox1->isChecked() ? "-1" : "0";
    const QByteArray message = Edit1->text().toUtf8();
    const QByteArray call = Edit2->text().toUtf8();
    CueRecord& stored = FOwner->CueTable[FPage][slot];
    // The position is the pin's as it stands now, a drag included.
    const arStr before = SplitRecord(stored);
    stored = BuildRecord(before, message, autoplay, call);
    // A GO that follows sends the edited message when this cue is the prompted one.
    if (FOwner->AdvPDF->PageIndex() == FPage && FOwner->CueFields == before) {
        FOwner->CueFields[cfMessage] = message;
        FOwner->CueFields[cfCall] = call;
    }
    FSlot = slot;
    FRecord = stored;
    // Should the file refuse the write, the edit stays pending for the next save.
    FOwner->CuesDirty = true;
    FOwner->SaveCues();
    hide();
}

void TForm2::btnDeleteClick() {
    const int slot = SlotNow();
    if (slot < 0)
        RaiseCueGone();
    const int shownPage = FOwner->AdvPDF->PageIndex();
    // Saving this page must not drop what is still to be saved of the page shown.
    const bool shownPageDirty = FOwner->CuesDirty && shownPage != FPage;
    FOwner->CueTable[FPage][slot].clear();
    if (shownPage == FPage) {
        FOwner->CuePin[slot]->hide();
        // The cues after it move up a slot, so the prompt no longer names its cue.
        FOwner->NowCue->hide();
    }
    FOwner->CuesDirty = true;
    FOwner->SavePageOf(FPage);
    FOwner->ReadPageOf(FPage);
    FOwner->ShowCues(shownPage);
    if (shownPageDirty)
        FOwner->CuesDirty = true;
    FSlot = -1;
    FRecord.clear();
    hide();
}

void TForm2::btnCancelClick() {
    hide();
}
