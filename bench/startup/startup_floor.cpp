// The start-up floor: a process that opens a PDF with QPdfDocument and renders
// page 0 at the size the viewer shows it, then prints the monotonic time.
//
// With "fonts" as a third argument it also loads the system's fonts and lays
// out a line of text in the application font, on a thread of its own while the
// page opens and renders, and prints the time once both are done: what any
// window with a menu bar must do before its page can be laid out, overlapped
// as well as two threads allow. The bare floor loads no fonts before it prints
// (Qt reads the font configuration only when the program ends).
//
// Usage: startup_floor script.pdf height [fonts]

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QImage>
#include <QPdfDocument>
#include <cstdio>
#include <ctime>
#include <thread>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 3)
        return 2;
    const bool fonts = argc > 3 && QByteArray(argv[3]) == "fonts";
    std::thread text;
    int textWidth = 0;
    if (fonts)
        text = std::thread([&textWidth] {
            QFontDatabase::families();
            textWidth = QFontMetrics(QApplication::font())
                            .horizontalAdvance(QStringLiteral("File Options View Help"));
        });
    QPdfDocument doc;
    const bool loaded = doc.load(QString::fromLocal8Bit(argv[1])) == QPdfDocument::Error::None;
    QImage image;
    if (loaded) {
        const int height = QByteArray(argv[2]).toInt();
        const QSizeF points = doc.pagePointSize(0);
        const QSize size(qRound(height * points.width() / points.height()), height);
        image = doc.render(0, size);
    }
    if (text.joinable())
        text.join();
    if (image.isNull() || (fonts && textWidth <= 0))
        return 1;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::printf("bare first page rendered %lld\n",
                (long long)now.tv_sec * 1000000000LL + now.tv_nsec);
    std::fflush(stdout);
    return 0;
}
