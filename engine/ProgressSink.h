#pragma once

#include <string>

namespace tralux {

// What a pass needs from whoever shows its progress (the main window, the terminal, a test).
class ProgressSink {
public:
    virtual ~ProgressSink() = default;
    // A pass begins: label such as "Scanning:", and the file name without its folder.
    virtual void PassStarted(const std::string& label, const std::string& fileName) = 0;
    virtual void PassProgress(int percent) = 0;  // 0 to 100 within the current file
    virtual void PassEnded() = 0;
    // The write of fileName's pass ran to its end, but its result could not be made whole under
    // its name afterwards (told through ReportError): it is not among the results written.
    virtual void ResultNotKept(const std::string& /*fileName*/) {}
    // A new time-remaining estimate: "0:05" for the title, "Time Remaining: 0:05" for the label.
    virtual void ShowEstimate(const std::string& shortText, const std::string& longText) = 0;
    // A new operation begins: take the previous estimate off the display.
    virtual void HideEstimate() {}
    // Handle pending user input now; this is when Cancel can act.
    virtual void PumpEvents() = 0;
    // Tell the user of a failure (an error box with one OK button).
    virtual void ReportError(const std::string& message) = 0;
};

}  // namespace tralux
