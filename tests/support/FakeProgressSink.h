#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "engine/ProgressSink.h"

namespace tralux::test {

// A ProgressSink that records every call. OnPump runs inside each PumpEvents, which is where a
// real window lets the user press Cancel; a test can clear Running there at a chosen block.
class FakeProgressSink : public ProgressSink {
public:
    struct Estimate {
        std::string ShortText;
        std::string LongText;
    };

    void PassStarted(const std::string& label, const std::string& fileName) override {
        Calls.push_back("PassStarted " + label + " " + fileName);
        Labels.push_back(label);
        FileNames.push_back(fileName);
    }
    void PassProgress(int percent) override {
        Calls.push_back("PassProgress " + std::to_string(percent));
        Progress.push_back(percent);
    }
    void PassEnded() override {
        Calls.push_back("PassEnded");
        ++Ended;
    }
    void ResultNotKept(const std::string& fileName) override {
        Calls.push_back("ResultNotKept " + fileName);
        NotKept.push_back(fileName);
    }
    void ShowEstimate(const std::string& shortText, const std::string& longText) override {
        Calls.push_back("ShowEstimate " + shortText);
        Estimates.push_back({shortText, longText});
    }
    void HideEstimate() override {
        Calls.push_back("HideEstimate");
        ++Hidden;
    }
    void PumpEvents() override {
        Calls.push_back("PumpEvents");
        ++Pumps;
        if (OnPump) {
            OnPump();
        }
    }
    void ReportError(const std::string& message) override {
        Calls.push_back("ReportError " + message);
        Errors.push_back(message);
    }

    // Calls OnPump only from the pump that follows the k-th progress report (1-based).
    void AtBlock(int k, std::function<void()> action) {
        OnPump = [this, k, action = std::move(action)] {
            if (static_cast<int>(Progress.size()) == k && Calls.size() >= 2 &&
                Calls[Calls.size() - 2].rfind("PassProgress", 0) == 0) {
                action();
            }
        };
    }

    std::vector<std::string> Calls;  // every call in order, e.g. "PassProgress 33"
    std::vector<std::string> Labels;
    std::vector<std::string> FileNames;
    std::vector<int> Progress;
    std::vector<Estimate> Estimates;
    std::vector<std::string> Errors;
    std::vector<std::string> NotKept;
    int Ended = 0;
    int Hidden = 0;
    int Pumps = 0;
    std::function<void()> OnPump;
};

}  // namespace tralux::test
