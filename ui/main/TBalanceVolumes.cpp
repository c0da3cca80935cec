#include "TBalanceVolumes.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <exception>

#include "FileGrid.h"
#include "LoudnessPlot.h"
#include "WindowServices.h"
#include "WindowText.h"
#include "dialogs/DialogFrame.h"
#include "dialogs/Prompts.h"
#include "settings/Settings.h"
#include "units/Loudness.h"
#include "units/ResultsExport.h"

namespace tralux {
namespace {

const QString MainCaption = QStringLiteral("Tralux 1.10");
const QString AppTitle = QStringLiteral("Tralux");

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& caption,
                        const char* hint) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QString::fromLatin1(name));
    // Enter presses a focused button, as Space does.
    button->setAutoDefault(true);
    if (hint != nullptr) {
        SetHint(button, hint);
    }
    return button;
}

QRadioButton* MakeRadio(QWidget* parent, const char* name, const QString& caption,
                        const char* hint) {
    auto* radio = new QRadioButton(caption, parent);
    radio->setObjectName(QString::fromLatin1(name));
    SetHint(radio, hint);
    return radio;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& caption) {
    auto* label = new QLabel(caption, parent);
    label->setObjectName(QString::fromLatin1(name));
    return label;
}

}  // namespace

TBalanceVolumes::TBalanceVolumes(const MainWindowSetup& setup, QWidget* parent)
    : QWidget(parent),
      settingsPath_(setup.settingsPath),
      helpFolder_(setup.helpFolder),
      prompts_(setup.prompts),
      services_(setup.services),
      runHost_(*this, setup.prompts),
      engine_(runHost_) {
    // Creation runs in a fixed order: lists, paths, title, settings, run state, progress
    // line, enablement, drop target.
    FileCount = 0;
    ungroupedNumbers_.NextUngroupedNumber = 0;
    ops_ = std::make_unique<Operations>(engine_, runHost_);
    ops_->FilesAtOnce = Operations::EveryCore();
    decimalSeparator_ = Std(QLocale::system().decimalPoint());
    applicationTitle_ = AppTitle;
    setWindowTitle(MainCaption);
    BuildControls();
    LoadSettingsNow();
    engine_.Running = false;
    ops_->ReadyToBalance = false;
    gauge_label->hide();
    gauge_filename->hide();
    onefilegauge->hide();
    eta_value->hide();
    UpdateEnablement();
    setAcceptDrops(true);
}

TBalanceVolumes::~TBalanceVolumes() {
    // The grid outlives the members its signals reach: it must not call back while it goes.
    QObject::disconnect(filegrid, nullptr, this, nullptr);
}

void TBalanceVolumes::BuildControls() {
    setObjectName(QStringLiteral("BalanceVolumes"));
    BuildFileControls();
    BuildReferenceControls();
    BuildProgressControls();
    advancedbtn = MakeButton(this, "advancedbtn", QStringLiteral("Ad&vanced Options..."),
                             "configure detailed behaviour");
    helpbtn = MakeButton(this, "helpbtn", QStringLiteral("&Help"), "invoke online help");
    exitbtn = MakeButton(this, "exitbtn", QStringLiteral("E&xit"), "shut down the program");
    ConnectControls();
}

void TBalanceVolumes::BuildFileControls() {
    selfilegroup = new QGroupBox(QStringLiteral("Selected &Files "), this);
    selfilegroup->setObjectName(QStringLiteral("selfilegroup"));

    filegrid = new FileGrid(selfilegroup);
    loudnessplot = new LoudnessPlot(selfilegroup);
    filegrid->setObjectName(QStringLiteral("filegrid"));
    SetHint(filegrid, "the list of files selected for volume balancing");
    filegrid->SetLoudnessDrawing({
        [this] { return ops_->SourceLoudnessShown; },
        [this] { return ops_->ResultLoudnessShown; },
        [this](double level) {
            return Qt8(LoudnessText(level, options_.loudnessunits, decimalSeparator_));
        },
        [this] { return Qt8(WidestLoudnessText(options_.loudnessunits, decimalSeparator_)); },
        [this](const FileData& file) { return PlannedCell(file); },
    });
    filegrid->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(filegrid, &QTableWidget::currentCellChanged, this,
            [this](int row, int, int, int) { filegridCurrentChanged(row); });
    // A control-click must not leave the highlighted file without its highlight.
    connect(filegrid, &QTableWidget::itemSelectionChanged, this, [this] {
        if (filegrid->selectedItems().isEmpty() && filegrid->currentRow() >= 0) {
            filegrid->selectRow(filegrid->currentRow());
        }
    });
    connect(filegrid, &QWidget::customContextMenuRequested, this, &TBalanceVolumes::ShowGridMenu);
    connect(filegrid, &FileGrid::viewportWidthChanged, this, &TBalanceVolumes::FitColumns);
    // The broadcast columns size themselves; only the widths of the others are the user's.
    connect(filegrid->horizontalHeader(), &QHeaderView::sectionResized, this, [this](int column) {
        if (column < FileGrid::ColumnCount) {
            ColumnResized();
        }
    });

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    SavetoFile1 = PopupMenu1->addAction(QStringLiteral("Save Data to File..."));
    SavetoFile1->setObjectName(QStringLiteral("SavetoFile1"));
    connect(SavetoFile1, &QAction::triggered, this, &TBalanceVolumes::SavetoFile1Click);
    Preview1 = PopupMenu1->addAction(QStringLiteral("Preview Balance"));
    Preview1->setObjectName(QStringLiteral("Preview1"));
    connect(Preview1, &QAction::triggered, this, &TBalanceVolumes::PreviewClick);
    BuildBroadcastAction();

    addfilesbtn = MakeButton(selfilegroup, "addfilesbtn", QStringLiteral("&Add Files..."),
                             "add files to the selection list");
    preparebtn = MakeButton(selfilegroup, "preparebtn", QStringLiteral("&Prepare"),
                            "normalise all the selected files");
    balancebtn =
        MakeButton(selfilegroup, "balancebtn", QStringLiteral("&Balance"),
                   "equalise the loudness of the selected files to that of the reference level");
    prepbalbtn = MakeButton(selfilegroup, "prepbalbtn", QStringLiteral("P&repare && Balance"),
                            "normalise then equalise the loudness of the selected files in one go");
    cancelbtn = MakeButton(selfilegroup, "cancelbtn", QStringLiteral("&Cancel"),
                           "cancel the current operation");
    remselbtn = MakeButton(selfilegroup, "remselbtn", QStringLiteral("Re&move"),
                           "remove the highlighted file from the list of selected files");
    remallbtn = MakeButton(selfilegroup, "remallbtn", QStringLiteral("Remove A&ll"),
                           "clear the list of selected files");
    addpresetbtn = MakeButton(selfilegroup, "addpresetbtn", QStringLiteral("Add Pr&eset"),
                              "add the loudness of the highlighted file as a new preset");
    delpresetbtn = MakeButton(selfilegroup, "delpresetbtn", QStringLiteral("&Delete Preset"),
                              "remove the currently selected preset");
    groupingbtn = MakeButton(selfilegroup, "groupingbtn", QStringLiteral("&Grouping..."),
                             "correlate groups of files together");
}

void TBalanceVolumes::BuildReferenceControls() {
    reflevelgroup = new QGroupBox(QStringLiteral("Reference Level "), selfilegroup);
    reflevelgroup->setObjectName(QStringLiteral("reflevelgroup"));
    SetHint(reflevelgroup, "specifies the target loudness for balancing");
    quietestbtn =
        MakeRadio(reflevelgroup, "quietestbtn", QStringLiteral("Greatest D&ynamic Range"),
                  "the target loudness will be that of the quietest file (after normalising)");
    loudestbtn =
        MakeRadio(reflevelgroup, "loudestbtn", QStringLiteral("&Smallest Dynamic Range"),
                  "the target loudness will be that of the loudest file (after normalising)");
    selectedbtn =
        MakeRadio(reflevelgroup, "selectedbtn", QStringLiteral("H&ighlighted File"),
                  "the target loudness will be that of the highlighted file (after normalising)");
    presetbtn = MakeRadio(reflevelgroup, "presetbtn", QStringLiteral("Prese&t:"),
                          "the target loudness will be a preset from the drop-down list");
    presetbox = new QComboBox(reflevelgroup);
    presetbox->setObjectName(QStringLiteral("presetbox"));
    presetbox->setEditable(false);
    presetbox->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    SetHint(presetbox, "the list of available preset loudnesses");
    measurebox = new QComboBox(reflevelgroup);
    measurebox->setObjectName(QStringLiteral("measurebox"));
    measurebox->addItem(QStringLiteral("RMS"));
    measurebox->addItem(QStringLiteral("LUFS"));
    SetHint(measurebox,
            "the measure balancing goes by: RMS, the root mean square of all samples, or LUFS, "
            "the integrated loudness under the true-peak ceiling of the Advanced Options");
    quietestbtn->setChecked(true);
}

void TBalanceVolumes::BuildProgressControls() {
    progressgroup = new QGroupBox(QStringLiteral("Progress "), this);
    progressgroup->setObjectName(QStringLiteral("progressgroup"));
    SetHint(progressgroup, "progress information about the currently running operation");
    gauge_label = MakeLabel(progressgroup, "gauge_label", QStringLiteral("Process Type"));
    gauge_filename = MakeLabel(progressgroup, "gauge_filename", QStringLiteral("Process Filename"));
    onefilegauge = new QProgressBar(progressgroup);
    onefilegauge->setObjectName(QStringLiteral("onefilegauge"));
    onefilegauge->setRange(0, 100);
    eta_value = MakeLabel(progressgroup, "eta_value", QStringLiteral("Time Remaining"));
}

void TBalanceVolumes::ConnectControls() {
    connect(addfilesbtn, &QPushButton::clicked, this, &TBalanceVolumes::addfilesbtnClick);
    connect(preparebtn, &QPushButton::clicked, this, &TBalanceVolumes::preparebtnClick);
    connect(balancebtn, &QPushButton::clicked, this, &TBalanceVolumes::balancebtnClick);
    connect(prepbalbtn, &QPushButton::clicked, this, &TBalanceVolumes::prepbalbtnClick);
    connect(cancelbtn, &QPushButton::clicked, this, &TBalanceVolumes::cancelbtnClick);
    connect(remselbtn, &QPushButton::clicked, this, &TBalanceVolumes::remselbtnClick);
    connect(remallbtn, &QPushButton::clicked, this, &TBalanceVolumes::remallbtnClick);
    connect(addpresetbtn, &QPushButton::clicked, this, &TBalanceVolumes::addpresetbtnClick);
    connect(delpresetbtn, &QPushButton::clicked, this, &TBalanceVolumes::delpresetbtnClick);
    connect(groupingbtn, &QPushButton::clicked, this, &TBalanceVolumes::groupingbtnClick);
    connect(advancedbtn, &QPushButton::clicked, this, &TBalanceVolumes::advancedbtnClick);
    connect(helpbtn, &QPushButton::clicked, this, &TBalanceVolumes::helpbtnClick);
    connect(exitbtn, &QPushButton::clicked, this, &TBalanceVolumes::exitbtnClick);
    for (QRadioButton* radio : {quietestbtn, loudestbtn, selectedbtn}) {
        connect(radio, &QRadioButton::clicked, this, [this] {
            UpdateEnablement();
            RePlan();
        });
    }
    connect(presetbtn, &QRadioButton::clicked, this, &TBalanceVolumes::presetbtnClick);
    connect(presetbox, &QComboBox::activated, this, &TBalanceVolumes::presetboxChange);
    connect(measurebox, &QComboBox::activated, this, &TBalanceVolumes::measureboxChange);

    // Keys for the everyday commands. Each presses its button, so it does nothing while the
    // button is disabled (Escape cancels only while a run is going).
    const auto pressedBy = [this](const QKeySequence& keys, QPushButton* button) {
        auto* shortcut = new QShortcut(keys, this);
        connect(shortcut, &QShortcut::activated, button, &QPushButton::click);
    };
    pressedBy(QKeySequence(Qt::CTRL | Qt::Key_O), addfilesbtn);
    pressedBy(QKeySequence(Qt::Key_Escape), cancelbtn);
    pressedBy(QKeySequence(Qt::Key_F1), helpbtn);
    pressedBy(QKeySequence(Qt::CTRL | Qt::Key_Q), exitbtn);
    auto* undo = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Z), this);
    connect(undo, &QShortcut::activated, this, &TBalanceVolumes::UndoRemoval);
    ConnectGridKeys();
    // The box's mnemonic always leads to the list: by default it goes back to whatever had
    // the focus inside the box last (a reference choice, which the next arrow key changes).
    selfilegroup->installEventFilter(this);
}

void TBalanceVolumes::ConnectGridKeys() {
    const auto gridKey = [this](const QKeySequence& keys, auto action) {
        auto* shortcut = new QShortcut(keys, filegrid);
        shortcut->setContext(Qt::WidgetShortcut);
        connect(shortcut, &QShortcut::activated, this, action);
    };
    // Delete removes a file only when the list has the focus: elsewhere it is no command.
    gridKey(QKeySequence(Qt::Key_Delete), [this] { remselbtn->click(); });
    gridKey(QKeySequence(Qt::SHIFT | Qt::Key_F10), [this] { ShowGridMenuAtRow(); });
    gridKey(QKeySequence(Qt::Key_Menu), [this] { ShowGridMenuAtRow(); });
    // Home and End go to the first and the last file, not to the first and last column.
    gridKey(QKeySequence(Qt::Key_Home), [this] { filegrid->setCurrentCell(0, 0); });
    gridKey(QKeySequence(Qt::Key_End),
            [this] { filegrid->setCurrentCell(filegrid->rowCount() - 1, 0); });
}

bool TBalanceVolumes::eventFilter(QObject* watched, QEvent* event) {
    if (watched == selfilegroup && event->type() == QEvent::Shortcut) {
        filegrid->setFocus(Qt::ShortcutFocusReason);
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

// ---------------------------------------------------------------------------------------
// Settings

void TBalanceVolumes::LoadSettingsNow() {
    SettingsWindowState state;
    LoadSettings(
        settingsPath_, options_, placement_, presets_, state,
        [this](const std::string& message) { startWarnings_.append(Qt8(message)); },
        decimalSeparator_);
    lufsPresets_ = state.lufspresets;
    const bool byLufs = state.measure == BalanceMeasure::Lufs;
    measurebox->setCurrentIndex(byLufs ? 1 : 0);
    FillPresetBox(QString());
    CheckReference(state.defaultreflevel);
    const int shown = byLufs ? state.defaultlufspreset : state.defaultrefpreset;
    otherPresetIndex_ = byLufs ? state.defaultrefpreset : state.defaultlufspreset;
    presetbox->setCurrentIndex(shown >= 0 && shown < presetbox->count() ? shown : -1);
    addFilesFolder_ = Qt8(state.addfilesfolder);
    saveDataFolder_ = Qt8(state.savedatafolder);
    runHost_.OutputFolder = Qt8(state.outputfolder);
    ApplyPlacement();
    ShowBroadcast(placement_.showbroadcast);
}

bool TBalanceVolumes::SaveSettingsNow() {
    const bool normal = !(isMaximized() || isMinimized() || isFullScreen());
    // Maximised or minimised, the window's place is the one it returns to; its frame stands
    // where the frame stood when it was last shown normally.
    const QPoint frameOffset =
        normalFrameOffset_.isNull() ? geometry().topLeft() - pos() : normalFrameOffset_;
    const QRect bounds =
        normal ? QRect(x(), y(), width(), height())
               : QRect(normalGeometry().topLeft() - frameOffset, normalGeometry().size());
    // A size the screen forced at the start is not the user's: the next start on a larger
    // screen gets the user's own back.
    const QSize size =
        !forcedSize_.isEmpty() && bounds.size() == forcedSize_ ? userSize_ : bounds.size();
    placement_.winstate = isMaximized() ? 2 : (isMinimized() ? 1 : 0);
    placement_.mainleft = bounds.x();
    placement_.maintop = bounds.y();
    placement_.mainwidth = size.width();
    placement_.mainheight = size.height();
    QStringList widths;
    for (const int width : userColumnWidths_) {
        widths.append(QString::number(width));
    }
    placement_.colwidths = Std(widths.join(QLatin1Char(',')));
    SettingsWindowState state;
    state.defaultreflevel = CheckedReference();
    const bool byLufs = ChosenMeasure() == BalanceMeasure::Lufs;
    state.measure = ChosenMeasure();
    state.lufspresets = lufsPresets_;
    state.defaultrefpreset = byLufs ? otherPresetIndex_ : presetbox->currentIndex();
    state.defaultlufspreset = byLufs ? presetbox->currentIndex() : otherPresetIndex_;
    state.addfilesfolder = Std(addFilesFolder_);
    state.savedatafolder = Std(saveDataFolder_);
    state.outputfolder = Std(runHost_.OutputFolder);
    try {
        SaveSettings(settingsPath_, options_, placement_, presets_, state, decimalSeparator_);
    } catch (const SettingsError& error) {
        prompts_.Error(this, Qt8(error.what()));
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------
// Enablement and runs

void TBalanceVolumes::UpdateEnablement() {
    // A run that has been cancelled is still winding down inside its handler: nothing that
    // starts or changes a run may come back before it has returned.
    const bool busy = engine_.Running || RunInProgress();
    const FileData* highlighted = HighlightedFile();
    const bool enoughFiles = FileCount > 1 || (FileCount == 1 && PresetChosen());
    helpbtn->setEnabled(true);
    exitbtn->setEnabled(!busy);
    advancedbtn->setEnabled(!busy);
    preparebtn->setEnabled(!busy && FileCount > 0);
    balancebtn->setEnabled(!busy && ops_->ReadyToBalance && enoughFiles);
    prepbalbtn->setEnabled(!busy && enoughFiles);
    remselbtn->setEnabled(!busy && highlighted != nullptr);
    remallbtn->setEnabled(!busy && FileCount > 0);
    addpresetbtn->setEnabled(!busy && highlighted != nullptr && highlighted->Normalised);
    delpresetbtn->setEnabled(!busy && PresetChosen());
    groupingbtn->setEnabled(!busy && FileCount > 0);
    cancelbtn->setEnabled(engine_.Running || intakeRunning_);
    presetbtn->setEnabled(presetbox->count() > 0);
    presetbox->setEnabled(presetbtn->isEnabled());
    measurebox->setEnabled(!busy);
    ShowLoudnessCurves();
}

template <typename Run>
void TBalanceVolumes::RunOperation(Run run) {
    // A run changes the records: files removed before it cannot come back as they were.
    removals_.clear();
    ++runDepth_;
    try {
        run();
    } catch (const std::exception& error) {
        // Nothing may escape into the event loop: the run ends as a failed one does.
        ops_->FinishOperation();
        runHost_.ShowError(error.what());
    }
    --runDepth_;
    if (runDepth_ > 0) {
        return;
    }
    if (closeAfterRun_) {
        close();
        return;
    }
    ShowLoudnessCurves();  // the result just written, or the plan the run forgot
    const QStringList held = heldFiles_;
    heldFiles_.clear();
    OfferFiles(held);
}

RunRequest TBalanceVolumes::Request() const {
    RunRequest request;
    request.options = options_;
    request.reference = CheckedReference();
    request.highlighted = HighlightedFile();
    request.presetLevel = ChosenPresetLevel();
    request.measure = ChosenMeasure();
    return request;
}

void TBalanceVolumes::preparebtnClick() {
    RunOperation([this] {
        BeginTelling();
        ops_->Prepare(Request());
        TellRunEnd(false);
    });
}

void TBalanceVolumes::balancebtnClick() {
    RunOperation([this] {
        BeginTelling();
        ops_->Balance(Request());
        TellRunEnd(true);
    });
}

void TBalanceVolumes::prepbalbtnClick() {
    RunOperation([this] {
        BeginTelling();
        ops_->PrepareAndBalance(Request());
        TellRunEnd(false);
    });
}

void TBalanceVolumes::PreviewClick() {
    // From the grid's menu, which stays open to a right-click during an intake or a run.
    if (RunInProgress() || FileCount == 0) {
        return;
    }
    RunOperation([this] {
        BeginTelling();
        // A plan by LUFS starts from the sources' integrated loudness.
        const bool metered = ops_->MeasureBroadcast;
        ops_->MeasureBroadcast = metered || ChosenMeasure() == BalanceMeasure::Lufs;
        std::optional<Measurements> measured = ops_->Measure();
        ops_->MeasureBroadcast = metered;
        if (measured) {
            measured_ = std::move(*measured);
            RePlan();
        }
        TellRunEnd(false);
    });
}

std::vector<double> TBalanceVolumes::LufsPlanKey() const {
    const RunRequest request = Request();
    const std::vector<FileData*> files = filegrid->Files();
    double highlighted = -1.0;
    if (request.reference == ReferenceChoice::Highlighted) {
        const auto at = std::find(files.begin(), files.end(), request.highlighted);
        highlighted = static_cast<double>(at - files.begin());
    }
    std::vector<double> key = {
        static_cast<double>(request.reference), highlighted,
        request.presetLevel.value_or(1e300),    request.options.truepeaklimit,
        request.options.maxcompfactor,          request.options.warncompfactor};
    for (const FileData* file : files) {
        key.push_back(file->GroupNumber);
    }
    return key;
}

bool TBalanceVolumes::RePlanByLufs() {
    if (preview_.ByLufs && preview_.Problem.empty() && LufsPlanKey() == lufsPlanKey_) {
        return true;  // the plan shown stands
    }
    if (engine_.Running) {
        // Its measures are in hand: the plan is made again once they are done.
        replanAfterRun_ = true;
        return false;
    }
    std::optional<Preview> planned;
    do {
        replanAfterRun_ = false;
        RunOperation([&] { planned = ops_->PreviewByLufs(*measured_, Request()); });
    } while (replanAfterRun_ && planned && PreviewCurrent());
    if (!planned || !PreviewCurrent()) {
        ForgetPreview();  // cancelled, or the list changed meanwhile
        return false;
    }
    preview_ = std::move(*planned);
    lufsPlanKey_ = LufsPlanKey();
    return true;
}

void TBalanceVolumes::cancelbtnClick() {
    if (intakeRunning_ && !engine_.Running) {
        intakeCancelled_ = true;
        return;
    }
    cancelPressed_ = cancelPressed_ || engine_.Running;
    ops_->Cancel();
}

void TBalanceVolumes::BeginTelling() {
    // A run measures and writes anew: the plan shown before it no longer stands.
    ForgetPreview();
    runHost_.BeginRun();
    cancelPressed_ = false;
}

void TBalanceVolumes::TellRunEnd(bool rewritesResults) {
    if (cancelPressed_) {
        cancelPressed_ = false;
        const std::vector<std::string>& written = runHost_.Written;
        QString text;
        if (written.empty()) {
            text = rewritesResults ? QString::fromUtf8(messages::CancelledNoneBalanced)
                                   : QString::fromUtf8(messages::CancelledNoneWritten);
        } else {
            text = QString::fromUtf8(rewritesResults ? messages::CancelledBalancedKept
                                                     : messages::CancelledWrittenKept);
            for (const std::string& name : written) {
                text += QStringLiteral("\r   ") + Qt8(name);
            }
        }
        prompts_.Information(this, text);
        return;
    }
    // A heavy-processing question answered No: the Prepare's copies stand as the results.
    if (runHost_.Declined && ops_->ReadyToBalance) {
        prompts_.Information(this, QString::fromUtf8(messages::NotBalanced));
    }
}

void TBalanceVolumes::SetApplicationTitle(const std::string& title) {
    applicationTitle_ = Qt8(title);
    // The desktop shows the window's title where the taskbar entry would show the program's.
    setWindowTitle(applicationTitle_ == AppTitle ? MainCaption
                                                 : applicationTitle_ + " - " + MainCaption);
}

// ---------------------------------------------------------------------------------------
// Dialogs, help, export, closing

void TBalanceVolumes::advancedbtnClick() {
    if (services_.AdvancedOptions(this, options_)) {
        RefreshAllNames();
        RePlan();
    }
    filegrid->viewport()->update();
}

void TBalanceVolumes::groupingbtnClick() {
    if (services_.TrackGrouping(this, Files(), options_, placement_)) {
        ops_->ReadyToBalance = false;
        DeliverReadings({}, Files());  // each group's loudness, over its members now
        RePlan();
    }
    for (int row = 0; row < filegrid->rowCount(); ++row) {
        const FileData* file = filegrid->Record(row);
        if (file != nullptr) {
            filegrid->SetCellText(
                row, FileGrid::GroupColumn,
                file->GroupNumber > 0 ? QString::number(file->GroupNumber) : QString());
        }
    }
    UpdateEnablement();
    filegrid->viewport()->update();
}

void TBalanceVolumes::ShowHelp(const QString& topic) {
    QString address = helpFolder_;
    if (!topic.isEmpty()) {
        address += QLatin1Char('/') + topic + QStringLiteral(".html");
    }
    services_.ShowHelpPage(this, QUrl::fromLocalFile(address));
}

void TBalanceVolumes::helpbtnClick() {
    ShowHelp(QStringLiteral("introduction"));
}

void TBalanceVolumes::exitbtnClick() {
    close();
}

void TBalanceVolumes::SavetoFile1Click() {
    const QString path = prompts_.SaveFile(
        this, QStringLiteral("Save Results to File"),
        {QStringLiteral("Comma Separated Text Files (*.csv)"), QStringLiteral("All Files (*)")},
        QStringLiteral("csv"), saveDataFolder_);
    if (path.isEmpty()) {
        return;
    }
    saveDataFolder_ = QFileInfo(path).absolutePath();
    std::vector<ExportRow> rows;
    for (const FileData* file : filegrid->Files()) {
        rows.push_back(ExportRowOf(*file));
    }
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    const std::optional<std::string> failure =
        WriteResultsFile(Std(path), rows, options_.loudnessunits, decimalSeparator_);
    QGuiApplication::restoreOverrideCursor();
    if (failure) {
        prompts_.Error(this, Qt8(*failure));
        return;
    }
    prompts_.Plain(this, QStringLiteral("Data Saved to File: ") + path);
}

void TBalanceVolumes::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    RememberNormalFrame();
    if (event->type() != QEvent::ActivationChange || !isActiveWindow()) {
        return;
    }
    if (skipNextActivation_) {
        // The window coming back from the hint itself is not a new activation.
        skipNextActivation_ = false;
        return;
    }
    if (options_.givehint && !hintShowing_ && !hintPending_) {
        // Not from inside the activation itself: the hint is modal.
        hintPending_ = true;
        QTimer::singleShot(0, this, &TBalanceVolumes::OfferHint);
    }
}

void TBalanceVolumes::OfferHint() {
    hintPending_ = false;
    if (!options_.givehint || hintShowing_ || !isActiveWindow() || RunInProgress()) {
        return;
    }
    hintShowing_ = true;
    const bool ticked = services_.StartHint(this);
    hintShowing_ = false;
    if (ticked) {
        options_.givehint = false;
    }
    // The window taking the focus back from the hint is not a new activation: without this
    // the hint would come straight back after every OK.
    skipNextActivation_ = !isActiveWindow();
    if (skipNextActivation_) {
        activateWindow();
    }
    emit hintOffered();
}

void TBalanceVolumes::closeEvent(QCloseEvent* event) {
    if (RunInProgress()) {
        // Stop the run; the handler closes the window once the run has wound down.
        closeAfterRun_ = true;
        if (engine_.Running) {
            ops_->Cancel();
        }
        event->ignore();
        return;
    }
    if (!settingsSaved_) {
        // A settings file that cannot be written has been reported; the window closes anyway.
        SaveSettingsNow();
        settingsSaved_ = true;
    }
    event->accept();
}

}  // namespace tralux
