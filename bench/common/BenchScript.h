#pragma once

// A long script for the benchmarks: A4 pages of numbered lines of verse, so
// that each page renders like a real one.

#include <QFont>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QString>

inline void WriteBenchScript(const QString& path, int pages) {
    QPdfWriter writer(path);
    writer.setResolution(72);
    writer.setPageLayout(
        QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF(50, 50, 50, 50)));
    QPainter painter(&writer);
    QFont font("DejaVu Serif");
    font.setPointSizeF(11);
    painter.setFont(font);
    const QString line = QStringLiteral(
        "HAMLET. To be, or not to be, that is the question: whether 'tis nobler in the mind");
    for (int page = 0; page < pages; ++page) {
        if (page > 0)
            writer.newPage();
        painter.drawText(0, 14, QStringLiteral("Act %1, scene %2").arg(page / 40 + 1).arg(page));
        for (int i = 0; i < 46; ++i)
            painter.drawText(0, 40 + i * 15, QStringLiteral("%1 %2").arg(i + 1).arg(line));
    }
}
