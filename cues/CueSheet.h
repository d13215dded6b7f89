#pragma once

// The cues of a whole script in show order, as the cue sheet, the cue list and
// the prompt book present them.

#include "store/CueStore.h"

#include <QByteArray>
#include <QList>
#include <QString>

// Where GO sends a message, as the operator reads it.
enum class TCueTarget { Sound, Light, Both, None };

// The target the message's selector chooses, exactly as the dispatch decides.
TCueTarget CueTargetOf(const QString& message, const QString& soundSelector,
                       const QString& lightSelector);
// "sound", "light", "both" or "no target".
QString CueTargetName(TCueTarget target);

struct TCueEntry {
    int Page = 0; // zero-based index into the table
    int Slot = 0; // zero-based slot on the page
    CueRecord Record;
    QString Message;
    QString Call;
    TCueTarget Target = TCueTarget::None;
    // "yes", "no", or the unreadable text of a hand-edited autoplay field.
    QString Autoplay;
    bool AutoplayOn = false;
    bool AutoplayValid = true;
};

// Every cue GO can reach, in the order it reaches them: page by page, each
// page's slots up to the first empty one.
QList<TCueEntry> CueEntries(const TCueTable& table, const QString& soundSelector,
                            const QString& lightSelector);

// The entries as CSV: UTF-8, a header row, fields quoted when they hold a
// comma, a quote or a line break (quotes doubled), CR LF line ends.
QByteArray CueSheetCsv(const QList<TCueEntry>& entries);

// Writes the cue sheet atomically: a failed write leaves any file of that name
// as it was. Raises CuewellError naming the file and the reason.
void WriteCueSheet(const QString& path, const TCueTable& table, const QString& soundSelector,
                   const QString& lightSelector);
