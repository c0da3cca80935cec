// Presets, the getting-started hint, help, the dialogs' results and the settings file written
// when the window closes.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <filesystem>

#include "WindowFixture.h"
#include "dialogs/GridDrawing.h"
#include "dialogs/THelpViewer.h"
#include "dialogs/TStartHint.h"
#include "engine/FileData.h"
#include "main/WindowServices.h"

using tralux::FileData;
using tralux::FileGrid;
using tralux::test::FakePrompts;
using tralux::test::WindowFixture;
using Kind = FakePrompts::Kind;
using Reply = FakePrompts::Reply;

namespace {

QStringList Items(const QComboBox* box) {
    QStringList items;
    for (int i = 0; i < box->count(); ++i) {
        items.append(box->itemText(i));
    }
    return items;
}

// Lists two files and prepares them, so that the highlighted one can become a preset.
void Prepared(WindowFixture& f) {
    f.Drop({f.Tone("a.wav", 3000), f.Tone("b.wav", 9000)});
    f.Click(f.window->preparebtn);
    QVERIFY(f.window->addpresetbtn->isEnabled());
}

const QString BuiltIn = QStringLiteral("ReplayGain '89dB' Standard");

}  // namespace

class MainWindowSettingsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void addPresetFromTheHighlightedFile();
    void overwriteQuestion_data();
    void overwriteQuestion();
    void noNameAddsNothing_data();
    void noNameAddsNothing();
    void deletingTheBuiltInPresetLastsAcrossARestart();
    void deletingOneOfTwoSelectsTheFirstLeft();
    void choosingFromTheDropDownChecksPreset();
    void referenceChoiceLastsAcrossARestart();
    void theMeasureChoiceShowsItsOwnPresetsAndLasts();
    void aLufsPresetBalancesByLufsFromTheWindow();
    void fileDialogsOpenWhereTheyLastWereAcrossARestart();

    void hintUntilTickedAcrossARestart();
    void hintIsOfferedEachTimeTheWindowIsActiveAnew();
    void realHintDoesNotComeBackAfterItsOwnOk();
    void helpOpensTheIntroductionPage();
    void helpShowsInAWindowOfItsOwn();

    void settingsWrittenOnClose_data();
    void settingsWrittenOnClose();
    void unwritableSettingsAreReportedAndTheWindowCloses();
    void advancedOptionsOkRefreshesTheNames();
    void groupingResult_data();
    void groupingResult();
    void realDialogsAnswerThroughTheirControls();
};

void MainWindowSettingsTest::initTestCase() {
    QApplication::setQuitOnLastWindowClosed(false);
}

// ---------------------------------------------------------------------------------------
// Presets

void MainWindowSettingsTest::addPresetFromTheHighlightedFile() {
    WindowFixture f;
    Prepared(f);
    f.ClickRow(1);
    const double level = f.Grid().Record(1)->Loudness;
    f.services.names.push_back(QStringLiteral("Beta"));
    f.Click(f.window->addpresetbtn);
    QCOMPARE(f.services.questions, std::vector<QString>{"Supply a Name for the Preset"});
    QCOMPARE(Items(f.window->presetbox), (QStringList{"Beta", BuiltIn}));
    QCOMPARE(f.window->presetbox->currentText(), QStringLiteral("Beta"));
    QVERIFY(f.window->presetbtn->isChecked());
    QVERIFY(f.window->delpresetbtn->isEnabled());
    QCOMPARE(f.window->Presets()[0].Level, std::nearbyint(level));
    QVERIFY(f.prompts.calls.empty());
    // Kept in the settings file and back after a restart.
    f.Restart();
    QCOMPARE(Items(f.window->presetbox), (QStringList{"Beta", BuiltIn}));
    QVERIFY(f.window->presetbtn->isChecked());
    QCOMPARE(f.window->presetbox->currentIndex(), 0);
}

void MainWindowSettingsTest::overwriteQuestion_data() {
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("overwritten");
    QTest::newRow("yes") << static_cast<int>(Reply::Yes) << true;
    QTest::newRow("no") << static_cast<int>(Reply::No) << false;
    QTest::newRow("shut") << static_cast<int>(Reply::None) << false;
}

void MainWindowSettingsTest::overwriteQuestion() {
    QFETCH(int, answer);
    QFETCH(bool, overwritten);
    WindowFixture f;
    Prepared(f);
    f.ClickRow(0);
    f.services.names.push_back(QStringLiteral("Mine"));
    f.Click(f.window->addpresetbtn);
    const double before = f.window->Presets()[0].Level;
    f.Click(f.window->quietestbtn);

    f.ClickRow(1);
    FileData* second = f.Grid().Record(1);
    second->Loudness += 0.25;  // an unrounded level shows the overwrite keeps it as it is
    f.services.names.push_back(QStringLiteral("Mine"));
    f.prompts.replies.push_back(static_cast<Reply>(answer));
    f.Click(f.window->addpresetbtn);
    QCOMPARE(f.prompts.Texts(Kind::WarningYesNo),
             QStringList{QStringLiteral("Overwrite existing preset \"Mine\"")});
    QCOMPARE(Items(f.window->presetbox), (QStringList{"Mine", BuiltIn}));
    QCOMPARE(f.window->Presets()[0].Level, overwritten ? second->Loudness : before);
    QCOMPARE(f.window->presetbtn->isChecked(), overwritten);
    if (overwritten) {
        QCOMPARE(f.window->presetbox->currentText(), QStringLiteral("Mine"));
    }
}

void MainWindowSettingsTest::noNameAddsNothing_data() {
    QTest::addColumn<QString>("reply");
    QTest::newRow("cancelled") << QString();
    QTest::newRow("empty") << QStringLiteral("");
}

void MainWindowSettingsTest::noNameAddsNothing() {
    QFETCH(QString, reply);
    WindowFixture f;
    Prepared(f);
    f.services.names.push_back(reply);
    f.Click(f.window->addpresetbtn);
    QCOMPARE(Items(f.window->presetbox), QStringList{BuiltIn});
    QVERIFY(f.window->quietestbtn->isChecked());
    QVERIFY(f.prompts.calls.empty());
    QVERIFY(f.window->addpresetbtn->isEnabled());
}

void MainWindowSettingsTest::deletingTheBuiltInPresetLastsAcrossARestart() {
    WindowFixture f;
    f.Click(f.window->presetbtn);
    f.Click(f.window->delpresetbtn);
    QCOMPARE(f.window->presetbox->count(), 0);
    QVERIFY(f.window->quietestbtn->isChecked());
    QVERIFY(!f.window->presetbtn->isEnabled());
    f.Restart();
    QCOMPARE(f.window->presetbox->count(), 0);
    QVERIFY(f.IniText().find("replaygaindeleted=1") != std::string::npos);
    QVERIFY(f.IniText().find("pname1") == std::string::npos);
}

void MainWindowSettingsTest::deletingOneOfTwoSelectsTheFirstLeft() {
    WindowFixture f;
    Prepared(f);
    f.services.names.push_back(QStringLiteral("Zed"));
    f.Click(f.window->addpresetbtn);
    QCOMPARE(f.window->presetbox->currentText(), QStringLiteral("Zed"));
    f.Click(f.window->delpresetbtn);
    QCOMPARE(Items(f.window->presetbox), QStringList{BuiltIn});
    QCOMPARE(f.window->presetbox->currentIndex(), 0);
    QVERIFY(f.window->presetbtn->isChecked());
    QVERIFY(!f.window->CurrentOptions().replaygaindeleted);
}

void MainWindowSettingsTest::choosingFromTheDropDownChecksPreset() {
    WindowFixture f;
    Prepared(f);
    f.services.names.push_back(QStringLiteral("Alpha"));
    f.Click(f.window->addpresetbtn);
    f.Click(f.window->loudestbtn);
    QVERIFY(!f.window->delpresetbtn->isEnabled());
    // The user picks the next item with the keyboard.
    f.window->presetbox->setFocus();
    QTest::keyClick(f.window->presetbox, Qt::Key_Down);
    QCOMPARE(f.window->presetbox->currentText(), BuiltIn);
    QVERIFY(f.window->presetbtn->isChecked());
    QVERIFY(f.window->delpresetbtn->isEnabled());
    QCOMPARE(f.window->ChosenPresetLevel(), std::optional<double>(2810.0));
}

void MainWindowSettingsTest::referenceChoiceLastsAcrossARestart() {
    WindowFixture f;
    f.Click(f.window->selectedbtn);
    f.Restart();
    QVERIFY(f.window->selectedbtn->isChecked());
    f.Click(f.window->presetbtn);
    f.Restart();
    QVERIFY(f.window->presetbtn->isChecked());
    QCOMPARE(f.window->presetbox->currentIndex(), 0);
}

void MainWindowSettingsTest::theMeasureChoiceShowsItsOwnPresetsAndLasts() {
    WindowFixture f;
    QCOMPARE(f.window->measurebox->currentText(), QStringLiteral("RMS"));
    QCOMPARE(Items(f.window->presetbox), QStringList{BuiltIn});
    f.window->presetbox->setCurrentIndex(0);
    emit f.window->presetbox->activated(0);
    f.window->measurebox->setCurrentIndex(1);
    emit f.window->measurebox->activated(1);
    const QStringList lufs = {"EBU R128 (-23 LUFS)", "Podcast (-16 LUFS)",
                              "ReplayGain 2.0 (-18 LUFS)", "Streaming (-14 LUFS)"};
    QCOMPARE(Items(f.window->presetbox), lufs);
    f.window->presetbox->setCurrentIndex(1);
    emit f.window->presetbox->activated(1);
    tralux::RunRequest request = f.window->Request();
    QCOMPARE(request.measure, tralux::BalanceMeasure::Lufs);
    QCOMPARE(request.reference, tralux::ReferenceChoice::Preset);
    QCOMPARE(request.presetLevel, std::optional<double>(-16.0));
    QVERIFY(f.window->Preview1->isEnabled());  // a plan by LUFS is previewed too

    f.Restart();
    QCOMPARE(f.window->measurebox->currentText(), QStringLiteral("LUFS"));
    QCOMPARE(f.window->presetbox->currentText(), QStringLiteral("Podcast (-16 LUFS)"));
    // Each measure keeps its own selection.
    f.window->measurebox->setCurrentIndex(0);
    emit f.window->measurebox->activated(0);
    QCOMPARE(Items(f.window->presetbox), QStringList{BuiltIn});
    QCOMPARE(f.window->presetbox->currentIndex(), 0);
    request = f.window->Request();
    QCOMPARE(request.measure, tralux::BalanceMeasure::Rms);
    QCOMPARE(request.presetLevel, std::optional<double>(2810.0));
    QVERIFY(f.window->Preview1->isEnabled());
}

void MainWindowSettingsTest::aLufsPresetBalancesByLufsFromTheWindow() {
    WindowFixture f;
    f.Drop({f.Tone("a.wav", 3000, 3 * 44100), f.Tone("b.wav", 20000, 3 * 44100)});
    f.window->measurebox->setCurrentIndex(1);
    emit f.window->measurebox->activated(1);
    f.window->presetbox->setCurrentIndex(0);  // EBU R128 (-23 LUFS)
    emit f.window->presetbox->activated(0);
    f.Click(f.window->prepbalbtn);
    QVERIFY(f.prompts.calls.empty());
    for (const int row : {0, 1}) {
        const FileData* file = f.Grid().Record(row);
        QVERIFY(file->ResultBroadcast.IntegratedLufs.has_value());
        QVERIFY(std::abs(*file->ResultBroadcast.IntegratedLufs + 23.0) <= 0.1);
        QVERIFY(*file->ResultBroadcast.TruePeakDbtp <= -1.0);
    }
    // A LUFS preset taken from the highlighted result holds its LUFS.
    f.ClickRow(1);
    f.services.names.push_back(QStringLiteral("Mine"));
    f.Click(f.window->addpresetbtn);
    const int mine = f.window->LufsPresets().FindPreset("Mine");
    QVERIFY(mine >= 0);
    QCOMPARE(f.window->LufsPresets()[mine].Level,
             *f.Grid().Record(1)->ResultBroadcast.IntegratedLufs);
    QCOMPARE(f.window->Presets().FindPreset("Mine"), -1);
}

void MainWindowSettingsTest::fileDialogsOpenWhereTheyLastWereAcrossARestart() {
    WindowFixture f;
    std::filesystem::create_directories(f.dir.Path() / "album");
    std::filesystem::create_directories(f.dir.Path() / "notes");
    const QString album = QString::fromStdString(f.dir.File("album"));
    const QString notes = QString::fromStdString(f.dir.File("notes"));
    f.prompts.openFiles.push_back({f.Tone("album/one.wav", 8000)});
    f.Click(f.window->addfilesbtn);
    f.prompts.saveFiles.push_back(notes + "/loudness.csv");
    f.window->SavetoFile1->trigger();
    f.Restart();
    // A section of its own after the two the program has always written.
    const std::string text = f.IniText();
    const size_t options = text.find("[Options]");
    const size_t windows = text.find("[Windows]");
    const size_t folders = text.find("[Folders]");
    QVERIFY(options < windows && windows < folders && folders != std::string::npos);
    QVERIFY(text.find("addfiles=" + album.toStdString()) != std::string::npos);

    f.prompts.startFolders.clear();
    f.Click(f.window->addfilesbtn);
    f.window->SavetoFile1->trigger();
    QCOMPARE(f.prompts.startFolders, (QStringList{album, notes}));
}

// ---------------------------------------------------------------------------------------
// Hint and help

void MainWindowSettingsTest::hintUntilTickedAcrossARestart() {
    WindowFixture f;
    f.Activate();
    QCOMPARE(f.services.hintsShown, 1);
    QVERIFY(f.window->CurrentOptions().givehint);
    // Ticked this time: no hint any more, also after a restart.
    f.services.tickNoHint = true;
    f.ActivateAnew();
    QCOMPARE(f.services.hintsShown, 2);
    QVERIFY(!f.window->CurrentOptions().givehint);
    f.Restart();
    QVERIFY(f.IniText().find("givehint=0") != std::string::npos);
    f.Activate();
    QCOMPARE(f.services.hintsShown, 2);
}

void MainWindowSettingsTest::hintIsOfferedEachTimeTheWindowIsActiveAnew() {
    WindowFixture f;
    f.Activate();
    QCOMPARE(f.services.hintsShown, 1);
    // Another window takes the focus and gives it back.
    QWidget other;
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    WindowFixture::Settle();
    QCOMPARE(f.services.hintsShown, 1);
    f.Activate();
    QCOMPARE(f.services.hintsShown, 2);
}

void MainWindowSettingsTest::realHintDoesNotComeBackAfterItsOwnOk() {
    tralux::test::TempDir dir;
    tralux::test::FakePrompts prompts;
    tralux::QtWindowServices services(prompts);
    tralux::TBalanceVolumes window({dir.File("tralux.ini"), QString(), prompts, services});
    // Every hint that comes up is answered with OK, the box left unticked.
    int answered = 0;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        if (auto* hint = qobject_cast<tralux::TStartHint*>(QApplication::activeModalWidget())) {
            ++answered;
            QTest::mouseClick(hint->Button1, Qt::LeftButton);
        }
    });
    answer.start(0);
    int offered = 0;
    QObject::connect(&window, &tralux::TBalanceVolumes::hintOffered, [&] { ++offered; });
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitFor([&] { return offered == 1; }));
    // The window takes the focus back from the hint: no second hint for that.
    QVERIFY(QTest::qWaitForWindowActive(&window));
    WindowFixture::Settle();
    QCOMPARE(offered, 1);
    QCOMPARE(answered, 1);
    QVERIFY(window.CurrentOptions().givehint);
    // Coming back from another window is a new activation.
    QWidget other;
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    window.activateWindow();
    QVERIFY(QTest::qWaitFor([&] { return offered == 2; }));
    QCOMPARE(answered, 2);
    window.MutableOptions().givehint = false;
    window.close();
}

void MainWindowSettingsTest::helpOpensTheIntroductionPage() {
    WindowFixture f;
    f.Click(f.window->helpbtn);
    QCOMPARE(f.services.helpPages.size(), size_t{1});
    QCOMPARE(f.services.helpPages[0], QUrl::fromLocalFile(f.helpFolder + "/introduction.html"));
    QVERIFY(f.prompts.calls.empty());
}

void MainWindowSettingsTest::helpShowsInAWindowOfItsOwn() {
    // The program's own services: no desktop browser takes part.
    tralux::test::TempDir dir;
    std::filesystem::create_directories(dir.Path() / "help");
    const std::string page = "<html><body><h1>Welcome to Tralux</h1></body></html>";
    tralux::test::WriteFile(dir.File("help/introduction.html"),
                            std::vector<uint8_t>(page.begin(), page.end()));
    const std::string settings = "[Options]\ngivehint=0\n";
    tralux::test::WriteFile(dir.File("tralux.ini"),
                            std::vector<uint8_t>(settings.begin(), settings.end()));
    tralux::test::FakePrompts prompts;
    tralux::QtWindowServices services(prompts);
    tralux::TBalanceVolumes window(
        {dir.File("tralux.ini"), QString::fromStdString(dir.File("help")), prompts, services});
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTest::keyClick(&window, Qt::Key_F1);
    auto* viewer = window.findChild<tralux::THelpViewer*>();
    QVERIFY(viewer != nullptr);
    QVERIFY(viewer->isVisible());
    QVERIFY(viewer->browser->toPlainText().contains(QStringLiteral("Welcome to Tralux")));
    // Asked again, the same window comes forward.
    viewer->close();
    window.helpbtn->click();
    QCOMPARE(window.findChildren<tralux::THelpViewer*>().size(), 1);
    QVERIFY(viewer->isVisible());
    QVERIFY(prompts.calls.empty());
    window.close();
}

// ---------------------------------------------------------------------------------------
// Closing and the dialogs

void MainWindowSettingsTest::settingsWrittenOnClose_data() {
    QTest::addColumn<bool>("byExit");
    QTest::newRow("Exit button") << true;
    QTest::newRow("close control") << false;
}

void MainWindowSettingsTest::settingsWrittenOnClose() {
    QFETCH(bool, byExit);
    WindowFixture f;
    f.window->resize(640, 480);
    f.window->MutableOptions().nameext = "_balanced";
    QVERIFY(!std::filesystem::exists(f.ini));
    if (byExit) {
        f.Click(f.window->exitbtn);
    } else {
        QCloseEvent close;
        QApplication::sendEvent(f.window.get(), &close);
        QVERIFY(close.isAccepted());
        f.window->hide();
    }
    const std::string ini = f.IniText();
    for (const char* key :
         {"[Options]", "givehint=", "nameext=_balanced", "defaultreflevel=0", "defaultrefpreset=0",
          "pname1=ReplayGain '89dB' Standard", "pval1=2810", "[Windows]", "winstate=0",
          "mainwidth=640", "mainheight=480", "grpwidth=400"}) {
        QVERIFY2(ini.find(key) != std::string::npos, key);
    }
    f.Start();
    QCOMPARE(f.window->size(), QSize(640, 480));
    QCOMPARE(f.window->CurrentOptions().nameext, std::string("_balanced"));
}

void MainWindowSettingsTest::unwritableSettingsAreReportedAndTheWindowCloses() {
    WindowFixture f;
    // A folder that is a file: no user, not even root, can write there.
    tralux::test::WriteFile(f.dir.File("not a folder"), {1, 2, 3});
    f.ini = f.dir.File("not a folder/tralux.ini");
    f.Restart();
    f.window->close();
    QVERIFY(!f.window->isVisible());
    QCOMPARE(f.prompts.Texts(Kind::Error),
             QStringList{QStringLiteral("Unable to write to ") + QString::fromStdString(f.ini)});
}

void MainWindowSettingsTest::advancedOptionsOkRefreshesTheNames() {
    WindowFixture f;
    const QString path = f.Tone("song.wav", 3000);
    f.Drop({path});
    QCOMPARE(f.Grid().CellText(0, FileGrid::SourceColumn), QStringLiteral("song.wav"));
    f.services.advancedEdit = [](tralux::Options& options) { options.fnamesonly = false; };
    f.services.advancedResult = false;  // Cancel: the window refreshes no names
    f.Click(f.window->advancedbtn);
    QCOMPARE(f.Grid().CellText(0, FileGrid::SourceColumn), QStringLiteral("song.wav"));
    f.services.advancedResult = true;
    f.Click(f.window->advancedbtn);
    QCOMPARE(f.services.advancedShown, 2);
    QCOMPARE(f.Grid().CellText(0, FileGrid::SourceColumn),
             tralux::FitText(path, f.Grid().columnWidth(0) - 2, f.Grid().fontMetrics(), false));
}

void MainWindowSettingsTest::groupingResult_data() {
    QTest::addColumn<bool>("changed");
    QTest::newRow("changed") << true;
    QTest::newRow("unchanged") << false;
}

void MainWindowSettingsTest::groupingResult() {
    QFETCH(bool, changed);
    WindowFixture f;
    f.Drop({f.Tone("a.wav", 3000), f.Tone("b.wav", 6000), f.Tone("c.wav", 9000)});
    f.Click(f.window->preparebtn);
    QVERIFY(f.window->Runs().ReadyToBalance);
    f.services.groupingResult = changed;
    f.services.groupingEdit = [changed](const std::vector<FileData*>& files) {
        QCOMPARE(files.size(), size_t{3});
        if (changed) {
            files[0]->GroupNumber = 2;
            files[2]->GroupNumber = 2;
        }
    };
    f.Click(f.window->groupingbtn);
    QCOMPARE(f.services.groupingShown, 1);
    QCOMPARE(f.window->Runs().ReadyToBalance, !changed);
    QCOMPARE(f.window->balancebtn->isEnabled(), !changed);
    QCOMPARE(f.Grid().CellText(0, FileGrid::GroupColumn), changed ? "2" : "");
    QCOMPARE(f.Grid().CellText(1, FileGrid::GroupColumn), QString());
    QCOMPARE(f.Grid().CellText(2, FileGrid::GroupColumn), changed ? "2" : "");
}

void MainWindowSettingsTest::realDialogsAnswerThroughTheirControls() {
    tralux::test::FakePrompts prompts;
    tralux::QtWindowServices services(prompts);
    QWidget parent;
    parent.show();
    // The prompt: a name typed and Enter pressed.
    QTimer::singleShot(0, [] {
        QWidget* dialog = QApplication::activeModalWidget();
        QVERIFY(dialog != nullptr);
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Supply a Name for the Preset"));
        auto* reply = dialog->findChild<QLineEdit*>();
        QTest::keyClicks(reply, "Loud one ");
        QTest::keyClick(reply, Qt::Key_Return);
    });
    QCOMPARE(services.AskName(&parent, "Supply a Name for the Preset", QString()),
             std::optional<QString>(QStringLiteral("Loud one ")));
    // The hint: "Don't show this hint again" ticked, then OK.
    QTimer::singleShot(0, [] {
        auto* hint = qobject_cast<tralux::TStartHint*>(QApplication::activeModalWidget());
        QVERIFY(hint != nullptr);
        QTest::mouseClick(hint->nohint, Qt::LeftButton);
        QTest::mouseClick(hint->Button1, Qt::LeftButton);
    });
    QVERIFY(services.StartHint(&parent));
}

QTEST_MAIN(MainWindowSettingsTest)
#include "MainWindowSettingsTest.moc"
