#include "WindowServices.h"

#include <QLineEdit>
#include <QUrl>

#include "dialogs/DialogFrame.h"
#include "dialogs/TAdvanced.h"
#include "dialogs/THelpViewer.h"
#include "dialogs/TPromptDlg.h"
#include "dialogs/TStartHint.h"
#include "dialogs/TTrackGrouping.h"

namespace tralux {

bool QtWindowServices::StartHint(QWidget* parent) {
    TStartHint hint(parent);
    return hint.exec() == QDialog::Rejected;
}

std::optional<QString> QtWindowServices::AskName(QWidget* parent, const QString& question,
                                                 const QString& initialReply) {
    TPromptDlg prompt(parent);
    prompt.SetPrompt(question, initialReply);
    if (prompt.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    return prompt.reply->text();
}

bool QtWindowServices::AdvancedOptions(QWidget* parent, Options& options) {
    TAdvanced dialog(options, prompts_, parent);
    return dialog.exec() == QDialog::Accepted;
}

bool QtWindowServices::TrackGrouping(QWidget* parent, const std::vector<FileData*>& files,
                                     const Options& options, WindowPlacement& placement) {
    TTrackGrouping dialog(files, options, placement, parent);
    dialog.exec();
    return dialog.Changed();
}

void QtWindowServices::ShowHelpPage(QWidget* parent, const QUrl& page) {
    if (helpViewer_ == nullptr) {
        helpViewer_ = new THelpViewer(parent);
        // Over the window, and all of it on the screen even when the window stands low.
        OpenOnScreen(helpViewer_, parent);
    }
    helpViewer_->ShowPage(page);
    helpViewer_->show();
    helpViewer_->raise();
    helpViewer_->activateWindow();
}

}  // namespace tralux
