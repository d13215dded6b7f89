#include "app/OuterSize.h"

#include <algorithm>

namespace {
// Enough for the requests that can be under way at once: a start asks twice
// or three times before the frame settles.
constexpr int AskedKept = 8;
} // namespace

void OuterSize::SetWantedHeight(int height) {
    FHeight = height;
}

void OuterSize::SetWantedWidth(int width) {
    FWidth = width;
}

bool OuterSize::SetFrame(const QMargins& frame) {
    if (frame.isNull()) {
        FKnown = false;
        return false;
    }
    const bool changed = !FKnown || frame != FFrame;
    const QSize before = Client(QSize());
    FFrame = frame;
    FKnown = true;
    return changed && Client(QSize()) != before;
}

QSize OuterSize::Client(const QSize& current) const {
    const int h =
        FHeight ? std::max(1, *FHeight - FFrame.top() - FFrame.bottom()) : current.height();
    const int w = FWidth ? std::max(1, *FWidth - FFrame.left() - FFrame.right()) : current.width();
    return {w, h};
}

QSize OuterSize::Outer(const QSize& client) const {
    return {FWidth ? *FWidth : client.width() + FFrame.left() + FFrame.right(),
            FHeight ? *FHeight : client.height() + FFrame.top() + FFrame.bottom()};
}

void OuterSize::Asked(const QSize& client) {
    FAsked.removeAll(client);
    FAsked.append(client);
    if (FAsked.size() > AskedKept)
        FAsked.removeFirst();
}

bool OuterSize::Reported(const QSize& client, bool resizable) {
    if (!resizable || FAsked.contains(client))
        return false;
    // The operator is sizing the window: what was asked before no longer counts.
    FAsked.clear();
    FHeight = client.height() + FFrame.top() + FFrame.bottom();
    FWidth = client.width() + FFrame.left() + FFrame.right();
    return true;
}
