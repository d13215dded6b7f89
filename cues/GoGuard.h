#pragma once

// The shortest time allowed between two GOs given by hand (key or remote), so
// that a double press or a bouncing pedal fires one cue. Autoplay never asks it.

#include <chrono>

class TGoGuard {
public:
    using Clock = std::chrono::steady_clock;

    int MinimumMs() const { return FMinimumMs; }
    // 0 (or less) switches the guard off.
    void SetMinimumMs(int ms) { FMinimumMs = ms > 0 ? ms : 0; }

    // Whether a GO at `now` may fire; one that may is remembered as the last.
    bool Pass(Clock::time_point now = Clock::now()) {
        if (FMinimumMs > 0 && FFired && now - FLast < std::chrono::milliseconds(FMinimumMs))
            return false;
        FFired = true;
        FLast = now;
        return true;
    }

private:
    int FMinimumMs = 0;
    bool FFired = false;
    Clock::time_point FLast{};
};
