#pragma once

#include <QString>

#include <optional>
#include <string>
#include <vector>

#include "engine/ProgressSink.h"
#include "operations/RunHost.h"

namespace tralux {

class Prompts;
class TBalanceVolumes;

// The main window as the runs and the pass engine see it: its boxes and its folder browser,
// the progress line, the time estimate in the title, and the grid told of new values.
class MainWindowRunHost final : public RunHost, public ProgressSink {
public:
    MainWindowRunHost(TBalanceVolumes& window, Prompts& prompts);

    // The folder the output folder browser last showed; kept in the settings file.
    QString OutputFolder;

    // What a run did, for the window to tell at its end: a heavy-processing question was
    // not answered Yes, and the sources whose results were written whole.
    bool Declined = false;
    std::vector<std::string> Written;
    void BeginRun() {
        Declined = false;
        Written.clear();
        pass_.clear();
    }

    // RunHost.
    std::vector<FileData*> Files() override;
    void ShowError(const std::string& message) override;
    void ShowWarning(const std::string& message) override;
    Answer AskConfirm(const std::string& message) override;
    Answer AskWarning(const std::string& message) override;
    std::optional<std::string> OutputFolderPrompt() override;
    // Also takes the run's controls out of reach while it works, and gives them back after.
    void ShowProgressLine(const std::vector<std::string>& resultFileNames) override;
    void HideProgressLine() override;
    void LoudnessChanged() override;
    void ResultNamesChanged() override;

    // ProgressSink.
    void PassStarted(const std::string& label, const std::string& fileName) override;
    void PassProgress(int percent) override;
    void PassEnded() override;
    void ResultNotKept(const std::string& fileName) override;
    void ShowEstimate(const std::string& shortText, const std::string& longText) override;
    void HideEstimate() override;
    void PumpEvents() override;
    void ReportError(const std::string& message) override;

private:
    TBalanceVolumes& window_;
    std::string pass_;  // the source of the write in progress; empty for a read
    Prompts& prompts_;
};

}  // namespace tralux
