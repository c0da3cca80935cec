#include "WindowServices.h"

#include <QDesktopServices>
#include <QLineEdit>
#include <QUrl>

#include "dialogs/TPromptDlg.h"
#include "dialogs/TStartHint.h"

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

bool QtWindowServices::AdvancedOptions(QWidget* /*parent*/, Options& /*options*/) {
    return false;
}

bool QtWindowServices::TrackGrouping(QWidget* /*parent*/, const std::vector<FileData*>& /*files*/,
                                     const Options& /*options*/, WindowPlacement& /*placement*/) {
    return false;
}

void QtWindowServices::OpenUrl(const QUrl& url) {
    QDesktopServices::openUrl(url);
}

}  // namespace tralux
