#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tralux {

class FileData;

enum class ReferenceChoice { Quietest, Loudest, Highlighted, Preset };

// The answer of a Yes/No box; None when it was shut without an answer.
enum class Answer { Yes, No, None };

// What the runs ask of the window (or of the terminal program, or of a test's fake).
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
    // The folder browser titled "Select Output Folder"; nullopt when cancelled.
    virtual std::optional<std::string> OutputFolderPrompt() = 0;

    virtual void UpdateEnablement() = 0;
    virtual void RescaleLoudnessBars() = 0;
    virtual void RefreshAllNames() = 0;
    // Lay out the progress line for the widest of these file names (the result files'
    // names without folder, in list order) and show it; the time estimate stays hidden
    // until the estimator shows a new one.
    virtual void ShowProgressLine(const std::vector<std::string>& resultFileNames) = 0;
    // Hide the progress line and the time estimate.
    virtual void HideProgressLine() = 0;
    virtual void SetApplicationTitle(const std::string& title) = 0;

    virtual ReferenceChoice Reference() = 0;
    // The file of the highlighted row; nullptr only when the list is empty.
    virtual FileData* HighlightedFile() = 0;
    // The level of the preset chosen in the drop-down; nullopt when none is chosen.
    virtual std::optional<double> ChosenPresetLevel() = 0;
};

}  // namespace tralux
