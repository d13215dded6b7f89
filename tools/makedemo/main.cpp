// Writes the demo show: a short three-page script "The Keepers Night.pdf"
// and its cue file, with sound and light cues, call texts and an autoplay run.
//
//   makedemo <folder>

#include "store/CueStore.h"
#include "store/KeyValueFile.h"

#include <QDir>
#include <QGuiApplication>
#include <QPainter>
#include <QPdfWriter>
#include <cstdio>

namespace {

struct Line {
    QString text;
    bool direction = false; // a stage direction, set in italics
};

struct Cue {
    int page;
    int line; // the line the pin sits beside
    const char* message;
    bool autoplay;
    const char* call;
};

const QList<QList<Line>> Script = {
    {{QStringLiteral("THE KEEPER'S NIGHT"), false},
     {QStringLiteral("A play in one act"), true},
     {QString(), false},
     {QStringLiteral("(The house lights fade. A lighthouse lamp room, night.)"), true},
     {QStringLiteral("MARA: Forty years I have climbed these stairs."), false},
     {QStringLiteral("TOM: And forty years the ships have gone home."), false},
     {QStringLiteral("MARA: Not all of them. Not the Ardent."), false},
     {QStringLiteral("(The lamp turns. Light sweeps the room.)"), true},
     {QStringLiteral("TOM: You cannot keep every ship, Mara."), false},
     {QStringLiteral("MARA: I can keep this light."), false}},
    {{QStringLiteral("(Far off, thunder.)"), true},
     {QStringLiteral("TOM: The glass is falling."), false},
     {QStringLiteral("MARA: Then we light early."), false},
     {QStringLiteral("(Lightning. A second flash. The storm is on them.)"), true},
     {QStringLiteral("TOM: There! A mast, past the reef!"), false},
     {QStringLiteral("MARA: Wind the clockwork. Quickly."), false},
     {QStringLiteral("(Rain beats on the windows.)"), true},
     {QStringLiteral("TOM: She's turning. She sees us."), false}},
    {{QStringLiteral("(The rain eases. Grey light at the windows.)"), true},
     {QStringLiteral("MARA: Dawn. She made the harbour."), false},
     {QStringLiteral("TOM: You kept her."), false},
     {QStringLiteral("MARA: The light kept her. I only climbed the stairs."), false},
     {QStringLiteral("(She puts out the lamp. Blackout.)"), true},
     {QString(), false},
     {QStringLiteral("END OF PLAY"), false}},
};

const Cue Cues[] = {
    {0, 3, "/light/preset 1", false, "House to half"},
    {0, 4, "/sound/play preshow_out", false, "Preshow out"},
    {0, 7, "/light/go 2", false, "Lamp sweep"},
    {1, 0, "/sound/play thunder", false, "Thunder"},
    {1, 3, "/light/flash 3", false, "Lightning"},
    {1, 4, "/light/flash 4", true, "Second flash"},
    {1, 5, "/light/go 5", true, "Storm wash"},
    {1, 6, "/sound/play rain", false, "Rain"},
    {2, 0, "/sound/stop rain", false, "Rain out"},
    {2, 1, "/light/go 6", false, "Dawn"},
    {2, 4, "/light/blackout", false, "Blackout"},
    {2, 6, "/sound/play bows", true, "Bows music"},
};

// Page layout in points on A4 (595 x 842).
constexpr double PageW = 595, PageH = 842;
constexpr double FirstBaseline = 120, LineStep = 34, TextLeft = 90;

double Baseline(int line) {
    return FirstBaseline + line * LineStep;
}

// The window the cues were placed in, and the page viewer inside it.
constexpr int WindowW = 940, WindowH = 640;
constexpr int ViewW = 940, ViewH = 615;

// Where a point of the page lands in the viewer: the page is fitted into
// 5, 40, W - 5, H - 5 and centred.
QPointF ToView(double x, double y) {
    const double boxW = ViewW - 10, boxH = ViewH - 45;
    const double scale = std::min(boxW / PageW, boxH / PageH);
    const double left = 5 + (boxW - PageW * scale) / 2;
    return {left + x * scale, 40 + y * scale};
}

void WriteScript(const QString& path) {
    QPdfWriter pdf(path);
    pdf.setTitle(QStringLiteral("The Keeper's Night"));
    pdf.setPageSize(QPageSize(QPageSize::A4));
    pdf.setPageMargins(QMarginsF(0, 0, 0, 0));
    pdf.setResolution(72);
    QPainter p(&pdf);
    for (int page = 0; page < Script.size(); ++page) {
        if (page > 0)
            pdf.newPage();
        QFont font(QStringLiteral("DejaVu Serif"));
        font.setPixelSize(15);
        for (int i = 0; i < Script[page].size(); ++i) {
            const Line& line = Script[page][i];
            font.setItalic(line.direction);
            font.setBold(page == 0 && i == 0);
            p.setFont(font);
            p.drawText(QPointF(TextLeft, Baseline(i)), line.text);
        }
        font.setItalic(false);
        font.setBold(false);
        font.setPixelSize(11);
        p.setFont(font);
        p.drawText(QPointF(PageW / 2 - 10, PageH - 40), QString::number(page + 1));
    }
}

void WriteCues(const QString& path) {
    TCueTable table(Script.size());
    QList<int> used(Script.size(), 0);
    for (const Cue& cue : Cues) {
        // The pin sits in the margin, left of the line, centred on its text.
        const QPointF at = ToView(TextLeft - 22, Baseline(cue.line) - 5);
        const int top = qRound(at.y()) - 8, left = qRound(at.x()) - 8;
        arStr fields = SplitRecord(NewCueRecord(top, left, ViewH, ViewW));
        table[cue.page][used[cue.page]++] =
            BuildRecord(fields, cue.message, cue.autoplay ? "-1" : "0", cue.call);
    }
    QFile::remove(path);
    KeyValueFile file(path);
    file.SetAutoSave(true);
    for (int page = 0; page < table.size(); ++page)
        WritePageSection(file, page, table[page]);
    file.WriteInteger(QStringLiteral("Settings"), QStringLiteral("Height"), WindowH);
    file.WriteInteger(QStringLiteral("Settings"), QStringLiteral("Width"), WindowW);
    // The view itself, so the prompt book need not guess the window's chrome.
    file.WriteInteger(QStringLiteral("Settings"), QStringLiteral("ViewHeight"), ViewH);
    file.WriteInteger(QStringLiteral("Settings"), QStringLiteral("ViewWidth"), ViewW);
    file.Free();
}

} // namespace

int main(int argc, char** argv) {
    // Fonts need a GUI application, not a screen.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: makedemo <folder>\n");
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    if (!folder.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "makedemo: cannot create %s\n", argv[1]);
        return 1;
    }
    const QString script = folder.absoluteFilePath(QStringLiteral("The Keepers Night.pdf"));
    try {
        WriteScript(script);
        WriteCues(CueFilePath(script));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "makedemo: %s\n", error.what());
        return 1;
    }
    std::printf("%s\n", qPrintable(script));
    return 0;
}
