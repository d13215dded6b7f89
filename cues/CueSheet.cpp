#include "cues/CueSheet.h"

#include "app/Errors.h"
#include "cues/CueLayout.h"
#include "osc/Dispatch.h"

#include <QSaveFile>

TCueTarget CueTargetOf(const QString& message, const QString& soundSelector,
                       const QString& lightSelector) {
    const QString selector = SplitOscCommand(message).Selector;
    const bool sound = selector == soundSelector;
    const bool light = selector == lightSelector;
    if (sound && light)
        return TCueTarget::Both;
    if (sound)
        return TCueTarget::Sound;
    if (light)
        return TCueTarget::Light;
    return TCueTarget::None;
}

QString CueTargetName(TCueTarget target) {
    switch (target) {
    case TCueTarget::Sound:
        return QStringLiteral("sound");
    case TCueTarget::Light:
        return QStringLiteral("light");
    case TCueTarget::Both:
        return QStringLiteral("both");
    case TCueTarget::None:
        break;
    }
    return QStringLiteral("no target");
}

QList<TCueEntry> CueEntries(const TCueTable& table, const QString& soundSelector,
                            const QString& lightSelector) {
    QList<TCueEntry> entries;
    for (int page = 0; page < table.size(); ++page) {
        for (int slot = 0; slot < MaxCuesPerPage; ++slot) {
            const CueRecord& record = table[page][slot];
            if (record.isEmpty())
                break;
            const arStr fields = SplitRecord(record);
            TCueEntry entry;
            entry.Page = page;
            entry.Slot = slot;
            entry.Record = record;
            entry.Message = QString::fromUtf8(FieldOf(fields, cfMessage));
            entry.Call = QString::fromUtf8(FieldOf(fields, cfCall));
            entry.Target = CueTargetOf(entry.Message, soundSelector, lightSelector);
            // A listing must not stop at one hand-edited flag: show it as it is.
            try {
                entry.AutoplayOn = CueAutoplay(record);
                entry.Autoplay = entry.AutoplayOn ? QStringLiteral("yes") : QStringLiteral("no");
            } catch (const CuewellError&) {
                entry.AutoplayValid = false;
                entry.Autoplay = QString::fromUtf8(FieldOf(fields, cfAutoplay));
            }
            entries.append(entry);
        }
    }
    return entries;
}

namespace {

QByteArray CsvField(const QString& text) {
    QByteArray bytes = text.toUtf8();
    if (bytes.contains(',') || bytes.contains('"') || bytes.contains('\n') ||
        bytes.contains('\r')) {
        bytes.replace("\"", "\"\"");
        bytes = '"' + bytes + '"';
    }
    return bytes;
}

QByteArray CsvRow(const QStringList& fields) {
    QByteArray row;
    for (int i = 0; i < fields.size(); ++i) {
        if (i > 0)
            row += ',';
        row += CsvField(fields[i]);
    }
    return row + "\r\n";
}

} // namespace

QByteArray CueSheetCsv(const QList<TCueEntry>& entries) {
    QByteArray csv = CsvRow({QStringLiteral("Page"), QStringLiteral("Cue"), QStringLiteral("Call"),
                             QStringLiteral("OSC message"), QStringLiteral("Target"),
                             QStringLiteral("Autoplay")});
    for (const TCueEntry& e : entries)
        csv += CsvRow({QString::number(e.Page + 1), QString::number(e.Slot + 1), e.Call, e.Message,
                       CueTargetName(e.Target), e.Autoplay});
    return csv;
}

void WriteCueSheet(const QString& path, const TCueTable& table, const QString& soundSelector,
                   const QString& lightSelector) {
    const QByteArray csv = CueSheetCsv(CueEntries(table, soundSelector, lightSelector));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(csv) != csv.size() || !file.commit())
        throw CuewellError(
            QStringLiteral("Cannot write the cue sheet \"%1\": %2").arg(path, file.errorString()));
}
