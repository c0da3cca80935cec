#pragma once

#include <QUrl>

#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "main/WindowServices.h"

namespace tralux::test {

// WindowServices with scripted answers and a record of what was opened.
class FakeServices : public WindowServices {
public:
    int hintsShown = 0;
    bool tickNoHint = false;    // the answer of every hint
    std::deque<QString> names;  // a null QString answers Cancel, QString("") an empty OK
    std::vector<QString> questions;
    int advancedShown = 0;
    bool advancedResult = false;
    int groupingShown = 0;
    bool groupingResult = false;
    std::vector<QUrl> helpPages;
    // Edits applied to the options or the files by the scripted dialogs.
    std::function<void(Options&)> advancedEdit;
    std::function<void(const std::vector<FileData*>&)> groupingEdit;

    bool StartHint(QWidget*) override {
        ++hintsShown;
        return tickNoHint;
    }
    std::optional<QString> AskName(QWidget*, const QString& question, const QString&) override {
        questions.push_back(question);
        if (names.empty()) {
            return std::nullopt;
        }
        const QString name = names.front();
        names.pop_front();
        if (name.isNull()) {
            return std::nullopt;
        }
        return name;
    }
    bool AdvancedOptions(QWidget*, Options& options) override {
        ++advancedShown;
        if (advancedEdit) {
            advancedEdit(options);
        }
        return advancedResult;
    }
    bool TrackGrouping(QWidget*, const std::vector<FileData*>& files, const Options&,
                       WindowPlacement&) override {
        ++groupingShown;
        if (groupingEdit) {
            groupingEdit(files);
        }
        return groupingResult;
    }
    void ShowHelpPage(QWidget*, const QUrl& page) override { helpPages.push_back(page); }
};

}  // namespace tralux::test
