#include "cues/KeyRepeatFilter.h"

#include <algorithm>

namespace {
// X gives both halves of a repeat pair the same time; a millisecond either
// way allows for a server that rounds them apart.
constexpr uint32_t PairTolerance = 1;
} // namespace

bool KeyRepeatFilter::Press(int key, uint64_t timestamp, bool autoRepeat) {
    const auto released = std::find_if(FReleasedAt.begin(), FReleasedAt.end(),
                                       [key](const TReleased& r) { return r.Key == key; });
    bool pairedWithRelease = false;
    if (released != FReleasedAt.end()) {
        const uint64_t at = released->At;
        // X time is 32 bits wide and wraps after some 49 days.
        const uint32_t after = uint32_t(timestamp - at);
        const uint32_t before = uint32_t(at - timestamp);
        pairedWithRelease = timestamp != 0 && at != 0 && std::min(after, before) <= PairTolerance;
        FReleasedAt.erase(released);
    }
    return !autoRepeat && !pairedWithRelease;
}

void KeyRepeatFilter::Release(int key, uint64_t timestamp) {
    for (TReleased& r : FReleasedAt)
        if (r.Key == key) {
            r.At = timestamp;
            return;
        }
    FReleasedAt.append({key, timestamp});
}
