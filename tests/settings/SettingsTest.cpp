#include "settings/Settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "TempDir.h"
#include "TestWav.h"

namespace tralux {
namespace {

using test::ReadText;

// Everything LoadSettings fills, loaded from a settings text.
struct Loaded {
    Options options;
    WindowPlacement placement;
    PresetList presets;
    SettingsWindowState state;
    std::vector<std::string> warnings;

    explicit Loaded(const std::string& text, const std::string& separator = ".") {
        ReadSettings(
            ProfileFile::Parse(text), options, placement, presets, state,
            [this](const std::string& message) { warnings.push_back(message); }, separator);
    }

    std::string Saved(const std::string& old = "", const std::string& separator = ".") const {
        ProfileFile file = ProfileFile::Parse(old);
        WriteSettings(file, options, placement, presets, state, separator);
        return file.Text();
    }
};

const char* const DefaultFile =
    "[Options]\n"
    "givehint=1\n"
    "nameext=_tralux\n"
    "outputdir=\n"
    "samefolder=1\n"
    "addoutputext=1\n"
    "overwritewarn=0\n"
    "wavonly=1\n"
    "fnamesonly=1\n"
    "truncends=0\n"
    "loudnessunits=0\n"
    "normaliselevel=32767\n"
    "dofinalnorm=0\n"
    "maxcompfactor=3\n"
    "warncompfactor=1.5\n"
    "defaultreflevel=0\n"
    "defaultrefpreset=0\n"
    "replaygaindeleted=0\n"
    "pname1=ReplayGain '89dB' Standard\n"
    "pval1=2810\n"
    "[Windows]\n"
    "winstate=0\n"
    "mainleft=2\n"
    "maintop=2\n"
    "mainwidth=700\n"
    "mainheight=500\n"
    "grpleft=50\n"
    "grptop=50\n"
    "grpwidth=400\n"
    "grpheight=420\n";

TEST(Settings, NoFileGivesTheDefaultsAndTheBuiltInPresetAndSavesEveryKey) {
    test::TempDir dir;
    const std::string path = dir.File("tralux.ini");
    Options options;
    options.givehint = false;  // stale values must not survive loading
    WindowPlacement placement;
    placement.mainleft = 99;
    PresetList presets;
    presets.Append(Preset("stale", 1));
    SettingsWindowState state;
    std::vector<std::string> warnings;
    LoadSettings(
        path, options, placement, presets, state,
        [&](const std::string& message) { warnings.push_back(message); }, ".");
    EXPECT_TRUE(options.givehint);
    EXPECT_EQ(options.nameext, "_tralux");
    EXPECT_EQ(options.normaliselevel, 32767);
    EXPECT_EQ(options.maxcompfactor, 3.0);
    EXPECT_EQ(options.warncompfactor, 1.5);
    EXPECT_EQ(placement.mainleft, 2);
    EXPECT_EQ(placement.mainwidth, 700);
    EXPECT_EQ(placement.mainheight, 500);
    ASSERT_EQ(presets.Count(), 1);
    EXPECT_EQ(presets[0].Name, "ReplayGain '89dB' Standard");
    EXPECT_EQ(presets[0].Level, 2810.0);
    EXPECT_EQ(state.defaultreflevel, ReferenceChoice::Quietest);
    EXPECT_EQ(state.defaultrefpreset, 0);
    EXPECT_TRUE(warnings.empty());

    SaveSettings(path, options, placement, presets, state, ".");
    EXPECT_EQ(ReadText(path), DefaultFile);
}

TEST(Settings, ValuesAreReadAsTyped) {
    const Loaded loaded(
        "[OPTIONS]\n"
        "givehint=0\nnameext=  _mine \naddoutputext=0x0\noverwritewarn=7\nsamefolder=0x2\n"
        "wavonly=no\nfnamesonly=0\ntruncends=1\nloudnessunits=5\nnormaliselevel=70000\n"
        "dofinalnorm=1\nmaxcompfactor=2\nwarncompfactor=5\n"
        "[windows]\nmainleft=-10\nmaintop=20\nmainwidth=abc\nwinstate=2\ngrpheight=0x64\n");
    const Options& o = loaded.options;
    EXPECT_FALSE(o.givehint);
    EXPECT_EQ(o.nameext, "_mine");
    EXPECT_FALSE(o.addoutputext);
    EXPECT_TRUE(o.overwritewarn);
    EXPECT_EQ(o.samefolder, 2);
    EXPECT_TRUE(o.wavonly);  // unparsable: the default
    EXPECT_FALSE(o.fnamesonly);
    EXPECT_TRUE(o.truncends);
    EXPECT_EQ(o.loudnessunits, 0);      // no unit of the dialog: the default
    EXPECT_EQ(o.normaliselevel, 4464);  // 70000 cut to 16 bits
    EXPECT_TRUE(o.dofinalnorm);
    EXPECT_EQ(o.maxcompfactor, 2.0);
    EXPECT_EQ(o.warncompfactor, 2.0);  // never above maxcompfactor
    const WindowPlacement& p = loaded.placement;
    EXPECT_EQ(p.mainleft, -10);
    EXPECT_EQ(p.maintop, 20);
    EXPECT_EQ(p.mainwidth, 700);
    EXPECT_EQ(p.winstate, 2);
    EXPECT_EQ(p.grpheight, 100);
}

TEST(Settings, NormaliseLevelKeepsItsLowSixteenBitsAsSignedWithinTheDialogsRange) {
    EXPECT_EQ(Loaded("[Options]\nnormaliselevel=0x10400\n").options.normaliselevel, 1024);
    EXPECT_EQ(Loaded("[Options]\nnormaliselevel=0x17FFF\n").options.normaliselevel, 32767);
    // -25536 in 16 bits, below the lowest level the dialog allows.
    EXPECT_EQ(Loaded("[Options]\nnormaliselevel=40000\n").options.normaliselevel, 1024);
    EXPECT_EQ(Loaded("[Options]\nnormaliselevel=-1\n").options.normaliselevel, 1024);
    EXPECT_EQ(Loaded("[Options]\nnormaliselevel=1023\n").options.normaliselevel, 1024);
}

TEST(Settings, CompressionFactorsAreBroughtIntoTheDialogsRange) {
    struct Case {
        const char* max;
        const char* warn;
        double loadedMax;
        double loadedWarn;
    };
    const Case cases[] = {
        {"0", "1.5", 1.1, 1.1}, {"-1", "-1", 1.1, 1.1},   {"9", "5", 4.0, 4.0},
        {"2", "0.5", 2.0, 1.1}, {"1.1", "1.1", 1.1, 1.1}, {"4", "1e300", 4.0, 4.0},
    };
    for (const Case& c : cases) {
        const Loaded loaded(std::string("[Options]\nmaxcompfactor=") + c.max +
                            "\nwarncompfactor=" + c.warn + "\n");
        EXPECT_EQ(loaded.options.maxcompfactor, c.loadedMax) << c.max << " " << c.warn;
        EXPECT_EQ(loaded.options.warncompfactor, c.loadedWarn) << c.max << " " << c.warn;
    }
}

TEST(Settings, FlacLevelIsAsTheSourceUnlessALevelTheEncoderHasIsStored) {
    EXPECT_EQ(Loaded("[Options]\ngivehint=1\n").options.flaclevel, FlacLevelAsTheSource);
    EXPECT_EQ(Loaded("[Options]\nflaclevel=0\n").options.flaclevel, 0);
    EXPECT_EQ(Loaded("[Options]\nflaclevel=8\n").options.flaclevel, 8);
    EXPECT_EQ(Loaded("[Options]\nflaclevel=9\n").options.flaclevel, FlacLevelAsTheSource);
    EXPECT_EQ(Loaded("[Options]\nflaclevel=-2\n").options.flaclevel, FlacLevelAsTheSource);
}

TEST(Settings, OutputChoicesTheDialogCannotHoldFallBack) {
    EXPECT_EQ(Loaded("[Options]\nsamefolder=7\n").options.samefolder, 0);
    EXPECT_EQ(Loaded("[Options]\nsamefolder=-1\n").options.samefolder, 0);
    EXPECT_EQ(Loaded("[Options]\nsamefolder=2\n").options.samefolder, 2);
    EXPECT_EQ(Loaded("[Options]\nloudnessunits=-1\n").options.loudnessunits, 0);
    EXPECT_EQ(Loaded("[Options]\nloudnessunits=2\n").options.loudnessunits, 2);
    // A name part that would lead results into another folder is not taken.
    for (const char* part : {"_t/../../up", "/abs", "a\\b", ".", "..", "...."}) {
        EXPECT_EQ(Loaded(std::string("[Options]\nnameext=") + part + "\n").options.nameext,
                  "_tralux")
            << part;
    }
    for (const char* part : {"x.y", ".old", "_..", ""}) {
        EXPECT_EQ(Loaded(std::string("[Options]\nnameext=") + part + "\n").options.nameext, part);
    }
}

TEST(Settings, AMissingOutputFolderIsClearedWithAWarning) {
    test::TempDir dir;
    const Loaded present("[Options]\noutputdir=" + dir.Path().string() + "\n");
    EXPECT_EQ(present.options.outputdir, dir.Path().string());
    EXPECT_TRUE(present.warnings.empty());

    const std::string gone = dir.File("gone");
    const Loaded missing("[Options]\noutputdir=" + gone + "\n");
    EXPECT_EQ(missing.options.outputdir, "");
    EXPECT_EQ(missing.warnings,
              std::vector<std::string>{"Failed to set output directory to " + gone});
}

TEST(Settings, AHundredThousandPresetsLoadAndSaveWithoutAPassPerKey) {
    std::string text = "[Options]\n";
    for (int n = 1; n <= 100000; ++n) {
        text += "pname" + std::to_string(n) + "=Preset " + std::to_string(n) + "\npval" +
                std::to_string(n) + "=" + std::to_string(n % 20000 + 3000) + "\n";
    }
    text += "[Windows]\nmainleft=9\n";
    // Processor time, not wall time: a busy machine must not fail the test.
    const std::clock_t start = std::clock();
    const Loaded loaded(text);
    const std::clock_t loadedAt = std::clock();
    const std::string saved = loaded.Saved(text);
    const std::clock_t end = std::clock();
    ASSERT_EQ(loaded.presets.Count(), 100001);  // and the built-in one
    EXPECT_EQ(loaded.presets[99999].Name, "Preset 100000");
    EXPECT_EQ(loaded.placement.mainleft, 9);
    EXPECT_NE(saved.find("\npname100001=ReplayGain '89dB' Standard\n"), std::string::npos);
    // A key lookup that reads every line takes minutes here; an index, a fraction of a second.
    // The bound leaves room for slow and instrumented builds.
    EXPECT_LT(double(loadedAt - start) / CLOCKS_PER_SEC, 5.0);
    EXPECT_LT(double(end - loadedAt) / CLOCKS_PER_SEC, 5.0);
}

TEST(Settings, PresetsStopAtTheFirstGapAndAreRenumberedOnSave) {
    Loaded loaded(
        "[Options]\npname1=One\npval1=100.4\npname2=Two\npval2=junk\npname4=Four\npval4=400\n");
    EXPECT_EQ(loaded.presets.Names(),
              (std::vector<std::string>{"One", "Two", "ReplayGain '89dB' Standard"}));
    EXPECT_EQ(loaded.presets[0].Level, 100.0);
    EXPECT_EQ(loaded.presets[1].Level, 0.0);

    bool replaygaindeleted = loaded.options.replaygaindeleted;
    loaded.presets.DeletePreset(0, replaygaindeleted);
    const std::string saved = loaded.Saved();
    EXPECT_NE(saved.find("pname1=Two\npval1=0\npname2=ReplayGain '89dB' Standard\npval2=2810\n"),
              std::string::npos)
        << saved;
    EXPECT_EQ(saved.find("pname3"), std::string::npos);
    EXPECT_EQ(saved.find("Four"), std::string::npos);
}

struct BuiltInCase {
    const char* text;
    bool builtInAdded;
};

class BuiltInPresetTest : public testing::TestWithParam<BuiltInCase> {};

TEST_P(BuiltInPresetTest, AddedUnlessPresentOrDeleted) {
    const Loaded loaded(std::string("[Options]\n") + GetParam().text);
    EXPECT_EQ(loaded.presets.FindPreset(BuiltInPresetName) >= 0, GetParam().builtInAdded);
}

INSTANTIATE_TEST_SUITE_P(
    Files, BuiltInPresetTest,
    testing::Values(BuiltInCase{"", true}, BuiltInCase{"pname1=Mine\npval1=2810\n", false},
                    BuiltInCase{"pname1=Mine\npval1=2810.0\n", false},
                    // Rounds to 2810 but is not exactly it.
                    BuiltInCase{"pname1=Mine\npval1=2810.4\n", true},
                    BuiltInCase{"replaygaindeleted=1\n", false},
                    BuiltInCase{"replaygaindeleted=0\npname1=A\npval1=1\n", true}));

struct ReferenceCase {
    const char* text;
    int32_t presetCount;  // 1 unless the text removes the built-in preset
    int32_t reference;
    int32_t selection;
};

class ReferenceChoiceTest : public testing::TestWithParam<ReferenceCase> {};

TEST_P(ReferenceChoiceTest, LoadsTheChoiceAndTheSelection) {
    const Loaded loaded(std::string("[Options]\npname1=A\npval1=2810\npname2=B\npval2=9\n") +
                        GetParam().text);
    EXPECT_EQ(loaded.presets.Count(), GetParam().presetCount);
    EXPECT_EQ(static_cast<int32_t>(loaded.state.defaultreflevel), GetParam().reference);
    EXPECT_EQ(loaded.state.defaultrefpreset, GetParam().selection);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ReferenceChoiceTest,
    testing::Values(ReferenceCase{"", 2, 0, 0},
                    ReferenceCase{"defaultreflevel=2\ndefaultrefpreset=1\n", 2, 2, 1},
                    ReferenceCase{"defaultreflevel=7\n", 2, 0, 0},
                    ReferenceCase{"defaultreflevel=-1\n", 2, 0, 0},
                    ReferenceCase{"defaultreflevel=1\ndefaultrefpreset=2\n", 2, 1, -1},
                    ReferenceCase{"defaultreflevel=1\ndefaultrefpreset=-1\n", 2, 1, -1},
                    ReferenceCase{"defaultreflevel=3\ndefaultrefpreset=1\n", 2, 3, 1},
                    // "Preset:" always has a preset chosen...
                    ReferenceCase{"defaultreflevel=3\ndefaultrefpreset=9\n", 2, 3, 0}));

TEST(Settings, PresetChoiceWithoutPresetsFallsBackToGreatestDynamicRange) {
    // ...and is not left checked when there is none to choose.
    const Loaded loaded("[Options]\nreplaygaindeleted=1\ndefaultreflevel=3\n");
    EXPECT_TRUE(loaded.presets.Empty());
    EXPECT_EQ(loaded.state.defaultreflevel, ReferenceChoice::Quietest);
    EXPECT_EQ(loaded.state.defaultrefpreset, -1);
}

TEST(Settings, AnUnknownReferenceSavesAsZeroAndOddChoicesAsPreset) {
    Loaded loaded("[Options]\ndefaultreflevel=7\n");
    EXPECT_NE(loaded.Saved().find("defaultreflevel=0\n"), std::string::npos);
    loaded.state.defaultreflevel = static_cast<ReferenceChoice>(9);
    loaded.state.defaultrefpreset = 5;
    const std::string saved = loaded.Saved();
    EXPECT_NE(saved.find("defaultreflevel=3\ndefaultrefpreset=-1\n"), std::string::npos);
}

// Every field changed from its default, and awkward text values.
Loaded Unusual() {
    Loaded loaded("");
    Options& o = loaded.options;
    o.givehint = false;
    o.nameext = " _x,y ";
    o.addoutputext = false;
    o.overwritewarn = true;
    o.samefolder = 2;
    o.outputdir = "";
    o.wavonly = false;
    o.fnamesonly = false;
    o.truncends = true;
    o.loudnessunits = 1;
    o.normaliselevel = 1024;
    o.dofinalnorm = true;
    o.maxcompfactor = 2.7;
    o.warncompfactor = 1.0 / 3.0 + 1.0;
    o.replaygaindeleted = true;
    o.flaclevel = 7;
    loaded.presets.Clear();
    loaded.presets.Append(Preset("Zed", 1234.5678));
    loaded.presets.Append(Preset("Zed ", 10));
    loaded.presets.Append(Preset("\"quoted\"", 0.1));
    loaded.state.defaultreflevel = ReferenceChoice::Preset;
    loaded.state.defaultrefpreset = 2;
    loaded.placement = {-5, 6, 800, 600, 2, 51, 52, 401, 421, "120,80,120,80,40"};
    loaded.placement.showbroadcast = true;
    return loaded;
}

void ExpectSame(const Loaded& a, const Loaded& b) {
    EXPECT_EQ(a.options.givehint, b.options.givehint);
    EXPECT_EQ(a.options.nameext, b.options.nameext);
    EXPECT_EQ(a.options.addoutputext, b.options.addoutputext);
    EXPECT_EQ(a.options.overwritewarn, b.options.overwritewarn);
    EXPECT_EQ(a.options.samefolder, b.options.samefolder);
    EXPECT_EQ(a.options.outputdir, b.options.outputdir);
    EXPECT_EQ(a.options.wavonly, b.options.wavonly);
    EXPECT_EQ(a.options.fnamesonly, b.options.fnamesonly);
    EXPECT_EQ(a.options.truncends, b.options.truncends);
    EXPECT_EQ(a.options.loudnessunits, b.options.loudnessunits);
    EXPECT_EQ(a.options.normaliselevel, b.options.normaliselevel);
    EXPECT_EQ(a.options.dofinalnorm, b.options.dofinalnorm);
    // Fifteen significant digits: reals survive to that precision.
    EXPECT_DOUBLE_EQ(a.options.maxcompfactor, b.options.maxcompfactor);
    EXPECT_NEAR(a.options.warncompfactor, b.options.warncompfactor, 1e-14);
    EXPECT_EQ(a.options.replaygaindeleted, b.options.replaygaindeleted);
    EXPECT_EQ(a.options.flaclevel, b.options.flaclevel);
    ASSERT_EQ(a.presets.Count(), b.presets.Count());
    for (int i = 0; i < a.presets.Count(); ++i) {
        EXPECT_EQ(a.presets[i].Name, b.presets[i].Name);
    }
    EXPECT_EQ(a.state.defaultreflevel, b.state.defaultreflevel);
    EXPECT_EQ(a.state.defaultrefpreset, b.state.defaultrefpreset);
    const WindowPlacement& p = a.placement;
    const WindowPlacement& q = b.placement;
    EXPECT_EQ(std::vector<int32_t>({p.mainleft, p.maintop, p.mainwidth, p.mainheight, p.winstate,
                                    p.grpleft, p.grptop, p.grpwidth, p.grpheight}),
              std::vector<int32_t>({q.mainleft, q.maintop, q.mainwidth, q.mainheight, q.winstate,
                                    q.grpleft, q.grptop, q.grpwidth, q.grpheight}));
    EXPECT_EQ(p.colwidths, q.colwidths);
    EXPECT_EQ(p.showbroadcast, q.showbroadcast);
}

TEST(Settings, TheBroadcastColumnsAreOffUnlessAFileSwitchedThemOn) {
    const Loaded old(DefaultFile);
    EXPECT_FALSE(old.placement.showbroadcast);
    // Off, the key is not written: a file from before it existed stays as it was.
    EXPECT_EQ(old.Saved().find("showbroadcast"), std::string::npos);
    Loaded on = old;
    on.placement.showbroadcast = true;
    const std::string text = on.Saved();
    EXPECT_NE(text.find("[Windows]"), std::string::npos);
    EXPECT_NE(text.find("showbroadcast=1\n"), std::string::npos) << text;
    EXPECT_TRUE(Loaded(text).placement.showbroadcast);
}

class RoundTripTest : public testing::TestWithParam<const char*> {};

TEST_P(RoundTripTest, LoadSaveLoadKeepsEveryValue) {
    const Loaded original = Unusual();
    const std::string text = original.Saved("", GetParam());
    const Loaded again(text, GetParam());
    ExpectSame(original, again);
    EXPECT_EQ(again.presets[0].Level, 1235.0);  // loaded presets hold whole levels
    EXPECT_EQ(again.Saved("", GetParam()),
              Loaded(again.Saved("", GetParam()), GetParam()).Saved("", GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Separators, RoundTripTest, testing::Values(".", ","));

TEST(Settings, RealsUseTheDecimalSeparatorGiven) {
    const std::string text = Unusual().Saved("", ",");
    EXPECT_NE(text.find("maxcompfactor=2,7\n"), std::string::npos) << text;
    EXPECT_NE(text.find("pval1=1234,5678\n"), std::string::npos) << text;
    EXPECT_NE(text.find("nameext=\" _x,y \"\n"), std::string::npos) << text;
}

TEST(Settings, ACommaLocaleIsTheDefaultSeparatorWhenInstalled) {
    const std::string previous = std::setlocale(LC_NUMERIC, nullptr);
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr) {
        GTEST_SKIP() << "de_DE.UTF-8 is not installed";
    }
    test::TempDir dir;
    const std::string path = dir.File("tralux.ini");
    Options options;
    options.maxcompfactor = 2.5;
    SaveSettings(path, options, WindowPlacement(), PresetList(), SettingsWindowState());
    std::setlocale(LC_NUMERIC, previous.c_str());
    EXPECT_NE(ReadText(path).find("maxcompfactor=2,5\n"), std::string::npos);
}

TEST(Settings, ForeignSectionsAndKeysSurviveASave) {
    const std::string old =
        "; kept comment\r\n[Recent]\r\nfile1=/a.wav\r\n[options]\r\nstale=1\r\npname9=Old\r\n"
        "[Windows]\r\nextra=5\r\n[Zzz]\r\nk=v\r\n";
    const Loaded loaded(old);
    const std::string saved = loaded.Saved(old);
    EXPECT_EQ(saved.rfind("; kept comment\n[Recent]\nfile1=/a.wav\n[Zzz]\nk=v\n[Options]\n", 0), 0u)
        << saved;
    // The program's own sections are rewritten whole.
    EXPECT_EQ(saved.find("stale"), std::string::npos);
    EXPECT_EQ(saved.find("pname9"), std::string::npos);
    EXPECT_EQ(saved.find("extra"), std::string::npos);
    EXPECT_EQ(saved.find('\r'), std::string::npos);
}

TEST(Settings, AFailedSaveLeavesTheOldFileAndNamesThePath) {
    test::TempDir dir;
    // A file standing where the settings folder should be: no permissions needed (root).
    std::ofstream(dir.File("blocker")) << "not a folder";
    const std::string path = dir.File("blocker/tralux.ini");
    try {
        SaveSettings(path, Options(), WindowPlacement(), PresetList(), SettingsWindowState(), ".");
        FAIL() << "no error";
    } catch (const SettingsError& error) {
        EXPECT_EQ(std::string(error.what()), "Unable to write to " + path);
    }
    EXPECT_EQ(ReadText(dir.File("blocker")), "not a folder");
}

TEST(Settings, AFailedRenameLeavesTheOldFileIntact) {
    test::TempDir dir;
    // The settings path names a folder: the new file can be written but not put in place.
    const std::string path = dir.File("tralux.ini");
    std::filesystem::create_directory(path);
    std::ofstream(path + "/inside") << "old";
    EXPECT_THROW(
        SaveSettings(path, Options(), WindowPlacement(), PresetList(), SettingsWindowState(), "."),
        SettingsError);
    EXPECT_EQ(ReadText(path + "/inside"), "old");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}

TEST(SettingsFilePath, BesideTheExecutableElseTheUserConfigFolder) {
    EXPECT_EQ(ChooseSettingsFilePath("/opt/tralux", false, true, "/home/u/.config"),
              "/opt/tralux/tralux.ini");
    EXPECT_EQ(ChooseSettingsFilePath("/opt/tralux", false, false, "/home/u/.config"),
              "/home/u/.config/Tralux/tralux.ini");
    EXPECT_EQ(ChooseSettingsFilePath("/usr/bin", true, true, "/root/.config"),
              "/root/.config/Tralux/tralux.ini");
    EXPECT_EQ(UserConfigFolder("/xdg", "/home/u"), "/xdg");
    EXPECT_EQ(UserConfigFolder("relative", "/home/u"), "/home/u/.config");
    EXPECT_EQ(UserConfigFolder(nullptr, "/home/u"), "/home/u/.config");
    EXPECT_EQ(UserConfigFolder("", "/home/u"), "/home/u/.config");

    test::TempDir dir;
    EXPECT_EQ(SettingsFilePath(dir.Path().string()), dir.File("tralux.ini"));
    std::ofstream(dir.File("file")) << "x";
    EXPECT_EQ(SettingsFilePath(dir.File("file")), UserConfigFolder() + "/Tralux/tralux.ini");
}

// Sets an environment variable for one test and puts the old value back.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnvironment() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

// Install layouts in a temporary folder; every folder in it can be written, as /usr/bin can
// by root.
TEST(SettingsFilePath, AnInstalledProgramUsesTheUserConfigFolderWhoeverRunsIt) {
    test::TempDir dir;
    const ScopedEnvironment xdg("XDG_CONFIG_HOME", dir.File("config"));
    const std::string userFile = dir.File("config") + "/Tralux/tralux.ini";
    std::filesystem::create_directories(dir.File("usr/bin"));
    std::filesystem::create_directories(dir.File("usr/share/tralux/help"));
    std::filesystem::create_directories(dir.File("unpacked"));
    std::filesystem::create_directories(dir.File("build/cli"));

    EXPECT_TRUE(IsInstalledProgramFolder(dir.File("usr/bin")));
    EXPECT_TRUE(IsInstalledProgramFolder(dir.File("usr/share/../bin")));
    EXPECT_EQ(SettingsFilePath(dir.File("usr/bin")), userFile);
    // Not installed: beside the executable.
    EXPECT_FALSE(IsInstalledProgramFolder(dir.File("unpacked")));
    EXPECT_FALSE(IsInstalledProgramFolder(dir.File("build/cli")));
    EXPECT_EQ(SettingsFilePath(dir.File("unpacked")), dir.File("unpacked/tralux.ini"));
    EXPECT_EQ(SettingsFilePath(dir.File("build/cli")), dir.File("build/cli/tralux.ini"));
    // A share/tralux that is a file is no install.
    std::filesystem::create_directories(dir.File("opt/bin"));
    std::filesystem::create_directories(dir.File("opt/share"));
    std::ofstream(dir.File("opt/share/tralux")) << "x";
    EXPECT_EQ(SettingsFilePath(dir.File("opt/bin")), dir.File("opt/bin/tralux.ini"));
}

TEST(SettingsFilePath, AFolderThatCannotBeWrittenSendsTheSettingsToTheUserConfigFolder) {
    test::TempDir dir;
    const ScopedEnvironment xdg("XDG_CONFIG_HOME", dir.File("config"));
    std::filesystem::create_directories(dir.File("unpacked"));
    ASSERT_EQ(::chmod(dir.File("unpacked").c_str(), 0555), 0);
    const std::string path = SettingsFilePath(dir.File("unpacked"));
    ::chmod(dir.File("unpacked").c_str(), 0755);
    if (::geteuid() == 0) {
        GTEST_SKIP() << "permissions do not bind root";
    }
    EXPECT_EQ(path, dir.File("config") + "/Tralux/tralux.ini");
}

TEST(Settings, AFileFromBeforeLufsBalancingLoadsWithItsDefaultsAndSavesAsItWas) {
    const std::string old =
        std::string(DefaultFile)
            .insert(std::string(DefaultFile).find("[Windows]"), "pname2=Club\npval2=4000\n");
    const Loaded loaded(old);
    EXPECT_EQ(loaded.state.measure, BalanceMeasure::Rms);
    EXPECT_EQ(loaded.options.truepeaklimit, -1.0);
    ASSERT_EQ(loaded.presets.Count(), 2);
    EXPECT_EQ(loaded.presets[1].Level, 4000.0);
    ASSERT_EQ(loaded.state.lufspresets.Count(), 4);
    EXPECT_EQ(loaded.state.lufspresets[0].Name, "EBU R128 (-23 LUFS)");
    EXPECT_EQ(loaded.state.lufspresets[0].Level, -23.0);
    EXPECT_EQ(loaded.state.lufspresets[3].Name, "Streaming (-14 LUFS)");
    EXPECT_EQ(loaded.state.defaultlufspreset, -1);
    EXPECT_EQ(loaded.Saved(), old);
}

TEST(Settings, TheMeasureTheCeilingAndTheLufsPresetsRoundTrip) {
    Loaded changed(DefaultFile);
    changed.state.measure = BalanceMeasure::Lufs;
    changed.options.truepeaklimit = -2.5;
    bool replaygainDeleted = false;
    changed.state.lufspresets.DeletePreset(0, replaygainDeleted);
    const int added = changed.state.lufspresets.StorePreset("Audiobook", -18.7);
    changed.state.defaultlufspreset = added;
    const std::string text = changed.Saved("", ",");
    EXPECT_NE(text.find("truepeaklimit=-2,5\n"), std::string::npos) << text;
    EXPECT_NE(text.find("measure=1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("lufspresets=4\nlufsname1=Audiobook\nlufslevel1=-18,7\n"),
              std::string::npos)
        << text;
    EXPECT_FALSE(replaygainDeleted);

    const Loaded again(text, ",");
    EXPECT_EQ(again.state.measure, BalanceMeasure::Lufs);
    EXPECT_EQ(again.options.truepeaklimit, -2.5);
    ASSERT_EQ(again.state.lufspresets.Count(), 4);
    EXPECT_EQ(again.state.lufspresets[0].Level, -18.7);  // LUFS levels keep their decimals
    EXPECT_EQ(again.state.lufspresets.FindPreset("EBU R128 (-23 LUFS)"), -1);
    EXPECT_EQ(again.state.defaultlufspreset, 0);
    EXPECT_EQ(again.presets.Count(), 1);  // the RMS presets are apart

    // Every LUFS preset deleted stays deleted.
    Loaded emptied(DefaultFile);
    emptied.state.lufspresets.Clear();
    EXPECT_EQ(Loaded(emptied.Saved()).state.lufspresets.Count(), 0);
}

TEST(Settings, TheCeilingIsKeptAtOrBelowFullScale) {
    const auto ceilingOf = [](const std::string& value) {
        return Loaded("[Options]\ntruepeaklimit=" + value + "\n").options.truepeaklimit;
    };
    EXPECT_EQ(ceilingOf("3"), 0.0);
    EXPECT_EQ(ceilingOf("-50"), LowestTruePeakLimit);
    EXPECT_EQ(ceilingOf("-0.5"), -0.5);
    EXPECT_EQ(ceilingOf("x"), -1.0);
}

}  // namespace
}  // namespace tralux
