#pragma once

// All cues of the script in show order, as a table the cue list window shows:
// page, cue, call, OSC message, target, autoplay. The prompted cue's row is
// marked, and so is every cue whose message reaches neither target.

#include "cues/CueSheet.h"

#include <QAbstractTableModel>

class TCueListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { colPage, colCue, colCall, colMessage, colTarget, colAutoplay, ColumnCount };
    // True for the prompted row, under this role.
    static constexpr int PromptedRole = Qt::UserRole + 1;
    // True for a cue that reaches no target, under this role.
    static constexpr int NoTargetRole = Qt::UserRole + 2;

    // The table is read again at each Reset(); it must outlive the model.
    TCueListModel(const TCueTable& table, QString soundSelector, QString lightSelector,
                  QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // The table (or a page of it) changed: read it all again; the prompt mark stays.
    void Reset();
    // The selectors changed (OSC settings saved): the targets are worked out again.
    void SetSelectors(const QString& soundSelector, const QString& lightSelector);
    // Marks the cue at (page, slot), both zero-based; (-1, -1) or a cue not in
    // the list marks none.
    void SetPrompted(int page, int slot);
    // The marked row, or -1.
    int PromptedRow() const;
    // Row of the cue at (page, slot), or -1.
    int RowOf(int page, int slot) const;
    const TCueEntry& EntryAt(int row) const { return FEntries.at(row); }

private:
    const TCueTable& FTable;
    QString FSound, FLight;
    QList<TCueEntry> FEntries;
    int FPromptPage = -1, FPromptSlot = -1;
    int FPromptedRow = -1;
};
