#pragma once

// Where pins and the prompt go: plain geometry the main window applies.

#include "store/CueStore.h"

#include <QPoint>
#include <QRect>
#include <QString>
#include <array>

constexpr int PinSize = 16;
// A pin closer than this below its predecessor is pushed down by the same amount.
constexpr int PinSeparation = 16;

// Top-left corner of a cue's pin in a view of the given size, from fields 0
// (top) and 1 (left). Raises the conversion error for a field that is not a
// number in the user's format.
QPoint PinTopLeft(const arStr& fields, int viewWidth, int viewHeight);

// The top a pin is shown at, given the shown top of the pin before it.
inline int SeparatedTop(int top, int previousTop) {
    return top - previousTop < PinSeparation ? top + PinSeparation : top;
}

// The 32 x 32 arrow ends 8 pixels left of the pin, level with its middle.
QRect ArrowPromptRect(QPoint pin);
// The 24-pixel call prompt sits in the margin on the pin's side of the page.
QRect CallPromptRect(QPoint pin, int textWidth, int viewMidX);

// Whether a cue fires by itself. A hand-edited record that stops before its
// autoplay field is not autoplay; a field that is there must read as a flag.
bool CueAutoplay(const CueRecord& record);
// The same for a record already split (without padding).
bool FieldsAutoplay(const arStr& fields);

enum PromptImage { piArrow = 0, piSound = 1, piLight = 2, piNeither = 3 };
// Colour of the call prompt: which target the message's selector chooses
// (light wins when both selector texts are equal).
PromptImage CallPromptImage(const QString& selector, const QString& soundAddress,
                            const QString& lightAddress);

// Where the pins of one page go: the records before the first empty slot, each
// pushed below its predecessor when they would touch. A record without any
// position (no "|" at all) is pinned at the view's corner, where the operator
// can find and mend it.
struct TPinLayout {
    std::array<QPoint, MaxCuesPerPage> At{};
    // The pins that could be placed; the layout stops at a record it cannot read.
    int Count = 0;
    // The conversion error of that record, or empty.
    QString Error;
};
TPinLayout LayoutPins(const CueRow& row, int viewWidth, int viewHeight);
