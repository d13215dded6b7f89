#pragma once

// Tells a key's physical press from the presses its auto-repeat makes. X sends
// a held key as release/press pairs carrying the same time stamp; Qt marks the
// press as a repeat only when the pair is already queued together, which on a
// busy machine it often is not. The time stamps still tell: nobody lifts and
// presses a key again within the same millisecond.

#include <QVarLengthArray>
#include <cstdint>

class KeyRepeatFilter {
public:
    // Returns true when this press is a new physical press of `key`.
    // `timestamp` is the event's time in milliseconds; 0 means unknown.
    bool Press(int key, uint64_t timestamp, bool autoRepeat);
    // A release of `key`. Whether it ends the physical press shows only with
    // the next press: a press with its time stamp makes the pair a repeat.
    void Release(int key, uint64_t timestamp);

private:
    struct TReleased {
        int Key;
        uint64_t At;
    };
    // Time stamps of each key's last release, while no press has followed it.
    // A press asks on the GO path: a few keys at a time, kept without the heap.
    QVarLengthArray<TReleased, 8> FReleasedAt;
};
