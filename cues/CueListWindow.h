#pragma once

// The cue list: a window of its own beside the main window, listing every cue
// in show order, following the prompt, and flagging cues that reach no target.

#include "cues/CueListModel.h"

#include <QWidget>

class QKeyEvent;
class QLabel;
class QTableView;

// Where the list's frame goes when it first opens: beside the owner's frame,
// on the side of the screen with the most room, so that it covers neither the
// script nor its pins. The size is `preferred` or what that side has room for;
// a null rectangle when no side has room for `minimum`.
QRect CueListPlacement(const QRect& ownerFrame, const QRect& screen, QSize preferred,
                       QSize minimum);

class TCueListWindow : public QWidget {
    Q_OBJECT
public:
    // A top-level window owned by `parent`; the table must outlive it.
    TCueListWindow(const TCueTable& table, const QString& soundSelector,
                   const QString& lightSelector, QWidget* parent = nullptr);

    TCueListModel& Model() { return *FModel; }
    QTableView& View() { return *FView; }

    // The table changed: list it again.
    void Reset();
    void SetSelectors(const QString& soundSelector, const QString& lightSelector);
    // Marks the prompted cue and brings it into view; (-1, -1) for none.
    void SetPrompted(int page, int slot);

signals:
    // A row was double-clicked: turn to that page and prompt that cue.
    void CueChosen(int page, int slot);

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;

private:
    // Hands a key to the window that owns the list.
    void ForwardKey(QKeyEvent* event);
    void UpdateSummary();
    void ShowPrompted();

    TCueListModel* FModel;
    QTableView* FView;
    QLabel* FSummary;
    bool FPlaced = false;
};
