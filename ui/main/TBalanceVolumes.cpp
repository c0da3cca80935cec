#include "TBalanceVolumes.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QShortcut>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <chrono>
#include <exception>
#include <filesystem>
#include <system_error>

#include "FileGrid.h"
#include "WindowServices.h"
#include "dialogs/DialogFrame.h"
#include "dialogs/GridDrawing.h"
#include "dialogs/Prompts.h"
#include "engine/WaveHeader.h"
#include "settings/Settings.h"
#include "units/Loudness.h"
#include "units/NumberText.h"
#include "units/ResultsExport.h"

namespace tralux {
namespace {

const QString MainCaption = QStringLiteral("Tralux 1.10");
// How often a long intake lets the window answer input.
constexpr std::chrono::milliseconds PumpInterval(50);
const QString AppTitle = QStringLiteral("Tralux");

std::string Std(const QString& text) {
    return text.toUtf8().toStdString();
}

QString Qt8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString FileNameOnly(const QString& path) {
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? path : path.mid(slash + 1);
}

// Pixels scaled from the 96 pixels per inch the layout is drawn for, halves to even.
int Scaled(int pixels, double ppi) {
    return static_cast<int>(RoundTiesToEven(pixels * ppi / 96.0));
}

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

// The caption width of a button plus its margins, in the given font.
int ButtonWidth(const QPushButton* button, const QFont& font) {
    return QFontMetrics(font).horizontalAdvance(ShownCaption(button->text())) + 14;
}

}  // namespace

TBalanceVolumes::TBalanceVolumes(const MainWindowSetup& setup, QWidget* parent)
    : QWidget(parent),
      settingsPath_(setup.settingsPath),
      helpFolder_(setup.helpFolder),
      prompts_(setup.prompts),
      services_(setup.services),
      engine_(*this) {
    // Creation runs in a fixed order: lists, paths, title, settings, run state, progress
    // line, enablement, drop target.
    FileCount = 0;
    ungroupedNumbers_.NextUngroupedNumber = 0;
    ops_ = std::make_unique<Operations>(engine_, options_, *this);
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

    selfilegroup = new QGroupBox(QStringLiteral("Selected &Files "), this);
    selfilegroup->setObjectName(QStringLiteral("selfilegroup"));

    filegrid = new FileGrid(selfilegroup);
    filegrid->setObjectName(QStringLiteral("filegrid"));
    SetHint(filegrid, "the list of files selected for volume balancing");
    filegrid->SetLoudnessDrawing({
        [this] { return ops_->SourceLoudnessShown; },
        [this] { return ops_->ResultLoudnessShown; },
        [this](double level) {
            return Qt8(LoudnessText(level, options_.loudnessunits, decimalSeparator_));
        },
        [this] { return Qt8(WidestLoudnessText(options_.loudnessunits, decimalSeparator_)); },
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

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    SavetoFile1 = PopupMenu1->addAction(QStringLiteral("Save Data to File..."));
    SavetoFile1->setObjectName(QStringLiteral("SavetoFile1"));
    connect(SavetoFile1, &QAction::triggered, this, &TBalanceVolumes::SavetoFile1Click);

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
    quietestbtn->setChecked(true);

    progressgroup = new QGroupBox(QStringLiteral("Progress "), this);
    progressgroup->setObjectName(QStringLiteral("progressgroup"));
    SetHint(progressgroup, "progress information about the currently running operation");
    gauge_label = MakeLabel(progressgroup, "gauge_label", QStringLiteral("Process Type"));
    gauge_filename = MakeLabel(progressgroup, "gauge_filename", QStringLiteral("Process Filename"));
    onefilegauge = new QProgressBar(progressgroup);
    onefilegauge->setObjectName(QStringLiteral("onefilegauge"));
    onefilegauge->setRange(0, 100);
    eta_value = MakeLabel(progressgroup, "eta_value", QStringLiteral("Time Remaining"));

    advancedbtn = MakeButton(this, "advancedbtn", QStringLiteral("Ad&vanced Options..."),
                             "configure detailed behaviour");
    helpbtn = MakeButton(this, "helpbtn", QStringLiteral("&Help"), "invoke online help");
    exitbtn = MakeButton(this, "exitbtn", QStringLiteral("E&xit"), "shut down the program");

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
        connect(radio, &QRadioButton::clicked, this, [this] { UpdateEnablement(); });
    }
    connect(presetbtn, &QRadioButton::clicked, this, &TBalanceVolumes::presetbtnClick);
    connect(presetbox, &QComboBox::activated, this, &TBalanceVolumes::presetboxChange);

    // Keys for the everyday commands. Each presses its button, so it does nothing while the
    // button is disabled (Escape cancels only while a run is going).
    const auto pressedBy = [this](const QKeySequence& keys, QPushButton* button) {
        auto* shortcut = new QShortcut(keys, this);
        connect(shortcut, &QShortcut::activated, button, &QPushButton::click);
    };
    pressedBy(QKeySequence(Qt::CTRL | Qt::Key_O), addfilesbtn);
    pressedBy(QKeySequence(Qt::Key_Delete), remselbtn);
    pressedBy(QKeySequence(Qt::Key_Escape), cancelbtn);
    pressedBy(QKeySequence(Qt::Key_F1), helpbtn);
    pressedBy(QKeySequence(Qt::CTRL | Qt::Key_Q), exitbtn);
}

// ---------------------------------------------------------------------------------------
// Settings

void TBalanceVolumes::LoadSettingsNow() {
    SettingsWindowState state;
    LoadSettings(
        settingsPath_, options_, placement_, presets_, state,
        [this](const std::string& message) { startWarnings_.append(Qt8(message)); },
        decimalSeparator_);
    FillPresetBox(QString());
    CheckReference(state.defaultreflevel);
    presetbox->setCurrentIndex(state.defaultrefpreset >= 0 &&
                                       state.defaultrefpreset < presetbox->count()
                                   ? state.defaultrefpreset
                                   : -1);
    addFilesFolder_ = Qt8(state.addfilesfolder);
    saveDataFolder_ = Qt8(state.savedatafolder);
    outputFolder_ = Qt8(state.outputfolder);
    ApplyPlacement();
}

void TBalanceVolumes::ApplyPlacement() {
    // The saved left and top are those of the frame; bounds saved on a screen that is gone, or
    // larger than this one (another scale factor), are brought onto the screen.
    const QMargins frame = FrameMargins(this);
    const QRect saved(placement_.mainleft, placement_.maintop, placement_.mainwidth,
                      placement_.mainheight);
    const QRect onScreen = BoundsOnScreen(QRect(saved.topLeft(), saved.size().grownBy(frame)));
    move(onScreen.topLeft());
    resize(onScreen.size().shrunkBy(frame));
    if (placement_.winstate == 2) {
        setWindowState(Qt::WindowMaximized);
    } else if (placement_.winstate == 1) {
        setWindowState(Qt::WindowMinimized);
    }
}

void TBalanceVolumes::CheckReference(int32_t defaultreflevel) {
    // Checking a button runs what clicking it runs.
    switch (defaultreflevel) {
        case QuietestReference:
            quietestbtn->setChecked(true);
            UpdateEnablement();
            break;
        case LoudestReference:
            loudestbtn->setChecked(true);
            UpdateEnablement();
            break;
        case SelectedReference:
            selectedbtn->setChecked(true);
            UpdateEnablement();
            break;
        case PresetReference:
            presetbtn->setChecked(true);
            presetbtnClick();
            break;
        default:
            break;
    }
}

int32_t TBalanceVolumes::CheckedReference() const {
    if (quietestbtn->isChecked()) {
        return QuietestReference;
    }
    if (loudestbtn->isChecked()) {
        return LoudestReference;
    }
    if (selectedbtn->isChecked()) {
        return SelectedReference;
    }
    return PresetReference;
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
    placement_.winstate = isMaximized() ? 2 : (isMinimized() ? 1 : 0);
    placement_.mainleft = bounds.x();
    placement_.maintop = bounds.y();
    placement_.mainwidth = bounds.width();
    placement_.mainheight = bounds.height();
    SettingsWindowState state;
    state.defaultreflevel = CheckedReference();
    state.defaultrefpreset = presetbox->currentIndex();
    state.addfilesfolder = Std(addFilesFolder_);
    state.savedatafolder = Std(saveDataFolder_);
    state.outputfolder = Std(outputFolder_);
    try {
        SaveSettings(settingsPath_, options_, placement_, presets_, state, decimalSeparator_);
    } catch (const SettingsError& error) {
        prompts_.Error(this, Qt8(error.what()));
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------
// Layout

void TBalanceVolumes::LayOut() {
    const double ppi = logicalDpiY();
    const int rowHeight = Scaled(18, ppi);
    const int gridTop = Scaled(20, ppi);
    const int clientWidth = width();
    const int clientHeight = height();

    const int buttonHeight = exitbtn->sizeHint().height();
    const QFontMetrics metrics(font());
    const int progressHeight =
        std::max(metrics.height(), onefilegauge->sizeHint().height()) + metrics.height() + 16;

    selfilegroup->setGeometry(6, 6, clientWidth - 12,
                              clientHeight - progressHeight - buttonHeight - 18);
    const QRect inner = selfilegroup->contentsRect();

    // The button row along the bottom of the "Selected Files " box, in the font of the
    // buttons below it.
    QPushButton* const row[] = {addfilesbtn, preparebtn, balancebtn,   prepbalbtn,   cancelbtn,
                                remselbtn,   remallbtn,  addpresetbtn, delpresetbtn, groupingbtn};
    const QFont rowFont = advancedbtn->font();
    // Too narrow for one line: the buttons wrap onto more lines, the last one along the bottom.
    std::vector<QPoint> places;
    int line = 0;
    int left = 6;
    for (QPushButton* button : row) {
        const int width = ButtonWidth(button, rowFont);
        if (left > 6 && left + width > selfilegroup->width() - 6) {
            ++line;
            left = 6;
        }
        places.emplace_back(left, line);
        left += width + 6;
    }
    const int lastTop = inner.bottom() + 1 - 6 - buttonHeight;
    const int buttonTop = lastTop - line * (buttonHeight + 6);
    for (size_t i = 0; i < places.size(); ++i) {
        QPushButton* button = row[i];
        button->setGeometry(places[i].x(), buttonTop + places[i].y() * (buttonHeight + 6),
                            ButtonWidth(button, rowFont), buttonHeight);
    }

    // The reference choices flow left to right and wrap when the box is too narrow.
    const int refWidth = inner.width() - 12;
    QWidget* choices[] = {quietestbtn, loudestbtn, selectedbtn, presetbtn, presetbox};
    const int titleHeight = metrics.height();
    const int itemHeight =
        std::max(presetbox->sizeHint().height(), quietestbtn->sizeHint().height());
    int x = 8;
    int y = titleHeight + 2;
    std::vector<QRect> choicePlaces;
    const int presetBoxWidth = std::max(presetbox->sizeHint().width(), 160);
    for (QWidget* choice : choices) {
        const int w = choice == presetbox ? presetBoxWidth : choice->sizeHint().width();
        // "Preset:" and its drop-down stay on one line.
        const int together = choice == presetbtn ? w + 8 + presetBoxWidth : w;
        if (choice != presetbox && x > 8 && x + together > refWidth - 8) {
            x = 8;
            y += itemHeight + 2;
        }
        choicePlaces.emplace_back(x, y, w, itemHeight);
        x += w + 8;
    }
    const int refHeight = y + itemHeight + 8;
    reflevelgroup->setGeometry(6, buttonTop - 6 - refHeight, refWidth, refHeight);
    for (size_t i = 0; i < choicePlaces.size(); ++i) {
        QRect place = choicePlaces[i];
        if (choices[i] == presetbox) {
            place.setRight(std::min(place.right(), refWidth - 9));
        }
        choices[i]->setGeometry(place);
    }

    const int gridHeight = reflevelgroup->y() - 6 - gridTop;
    filegrid->setGeometry(6, gridTop, inner.width() - 12, std::max(gridHeight, 0));
    filegrid->verticalHeader()->setMinimumSectionSize(1);
    filegrid->verticalHeader()->setDefaultSectionSize(rowHeight);
    FitColumns();

    const int progressTop = clientHeight - progressHeight - buttonHeight - 12;
    progressgroup->setGeometry(6, progressTop, clientWidth - 12, progressHeight);
    const QRect progressInner = progressgroup->contentsRect();
    const int lineTop = progressInner.top() + (progressInner.height() - itemHeight) / 2;
    // Room for the longest pass name.
    int labelWidth = 0;
    for (const char* pass :
         {"Scanning:", "Normalising:", "Compressing:", "Reducing:", "Final Limiting:"}) {
        labelWidth = std::max(labelWidth, metrics.horizontalAdvance(QString::fromLatin1(pass)));
    }
    labelWidth += 12;
    gauge_label->setGeometry(8, lineTop, labelWidth, itemHeight);
    gauge_filename->move(8 + labelWidth + 6, lineTop);
    gauge_filename->resize(gauge_filename->width(), itemHeight);
    onefilegauge->move(onefilegauge->x(), lineTop);
    onefilegauge->resize(onefilegauge->width(), itemHeight);
    eta_value->move(eta_value->x(), lineTop);
    eta_value->resize(eta_value->width(), itemHeight);

    const int bottomTop = progressTop + progressHeight + 6;
    const QSize advancedSize = advancedbtn->sizeHint();
    advancedbtn->setGeometry(6, bottomTop, advancedSize.width(), buttonHeight);
    helpbtn->setGeometry(advancedbtn->geometry().right() + 1 + 6, bottomTop,
                         helpbtn->sizeHint().width(), buttonHeight);
    const int exitWidth = exitbtn->sizeHint().width();
    exitbtn->setGeometry(clientWidth - 6 - exitWidth, bottomTop, exitWidth, buttonHeight);
}

void TBalanceVolumes::FitColumns() {
    int gridInner = filegrid->width() - 2 * filegrid->frameWidth();
    if (filegrid->verticalScrollBar()->isVisibleTo(filegrid)) {
        gridInner -= filegrid->verticalScrollBar()->width();
    }
    gridInner = std::max(gridInner, 0);
    const int unit = gridInner / 13;
    int widths[FileGrid::ColumnCount] = {4 * unit, 2 * unit, 4 * unit, 2 * unit,
                                         std::max(gridInner - 12 * unit - 4, 0)};
    // A loudness header that would be cut takes its room from the two name columns.
    const QHeaderView* header = filegrid->horizontalHeader();
    for (const int column : {FileGrid::SourceLoudnessColumn, FileGrid::ResultLoudnessColumn}) {
        const int missing = header->sectionSizeHint(column) - widths[column];
        const int spare = widths[FileGrid::SourceColumn] + widths[FileGrid::ResultColumn] -
                          2 * header->sectionSizeHint(FileGrid::SourceColumn);
        const int taken = std::min((missing + 1) / 2, spare / 2);
        if (taken > 0) {
            widths[column] += 2 * taken;
            widths[FileGrid::SourceColumn] -= taken;
            widths[FileGrid::ResultColumn] -= taken;
        }
    }
    for (int column = 0; column < FileGrid::ColumnCount; ++column) {
        filegrid->setColumnWidth(column, widths[column]);
    }
    RefreshAllNames();
}

void TBalanceVolumes::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    RememberNormalFrame();
    LayOut();
}

void TBalanceVolumes::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    LayOut();
    RememberNormalFrame();
    if (!startWarnings_.isEmpty()) {
        // Shown over the placed window: a box shown before the window exists makes it early,
        // and the window then stood a title bar higher than its saved place.
        QTimer::singleShot(0, this, [this] {
            const QStringList warnings = startWarnings_;
            startWarnings_.clear();
            for (const QString& warning : warnings) {
                prompts_.Warning(this, warning);
            }
        });
    }
}

void TBalanceVolumes::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    RememberNormalFrame();
}

void TBalanceVolumes::RememberNormalFrame() {
    const QPoint offset = geometry().topLeft() - pos();
    // Before the desktop has framed the window there is no offset to keep yet.
    if (isVisible() && windowState() == Qt::WindowNoState && !offset.isNull()) {
        normalFrameOffset_ = offset;
    }
}

// ---------------------------------------------------------------------------------------
// The grid

void TBalanceVolumes::RefreshRowNames(int row) {
    const FileData* file = filegrid->Record(row);
    if (file == nullptr) {
        return;
    }
    const QFontMetrics metrics(filegrid->font());
    const auto fitted = [&](const std::string& path, int column) {
        QString name = Qt8(path);
        if (options_.fnamesonly) {
            name = FileNameOnly(name);
        }
        return FitText(name, filegrid->columnWidth(column) - 2, metrics, options_.truncends);
    };
    filegrid->SetCellText(row, FileGrid::SourceColumn,
                          fitted(file->SourceFile, FileGrid::SourceColumn));
    filegrid->SetCellText(row, FileGrid::ResultColumn,
                          fitted(file->ResultFile, FileGrid::ResultColumn));
}

void TBalanceVolumes::RefreshAllNames() {
    for (int row = 0; row < filegrid->rowCount(); ++row) {
        RefreshRowNames(row);
    }
}

void TBalanceVolumes::RescaleLoudnessBars() {
    double scale = 0.0;
    for (const FileData* file : filegrid->Files()) {
        scale = std::max(scale, file->ScanLoudness);
        scale = std::max(scale, file->Loudness);
    }
    filegrid->LoudnessScale = scale;
    filegrid->viewport()->update();
}

void TBalanceVolumes::filegridCurrentChanged(int /*row*/) {
    UpdateEnablement();
}

void TBalanceVolumes::ShowGridMenu(const QPoint& position) {
    PopupMenu1->popup(filegrid->viewport()->mapToGlobal(position));
}

// ---------------------------------------------------------------------------------------
// Intake and removal

void TBalanceVolumes::AddFile(const QString& path) {
    IntakeIndex listed(filegrid->Files());
    AddFile(path, listed);
}

void TBalanceVolumes::AddFile(const QString& path, IntakeIndex& listed) {
    // The same file: identical path text, or the same device and inode (a link, another
    // spelling of the same path).
    const std::string file = Std(path);
    if (listed.Find(file) != nullptr) {
        return;
    }
    // A header of millions of empty chunks takes a while: during an intake the window answers
    // input meanwhile, and Cancel or closing the window ends the walk.
    using Clock = std::chrono::steady_clock;
    Clock::time_point lastPump = Clock::now();
    const auto stop = [this, &lastPump] {
        if (!intakeRunning_) {
            return false;
        }
        if (Clock::now() - lastPump >= PumpInterval) {
            QCoreApplication::processEvents();
            lastPump = Clock::now();
        }
        return intakeCancelled_ || closeAfterRun_;
    };
    const WaveHeaderInfo header = ReadWaveHeader(file, stop);
    if (header.Result == WaveCheckResult::Stopped) {
        return;
    }
    if (header.Result != WaveCheckResult::Valid) {
        prompts_.Error(this, QString::fromStdString(RefusedFileMessage(header.Result, file)));
        return;
    }
    auto record = std::make_unique<FileData>(file, header, ungroupedNumbers_);
    if (header.ShorterThanHeader) {
        shorterThanHeader_.push_back(file);
    }
    ++FileCount;
    int row = 0;
    const bool wasEmpty = filegrid->rowCount() == 1 && filegrid->Record(0) == nullptr;
    if (!wasEmpty) {
        row = filegrid->AppendRow();
    }
    filegrid->PutRecord(row, std::move(record));
    listed.Add(*filegrid->Record(row));
    RefreshRowNames(row);
    filegrid->SetCellText(row, FileGrid::GroupColumn, QString());
    if (wasEmpty) {
        filegrid->setCurrentCell(row, 0);
    }
    ops_->ReadyToBalance = false;
    filegrid->viewport()->update();
}

void TBalanceVolumes::OfferFiles(const QStringList& paths) {
    if (RunInProgress()) {
        // The runs, and an intake under way, walk a list that must not change under them:
        // these wait for the end.
        heldFiles_.append(paths);
        UpdateEnablement();
        return;
    }
    // The intake counts as a run: nothing else may start or change the list meanwhile, and
    // Cancel or closing the window stops it between two files.
    ++runDepth_;
    intakeRunning_ = true;
    intakeCancelled_ = false;
    UpdateEnablement();
    IntakeIndex listed(filegrid->Files());
    // Input is answered after the first file and then a few times a second: a repaint after
    // every file would cost more than the intake itself.
    using Clock = std::chrono::steady_clock;
    Clock::time_point lastPump = Clock::now() - PumpInterval;
    for (const QString& path : paths) {
        if (intakeCancelled_ || closeAfterRun_) {
            break;
        }
        AddFile(path, listed);
        if (Clock::now() - lastPump >= PumpInterval) {
            QCoreApplication::processEvents();
            lastPump = Clock::now();
        }
    }
    intakeRunning_ = false;
    --runDepth_;
    if (closeAfterRun_ && !RunInProgress()) {
        close();
        return;
    }
    TellShorterThanHeader();
    const QStringList held = heldFiles_;
    heldFiles_.clear();
    if (!held.isEmpty() && !intakeCancelled_) {
        OfferFiles(held);
        return;
    }
    UpdateEnablement();
}

void TBalanceVolumes::TellShorterThanHeader() {
    if (shorterThanHeader_.empty()) {
        return;
    }
    const std::string message = ShorterThanHeaderMessage(shorterThanHeader_);
    shorterThanHeader_.clear();
    prompts_.Warning(this, Qt8(message));
}

void TBalanceVolumes::addfilesbtnClick() {
    const QStringList filters = {QStringLiteral("WAV Files (*.wav)"),
                                 QStringLiteral("All Files (*)")};
    const QStringList chosen = prompts_.OpenFiles(this, QStringLiteral("Select Files"), filters,
                                                  options_.wavonly ? 0 : 1, addFilesFolder_);
    if (!chosen.isEmpty()) {
        addFilesFolder_ = QFileInfo(chosen.constFirst()).absolutePath();
    }
    OfferFiles(chosen);
}

void TBalanceVolumes::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls()) {
        event->acceptProposedAction();
    }
}

void TBalanceVolumes::dragMoveEvent(QDragMoveEvent* event) {
    if (event->mimeData()->hasUrls()) {
        event->acceptProposedAction();
    }
}

void TBalanceVolumes::dropEvent(QDropEvent* event) {
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile()) {
            paths.append(url.toLocalFile());
        }
    }
    event->acceptProposedAction();
    OfferFiles(paths);
}

void TBalanceVolumes::remselbtnClick() {
    const int row = filegrid->currentRow();
    if (filegrid->Record(row) == nullptr) {
        UpdateEnablement();
        return;
    }
    --FileCount;
    std::unique_ptr<FileData> removed = filegrid->RemoveDataRow(row);
    if (filegrid->Record(0) != nullptr) {
        filegrid->setCurrentCell(std::min(row, filegrid->rowCount() - 1), 0);
    }
    removed.reset();
    filegrid->viewport()->update();
    UpdateEnablement();
}

void TBalanceVolumes::remallbtnClick() {
    filegrid->RemoveAll();
    FileCount = 0;
    filegrid->setCurrentCell(0, 0);
    filegrid->viewport()->update();
    UpdateEnablement();
}

// ---------------------------------------------------------------------------------------
// Enablement and runs

bool TBalanceVolumes::PresetChosen() const {
    return presetbtn->isChecked() && presetbox->currentIndex() >= 0;
}

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
}

template <typename Run>
void TBalanceVolumes::RunOperation(Run run) {
    ++runDepth_;
    try {
        run();
    } catch (const std::exception& error) {
        // Nothing may escape into the event loop: the run ends as a failed one does.
        ops_->FinishOperation();
        ShowError(error.what());
    }
    --runDepth_;
    if (runDepth_ > 0) {
        return;
    }
    if (closeAfterRun_) {
        close();
        return;
    }
    const QStringList held = heldFiles_;
    heldFiles_.clear();
    OfferFiles(held);
}

void TBalanceVolumes::preparebtnClick() {
    RunOperation([this] { ops_->preparebtnClick(); });
}

void TBalanceVolumes::balancebtnClick() {
    RunOperation([this] { ops_->balancebtnClick(); });
}

void TBalanceVolumes::prepbalbtnClick() {
    RunOperation([this] { ops_->prepbalbtnClick(); });
}

void TBalanceVolumes::cancelbtnClick() {
    if (intakeRunning_ && !engine_.Running) {
        intakeCancelled_ = true;
        return;
    }
    ops_->cancelbtnClick();
}

// ---------------------------------------------------------------------------------------
// ProgressSink

void TBalanceVolumes::PassStarted(const std::string& label, const std::string& fileName) {
    onefilegauge->setValue(0);
    onefilegauge->show();
    gauge_label->setText(Qt8(label));
    gauge_filename->setText(Qt8(fileName));
    emit passStarted(Qt8(label), Qt8(fileName));
}

void TBalanceVolumes::PassProgress(int percent) {
    onefilegauge->setValue(std::clamp(percent, 0, 100));
}

void TBalanceVolumes::PassEnded() {
    onefilegauge->hide();
    gauge_label->clear();
    gauge_filename->clear();
}

void TBalanceVolumes::ShowEstimate(const std::string& shortText, const std::string& longText) {
    SetApplicationTitle(shortText);
    eta_value->setText(Qt8(longText));
    eta_value->adjustSize();
    eta_value->resize(eta_value->width(), gauge_label->height());
    eta_value->show();
}

void TBalanceVolumes::HideEstimate() {
    eta_value->hide();
}

void TBalanceVolumes::PumpEvents() {
    QCoreApplication::processEvents();
}

void TBalanceVolumes::ReportError(const std::string& message) {
    prompts_.Error(this, Qt8(message));
}

// ---------------------------------------------------------------------------------------
// RunHost

std::vector<FileData*> TBalanceVolumes::Files() {
    return filegrid->Files();
}

void TBalanceVolumes::ShowError(const std::string& message) {
    prompts_.Error(this, Qt8(message));
}

void TBalanceVolumes::ShowWarning(const std::string& message) {
    prompts_.Warning(this, Qt8(message));
}

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

Answer TBalanceVolumes::AskConfirm(const std::string& message) {
    return ToAnswer(prompts_.Confirm(this, Qt8(message)));
}

Answer TBalanceVolumes::AskWarning(const std::string& message) {
    return ToAnswer(prompts_.WarningYesNo(this, Qt8(message)));
}

std::optional<std::string> TBalanceVolumes::OutputFolderPrompt() {
    const QString folder =
        prompts_.Folder(this, QStringLiteral("Select Output Folder"), outputFolder_);
    if (folder.isEmpty()) {
        return std::nullopt;
    }
    outputFolder_ = folder;
    return Std(folder);
}

void TBalanceVolumes::ShowProgressLine(const std::vector<std::string>& resultFileNames) {
    eta_value->hide();
    const QFontMetrics metrics(gauge_filename->font());
    int widest = 0;
    for (const std::string& name : resultFileNames) {
        widest = std::max(widest, metrics.horizontalAdvance(Qt8(name)));
    }
    // Very long names must not push the gauge out of the box: the name is cut instead.
    const int gaugeWidth = 150;
    const int etaWidth = metrics.horizontalAdvance(QStringLiteral("Time Remaining: 00:00")) + 8;
    const int room = progressgroup->width() - gauge_filename->x() - 6 - gaugeWidth - 6 - etaWidth;
    widest = std::clamp(widest, 0, std::max(room, 40));
    gauge_filename->resize(widest, gauge_filename->height());
    onefilegauge->setGeometry(gauge_filename->x() + widest + 6, gauge_filename->y(), gaugeWidth,
                              gauge_filename->height());
    eta_value->move(onefilegauge->geometry().right() + 1 + 6, gauge_filename->y());
    gauge_label->show();
    gauge_filename->show();
    onefilegauge->show();
}

void TBalanceVolumes::HideProgressLine() {
    gauge_label->hide();
    gauge_filename->hide();
    onefilegauge->hide();
    eta_value->hide();
}

void TBalanceVolumes::SetApplicationTitle(const std::string& title) {
    applicationTitle_ = Qt8(title);
    // The desktop shows the window's title where the taskbar entry would show the program's.
    setWindowTitle(applicationTitle_ == AppTitle ? MainCaption
                                                 : applicationTitle_ + " - " + MainCaption);
}

ReferenceChoice TBalanceVolumes::Reference() {
    switch (CheckedReference()) {
        case QuietestReference:
            return ReferenceChoice::Quietest;
        case LoudestReference:
            return ReferenceChoice::Loudest;
        case SelectedReference:
            return ReferenceChoice::Highlighted;
        default:
            return ReferenceChoice::Preset;
    }
}

FileData* TBalanceVolumes::HighlightedFile() {
    return filegrid->Record(filegrid->currentRow());
}

std::optional<double> TBalanceVolumes::ChosenPresetLevel() {
    return presets_.ChosenPresetLevel(presetbox->currentIndex());
}

// ---------------------------------------------------------------------------------------
// Presets

void TBalanceVolumes::FillPresetBox(const QString& name) {
    presetbox->clear();
    for (const std::string& item : presets_.Names()) {
        presetbox->addItem(Qt8(item));
    }
    presetbox->setCurrentIndex(
        name.isEmpty() ? -1 : presetbox->findText(name, Qt::MatchExactly | Qt::MatchCaseSensitive));
}

void TBalanceVolumes::addpresetbtnClick() {
    const std::optional<QString> reply =
        services_.AskName(this, QStringLiteral("Supply a Name for the Preset"), QString());
    const FileData* highlighted = HighlightedFile();
    if (reply && !reply->isEmpty() && highlighted != nullptr) {
        const std::string name = Std(*reply);
        bool store = true;
        if (presets_.FindPreset(name) >= 0) {
            store =
                prompts_.WarningYesNo(this, QStringLiteral("Overwrite existing preset \"") +
                                                *reply + QLatin1Char('"')) == Prompts::Reply::Yes;
        }
        if (store) {
            const int index = presets_.StorePreset(name, highlighted->Loudness);
            FillPresetBox(*reply);
            presetbox->setCurrentIndex(index);
            presetbtn->setChecked(true);
            presetbtnClick();
        }
    }
    UpdateEnablement();
}

void TBalanceVolumes::delpresetbtnClick() {
    presets_.DeletePreset(presetbox->currentIndex(), options_.replaygaindeleted);
    FillPresetBox(QString());
    presetbtnClick();
    if (presets_.Empty()) {
        quietestbtn->setChecked(true);
        UpdateEnablement();
    }
}

void TBalanceVolumes::presetbtnClick() {
    if (presetbtn->isChecked() && presetbox->currentIndex() < 0 && presetbox->count() > 0) {
        presetbox->setCurrentIndex(0);
    }
    UpdateEnablement();
}

void TBalanceVolumes::presetboxChange(int /*index*/) {
    presetbtn->setChecked(true);
    presetbtnClick();
}

// ---------------------------------------------------------------------------------------
// Dialogs, help, export, closing

void TBalanceVolumes::advancedbtnClick() {
    if (services_.AdvancedOptions(this, options_)) {
        RefreshAllNames();
    }
    filegrid->viewport()->update();
}

void TBalanceVolumes::groupingbtnClick() {
    if (services_.TrackGrouping(this, Files(), options_, placement_)) {
        ops_->ReadyToBalance = false;
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
        rows.push_back({file->SourceFile, file->ScanLoudness, file->ResultFile, file->Loudness});
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
            ops_->cancelbtnClick();
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
