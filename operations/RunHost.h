#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tralux {

class FileData;

// The answer of a Yes/No box; None when it was shut without an answer.
enum class Answer { Yes, No, None };

// What a run asks of the user and tells them: the window, the terminal program or a test's
// fake. What the user asked for comes with the run's RunRequest, not through here.
// Message texts use a single carriage return for a line break.
class RunHost {
public:
    virtual ~RunHost() = default;

    // The listed files in display order. The list does not change during a run.
    virtual std::vector<FileData*> Files() = 0;

    virtual void ShowError(const std::string& message) = 0;  // "Error", OK
    // A file a pass could not open or create, and the system's reason (empty when unknown).
    // The window shows the message alone, as it always has; a terminal adds the reason.
    virtual void ShowOpenError(const std::string& message, const std::string& reason) {
        (void)reason;
        ShowError(message);
    }
    virtual void ShowWarning(const std::string& message) = 0;   // "Warning", OK
    virtual Answer AskConfirm(const std::string& message) = 0;  // "Confirm", Yes/No
    virtual Answer AskWarning(const std::string& message) = 0;  // "Warning", Yes/No
    // A question the run request answered Yes beforehand, told instead of asked; warning says
    // which box would have asked it (AskWarning, else AskConfirm).
    virtual void ShowAnsweredYes(const std::string& message, bool warning) {
        (void)warning;
        ShowWarning(message);
    }
    // The folder browser titled "Select Output Folder"; nullopt when cancelled.
    virtual std::optional<std::string> OutputFolderPrompt() = 0;

    // The run's work begins: lay out the progress line for the widest of these file names
    // (the result files' names without folder, in list order) and show it; the time
    // estimate stays hidden until the estimator shows a new one.
    virtual void ShowProgressLine(const std::vector<std::string>& resultFileNames) = 0;
    // The run has ended (Running is false again): hide the progress line and the estimate.
    virtual void HideProgressLine() = 0;

    // The files' loudness values, or whether they are to be shown, have changed.
    virtual void LoudnessChanged() {}
    // The files' result names have changed (or been put back).
    virtual void ResultNamesChanged() {}
};

}  // namespace tralux
