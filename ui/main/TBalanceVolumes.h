#pragma once

#include <QStringList>
#include <QWidget>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FileGrid.h"
#include "MainWindowRunHost.h"
#include "engine/AudioEngine.h"
#include "engine/FileData.h"
#include "files/SameFile.h"
#include "operations/Operations.h"
#include "operations/RunRequest.h"
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
class LoudnessPlot;
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
// It owns everything that outlives one run; its MainWindowRunHost is what the runs and the
// pass engine see of it. Its members are defined by seam: TBalanceVolumes.cpp (controls,
// settings, runs, dialogs), MainWindowLayout.cpp, MainWindowFiles.cpp (grid, intake,
// removal) and MainWindowPresets.cpp (presets and the reference level).
class TBalanceVolumes : public QWidget {
    Q_OBJECT

public:
    explicit TBalanceVolumes(const MainWindowSetup& setup, QWidget* parent = nullptr);
    ~TBalanceVolumes() override;

    // Controls, named as their object names.
    QGroupBox* selfilegroup;
    FileGrid* filegrid;
    LoudnessPlot* loudnessplot;  // the highlighted file's loudness over time
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
    // What Balance brings the files to: "RMS" (item 0) or "LUFS" (item 1). By LUFS the
    // drop-down lists the LUFS presets.
    QComboBox* measurebox;
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
    QAction* Preview1;
    QAction* ShowBroadcast1;  // checked: the broadcast columns are shown and measured

    // Offers one file to the list; reports its own refusals.
    void AddFile(const QString& path);
    // One box for the files of an intake that are shorter than their headers say.
    void TellShorterThanHeader();
    // One box for the files of an intake that were refused, each with its reason.
    void TellRefused();
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
    void measureboxChange(int index);
    void advancedbtnClick();
    void groupingbtnClick();
    void helpbtnClick();
    void exitbtnClick();
    void SavetoFile1Click();
    // Brings back the files of the last removal (Remove or Remove All) made since the last
    // run, in their places; Ctrl+Z.
    void UndoRemoval();
    bool CanUndoRemoval() const { return !removals_.empty(); }
    // Measures the sources (a run of its own; nothing is written) and shows the plan.
    void PreviewClick();
    // Shows or hides the broadcast columns; the runs meter what they show.
    void ShowBroadcast(bool shown);

    // State read by the tests and by the runs.
    int FileCount = 0;
    const Options& CurrentOptions() const { return options_; }
    Options& MutableOptions() { return options_; }
    const PresetList& Presets() const { return presets_; }
    const PresetList& LufsPresets() const { return lufsPresets_; }
    BalanceMeasure ChosenMeasure() const;
    Operations& Runs() { return *ops_; }
    // The plan the grid shows; empty rows when no preview is shown.
    const Preview& PlanShown() const { return preview_; }
    AudioEngine& Engine() { return engine_; }
    MainWindowRunHost& Host() { return runHost_; }
    const QString& ApplicationTitle() const { return applicationTitle_; }
    bool RunInProgress() const { return runDepth_ > 0; }

    // The listed files in display order.
    std::vector<FileData*> Files() const;
    void UpdateEnablement();
    // The loudness bars' scale from the listed values, and the grid repainted.
    void RescaleLoudnessBars();
    void RefreshAllNames();
    void SetApplicationTitle(const std::string& title);
    // The file of the highlighted row; nullptr only when the list is empty.
    FileData* HighlightedFile() const;
    // The level of the preset chosen in the drop-down; nullopt when none is chosen.
    std::optional<double> ChosenPresetLevel() const;
    // What a run asked for now would do: the options, the reference level's controls.
    RunRequest Request() const;

signals:
    // A pass has started; tests and observers can act between blocks from here.
    void passStarted(const QString& label, const QString& fileName);
    // The getting-started hint has been offered (whatever the user answered).
    void hintOffered();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void BuildControls();
    void BuildFileControls();
    void BuildReferenceControls();
    void BuildProgressControls();
    void BuildBroadcastAction();
    void ConnectControls();
    void LoadSettingsNow();
    void ApplyPlacement();
    void LayOut();
    // The button row along the bottom of the "Selected Files " box; returns its top.
    int LayOutButtonRow(int buttonHeight);
    // The reference level box above the button row; returns the height of one choice.
    int LayOutReferenceChoices(int buttonTop);
    void LayOutProgressLine(int progressTop, int progressHeight, int itemHeight);
    // Column widths from the grid's inner width, whenever it changes (the vertical scroll bar
    // coming or going changes it too); then the names are fitted anew.
    void FitColumns();
    // Keeps the frame's offset from the client area while the window is shown normally.
    void RememberNormalFrame();
    // Once the real frame is known: the frame lies within the screen (the size saved was the
    // client's, and the frame guessed before the desktop framed the window may be too thin).
    void KeepFrameOnScreen();
    void ColumnResized();
    void OfferHint();
    void CheckReference(ReferenceChoice defaultreflevel);
    ReferenceChoice CheckedReference() const;
    bool PresetChosen() const;
    // Runs one of the run handlers; files offered meanwhile are added afterwards, and a close
    // asked for meanwhile is carried out.
    template <typename Run>
    void RunOperation(Run run);
    // Tells at a run's end what a No or a Cancel left: the normalised copies, or the
    // results written whole (rewritesResults: a Balance, over the Prepare's results).
    void BeginTelling();
    // The plan of the measured files for what is chosen now; forgotten when the list changed.
    void RePlan();
    // A plan by LUFS measures its compress passes over the sources: a short run of its own.
    // False when none stands (stopped, or put off until the run in hand ends).
    bool RePlanByLufs();
    // What a plan by LUFS depends on besides the measured files: a choice that leaves it as it
    // was (another highlighted file, when the reference is not the highlighted one) reads
    // nothing again.
    std::vector<double> LufsPlanKey() const;
    void ForgetPreview();
    void ShowPlanTips();
    bool PreviewCurrent() const;
    std::optional<FileGrid::PlannedCell> PlannedCell(const FileData& file) const;
    // The highlighted file's loudness curves in the plot: its source, and its written result or
    // else its planned one. Files are read only between runs, and each curve once for a file
    // as it stands (path, size, modification time).
    void ShowLoudnessCurves();
    std::vector<double> CachedCurve(const std::string& path,
                                    const std::shared_ptr<const ValueTable>& table);
    void TellRunEnd(bool rewritesResults);
    QString DisplayText(const std::string& text) const;
    // AddFile against the listed files looked up once for the whole intake.
    void AddFile(const QString& path, SameFileIndex& listed);
    void filegridCurrentChanged(int row);
    void ShowGridMenu(const QPoint& position);
    // The grid's menu from the keyboard, under the highlighted row.
    void ShowGridMenuAtRow();
    // The grid's keys: they act only while the grid has the focus.
    void ConnectGridKeys();

    std::string settingsPath_;
    QString helpFolder_;
    Prompts& prompts_;
    WindowServices& services_;

    Options options_;
    WindowPlacement placement_;
    PresetList presets_;
    PresetList lufsPresets_ = BuiltInLufsPresetList();
    // The drop-down's selection in the preset list of the other measure, kept for its return.
    int otherPresetIndex_ = -1;
    // The presets the drop-down lists: those of the chosen measure.
    PresetList& ShownPresets();
    const PresetList& ShownPresets() const;
    UngroupedNumbers ungroupedNumbers_;
    MainWindowRunHost runHost_;
    AudioEngine engine_;
    std::unique_ptr<Operations> ops_;
    std::string decimalSeparator_;

    QString applicationTitle_;
    int runDepth_ = 0;
    QStringList heldFiles_;
    // The folders the file dialogs last showed, kept in the settings file between starts.
    QString addFilesFolder_;
    QString saveDataFolder_;
    std::vector<std::string> shorterThanHeader_;  // added since the last box about them
    std::vector<std::string> refused_;            // refusals since the last box about them
    std::optional<Measurements> measured_;        // the last preview's measuring
    Preview preview_;                             // its plan for what is chosen now
    bool replanAfterRun_ = false;      // a choice changed while a plan by LUFS was being read
    std::vector<double> lufsPlanKey_;  // the LufsPlanKey of the plan shown
    bool intakeRunning_ = false;       // OfferFiles is working through a list
    bool intakeCancelled_ = false;     // Cancel was pressed during it
    bool cancelPressed_ = false;       // Cancel was pressed during the run
    bool closeAfterRun_ = false;
    bool settingsSaved_ = false;
    bool hintShowing_ = false;
    bool skipNextActivation_ = false;
    bool hintPending_ = false;
    QStringList startWarnings_;  // from loading the settings; shown once the window is
    QPoint normalFrameOffset_;
    bool framed_ = false;  // the desktop has put its frame around the window
    // The column widths the user set, kept through resizes and restarts; empty while the
    // columns share the grid's width by themselves.
    std::vector<int> userColumnWidths_;
    // The loudness curves read, by file and by plan table (none for the file as it is).
    struct StoredCurve {
        int64_t Size = -1;
        int64_t ModifiedNs = -1;
        std::shared_ptr<const ValueTable> Table;  // kept, so that its address names it alone
        std::vector<double> Levels;
    };
    std::map<std::pair<std::string, const ValueTable*>, StoredCurve> curves_;
    bool fittingColumns_ = false;
    // A size the screen forced on the saved one (a scale factor shrinks the screen): while the
    // window keeps it, the size saved is the user's own.
    QSize forcedSize_;
    QSize userSize_;
    QSize placedSize_;  // the size the saved placement gave the window
    // What Ctrl+Z brings back: per removal, the rows the files stood in (top down) and their
    // records as they were. Forgotten when a run starts, which changes the records.
    struct RemovedRow {
        int row;
        std::unique_ptr<FileData> record;
    };
    std::vector<std::vector<RemovedRow>> removals_;
};

}  // namespace tralux
