// The start-up floor: a process that opens a PDF with QPdfDocument and renders
// page 0 at the size the viewer shows it, then prints the monotonic time.
//
// Usage: startup_floor script.pdf height

#include <QApplication>
#include <QImage>
#include <QPdfDocument>
#include <cstdio>
#include <ctime>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 3)
        return 2;
    QPdfDocument doc;
    if (doc.load(QString::fromLocal8Bit(argv[1])) != QPdfDocument::Error::None)
        return 1;
    const int height = QByteArray(argv[2]).toInt();
    const QSizeF points = doc.pagePointSize(0);
    const QSize size(qRound(height * points.width() / points.height()), height);
    const QImage image = doc.render(0, size);
    if (image.isNull())
        return 1;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::printf("bare first page rendered %lld\n",
                (long long)now.tv_sec * 1000000000LL + now.tv_nsec);
    std::fflush(stdout);
    return 0;
}
