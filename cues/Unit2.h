#pragma once

// "Cue details": the OSC message, autoplay flag and call text of one cue.

#include "store/CueStore.h"

#include <QWidget>

#include <functional>

class IPrompts;
class TCueBook;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

class TForm2 : public QWidget {
    Q_OBJECT
public:
    // `owner` is the window the dialog is centred over; the cue is the book's.
    TForm2(QWidget* owner, TCueBook& book, IPrompts& prompts);

    // Fills the dialog for one cue and shows it (or brings it forward). The
    // dialog stays bound to that page and slot until it is filled again.
    void FillFor(int page, int slot, const CueRecord& record);

    int BoundPage() const { return FPage; }
    int BoundSlot() const { return FSlot; }

    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QCheckBox* CheckBox1 = nullptr;
    QLineEdit* Edit1 = nullptr;
    QLineEdit* Edit2 = nullptr;
    QPushButton* btnSave = nullptr;
    QPushButton* btnDelete = nullptr;
    QPushButton* btnCancel = nullptr;

    void FormShow();
    void btnSaveClick();
    void btnDeleteClick();
    void btnCancelClick();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void Guarded(const std::function<void()>& handler);
    void Unbind();
    void ShowLock(bool locked);
    // Where the dialog's cue went when its page changed.
    void FollowCue(int page, const QList<int>& newSlotOf);

    QWidget* FOwner;
    TCueBook& FBook;
    IPrompts& FPrompts;
    // The cue shown: its page and slot, -1 once it has gone.
    int FPage = -1;
    int FSlot = -1;
};
