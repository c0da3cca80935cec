#pragma once

#include <cstdint>
#include <functional>

namespace tralux {

class ProgressSink;

// The moment now, in seconds from any fixed origin. Injectable so tests can drive time.
using Clock = std::function<double()>;
Clock SteadyClock();

// Estimates the time left in a whole operation from the weighted frames done so far.
class TimeEstimator {
public:
    TimeEstimator(ProgressSink& sink, Clock clock);

    void ResetEstimate(double totalWork);
    void StartTiming();
    void UpdateEstimate(int32_t units, bool force);

    double WorkRemaining = 0.0;  // weighted frames still expected
    double WorkDone = 0.0;       // weighted frames processed so far
    double StartTime = 0.0;      // seconds, on the clock's scale
    int32_t LastShownSeconds = 1000000000;

private:
    ProgressSink& sink_;
    Clock clock_;
};

}  // namespace tralux
