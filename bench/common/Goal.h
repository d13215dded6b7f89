#pragma once

// One line per goal, in a form scripts/bench.sh gathers over several runs:
//   goal <name> <value> <= <limit> met|MISSED
// The value is the figure the goal is judged on (most are ratios to a floor
// taken in the same run); lower is better for every goal.

#include <cstdio>

inline bool PrintGoal(const char* name, double value, double limit) {
    const bool met = value <= limit;
    std::printf("goal %s %.4g <= %.4g %s\n", name, value, limit, met ? "met" : "MISSED");
    return met;
}
