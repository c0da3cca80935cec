#include "MainWindowRunHost.h"

#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>

#include <algorithm>

#include "TBalanceVolumes.h"
#include "WindowText.h"
#include "dialogs/Prompts.h"

namespace tralux {
namespace {

Answer ToAnswer(Prompts::Reply reply) {
    switch (reply) {
        case Prompts::Reply::Yes:
            return Answer::Yes;
        case Prompts::Reply::No:
            return Answer::No;
        case Prompts::Reply::None:
            break;
    }
    return Answer::None;
}

}  // namespace

MainWindowRunHost::MainWindowRunHost(TBalanceVolumes& window, Prompts& prompts)
    : window_(window), prompts_(prompts) {}

// ---------------------------------------------------------------------------------------
// RunHost

std::vector<FileData*> MainWindowRunHost::Files() {
    return window_.Files();
}

void MainWindowRunHost::ShowError(const std::string& message) {
    prompts_.Error(&window_, Qt8(message));
}

void MainWindowRunHost::ShowWarning(const std::string& message) {
    prompts_.Warning(&window_, Qt8(message));
}

Answer MainWindowRunHost::AskConfirm(const std::string& message) {
    return ToAnswer(prompts_.Confirm(&window_, Qt8(message)));
}

Answer MainWindowRunHost::AskWarning(const std::string& message) {
    const Answer answer = ToAnswer(prompts_.WarningYesNo(&window_, Qt8(message)));
    Declined = Declined || answer != Answer::Yes;
    return answer;
}

std::optional<std::string> MainWindowRunHost::OutputFolderPrompt() {
    const QString folder =
        prompts_.Folder(&window_, QStringLiteral("Select Output Folder"), OutputFolder);
    if (folder.isEmpty()) {
        return std::nullopt;
    }
    OutputFolder = folder;
    return Std(folder);
}

void MainWindowRunHost::ShowProgressLine(const std::vector<std::string>& resultFileNames) {
    window_.UpdateEnablement();
    QLabel* const fileName = window_.gauge_filename;
    QProgressBar* const gauge = window_.onefilegauge;
    QLabel* const estimate = window_.eta_value;
    estimate->hide();
    const QFontMetrics metrics(fileName->font());
    int widest = 0;
    for (const std::string& name : resultFileNames) {
        widest = std::max(widest, metrics.horizontalAdvance(Qt8(name)));
    }
    // Very long names must not push the gauge out of the box: the name is cut instead.
    const int gaugeWidth = 150;
    const int etaWidth = metrics.horizontalAdvance(QStringLiteral("Time Remaining: 00:00")) + 8;
    const int room = window_.progressgroup->width() - fileName->x() - 6 - gaugeWidth - 6 - etaWidth;
    widest = std::clamp(widest, 0, std::max(room, 40));
    fileName->resize(widest, fileName->height());
    gauge->setGeometry(fileName->x() + widest + 6, fileName->y(), gaugeWidth, fileName->height());
    estimate->move(gauge->geometry().right() + 1 + 6, fileName->y());
    window_.gauge_label->show();
    fileName->show();
    gauge->show();
}

void MainWindowRunHost::HideProgressLine() {
    window_.gauge_label->hide();
    window_.gauge_filename->hide();
    window_.onefilegauge->hide();
    window_.eta_value->hide();
    window_.UpdateEnablement();
    window_.SetApplicationTitle("Tralux");
}

void MainWindowRunHost::LoudnessChanged() {
    window_.RescaleLoudnessBars();
}

void MainWindowRunHost::ResultNamesChanged() {
    window_.RefreshAllNames();
}

// ---------------------------------------------------------------------------------------
// ProgressSink

void MainWindowRunHost::PassStarted(const std::string& label, const std::string& fileName) {
    const bool reads = label == "Scanning:" || label == "Measuring:";
    pass_ = reads ? std::string() : fileName;
    window_.onefilegauge->setValue(0);
    window_.onefilegauge->show();
    window_.gauge_label->setText(Qt8(label));
    window_.gauge_filename->setText(Qt8(fileName));
    emit window_.passStarted(Qt8(label), Qt8(fileName));
}

void MainWindowRunHost::PassProgress(int percent) {
    window_.onefilegauge->setValue(std::clamp(percent, 0, 100));
}

void MainWindowRunHost::PassEnded() {
    // A write that ran to its end with the run still going left its result whole.
    if (!pass_.empty() && window_.Engine().Running) {
        Written.push_back(pass_);
    }
    pass_.clear();
    window_.onefilegauge->hide();
    window_.gauge_label->clear();
    window_.gauge_filename->clear();
}

void MainWindowRunHost::ResultNotKept(const std::string& fileName) {
    // Counted as written when its data went out; its name was never given to it.
    const auto last = std::find(Written.rbegin(), Written.rend(), fileName);
    if (last != Written.rend()) {
        Written.erase(std::next(last).base());
    }
}

void MainWindowRunHost::ShowEstimate(const std::string& shortText, const std::string& longText) {
    window_.SetApplicationTitle(shortText);
    QLabel* const estimate = window_.eta_value;
    estimate->setText(Qt8(longText));
    estimate->adjustSize();
    estimate->resize(estimate->width(), window_.gauge_label->height());
    estimate->show();
}

void MainWindowRunHost::HideEstimate() {
    window_.eta_value->hide();
}

void MainWindowRunHost::PumpEvents() {
    QCoreApplication::processEvents();
}

void MainWindowRunHost::ReportError(const std::string& message) {
    prompts_.Error(&window_, Qt8(message));
}

}  // namespace tralux
