#pragma once

#include <QPointer>
#include <QString>

#include <optional>
#include <vector>

class QUrl;
class QWidget;

namespace tralux {

class FileData;
class THelpViewer;
struct Options;
struct WindowPlacement;

// The modal dialogs and the help viewer the main window opens. The program uses
// QtWindowServices; tests put in scripted answers so that no test waits on a modal dialog.
class WindowServices {
public:
    virtual ~WindowServices() = default;

    // The getting-started hint; true when "Don't show this hint again" was ticked.
    virtual bool StartHint(QWidget* parent) = 0;
    // The one-line prompt titled with the question; nullopt when cancelled. On OK the reply
    // comes back as typed, possibly empty.
    virtual std::optional<QString> AskName(QWidget* parent, const QString& question,
                                           const QString& initialReply) = 0;
    // The advanced options dialog over options; true when closed with OK. Its spinners change
    // options directly, so stepped values may have changed either way.
    virtual bool AdvancedOptions(QWidget* parent, Options& options) = 0;
    // The track grouping dialog over the listed files, placed at and afterwards storing the
    // grp* bounds of placement; true when any group number was edited.
    virtual bool TrackGrouping(QWidget* parent, const std::vector<FileData*>& files,
                               const Options& options, WindowPlacement& placement) = 0;
    // Shows a help page (a local file address) in the program's help window.
    virtual void ShowHelpPage(QWidget* parent, const QUrl& page) = 0;
};

class Prompts;

class QtWindowServices : public WindowServices {
public:
    // The advanced options dialog shows its refusals through prompts.
    explicit QtWindowServices(Prompts& prompts) : prompts_(prompts) {}

    bool StartHint(QWidget* parent) override;
    std::optional<QString> AskName(QWidget* parent, const QString& question,
                                   const QString& initialReply) override;
    bool AdvancedOptions(QWidget* parent, Options& options) override;
    bool TrackGrouping(QWidget* parent, const std::vector<FileData*>& files, const Options& options,
                       WindowPlacement& placement) override;
    void ShowHelpPage(QWidget* parent, const QUrl& page) override;

private:
    Prompts& prompts_;
    // One help window, reused; it closes with its parent, the main window.
    QPointer<THelpViewer> helpViewer_;
};

}  // namespace tralux
