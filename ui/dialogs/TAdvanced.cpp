#include "TAdvanced.h"

#include "DialogFrame.h"
#include "Prompts.h"
#include "UpDown.h"
#include "files/FlacLevel.h"
#include "units/Loudness.h"
#include "units/NumberText.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include <cmath>

namespace tralux {
namespace {

constexpr double CompStep = 0.1;
constexpr double MinComp = MinCompressionFactor;
constexpr double MaxComp = MaxCompressionFactor;
constexpr double LowestNormLevel = LowestFinalLimit;
constexpr double HighestNormLevel = HighestFinalLimit;
constexpr double PercentStep = 33;  // about 0.1 % of full scale
constexpr double DecibelStep = 0.1;
constexpr double SampleStep = 500;

template <typename Widget>
Widget* Named(Widget* widget, const char* name) {
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

QLineEdit* ReadOnlyBox(QWidget* parent, const char* name) {
    auto* box = Named(new QLineEdit(parent), name);
    box->setReadOnly(true);
    box->setAlignment(Qt::AlignRight);
    // Focusable, so that Up and Down can step the value from the keyboard.
    box->setFocusPolicy(Qt::StrongFocus);
    return box;
}

}  // namespace

TAdvanced::TAdvanced(Options& options, Prompts& prompts, QWidget* parent)
    : QDialog(parent),
      options_(options),
      prompts_(prompts),
      decimalSeparator_(QLocale::system().decimalPoint().toStdString()) {
    setObjectName(QStringLiteral("TAdvanced"));
    setWindowTitle(QStringLiteral("Advanced Options"));
    UseFrameWithoutButtons(this);
    BuildControls();
    LoadFromOptions();
}

void TAdvanced::BuildControls() {
    BuildOutputGroup();
    BuildUnitGroup();
    BuildProcessingGroup();
    BuildDisplayGroup();

    okbtn = Named(new QPushButton(QStringLiteral("&OK"), this), "okbtn");
    SetHint(okbtn, "accept settings");
    okbtn->setDefault(true);
    cancelbtn = Named(new QPushButton(QStringLiteral("Ca&ncel"), this), "cancelbtn");
    SetHint(cancelbtn, "abandon changes and revert to previous settings");

    auto* middle = new QHBoxLayout;
    middle->addWidget(loudness);
    middle->addWidget(GroupBox2, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(okbtn);
    buttons->addWidget(cancelbtn);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(GroupBox1);
    layout->addLayout(middle);
    layout->addWidget(GroupBox3);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(UpDown1, &UpDown::Clicked, this, &TAdvanced::UpDown1Click);
    connect(UpDown2, &UpDown::Clicked, this, &TAdvanced::UpDown2Click);
    connect(UpDown3, &UpDown::Clicked, this, &TAdvanced::UpDown3Click);
    // Any way of picking another unit (mouse or arrow keys) redisplays the level.
    connect(loudnessItems, &QButtonGroup::idToggled, this, [this](int, bool checked) {
        if (checked) {
            loudnessClick();
        }
    });
    connect(okbtn, &QPushButton::clicked, this, &TAdvanced::okbtnClick);
    connect(cancelbtn, &QPushButton::clicked, this, &QDialog::reject);
    connect(browsebtn, &QPushButton::clicked, this, &TAdvanced::browsebtnClick);
}

void TAdvanced::BuildOutputGroup() {
    GroupBox1 = Named(new QGroupBox(QStringLiteral("Output Files "), this), "GroupBox1");
    samefolder =
        Named(new QRadioButton(QStringLiteral("&Same Folder as Source"), GroupBox1), "samefolder");
    SetHint(samefolder,
            "output files will be written to the same folder as source files, with an extra part "
            "added to the name");
    askfolder = Named(
        new QRadioButton(QStringLiteral("&Always Prompt for Location of Other Folder"), GroupBox1),
        "askfolder");
    SetHint(askfolder, "you will be asked to specify the output folder every time");
    otherfolder =
        Named(new QRadioButton(QStringLiteral("Other &Folder:"), GroupBox1), "otherfolder");
    SetHint(otherfolder,
            "output files will be written to a specified folder, with the same name as source "
            "files optionally with an added extension");
    outputfolder = Named(new QLineEdit(GroupBox1), "outputfolder");
    SetHint(outputfolder, "destination folder for output files");
    browsebtn = Named(new QPushButton(QStringLiteral("..."), GroupBox1), "browsebtn");
    SetHint(browsebtn, "browse to pick destination folder");
    browsebtn->setFixedWidth(browsebtn->fontMetrics().horizontalAdvance(QStringLiteral("...")) +
                             20);
    addextension =
        Named(new QCheckBox(QStringLiteral("Add &Extension to Output Filename:"), GroupBox1),
              "addextension");
    SetHint(addextension, "if set, an extra part will be added to the output filename");
    extension = Named(new QLineEdit(GroupBox1), "extension");
    SetHint(extension, "the extra portion added to the output filename");
    overwritewarn =
        Named(new QCheckBox(QStringLiteral("&Warn About Overwriting Output Files"), GroupBox1),
              "overwritewarn");
    SetHint(overwritewarn,
            "if set, the user will be asked to confirm whether it is OK to overwrite output files");

    auto* outputGroup = new QButtonGroup(this);
    outputGroup->addButton(samefolder);
    outputGroup->addButton(askfolder);
    outputGroup->addButton(otherfolder);

    auto* outputLayout = new QGridLayout(GroupBox1);
    outputLayout->addWidget(samefolder, 0, 0, 1, 3);
    outputLayout->addWidget(askfolder, 1, 0, 1, 3);
    outputLayout->addWidget(otherfolder, 2, 0);
    outputLayout->addWidget(outputfolder, 2, 1);
    outputLayout->addWidget(browsebtn, 2, 2);
    outputLayout->addWidget(addextension, 3, 0);
    outputLayout->addWidget(extension, 3, 1);
    outputLayout->addWidget(overwritewarn, 4, 0, 1, 3);
    outputLayout->setColumnStretch(1, 1);
    outputLayout->setColumnMinimumWidth(1, 200);
}

void TAdvanced::BuildUnitGroup() {
    loudness = Named(new QGroupBox(QStringLiteral("Loudness Units "), this), "loudness");
    SetHint(loudness, "specifies the way loudnesses are described");
    loudnessItems = new QButtonGroup(this);
    auto* unitLayout = new QVBoxLayout(loudness);
    const char* unitNames[] = {"&Percentage", "&Decibels", "Sample &Value"};
    const int unitIds[] = {PercentUnit, DecibelUnit, SampleUnit};
    for (int i = 0; i < 3; ++i) {
        const QString caption = QString::fromLatin1(unitNames[i]);
        auto* item = new QRadioButton(caption, loudness);
        item->setObjectName(ShownCaption(caption).remove(QLatin1Char(' ')));
        loudnessItems->addButton(item, unitIds[i]);
        unitLayout->addWidget(item);
    }
    unitLayout->addStretch();
}

void TAdvanced::BuildProcessingGroup() {
    GroupBox2 = Named(new QGroupBox(QStringLiteral("Processing Options "), this), "GroupBox2");
    SetHint(GroupBox2, "fine tuning options for normalisation and balancing");
    Label1 =
        Named(new QLabel(QStringLiteral("Absolute &Maximum Compression:"), GroupBox2), "Label1");
    maxcomp = ReadOnlyBox(GroupBox2, "maxcomp");
    UpDown1 = Named(new UpDown(GroupBox2), "UpDown1");
    for (QWidget* control : {static_cast<QWidget*>(Label1), static_cast<QWidget*>(maxcomp),
                             static_cast<QWidget*>(UpDown1)}) {
        SetHint(control, "compression factor that can never be exceeded");
    }
    Label3 =
        Named(new QLabel(QStringLiteral("Warn if Compression E&xceeds:"), GroupBox2), "Label3");
    warncomp = ReadOnlyBox(GroupBox2, "warncomp");
    UpDown3 = Named(new UpDown(GroupBox2), "UpDown3");
    for (QWidget* control : {static_cast<QWidget*>(Label3), static_cast<QWidget*>(warncomp),
                             static_cast<QWidget*>(UpDown3)}) {
        SetHint(control, "compression factor that triggers a warning if exceeded");
    }
    finalnormto =
        Named(new QCheckBox(QStringLiteral("Finally &Limit to:"), GroupBox2), "finalnormto");
    normlevel = ReadOnlyBox(GroupBox2, "normlevel");
    UpDown2 = Named(new UpDown(GroupBox2), "UpDown2");
    for (QWidget* control : {static_cast<QWidget*>(normlevel), static_cast<QWidget*>(UpDown2)}) {
        SetHint(control, "level to which final normalisation (after balancing) will be performed");
    }
    // Room for the widest value any unit shows ("-30.0dB", "100.0%", "32767").
    const int valueWidth =
        normlevel->fontMetrics().horizontalAdvance(QStringLiteral("-30.0dB")) + 16;
    for (QLineEdit* box : {maxcomp, warncomp, normlevel}) {
        box->setFixedWidth(valueWidth);
    }
    // Each spinner stands as high as its box.
    for (UpDown* spinner : {UpDown1, UpDown2, UpDown3}) {
        spinner->setFixedHeight(maxcomp->sizeHint().height());
    }

    flaclevelLabel =
        Named(new QLabel(QStringLiteral("FLAC &Results at Level:"), GroupBox2), "flaclevelLabel");
    flaclevel = Named(new QComboBox(GroupBox2), "flaclevel");
    flaclevel->addItem(QStringLiteral("As the source"));
    for (int level = 0; level <= HighestFlacLevel; ++level) {
        const char* note = level == 0                  ? " (fastest)"
                           : level == DefaultFlacLevel ? " (the flac tool's default)"
                           : level == HighestFlacLevel ? " (smallest)"
                                                       : "";
        flaclevel->addItem(QString::number(level) + QString::fromUtf8(note));
    }
    for (QWidget* control :
         {static_cast<QWidget*>(flaclevelLabel), static_cast<QWidget*>(flaclevel)}) {
        SetHint(control,
                "compression level of FLAC results; as the source: the level the "
                "source's frames show");
    }
    flaclevelLabel->setBuddy(flaclevel);

    Label1->setBuddy(maxcomp);
    Label3->setBuddy(warncomp);
    for (QLineEdit* box : {maxcomp, warncomp, normlevel}) {
        box->installEventFilter(this);
    }

    auto* processLayout = new QGridLayout(GroupBox2);
    processLayout->setHorizontalSpacing(4);
    processLayout->addWidget(Label1, 0, 0);
    processLayout->addWidget(maxcomp, 0, 1);
    processLayout->addWidget(UpDown1, 0, 2);
    processLayout->addWidget(Label3, 1, 0);
    processLayout->addWidget(warncomp, 1, 1);
    processLayout->addWidget(UpDown3, 1, 2);
    processLayout->addWidget(finalnormto, 2, 0);
    processLayout->addWidget(normlevel, 2, 1);
    processLayout->addWidget(UpDown2, 2, 2);
    ceilinglabel = Named(new QLabel(QStringLiteral("&True-Peak Ceiling (by LUFS):"), GroupBox2),
                         "ceilinglabel");
    truepeaklimit = Named(new QDoubleSpinBox(GroupBox2), "truepeaklimit");
    truepeaklimit->setRange(LowestTruePeakLimit, HighestTruePeakLimit);
    truepeaklimit->setDecimals(1);
    truepeaklimit->setSingleStep(0.1);
    truepeaklimit->setSuffix(QStringLiteral(" dBTP"));
    ceilinglabel->setBuddy(truepeaklimit);
    for (QWidget* control :
         {static_cast<QWidget*>(ceilinglabel), static_cast<QWidget*>(truepeaklimit)}) {
        SetHint(control, "the true peak no result balanced by LUFS may exceed");
    }
    processLayout->addWidget(ceilinglabel, 3, 0);
    processLayout->addWidget(truepeaklimit, 3, 1, 1, 2);
    processLayout->addWidget(flaclevelLabel, 4, 0);
    processLayout->addWidget(flaclevel, 4, 1, 1, 2);
    processLayout->setColumnStretch(0, 1);
}

void TAdvanced::BuildDisplayGroup() {
    GroupBox3 = Named(new QGroupBox(QStringLiteral("Display Options "), this), "GroupBox3");
    wavonly = Named(new QCheckBox(QStringLiteral("Show WAV files onl&y"), GroupBox3), "wavonly");
    SetHint(wavonly, "if set, only WAV and FLAC files will be shown in File Open dialogs");
    filenamesonly =
        Named(new QCheckBox(QStringLiteral("Show f&ilenames only"), GroupBox3), "filenamesonly");
    SetHint(filenamesonly,
            "if set, only the names of files, rather than their full pathnames, will be shown");
    clipatend =
        Named(new QCheckBox(QStringLiteral("&Clip filenames at end"), GroupBox3), "clipatend");
    SetHint(clipatend, "if set, long filenames will be truncated at their ends when displayed");
    auto* displayLayout = new QHBoxLayout(GroupBox3);
    displayLayout->addWidget(wavonly);
    displayLayout->addWidget(filenamesonly);
    displayLayout->addWidget(clipatend);
    displayLayout->addStretch();
}

void TAdvanced::LoadFromOptions() {
    extension->setText(QString::fromStdString(options_.nameext));
    addextension->setChecked(options_.addoutputext);
    overwritewarn->setChecked(options_.overwritewarn);
    outputfolder->setText(QString::fromStdString(options_.outputdir));
    if (options_.samefolder == 1) {
        samefolder->setChecked(true);
    } else if (options_.samefolder == 2) {
        askfolder->setChecked(true);
    } else {
        otherfolder->setChecked(true);
    }
    filenamesonly->setChecked(options_.fnamesonly);
    // An unknown stored unit leaves no item picked; the level then shows as a sample value.
    if (QAbstractButton* item = loudnessItems->button(options_.loudnessunits)) {
        item->setChecked(true);
    }
    wavonly->setChecked(options_.wavonly);
    clipatend->setChecked(options_.truncends);
    finalnormto->setChecked(options_.dofinalnorm);
    truepeaklimit->setValue(options_.truepeaklimit);
    flaclevel->setCurrentIndex(options_.flaclevel - FlacLevelAsTheSource);
}

void TAdvanced::CopyToOptions() {
    options_.nameext = extension->text().toStdString();
    options_.addoutputext = addextension->isChecked();
    options_.overwritewarn = overwritewarn->isChecked();
    options_.outputdir = outputfolder->text().toStdString();
    options_.samefolder = samefolder->isChecked() ? 1 : askfolder->isChecked() ? 2 : 0;
    options_.fnamesonly = filenamesonly->isChecked();
    // With no item picked the stored unit is kept rather than replaced by "none".
    if (SelectedUnit() >= 0) {
        options_.loudnessunits = SelectedUnit();
    }
    options_.wavonly = wavonly->isChecked();
    options_.truncends = clipatend->isChecked();
    options_.dofinalnorm = finalnormto->isChecked();
    options_.truepeaklimit = truepeaklimit->value();
    options_.flaclevel = flaclevel->currentIndex() + FlacLevelAsTheSource;
}

int TAdvanced::SelectedUnit() const {
    return loudnessItems->checkedId();
}

void TAdvanced::StepMaxComp(int count) {
    double factor = options_.maxcompfactor + count * CompStep;
    if (factor > MaxComp) {
        factor = MaxComp;
    }
    // A value that is not a number (a damaged settings file) falls to the safe minimum.
    if (factor < MinComp || std::isnan(factor)) {
        factor = MinComp;
    }
    options_.maxcompfactor = factor;
    maxcomp->setText(QString::fromStdString(FixedPointText(factor, decimalSeparator_)));
}

void TAdvanced::StepWarnComp(int count) {
    double factor = options_.warncompfactor + count * CompStep;
    if (factor > options_.maxcompfactor) {
        factor = options_.maxcompfactor;
    }
    if (factor < MinComp || std::isnan(factor)) {
        factor = MinComp;
    }
    options_.warncompfactor = factor;
    warncomp->setText(QString::fromStdString(FixedPointText(factor, decimalSeparator_)));
}

void TAdvanced::StepNormLevel(int count) {
    const int unit = SelectedUnit();
    double level = options_.normaliselevel;
    if (unit == PercentUnit) {
        level += count * PercentStep;
    } else if (unit == DecibelUnit) {
        level = DecibelsToSample(SampleToDecibels(options_.normaliselevel) + count * DecibelStep);
    } else {
        level += count * SampleStep;
    }
    if (level > HighestNormLevel) {
        level = HighestNormLevel;
    }
    if (level < LowestNormLevel) {
        level = LowestNormLevel;
    }
    options_.normaliselevel = static_cast<int16_t>(RoundTiesToEven(level));
    const int shownUnit = unit < 0 ? static_cast<int>(SampleUnit) : unit;
    normlevel->setText(QString::fromStdString(
        LoudnessText(options_.normaliselevel, shownUnit, decimalSeparator_)));
}

void TAdvanced::FormShow() {
    StepNormLevel(0);
    StepMaxComp(0);
    StepWarnComp(0);
}

void TAdvanced::UpDown1Click(int direction) {
    StepMaxComp(direction);
    // A lower maximum pulls the warning level down with it.
    StepWarnComp(0);
}

void TAdvanced::UpDown2Click(int direction) {
    StepNormLevel(direction);
}

void TAdvanced::UpDown3Click(int direction) {
    StepWarnComp(direction);
}

void TAdvanced::loudnessClick() {
    StepNormLevel(0);
}

void TAdvanced::okbtnClick() {
    if (samefolder->isChecked() && (!addextension->isChecked() || extension->text().isEmpty())) {
        prompts_.Error(this, QStringLiteral("Must specify an extension to add when sending output "
                                            "files to the same folder as the source files"));
        return;
    }
    if (otherfolder->isChecked() && outputfolder->text().isEmpty()) {
        prompts_.Error(this, QStringLiteral("No output folder specified"));
        return;
    }
    // The part is kept even when unticked, and must never lead a result out of its folder.
    if (!IsUsableNamePart(extension->text().toStdString())) {
        prompts_.Error(this, QStringLiteral("The extra part added to the output filename must "
                                            "not hold a folder separator (/ or \\) or be made "
                                            "only of full stops"));
        return;
    }
    CopyToOptions();
    accept();
}

void TAdvanced::browsebtnClick() {
    // The browser starts at the folder already named, if any.
    const QString folder =
        prompts_.Folder(this, QStringLiteral("Select Output Folder"), outputfolder->text());
    if (folder.isEmpty()) {
        return;
    }
    outputfolder->setText(folder);
    otherfolder->setChecked(true);
}

bool TAdvanced::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        const int direction = key == Qt::Key_Up ? 1 : key == Qt::Key_Down ? -1 : 0;
        if (direction != 0) {
            // The keys step a value as its spinner's arrows do.
            if (watched == maxcomp) {
                UpDown1Click(direction);
                return true;
            }
            if (watched == warncomp) {
                UpDown3Click(direction);
                return true;
            }
            if (watched == normlevel) {
                UpDown2Click(direction);
                return true;
            }
        }
    }
    return QDialog::eventFilter(watched, event);
}

void TAdvanced::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    FormShow();
    CentreOnScreen(this);
    okbtn->setFocus();
}

}  // namespace tralux
