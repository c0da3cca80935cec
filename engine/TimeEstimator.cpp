#include "TimeEstimator.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <utility>

#include "ProgressSink.h"

namespace tralux {

Clock SteadyClock() {
    return [] {
        using namespace std::chrono;
        return duration<double>(steady_clock::now().time_since_epoch()).count();
    };
}

TimeEstimator::TimeEstimator(ProgressSink& sink, Clock clock)
    : sink_(sink), clock_(std::move(clock)) {}

void TimeEstimator::ResetEstimate(double totalWork) {
    sink_.HideEstimate();
    WorkRemaining = totalWork;
    WorkDone = 0.0;
    LastShownSeconds = 1000000000;
}

void TimeEstimator::StartTiming() {
    StartTime = clock_();
}

void TimeEstimator::UpdateEstimate(int32_t units, bool force) {
    WorkDone += units;
    WorkRemaining -= units;
    const double elapsed = clock_() - StartTime;
    if (!(WorkDone > 0.0 && elapsed > 0.5)) {
        return;
    }
    const double rate = std::nearbyint(WorkDone / elapsed);
    if (!(rate > 0.0)) {
        return;  // too slow to give a meaningful figure
    }
    // More work done than was announced leaves nothing to wait for; a figure beyond the
    // integer range is capped rather than wrapped.
    const double remaining = WorkRemaining > 0.0 ? WorkRemaining : 0.0;
    const double estimate = std::nearbyint(remaining / rate) + 1.0;
    const int32_t seconds = estimate < 999999999.0 ? static_cast<int32_t>(estimate) : 999999999;
    if (seconds < LastShownSeconds || force) {
        LastShownSeconds = seconds;
        char shortText[32];
        char longText[64];
        std::snprintf(shortText, sizeof shortText, "%d:%.2d", seconds / 60, seconds % 60);
        std::snprintf(longText, sizeof longText, "Time Remaining: %d:%.2d", seconds / 60,
                      seconds % 60);
        sink_.ShowEstimate(shortText, longText);
        sink_.PumpEvents();
    }
}

}  // namespace tralux
