// Feeds arbitrary bytes as a cue file to everything that reads one: the
// whole-file read straight from the lines, the same read over the index,
// each page looked up alone, and a save of what was read. Crashes, sanitizer
// reports and broken invariants (trap) are findings.
#include "app/Errors.h"
#include "store/CueStore.h"
#include "store/KeyValueFile.h"

#include <QDir>
#include <QFile>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <unistd.h>

namespace {

void Check(bool ok) {
    if (!ok)
        __builtin_trap();
}

constexpr int Pages = 12;

const QString& FilePath() {
    static const QString path =
        QDir::tempPath() + QStringLiteral("/fuzz_store-%1.cues").arg(::getpid());
    return path;
}

TCueTable StaleTable() {
    TCueTable table(Pages);
    for (CueRow& row : table)
        row[0] = QStringLiteral("stale");
    return table;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString& path = FilePath();
    {
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        out.write(reinterpret_cast<const char*>(data), qint64(size));
    }
    try {
        // Straight from the lines (when the file is UTF-8), then over the
        // index a lookup builds: the same rows, which are each page alone.
        KeyValueFile file(path);
        TCueTable straight = StaleTable();
        ReadAllPageSections(file, straight);
        (void)file.ReadString(QStringLiteral("Settings"), QStringLiteral("Height"), QString());
        TCueTable indexed = StaleTable();
        ReadAllPageSections(file, indexed);
        TCueTable fromThird = StaleTable();
        ReadAllPageSections(file, fromThird, 3);
        for (int page = 0; page < Pages; ++page) {
            CueRow each;
            ReadPageSection(file, page, each);
            Check(straight[page] == each);
            Check(indexed[page] == each);
            Check(fromThird[page] == (page < 3 ? StaleTable()[page] : each));
            for (const CueRecord& record : each)
                Check(record.isEmpty() || record.utf16()[record.size()] == 0);
        }
        // What was read, saved and read again, reads the same, sorted.
        file.SetAutoSave(true);
        for (int page = 0; page < Pages; ++page)
            WritePageSection(file, page, straight[page]);
        const QByteArray saved = file.ToBytes();
        {
            QFile out(path);
            if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
                return 0;
            out.write(saved);
        }
        KeyValueFile again(path);
        TCueTable reread = StaleTable();
        ReadAllPageSections(again, reread);
        for (int page = 0; page < Pages; ++page) {
            const QStringList sorted = SortedRecords(straight[page]);
            for (int slot = 0; slot < MaxCuesPerPage; ++slot)
                Check(reread[page][size_t(slot)] == sorted.value(slot));
        }
        Check(again.ToBytes() == saved);
    } catch (const CuewellError&) {
        // A record that cannot be sorted or a file that cannot be read is
        // reported, not a finding.
    }
    return 0;
}
