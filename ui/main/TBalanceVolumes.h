#pragma once

#include <QStringList>
#include <QWidget>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/AudioEngine.h"
#include "engine/FileData.h"
#include "engine/IntakeIndex.h"
#include "engine/ProgressSink.h"
#include "operations/Operations.h"
#include "operations/RunHost.h"
#include "settings/Options.h"
#include "settings/PresetList.h"

class QAction;
class QComboBox;
class QGroupBox;
class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;
class QRadioButton;

namespace tralux {

class FileGrid;
class Prompts;
class WindowServices;

// What the main window is built with: where its settings file and help pages are, and the
// seams through which it shows boxes and dialogs.
struct MainWindowSetup {
    std::string settingsPath;
    QString helpFolder;  // the folder holding the help pages, one per topic
    Prompts& prompts;
    WindowServices& services;
};

// The main window: the file list, the run buttons, the reference level, the progress line.
// It owns everything that outlives one run and is the host of the runs and the pass engine.
class TBalanceVolumes : public QWidget, public ProgressSink, public RunHost {
    Q_OBJECT

public:
    explicit TBalanceVolumes(const MainWindowSetup& setup, QWidget* parent = nullptr);
    ~TBalanceVolumes() override;

    // Controls, named as their object names.
    QGroupBox* selfilegroup;
    FileGrid* filegrid;
    QPushButton* addfilesbtn;
    QPushButton* preparebtn;
    QPushButton* balancebtn;
    QPushButton* prepbalbtn;
    QPushButton* cancelbtn;
    QPushButton* remselbtn;
    QPushButton* remallbtn;
    QPushButton* addpresetbtn;
    QPushButton* delpresetbtn;
    QPushButton* groupingbtn;
    QGroupBox* reflevelgroup;
    QRadioButton* quietestbtn;
    QRadioButton* loudestbtn;
    QRadioButton* selectedbtn;
    QRadioButton* presetbtn;
    QComboBox* presetbox;
    QGroupBox* progressgroup;
    QLabel* gauge_label;
    QLabel* gauge_filename;
    QProgressBar* onefilegauge;
    QLabel* eta_value;
    QPushButton* advancedbtn;
    QPushButton* helpbtn;
    QPushButton* exitbtn;
    QMenu* PopupMenu1;
    QAction* SavetoFile1;

    // Offers one file to the list; reports its own refusals.
    void AddFile(const QString& path);
    // One box for the files of an intake that are shorter than their headers say.
    void TellShorterThanHeader();
    // Offers files in order; while a run is in progress they wait until it has ended. The
    // window answers input between files, and Cancel stops the rest of a long list.
    void OfferFiles(const QStringList& paths);

    void RefreshRowNames(int row);
    void FillPresetBox(const QString& name);
    void ShowHelp(const QString& topic);
    // Writes the settings file now; false (after an error box) when it could not be written.
    bool SaveSettingsNow();

    // Button and menu handlers.
    void addfilesbtnClick();
    void remselbtnClick();
    void remallbtnClick();
    void preparebtnClick();
    void balancebtnClick();
    void prepbalbtnClick();
    void cancelbtnClick();
    void addpresetbtnClick();
    void delpresetbtnClick();
    void presetbtnClick();
    void presetboxChange(int index);
    void advancedbtnClick();
    void groupingbtnClick();
    void helpbtnClick();
    void exitbtnClick();
    void SavetoFile1Click();

    // State read by the tests and by the runs.
    int FileCount = 0;
    const Options& CurrentOptions() const { return options_; }
    Options& MutableOptions() { return options_; }
    const PresetList& Presets() const { return presets_; }
    Operations& Runs() { return *ops_; }
    AudioEngine& Engine() { return engine_; }
    const QString& ApplicationTitle() const { return applicationTitle_; }
    bool RunInProgress() const { return runDepth_ > 0; }

    // ProgressSink.
    void PassStarted(const std::string& label, const std::string& fileName) override;
    void PassProgress(int percent) override;
    void PassEnded() override;
    void ShowEstimate(const std::string& shortText, const std::string& longText) override;
    void HideEstimate() override;
    void PumpEvents() override;
    void ReportError(const std::string& message) override;

    // RunHost.
    std::vector<FileData*> Files() override;
    void ShowError(const std::string& message) override;
    void ShowWarning(const std::string& message) override;
    Answer AskConfirm(const std::string& message) override;
    Answer AskWarning(const std::string& message) override;
    std::optional<std::string> OutputFolderPrompt() override;
    void UpdateEnablement() override;
    void RescaleLoudnessBars() override;
    void RefreshAllNames() override;
    void ShowProgressLine(const std::vector<std::string>& resultFileNames) override;
    void HideProgressLine() override;
    void SetApplicationTitle(const std::string& title) override;
    ReferenceChoice Reference() override;
    FileData* HighlightedFile() override;
    std::optional<double> ChosenPresetLevel() override;

signals:
    // A pass has started; tests and observers can act between blocks from here.
    void passStarted(const QString& label, const QString& fileName);
    // The getting-started hint has been offered (whatever the user answered).
    void hintOffered();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void BuildControls();
    void LoadSettingsNow();
    void ApplyPlacement();
    void LayOut();
    void OfferHint();
    void CheckReference(int32_t defaultreflevel);
    int32_t CheckedReference() const;
    bool PresetChosen() const;
    // Runs one of the run handlers; files offered meanwhile are added afterwards, and a close
    // asked for meanwhile is carried out.
    template <typename Run>
    void RunOperation(Run run);
    QString DisplayText(const std::string& text) const;
    // AddFile against the listed files looked up once for the whole intake.
    void AddFile(const QString& path, IntakeIndex& listed);
    void filegridCurrentChanged(int row);
    void ShowGridMenu(const QPoint& position);

    std::string settingsPath_;
    QString helpFolder_;
    Prompts& prompts_;
    WindowServices& services_;

    Options options_;
    WindowPlacement placement_;
    PresetList presets_;
    UngroupedNumbers ungroupedNumbers_;
    AudioEngine engine_;
    std::unique_ptr<Operations> ops_;
    std::string decimalSeparator_;

    QString applicationTitle_;
    int runDepth_ = 0;
    QStringList heldFiles_;
    std::vector<std::string> shorterThanHeader_;  // added since the last box about them
    bool intakeRunning_ = false;                  // OfferFiles is working through a list
    bool intakeCancelled_ = false;                // Cancel was pressed during it
    bool closeAfterRun_ = false;
    bool settingsSaved_ = false;
    bool hintShowing_ = false;
    bool skipNextActivation_ = false;
    bool hintPending_ = false;
};

}  // namespace tralux
