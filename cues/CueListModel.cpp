#include "cues/CueListModel.h"

#include <QBrush>
#include <QColor>
#include <QFont>

namespace {
const QColor PromptedBackground(40, 90, 160);
const QColor PromptedText(255, 255, 255);
const QColor NoTargetBackground(110, 25, 25);
const QColor NoTargetText(255, 90, 90);
} // namespace

TCueListModel::TCueListModel(const TCueTable& table, QString soundSelector, QString lightSelector,
                             QObject* parent)
    : QAbstractTableModel(parent), FTable(table), FSound(std::move(soundSelector)),
      FLight(std::move(lightSelector)) {
    FEntries = CueEntries(FTable, FSound, FLight);
}

int TCueListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(FEntries.size());
}

int TCueListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant TCueListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= FEntries.size())
        return {};
    const TCueEntry& e = FEntries[index.row()];
    const bool prompted = index.row() == PromptedRow();
    const bool noTarget = e.Target == TCueTarget::None;
    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case colPage:
            return e.Page + 1;
        case colCue:
            return e.Slot + 1;
        case colCall:
            return e.Call;
        case colMessage:
            return e.Message;
        case colTarget:
            return CueTargetName(e.Target);
        case colAutoplay:
            return e.Autoplay;
        }
        return {};
    case Qt::TextAlignmentRole:
        if (index.column() == colPage || index.column() == colCue)
            return int(Qt::AlignRight | Qt::AlignVCenter);
        return int(Qt::AlignLeft | Qt::AlignVCenter);
    case Qt::BackgroundRole:
        if (prompted)
            return QBrush(PromptedBackground);
        if (noTarget)
            return QBrush(NoTargetBackground);
        return {};
    case Qt::ForegroundRole:
        if (prompted)
            return QBrush(PromptedText);
        if (noTarget && index.column() == colTarget)
            return QBrush(NoTargetText);
        return {};
    case Qt::FontRole:
        if (prompted || (noTarget && index.column() == colTarget)) {
            QFont font;
            font.setBold(true);
            return font;
        }
        return {};
    case Qt::ToolTipRole:
        if (noTarget)
            return QStringLiteral("GO sends this cue nowhere: its message's first segment "
                                  "matches neither the sound nor the light selector.");
        return {};
    case PromptedRole:
        return prompted;
    case NoTargetRole:
        return noTarget;
    default:
        return {};
    }
}

QVariant TCueListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case colPage:
        return QStringLiteral("Page");
    case colCue:
        return QStringLiteral("Cue");
    case colCall:
        return QStringLiteral("Call");
    case colMessage:
        return QStringLiteral("OSC message");
    case colTarget:
        return QStringLiteral("Target");
    case colAutoplay:
        return QStringLiteral("Autoplay");
    }
    return {};
}

void TCueListModel::Reset() {
    beginResetModel();
    FEntries = CueEntries(FTable, FSound, FLight);
    FPromptedRow = RowOf(FPromptPage, FPromptSlot);
    endResetModel();
}

void TCueListModel::SetSelectors(const QString& soundSelector, const QString& lightSelector) {
    FSound = soundSelector;
    FLight = lightSelector;
    Reset();
}

void TCueListModel::SetPrompted(int page, int slot) {
    const int before = FPromptedRow;
    FPromptPage = page;
    FPromptSlot = slot;
    FPromptedRow = RowOf(page, slot);
    const int after = FPromptedRow;
    if (before == after)
        return;
    for (int row : {before, after})
        if (row >= 0)
            emit dataChanged(index(row, 0), index(row, ColumnCount - 1));
}

int TCueListModel::PromptedRow() const {
    return FPromptedRow;
}

int TCueListModel::RowOf(int page, int slot) const {
    if (page < 0 || slot < 0)
        return -1;
    // Entries are in page order; a page's cues are contiguous.
    for (int row = 0; row < FEntries.size(); ++row)
        if (FEntries[row].Page == page && FEntries[row].Slot == slot)
            return row;
    return -1;
}
