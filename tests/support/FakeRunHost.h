#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/FileData.h"
#include "operations/RunHost.h"
#include "operations/RunRequest.h"

namespace tralux::test {

// A scripted stand-in for the window: owns the listed files, records every call in order
// and answers the questions from queues. Header only, for every suite that drives the runs.
class FakeRunHost : public RunHost {
public:
    // The listed files, in display order.
    std::vector<std::unique_ptr<FileData>> List;

    // Every call as one line: "Error: ...", "Warning: ...", "Confirm: ...", "AskWarning: ...",
    // "Answered Yes: ...", "FolderPrompt", "LoudnessChanged", "ResultNamesChanged",
    // "ShowProgressLine", "HideProgressLine".
    std::vector<std::string> Log;
    std::vector<std::string> Errors;
    std::vector<std::string> Warnings;
    std::vector<std::string> Confirms;
    std::vector<std::string> WarningQuestions;
    std::vector<std::vector<std::string>> ProgressLines;  // names given to each ShowProgressLine

    // Scripted answers, taken from the front; an empty queue answers DefaultAnswer.
    std::deque<Answer> ConfirmAnswers;
    std::deque<Answer> WarningAnswers;
    Answer DefaultAnswer = Answer::Yes;
    // What the folder prompt returns; nullopt is a cancelled prompt.
    std::optional<std::string> PromptFolder;

    // What the window's controls would hold when a run is asked for; see Request.
    ReferenceChoice Choice = ReferenceChoice::Quietest;
    FileData* Highlighted = nullptr;  // nullptr: the first listed file
    std::optional<double> PresetLevel;
    bool AnswerYes = false;

    bool ProgressLineShown = false;
    // Called after each call is logged, with its log line: lets a test look at the state
    // of the run at that moment or act (cancel) then.
    std::function<void(const std::string&)> OnEvent;

    FileData& Add(std::unique_ptr<FileData> file) {
        List.push_back(std::move(file));
        return *List.back();
    }

    int Count(const std::string& line) const {
        int n = 0;
        for (const auto& entry : Log) {
            n += entry == line ? 1 : 0;
        }
        return n;
    }

    // The request the window would make of these controls and options.
    RunRequest Request(const Options& options) const {
        RunRequest request;
        request.options = options;
        request.reference = Choice;
        request.highlighted =
            Highlighted != nullptr || List.empty() ? Highlighted : List.front().get();
        request.presetLevel = PresetLevel;
        request.answerYes = AnswerYes;
        return request;
    }

    std::vector<FileData*> Files() override {
        std::vector<FileData*> files;
        for (auto& file : List) {
            files.push_back(file.get());
        }
        return files;
    }

    void ShowError(const std::string& message) override {
        Errors.push_back(message);
        Record("Error: " + message);
    }
    void ShowWarning(const std::string& message) override {
        Warnings.push_back(message);
        Record("Warning: " + message);
    }
    Answer AskConfirm(const std::string& message) override {
        Confirms.push_back(message);
        Record("Confirm: " + message);
        return Take(ConfirmAnswers);
    }
    Answer AskWarning(const std::string& message) override {
        WarningQuestions.push_back(message);
        Record("AskWarning: " + message);
        return Take(WarningAnswers);
    }
    void ShowAnsweredYes(const std::string& message, bool warning) override {
        (warning ? WarningQuestions : Confirms).push_back(message);
        Record("Answered Yes: " + message);
    }
    std::optional<std::string> OutputFolderPrompt() override {
        Record("FolderPrompt");
        return PromptFolder;
    }
    void ShowProgressLine(const std::vector<std::string>& resultFileNames) override {
        ProgressLines.push_back(resultFileNames);
        ProgressLineShown = true;
        Record("ShowProgressLine");
    }
    void HideProgressLine() override {
        ProgressLineShown = false;
        Record("HideProgressLine");
    }
    void LoudnessChanged() override { Record("LoudnessChanged"); }
    void ResultNamesChanged() override { Record("ResultNamesChanged"); }

private:
    void Record(const std::string& line) {
        Log.push_back(line);
        if (OnEvent) {
            OnEvent(line);
        }
    }
    Answer Take(std::deque<Answer>& answers) {
        if (answers.empty()) {
            return DefaultAnswer;
        }
        const Answer answer = answers.front();
        answers.pop_front();
        return answer;
    }
};

}  // namespace tralux::test
