#pragma once

// The pictures of the pins and the prompt.

#include <QIcon>
#include <QPixmap>
#include <QString>
#include <array>

// The pin drawn when the glyph file cannot be read: a red head on a grey needle.
QPixmap BuiltInPinGlyph();
// The pin glyph from its file, the bottom-left pixel's colour transparent as
// with classic glyphs. A file that cannot be read gives the drawn pin and the
// reason in `problem`.
QPixmap ReadPinGlyph(const QString& file, QString& problem);
// The prompt's images, indexed by PromptImage: the blue arrow, then the solid
// squares of sound, light and neither.
std::array<QIcon, 4> PromptImages();
