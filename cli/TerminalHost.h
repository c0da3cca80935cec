#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/ProgressSink.h"
#include "operations/RunHost.h"

namespace tralux::cli {

// How the terminal host talks to the user.
struct TerminalSetup {
    int inputFd = 0;   // questions are read here
    int outputFd = 2;  // messages, questions and progress go here
    bool inputIsTerminal = false;
    bool outputIsTerminal = false;
    bool quiet = false;  // no progress display
};

// The terminal in place of the main window: messages and questions on standard error, the
// progress line redrawn in place, and Ctrl-C turned into Cancel at the next pump.
class TerminalHost final : public RunHost, public ProgressSink {
public:
    explicit TerminalHost(const TerminalSetup& setup);

    // The listed files, in the order of the FILE arguments.
    void SetFiles(std::vector<FileData*> files) { files_ = std::move(files); }
    // What PumpEvents calls once when Ctrl-C was pressed: the Cancel button's logic.
    void SetCancel(std::function<void()> cancel) { cancel_ = std::move(cancel); }

    // An error reported by a run or a pass, or by the program itself.
    bool ErrorShown() const { return errorShown_; }
    // A question was answered anything but Yes, or the folder prompt was not answered.
    bool Declined() const { return declined_; }
    bool CancelSent() const { return cancelSent_; }

    // A message of the program's own, in the same form as the runs' messages.
    void Message(const std::string& caption, const std::string& text);
    // Takes a half-drawn progress line off so the next text starts on a line of its own.
    void EndProgressLine();

    // RunHost
    std::vector<FileData*> Files() override { return files_; }
    void ShowError(const std::string& message) override;
    // The message, and the system's reason on the next line.
    void ShowOpenError(const std::string& message, const std::string& reason) override;
    void ShowWarning(const std::string& message) override;
    Answer AskConfirm(const std::string& message) override;
    Answer AskWarning(const std::string& message) override;
    // The question, and that --yes answered it.
    void ShowAnsweredYes(const std::string& message, bool warning) override;
    std::optional<std::string> OutputFolderPrompt() override;
    void ShowProgressLine(const std::vector<std::string>& resultFileNames) override;
    void HideProgressLine() override;

    // ProgressSink
    void PassStarted(const std::string& label, const std::string& fileName) override;
    void PassProgress(int percent) override;
    void PassEnded() override;
    void ShowEstimate(const std::string& shortText, const std::string& longText) override;
    void HideEstimate() override;
    void PumpEvents() override;
    void ReportError(const std::string& message) override;

private:
    Answer Ask(const std::string& caption, const std::string& message);
    // One line typed on the terminal; nullopt at end of input or when Ctrl-C was pressed.
    std::optional<std::string> ReadLine();
    void Write(const std::string& text);
    void Draw();

    TerminalSetup setup_;
    bool showProgress_;
    std::vector<FileData*> files_;
    std::function<void()> cancel_;

    bool errorShown_ = false;
    bool declined_ = false;
    bool cancelSent_ = false;

    // The progress line of the pass under way.
    std::string label_;
    std::string fileName_;
    std::string estimate_;
    int percent_ = -1;
    bool passOpen_ = false;
    bool lineDrawn_ = false;  // the cursor stands at the end of a drawn progress line
    std::string lastDrawn_;
    int width_ = 80;
};

// A message text as a terminal shows it: its carriage returns become line breaks.
std::string TerminalLines(const std::string& message);

}  // namespace tralux::cli
