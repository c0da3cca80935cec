// tralux-cli run as a process on generated WAV files.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "../files/FlacTestFiles.h"
#include "ChildProcess.h"
#include "FakeProgressSink.h"
#include "FakeRunHost.h"
#include "Program.h"
#include "TempDir.h"
#include "TestWav.h"
#include "engine/AudioEngine.h"
#include "files/FileAccess.h"
#include "files/FlacReader.h"
#include "files/WaveHeader.h"
#include "operations/Operations.h"
#include "units/Loudness.h"

namespace tralux::test {
namespace {

namespace fs = std::filesystem;

std::set<std::string> Listing(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Sources with different loudness after normalising, so that balancing has work both ways:
// a full sine, uniform noise, and two quiet sines with one loud spike each.
Samples Spiked(double amplitude, double frequency, int16_t spike) {
    Samples samples = Sine(30000, amplitude, frequency);
    samples[1001] = spike;
    return samples;
}

const std::vector<std::string> SourceNames = {"tone.wav", "noise.wav", "spiky.wav", "quiet.wav"};

class CliTest : public ::testing::Test {
protected:
    TempDir dir;
    fs::path root = fs::canonical(dir.Path());
    std::string settings = (root / "tralux.ini").string();

    void SetUp() override { WriteSettings(""); }

    void WriteSettings(const std::string& text) {
        WriteFile(settings, std::vector<uint8_t>(text.begin(), text.end()));
    }

    // Runs tralux-cli in folder (the test's folder by default) with the test's settings file.
    ProcessResult Run(std::vector<std::string> arguments, ProcessSetup setup = {}) {
        arguments.insert(arguments.begin() + (arguments.empty() ? 0 : 1), {"--settings", settings});
        if (setup.workingFolder.empty()) {
            setup.workingFolder = root.string();
        }
        return RunCli(arguments, setup);
    }

    // The four sources in a folder of their own; returns the folder.
    fs::path WriteSources() {
        const fs::path folder = root / "src";
        fs::create_directories(folder);
        WriteWav((folder / "tone.wav").string(), Sine(30000, 12000.0));
        WriteWav((folder / "noise.wav").string(), Noise(30000, 9000, 7));
        WriteWav((folder / "spiky.wav").string(), Spiked(4000.0, 441.0, 28000));
        WriteWav((folder / "quiet.wav").string(), Spiked(6000.0, 220.5, -20000));
        return folder;
    }
};

TEST_F(CliTest, HelpAndVersionGoToStandardOutput) {
    const ProcessResult help = RunCli({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(Contains(help.out, "Usage: tralux-cli COMMAND [OPTIONS] FILE..."));
    EXPECT_TRUE(Contains(help.out, "--reference quietest|loudest|file:N|preset:NAME|level:L"));
    const ProcessResult version = RunCli({"balance", "--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "tralux-cli 1.10\n");
}

// ---------------------------------------------------------------------------------------
// Bad usage: status 2, a message naming the problem, and nothing written.

struct UsageCase {
    const char* name;
    std::vector<std::string> arguments;
    const char* message;
};

// Test logs name a case, not its bytes.
void PrintTo(const UsageCase& c, std::ostream* os) {
    *os << c.name;
}

class CliUsageTest : public CliTest, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(CliUsageTest, ExitsTwoWithAMessage) {
    const fs::path folder = WriteSources();
    const auto before = Listing(folder);
    ProcessSetup setup;
    setup.workingFolder = folder.string();
    const ProcessResult result = Run(GetParam().arguments, setup);
    EXPECT_EQ(result.status, 2) << result.err;
    EXPECT_TRUE(Contains(result.err, GetParam().message)) << result.err;
    EXPECT_TRUE(result.out.empty());
    EXPECT_EQ(Listing(folder), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CliUsageTest,
    ::testing::Values(
        UsageCase{"NoFile", {"prepare"}, "no FILE given"},
        UsageCase{"UnknownCommand", {"normalise", "tone.wav"}, "unknown command 'normalise'"},
        UsageCase{"UnknownOption", {"prepare", "--loud", "tone.wav"}, "unknown option '--loud'"},
        UsageCase{
            "MissingValue", {"balance", "tone.wav", "--reference"}, "--reference needs a value"},
        UsageCase{"BadReference",
                  {"balance", "--reference", "middle", "tone.wav"},
                  "--reference must be"},
        UsageCase{"FileNumberTooHigh",
                  {"balance", "--reference=file:3", "tone.wav", "noise.wav"},
                  "names no FILE"},
        UsageCase{"FileNumberZero", {"balance", "--reference=file:0", "tone.wav"}, "whole number"},
        UsageCase{"LevelOutOfRange", {"balance", "--reference=level:40000", "tone.wav"}, "level:L"},
        UsageCase{"UnknownPreset",
                  {"balance", "--reference=preset:Loud", "tone.wav"},
                  "no preset named 'Loud'"},
        UsageCase{"GroupOfOne", {"prepare", "--group", "tone.wav", "tone.wav"}, "at least two"},
        UsageCase{"GroupNamesOtherFile",
                  {"prepare", "--group", "tone.wav,other.wav", "tone.wav", "noise.wav"},
                  "'other.wav', which is not among the FILEs"},
        UsageCase{"FileInTwoGroups",
                  {"prepare", "--group", "tone.wav,noise.wav", "--group", "noise.wav,quiet.wav",
                   "tone.wav", "noise.wav", "quiet.wav"},
                  "more than once"},
        UsageCase{"OneFileInTwoGroupsByTwoSpellings",
                  {"prepare", "--group", "tone.wav,noise.wav", "--group", "./tone.wav,quiet.wav",
                   "tone.wav", "./tone.wav", "noise.wav", "quiet.wav"},
                  "the same file as one of another --group"},
        UsageCase{"SuffixLeavingTheFolder",
                  {"prepare", "--suffix", "_t/../../up", "tone.wav"},
                  "--suffix must not hold a folder separator"},
        UsageCase{"SuffixOfDots", {"prepare", "--suffix", "..", "tone.wav"}, "only of dots"},
        UsageCase{"SuffixAndNoSuffix",
                  {"prepare", "--suffix", "_x", "--no-suffix", "tone.wav"},
                  "exclude each other"},
        UsageCase{"BadUnit", {"analyse", "--units", "kelvin", "tone.wav"}, "--units must be"},
        UsageCase{
            "CompressionTooHigh", {"balance", "--max-compression", "9", "tone.wav"}, "1.1 to 4.0"},
        UsageCase{"WarnAboveMax",
                  {"balance", "--max-compression", "2", "--warn-compression", "2.5", "tone.wav"},
                  "must not exceed"},
        UsageCase{
            "FinalLimitTooLow", {"balance", "--final-limit", "100", "tone.wav"}, "1024 to 32767"},
        UsageCase{"NoValueWanted", {"prepare", "--yes=1", "tone.wav"}, "takes no value"},
        UsageCase{"BalanceOptionOnPrepare",
                  {"prepare", "--reference", "loudest", "tone.wav"},
                  "does not apply to prepare"},
        UsageCase{"RunOptionOnAnalyse",
                  {"analyse", "--output-dir", ".", "tone.wav"},
                  "does not apply to analyse"},
        UsageCase{"MissingOutputFolder",
                  {"prepare", "--output-dir", "nowhere", "tone.wav"},
                  "names no folder"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CliTest, ASettingsFileThatCannotBeReadIsBadUsage) {
    WriteSources();
    ASSERT_EQ(::mkfifo((root / "fifo.ini").c_str(), 0600), 0);
    // A FIFO would wait for a writer for ever; it is refused like a missing file.
    for (const std::string name : {"missing.ini", "fifo.ini"}) {
        SCOPED_TRACE(name);
        const ProcessResult result =
            RunCli({"analyse", "--settings", (root / name).string(), "src/tone.wav"},
                   {.workingFolder = root.string()});
        EXPECT_EQ(result.status, 2);
        EXPECT_TRUE(Contains(result.err, "cannot read the settings file"));
    }
}

// ---------------------------------------------------------------------------------------
// The same choices give the same result files as the operations layer driven directly, and
// the export holds the window program's format.

struct SameCase {
    const char* name;
    std::vector<std::string> options{};  // besides the files, --output-dir and --csv
    bool balance = true;
    ReferenceChoice choice = ReferenceChoice::Quietest;
    int highlighted = -1;  // index into SourceNames
    std::optional<double> presetLevel{};
    std::vector<std::vector<int>> groups{};  // indices into SourceNames, group 1 first
    double maxcomp = 3.0;
    double warncomp = 1.5;
    int16_t finalLimit = 32767;
    int32_t unit = PercentUnit;
};

// Test logs name a case, not its bytes.
void PrintTo(const SameCase& c, std::ostream* os) {
    *os << c.name;
}

class CliSameResultsTest : public CliTest, public ::testing::WithParamInterface<SameCase> {};

TEST_P(CliSameResultsTest, MatchesTheOperationsLayerByteForByte) {
    const SameCase& c = GetParam();
    const fs::path sources = WriteSources();
    const fs::path cliOut = root / "cli";
    const fs::path directOut = root / "direct";
    fs::create_directories(cliOut);
    fs::create_directories(directOut);
    std::map<std::string, std::vector<uint8_t>> original;
    for (const auto& name : SourceNames) {
        original[name] = ReadFile((sources / name).string());
    }

    // The operations layer with a scripted host that answers every question Yes.
    FakeProgressSink sink;
    AudioEngine engine(sink, [] { return 0.0; });
    Options options;
    options.samefolder = 0;
    options.outputdir = directOut.string();
    options.maxcompfactor = c.maxcomp;
    options.warncompfactor = c.warncomp;
    options.dofinalnorm = c.finalLimit < 32767;
    options.normaliselevel = c.finalLimit;
    FakeRunHost host;
    UngroupedNumbers numbers;
    for (const auto& name : SourceNames) {
        const std::string path = (sources / name).string();
        const WaveHeaderInfo header = ReadWaveHeader(path);
        ASSERT_EQ(header.Result, WaveCheckResult::Valid);
        host.Add(std::make_unique<FileData>(path, header.HeaderSize, header.FrameCount,
                                            header.TailBytes, numbers));
    }
    for (size_t g = 0; g < c.groups.size(); ++g) {
        for (int index : c.groups[g]) {
            host.List[static_cast<size_t>(index)]->GroupNumber = static_cast<int32_t>(g + 1);
        }
    }
    host.Choice = c.choice;
    host.Highlighted =
        c.highlighted >= 0 ? host.List[static_cast<size_t>(c.highlighted)].get() : nullptr;
    host.PresetLevel = c.presetLevel;
    Operations operations(engine, host);
    if (c.balance) {
        operations.PrepareAndBalance(host.Request(options));
    } else {
        operations.Prepare(host.Request(options));
    }
    ASSERT_TRUE(host.Errors.empty());

    std::vector<std::string> arguments = {c.balance ? "balance" : "prepare", "--output-dir",
                                          cliOut.string(), "--csv", "../results.csv"};
    arguments.insert(arguments.end(), c.options.begin(), c.options.end());
    for (const auto& group : c.groups) {
        std::string names;
        for (int index : group) {
            names += (names.empty() ? "" : ",") + SourceNames[static_cast<size_t>(index)];
        }
        arguments.insert(arguments.end(), {"--group", names});
    }
    arguments.insert(arguments.end(), SourceNames.begin(), SourceNames.end());
    ProcessSetup setup;
    setup.workingFolder = sources.string();
    const ProcessResult result = Run(arguments, setup);
    ASSERT_EQ(result.status, 0) << result.err;

    std::string csv = "Source File,Source Loudness,Result File,Result Loudness\r\n";
    for (size_t i = 0; i < SourceNames.size(); ++i) {
        const std::string& name = SourceNames[i];
        const FileData& direct = *host.List[i];
        const std::string cliResult = (cliOut / fs::path(direct.ResultFile).filename()).string();
        EXPECT_EQ(ReadFile(cliResult), ReadFile(direct.ResultFile)) << name;
        EXPECT_EQ(ReadFile((sources / name).string()), original[name]) << name;
        csv += "\"" + direct.SourceFile + "\",\"" + LoudnessText(direct.ScanLoudness, c.unit, ".") +
               "\",\"" + cliResult + "\",\"" + LoudnessText(direct.Loudness, c.unit, ".") +
               "\"\r\n";
        // The closing table shows both loudness values of every file in the chosen unit.
        EXPECT_TRUE(Contains(result.out, LoudnessText(direct.Loudness, c.unit, ".") + "  " +
                                             direct.SourceFile + " -> " + cliResult))
            << result.out;
    }
    const auto written = ReadFile((root / "results.csv").string());
    EXPECT_EQ(std::string(written.begin(), written.end()), csv);
    EXPECT_EQ(Listing(sources).size(), SourceNames.size());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CliSameResultsTest,
    ::testing::Values(
        SameCase{.name = "PrepareWithAGroup",
                 .options = {"--units", "sample"},
                 .balance = false,
                 .groups = {{0, 2}},
                 .unit = SampleUnit},
        SameCase{.name = "Quietest"},
        SameCase{.name = "LoudestAfterBothQuestions",
                 .options = {"--reference", "loudest", "--yes", "--units", "db"},
                 .choice = ReferenceChoice::Loudest,
                 .unit = DecibelUnit},
        SameCase{.name = "SecondFileAsReference",
                 .options = {"--reference=file:2", "--yes"},
                 .choice = ReferenceChoice::Highlighted,
                 .highlighted = 1},
        SameCase{.name = "LevelWithFinalLimit",
                 .options = {"--reference", "level:10000", "--final-limit", "20000", "--yes"},
                 .choice = ReferenceChoice::Preset,
                 .presetLevel = 10000.0,
                 .finalLimit = 20000},
        SameCase{.name = "BuiltInPresetWithGroups",
                 .options = {"--reference", "preset:ReplayGain '89dB' Standard", "--yes"},
                 .choice = ReferenceChoice::Preset,
                 .presetLevel = 2810.0,
                 .groups = {{1, 3}, {0, 2}}},
        SameCase{.name = "OwnCompressionLimits",
                 .options = {"--reference", "loudest", "--max-compression", "2",
                             "--warn-compression", "1.2", "--yes"},
                 .choice = ReferenceChoice::Loudest,
                 .maxcomp = 2.0,
                 .warncomp = 1.2}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------
// Refusals, questions and rejected files.

TEST_F(CliTest, ResultsThatWouldReplaceTheSourcesAreRefusedAndNothingIsWritten) {
    const fs::path sources = WriteSources();
    const auto before = Listing(sources);
    const auto tone = ReadFile((sources / "tone.wav").string());
    const ProcessResult result =
        Run({"prepare", "--no-suffix", "--csv", "out.csv", "src/tone.wav", "src/noise.wav"});
    EXPECT_EQ(result.status, 1);
    // The message's carriage returns are line breaks on the terminal.
    EXPECT_TRUE(Contains(result.err, "Error: Source and Result files are the same for:\n\n   " +
                                         (sources / "tone.wav").string() + "\n   " +
                                         (sources / "noise.wav").string() + "\n"))
        << result.err;
    EXPECT_FALSE(Contains(result.err, "\r"));
    EXPECT_EQ(Listing(sources), before);
    EXPECT_EQ(ReadFile((sources / "tone.wav").string()), tone);
    EXPECT_FALSE(fs::exists(root / "out.csv"));
    EXPECT_TRUE(result.out.empty());
}

TEST_F(CliTest, OverwriteQuestionIsAnsweredNoWithoutATerminalAndYesWithYes) {
    WriteSettings("[Options]\noverwritewarn=1\n");
    const fs::path sources = WriteSources();
    const std::string existing = (sources / "tone_tralux.wav").string();
    WriteFile(existing, {1, 2, 3});

    const ProcessResult refused = Run({"prepare", "src/tone.wav"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(Contains(refused.err, "Confirm: Output file " + existing +
                                          " already exists. Overwrite?\n(answered No"));
    EXPECT_EQ(ReadFile(existing), (std::vector<uint8_t>{1, 2, 3}));

    const ProcessResult accepted = Run({"prepare", "--yes", "src/tone.wav"});
    EXPECT_EQ(accepted.status, 0) << accepted.err;
    EXPECT_TRUE(Contains(accepted.err, "Confirm: Output file " + existing +
                                           " already exists. Overwrite?\n(answered Yes: --yes)\n"))
        << accepted.err;
    EXPECT_GT(ReadFile(existing).size(), 3u);
}

TEST_F(CliTest, DecliningTheCompressionQuestionKeepsThePreparedResultsAndFails) {
    const fs::path sources = WriteSources();
    const std::string spiky = (sources / "spiky.wav").string();
    // The prepared result of spiky.wav, to compare with what the declined run leaves.
    ASSERT_EQ(Run({"prepare", "--suffix", "_p", "src/spiky.wav"}).status, 0);

    const ProcessResult result = Run({"balance", "--reference", "level:20000", "src/spiky.wav"});
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(Contains(result.err,
                         "Warning: The amount of compression required exceeds the "
                         "absolute maximum allowed"));
    EXPECT_TRUE(Contains(result.err, "\n" + spiky + "\n\nAre you sure you wish to proceed?\n"));
    EXPECT_EQ(ReadFile((sources / "spiky_tralux.wav").string()),
              ReadFile((sources / "spiky_p.wav").string()));
    EXPECT_TRUE(result.out.empty());
}

TEST_F(CliTest, QuestionsOnATerminalTakeTheTypedAnswerAndProgressIsDrawnThere) {
    const fs::path sources = WriteSources();
    ProcessSetup setup;
    setup.terminal = true;
    setup.typed = "maybe\ny\ny\n";  // an unclear answer is asked again
    const ProcessResult result =
        Run({"balance", "--reference", "loudest", "src/tone.wav", "src/spiky.wav"}, setup);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(Contains(result.err, "Answer y or n: "));
    // Each pass redraws its line in place and leaves it standing when done.
    EXPECT_TRUE(Contains(result.err, "\rScanning: tone.wav  100%"));
    // Prepare & Balance writes each result once, from its source.
    EXPECT_TRUE(Contains(result.err, "\rCompressing: spiky.wav  100%"));
    EXPECT_TRUE(Contains(result.out, "-> " + (sources / "spiky_tralux.wav").string()));
}

TEST_F(CliTest, OptionsDefaultToTheSettingsFileWhichIsNeverWritten) {
    const std::string text =
        "[Options]\nnameext=_loud\nsamefolder=0\noutputdir=" + (root / "out").string() + "\n";
    WriteSettings(text);
    fs::create_directories(root / "out");
    WriteSources();
    const ProcessResult result = Run({"prepare", "src/tone.wav"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(fs::exists(root / "out" / "tone_loud.wav"));
    // The command line wins over the file.
    const ProcessResult beside =
        Run({"prepare", "--beside-source", "--suffix", "-b", "src/tone.wav"});
    EXPECT_EQ(beside.status, 0) << beside.err;
    EXPECT_TRUE(fs::exists(root / "src" / "tone-b.wav"));
    const auto after = ReadFile(settings);
    EXPECT_EQ(std::string(after.begin(), after.end()), text);
}

// FLAC files go through the same commands: analysed, then balanced to FLAC results at the
// level asked for.
TEST_F(CliTest, FlacFilesAreAnalysedAndBalancedToFlacResults) {
    fs::create_directories(root / "src");
    FlacShape shape;
    shape.Frames = 20000;
    MakeFlacFile((root / "src" / "a.flac").string(), shape);
    shape.Scale = 0.25;
    MakeFlacFile((root / "src" / "b.flac").string(), shape);

    const ProcessResult analysed = Run({"analyse", "src/a.flac", "src/b.flac"});
    EXPECT_EQ(analysed.status, 0) << analysed.err;
    EXPECT_TRUE(Contains(analysed.out, "b.flac")) << analysed.out;

    const ProcessResult balanced =
        Run({"balance", "--flac-level", "0", "--yes", "src/a.flac", "src/b.flac"});
    EXPECT_EQ(balanced.status, 0) << balanced.err;
    for (const char* name : {"a_tralux.flac", "b_tralux.flac"}) {
        std::vector<int32_t> decoded;
        EXPECT_TRUE(DecodeWithLibFlac((root / "src" / name).string(), decoded)) << name;
        EXPECT_EQ(decoded.size(), size_t(2 * shape.Frames)) << name;
    }
    // Level 0 stores no LPC subframes, which the level-5 source has.
    for (const char* name : {"a.flac", "a_tralux.flac"}) {
        const std::string path = (root / "src" / name).string();
        const auto file = PosixFileAccess().OpenExisting(path);
        ASSERT_TRUE(file) << path;
        FlacReader reader(*file, path);
        ASSERT_TRUE(reader.Open()) << reader.Error();
        std::vector<int32_t> samples(size_t(2 * shape.Frames));
        EXPECT_EQ(reader.Read(samples.data(), shape.Frames), size_t(shape.Frames));
        EXPECT_EQ(reader.Traits().MaxLpcOrder == 0, std::string(name) == "a_tralux.flac") << name;
    }
}

TEST_F(CliTest, AFolderToBeAskedForAtEveryRunNeedsATerminalOrOutputDir) {
    WriteSettings("[Options]\nsamefolder=2\n");
    const fs::path sources = WriteSources();
    const auto before = Listing(sources);
    const ProcessResult refused = Run({"prepare", "src/tone.wav"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(Contains(refused.err, "give the folder with --output-dir"));
    EXPECT_EQ(Listing(sources), before);

    fs::create_directories(root / "typed");
    ProcessSetup setup;
    setup.terminal = true;
    setup.typed = "typed\n";  // relative to the working folder
    const ProcessResult typed = Run({"prepare", "--quiet", "src/tone.wav"}, setup);
    EXPECT_EQ(typed.status, 0) << typed.err;
    EXPECT_TRUE(fs::exists(root / "typed" / "tone_tralux.wav"));
}

TEST_F(CliTest, NoProgressLineWhenStandardErrorIsNoTerminalOrWithQuiet) {
    WriteSources();
    const ProcessResult piped = Run({"prepare", "src/tone.wav"});
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.err, "");
    ProcessSetup setup;
    setup.terminal = true;
    const ProcessResult quiet = Run({"prepare", "--quiet", "src/tone.wav"}, setup);
    EXPECT_EQ(quiet.status, 0);
    EXPECT_FALSE(Contains(quiet.err, "Scanning"));
}

TEST_F(CliTest, ARejectedFileIsReportedTheOthersAreDoneAndTheStatusIsOne) {
    const fs::path sources = WriteSources();
    WavLayout adpcm;  // a format the runs do not take
    adpcm.formatTag = 2;
    WriteWav((sources / "mono.wav").string(), Sine(1000, 1000.0), adpcm);
    const ProcessResult result =
        Run({"prepare", "src/tone.wav", "src/mono.wav", "src/missing.wav", "src/noise.wav"});
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(
        Contains(result.err, "Error: \"" + (sources / "mono.wav").string() +
                                 "\" is a WAV file in ADPCM (format 2), which Tralux cannot "
                                 "read\n"));
    EXPECT_TRUE(Contains(result.err,
                         "Error: \"" + (sources / "missing.wav").string() + "\" does not exist\n"));
    EXPECT_TRUE(fs::exists(sources / "tone_tralux.wav"));
    EXPECT_TRUE(fs::exists(sources / "noise_tralux.wav"));
    EXPECT_FALSE(fs::exists(sources / "mono_tralux.wav"));
}

// Every entry below folder with its modification time.
std::map<std::string, fs::file_time_type> Stamps(const fs::path& folder) {
    std::map<std::string, fs::file_time_type> stamps;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        stamps[entry.path().string()] = entry.last_write_time();
    }
    return stamps;
}

TEST_F(CliTest, ADryRunPrintsTheTableTheRunThenPrintsAndTouchesNoFile) {
    WriteSources();
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{"--max-compression", "4", "--final-limit", "30000"},
          std::vector<std::string>{"--reference", "loudest", "--group",
                                   "src/quiet.wav,src/spiky.wav"}}) {
        std::vector<std::string> arguments{"balance", "--yes"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        for (const auto& name : SourceNames) {
            arguments.push_back("src/" + name);
        }
        const auto before = Stamps(root);
        std::vector<std::string> dry = arguments;
        dry.push_back("--dry-run");
        const ProcessResult planned = Run(dry);
        EXPECT_EQ(Stamps(root), before) << "a dry run creates, changes and removes nothing";
        EXPECT_TRUE(Contains(planned.err, "no file was written")) << planned.err;

        const ProcessResult done = Run(arguments);
        EXPECT_EQ(done.status, 0) << done.err;
        EXPECT_EQ(planned.status, done.status) << planned.err;
        EXPECT_EQ(planned.out, done.out);
        EXPECT_TRUE(Contains(planned.out, "_tralux.wav")) << planned.out;
    }
    // An export to a file would be a file written.
    const ProcessResult refused = Run({"balance", "--dry-run", "--csv", "out.csv", "src/tone.wav"});
    EXPECT_EQ(refused.status, 2);
    EXPECT_FALSE(fs::exists(root / "out.csv"));
}

TEST_F(CliTest, ASilentFileIsSetAsideWithTheWindowsWarning) {
    const fs::path sources = WriteSources();
    WriteWav((sources / "silence.wav").string(), Constant(6000, 0, 0));
    const ProcessResult result = Run({"balance", "src/silence.wav", "src/tone.wav"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "Warning: File \"" + (sources / "silence.wav").string() +
                              "\" is completely silent and will be ignored\n");
    EXPECT_FALSE(fs::exists(sources / "silence_tralux.wav"));
    EXPECT_TRUE(
        Contains(result.out, (sources / "silence.wav").string() + " (completely silent, ignored)"));
}

TEST_F(CliTest, AnUnreachableTargetIsToldTheOthersAreBalancedAndTheStatusIsOne) {
    const fs::path sources = WriteSources();
    const ProcessResult result =
        Run({"balance", "--yes", "--reference", "level:1", "src/noise.wav", "src/tone.wav"});
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_TRUE(Contains(result.err, "Warning: File \"" + (sources / "noise.wav").string() +
                                         "\" cannot be brought to its target loudness of "))
        << result.err;
    // The results are listed and kept all the same.
    EXPECT_TRUE(Contains(result.out, (sources / "noise_tralux.wav").string()));
    EXPECT_TRUE(Contains(result.out, (sources / "tone_tralux.wav").string()));
}

// A data chunk that claims 4 GiB over a few frames: one line for each such file, and a result
// as long as its source, not padded to the claimed size.
TEST_F(CliTest, FilesShorterThanTheirHeadersAreToldOnceAndWorkedOnAsTheyAre) {
    const fs::path sources = WriteSources();
    for (const char* name : {"cut.wav", "pipe.wav"}) {
        auto bytes = MakeWav(Noise(10, 9000, 4));
        bytes[40] = bytes[41] = bytes[42] = bytes[43] = 0xFF;
        WriteFile((sources / name).string(), bytes);
    }
    const ProcessResult result =
        Run({"prepare", "src/cut.wav", "src/tone.wav", "src/pipe.wav", "src/cut.wav"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "Warning: \"" + (sources / "cut.wav").string() +
                              "\" is shorter than its header says; only the sound it holds will "
                              "be used\nWarning: \"" +
                              (sources / "pipe.wav").string() +
                              "\" is shorter than its header says; only the sound it holds will "
                              "be used\n");
    EXPECT_EQ(fs::file_size(sources / "cut_tralux.wav"), 84u);
    const auto header = ReadFile((sources / "pipe_tralux.wav").string());
    EXPECT_EQ(std::vector<uint8_t>(header.begin() + 40, header.begin() + 44),
              (std::vector<uint8_t>{40, 0, 0, 0}));
}

// ---------------------------------------------------------------------------------------
// Scan only.

struct AnalyseCase {
    const char* name;
    const char* unit;
    const char* peak;
    const char* loudness;
};

// Test logs name a case, not its bytes.
void PrintTo(const AnalyseCase& c, std::ostream* os) {
    *os << c.name;
}

class CliAnalyseTest : public CliTest, public ::testing::WithParamInterface<AnalyseCase> {};

TEST_P(CliAnalyseTest, PrintsPeakAndLoudnessInTheUnitAndWritesNothing) {
    // A constant 16384 has peak and root mean square 16384 exactly.
    WriteWav((root / "half.wav").string(), Constant(7000, 16384, -16384));
    const auto before = Listing(root);
    const ProcessResult result = Run({"analyse", "--units", GetParam().unit, "half.wav"});
    EXPECT_EQ(result.status, 0) << result.err;
    const std::string expected = std::string(7 - std::string(GetParam().peak).size(), ' ') +
                                 GetParam().peak + "  " +
                                 std::string(8 - std::string(GetParam().loudness).size(), ' ') +
                                 GetParam().loudness + "  " + (root / "half.wav").string() + "\n";
    EXPECT_EQ(result.out, "   Peak  Loudness  File\n" + expected);
    EXPECT_EQ(Listing(root), before);
}

INSTANTIATE_TEST_SUITE_P(Units, CliAnalyseTest,
                         ::testing::Values(AnalyseCase{"Percent", "percent", "50.0%", "50.0%"},
                                           AnalyseCase{"Decibels", "db", "-6.0dB", "-6.0dB"},
                                           AnalyseCase{"SampleValue", "sample", "16384", "16384"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CliTest, AnalyseTakesItsUnitFromTheSettingsFile) {
    WriteSettings("[Options]\nloudnessunits=1\n");
    WriteWav((root / "sine.wav").string(), Sine(44100, 8192.0));
    const ProcessResult result = Run({"analyse", "sine.wav"});
    EXPECT_EQ(result.status, 0);
    // Peak 8192 is -12.0 dB; the root mean square 8192 / sqrt(2) = 5793 is -15.0 dB.
    EXPECT_TRUE(Contains(result.out, "-12.0dB   -15.0dB  " + (root / "sine.wav").string()))
        << result.out;
}

// ---------------------------------------------------------------------------------------
// Ctrl-C.

// A long WAV file of one repeated frame, written in large pieces: sample by sample it would
// take most of the test's time in a sanitizer build.
void WriteLongWav(const std::string& path, uint32_t frames) {
    std::vector<uint8_t> header = MakeWav({});
    ASSERT_EQ(header.size(), 44u);
    const uint32_t dataBytes = frames * 4;
    for (int i = 0; i < 4; ++i) {
        header[4 + i] = static_cast<uint8_t>((36 + dataBytes) >> (8 * i));
        header[40 + i] = static_cast<uint8_t>(dataBytes >> (8 * i));
    }
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(header.data()), 44);
    const Samples piece = Constant(1 << 18, 20000, -12000);
    for (uint32_t done = 0; done < frames; done += 1 << 18) {
        const uint32_t count = std::min<uint32_t>(1 << 18, frames - done);
        out.write(reinterpret_cast<const char*>(piece.data()), count * 4);
    }
    ASSERT_TRUE(out.good());
}

bool SameBytes(const std::string& a, const std::string& b) {
    std::ifstream first(a, std::ios::binary);
    std::ifstream second(b, std::ios::binary);
    std::vector<char> x(1 << 20);
    std::vector<char> y(1 << 20);
    while (first && second) {
        first.read(x.data(), static_cast<std::streamsize>(x.size()));
        second.read(y.data(), static_cast<std::streamsize>(y.size()));
        if (first.gcount() != second.gcount() ||
            !std::equal(x.begin(), x.begin() + first.gcount(), y.begin())) {
            return false;
        }
    }
    return first.eof() && second.eof();
}

// Ctrl-C, a kill, a closing ssh session or terminal, and the other signals that would end the
// program at once (QUIT, USR1, ALRM).
class CliSignalTest : public CliTest, public ::testing::WithParamInterface<int> {};

TEST_P(CliSignalTest, WindsTheRunDownLeavesTheSourceAndExitsOne) {
    // About four minutes of sound: the normalise pass takes long enough to be interrupted.
    const std::string source = (root / "long.wav").string();
    const std::string copy = (root / "copy.bin").string();
    ASSERT_NO_FATAL_FAILURE(WriteLongWav(source, 10'000'000));
    fs::copy_file(source, copy);
    const int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, root.c_str(), IN_CREATE), 0);

    ChildProcess child({"balance", "--settings", settings, "--csv", "out.csv", "long.wav"},
                       {.workingFolder = root.string()});
    // The result is written beside its name from the start of its write: interrupt it then.
    bool created = false;
    while (!created) {
        // Should the child end without ever creating it, the test must not wait forever.
        pollfd wanted{watch, POLLIN, 0};
        if (poll(&wanted, 1, 1000) == 0) {
            siginfo_t info{};
            ASSERT_EQ(
                waitid(P_PID, static_cast<id_t>(child.Pid()), &info, WEXITED | WNOHANG | WNOWAIT),
                0);
            ASSERT_EQ(info.si_pid, 0) << "tralux-cli ended before its result file was created";
            continue;
        }
        alignas(inotify_event) char buffer[4096];
        const ssize_t got = read(watch, buffer, sizeof buffer);
        ASSERT_GT(got, 0);
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            created =
                created || (event->len > 0 && std::string(event->name).rfind(".tralux-", 0) == 0);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    ASSERT_EQ(kill(child.Pid(), GetParam()), 0);
    const ProcessResult result = child.Wait();
    close(watch);

    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(Contains(result.err, "cancelled")) << result.err;
    EXPECT_TRUE(SameBytes(source, copy));
    // Nothing cut short under the result's name or beside it; no table and no export of a
    // cancelled run.
    EXPECT_FALSE(fs::exists(root / "long_tralux.wav"));
    for (const auto& entry : fs::directory_iterator(root)) {
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos);
    }
    EXPECT_TRUE(result.out.empty());
    EXPECT_FALSE(fs::exists(root / "out.csv"));
}

INSTANTIATE_TEST_SUITE_P(Signals, CliSignalTest,
                         ::testing::Values(SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

TEST_F(CliTest, CtrlCEndsALongHeaderWalk) {
    // 64 GiB of nothing after the WAVE tag: thousands of millions of empty chunks to walk.
    const std::string sparse = (root / "sparse.wav").string();
    WriteFile(sparse, {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'});
    ASSERT_EQ(truncate(sparse.c_str(), off_t{64} << 30), 0);
    WriteSources();
    ChildProcess child({"analyse", "--settings", settings, "sparse.wav", "src/tone.wav"},
                       {.workingFolder = root.string()});
    usleep(300'000);
    ASSERT_EQ(kill(child.Pid(), SIGINT), 0);
    // Should the signal wait for the walk's end, the test ends the child itself.
    std::atomic<bool> ended{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 100 && !ended; ++i) {
            usleep(100'000);
        }
        if (!ended) {
            kill(child.Pid(), SIGKILL);
        }
    });
    const ProcessResult result = child.Wait();
    ended = true;
    watchdog.join();
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(Contains(result.err, "cancelled")) << result.err;
    EXPECT_FALSE(Contains(result.err, "not a 44.1kHz")) << result.err;
    EXPECT_TRUE(result.out.empty());
}

TEST_F(CliTest, AClosedStandardOutputEndsQuietlyAfterTheExportIsWritten) {
    WriteSources();
    ProcessSetup setup;
    setup.outputClosed = true;
    const ProcessResult result =
        Run({"analyse", "--csv", "out.csv", "src/tone.wav", "src/noise.wav"}, setup);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "Data Saved to File: " + (root / "out.csv").string() + "\n");
    const auto csv = ReadFile((root / "out.csv").string());
    EXPECT_TRUE(Contains(std::string(csv.begin(), csv.end()), "/src/noise.wav\",\""));
}

// ---------------------------------------------------------------------------------------
// The export never lands on a listed file.

struct ExportCase {
    const char* name;
    std::vector<std::string> arguments;  // --csv's value is the first after the command
};

void PrintTo(const ExportCase& c, std::ostream* os) {
    *os << c.name;
}

class CliExportRefusedTest : public CliTest, public ::testing::WithParamInterface<ExportCase> {};

TEST_P(CliExportRefusedTest, ExitsTwoNamingThePathAndWritesNothing) {
    const fs::path sources = WriteSources();
    fs::create_directories(root / "other");
    fs::create_hard_link(sources / "tone.wav", root / "hard.csv");
    fs::create_symlink(sources / "noise.wav", root / "link.csv");
    const auto before = Listing(sources);
    const auto tone = ReadFile((sources / "tone.wav").string());
    std::vector<std::string> arguments = GetParam().arguments;
    const std::string csv = arguments[1];
    arguments.insert(arguments.begin() + 1, "--csv");
    const ProcessResult result = Run(arguments);
    EXPECT_EQ(result.status, 2) << result.err;
    EXPECT_TRUE(
        Contains(result.err, "Data not saved: " + cli::AbsolutePath(root.string() + "/" + csv) +
                                 " is one of the listed source or result files"))
        << result.err;
    EXPECT_EQ(Listing(sources), before);
    EXPECT_EQ(ReadFile((sources / "tone.wav").string()), tone);
    EXPECT_TRUE(fs::is_empty(root / "other"));
    EXPECT_TRUE(result.out.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Spellings, CliExportRefusedTest,
    ::testing::Values(
        ExportCase{"ASourceListedTwice",
                   {"analyse", "src/tone.wav", "src/tone.wav", "src/noise.wav"}},
        ExportCase{"DotSlash", {"analyse", "./src/tone.wav", "src/tone.wav"}},
        ExportCase{"DotDot",
                   {"analyse", "other/../src/noise.wav", "src/tone.wav", "src/noise.wav"}},
        ExportCase{"LetterCase", {"prepare", "src/TONE.WAV", "src/tone.wav"}},
        ExportCase{"HardLink", {"analyse", "hard.csv", "src/tone.wav"}},
        ExportCase{"SymbolicLink", {"prepare", "link.csv", "src/noise.wav"}},
        ExportCase{"AResultNotYetWritten",
                   {"balance", "./src/tone_tralux.wav", "src/tone.wav", "src/noise.wav"}},
        ExportCase{"AResultInTheOutputFolder",
                   {"prepare", "other/noise_x.wav", "--output-dir", "other", "--suffix", "_x",
                    "src/noise.wav"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CliTest, AnExportOntoAResultInAFolderAskedForIsRefusedBeforeTheRun) {
    WriteSettings("[Options]\nsamefolder=2\n");
    WriteSources();
    fs::create_directories(root / "typed");
    ProcessSetup setup;
    setup.terminal = true;
    setup.typed = "typed\n";
    const ProcessResult result =
        Run({"prepare", "--quiet", "--csv", "typed/tone_tralux.wav", "src/tone.wav"}, setup);
    EXPECT_EQ(result.status, 2) << result.err;
    EXPECT_TRUE(Contains(result.err, "is one of the listed source or result files"));
    EXPECT_TRUE(fs::is_empty(root / "typed"));
    // Asked once, before the run: the run takes the answer as its folder.
    const ProcessResult accepted =
        Run({"prepare", "--quiet", "--csv", "typed/out.csv", "src/tone.wav"}, setup);
    EXPECT_EQ(accepted.status, 0) << accepted.err;
    EXPECT_EQ(Listing(root / "typed"), (std::set<std::string>{"out.csv", "tone_tralux.wav"}));
}

// An export that cannot be written is refused before any file is read, with status 2.
struct UnwritableExport {
    const char* name;
    std::string csv;     // --csv's value, in the test's folder
    const char* reason;  // what the message says of it
};

void PrintTo(const UnwritableExport& c, std::ostream* os) {
    *os << c.name;
}

class CliUnwritableExportTest : public CliTest,
                                public ::testing::WithParamInterface<UnwritableExport> {};

TEST_P(CliUnwritableExportTest, IsRefusedBeforeTheRun) {
    const fs::path sources = WriteSources();
    fs::create_directories(root / "folder");
    ASSERT_EQ(mkfifo((root / "fifo").c_str(), 0600), 0);
    fs::create_symlink(root / "fifo", root / "fifolink");
    // What /dev/stdout is: a link to the process's open output.
    fs::create_symlink("/proc/self/fd/1", root / "stdout");
    const auto before = Listing(sources);
    const ProcessResult result = Run({"prepare", "--csv", GetParam().csv, "src/tone.wav"});
    EXPECT_EQ(result.status, 2) << result.err;
    const std::string& csv = GetParam().csv;
    const std::string path = cli::AbsolutePath(csv[0] == '/' ? csv : root.string() + "/" + csv);
    EXPECT_TRUE(Contains(result.err, "tralux-cli: the export cannot be written to " + path + ": " +
                                         GetParam().reason))
        << result.err;
    EXPECT_EQ(Listing(sources), before) << "a result was written";
    EXPECT_TRUE(fs::is_fifo(root / "fifo"));
    EXPECT_TRUE(fs::is_symlink(root / "stdout"));
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
}

INSTANTIATE_TEST_SUITE_P(
    Targets, CliUnwritableExportTest,
    ::testing::Values(UnwritableExport{"Folder", "folder", "it is a folder"},
                      UnwritableExport{"FolderWithSlash", "folder/", "it is a folder"},
                      UnwritableExport{"NewFolderWithSlash", "new/", "it is a folder"},
                      UnwritableExport{"Device", "/dev/full", "it is not a file"},
                      UnwritableExport{"Fifo", "fifo", "it is not a file"},
                      UnwritableExport{"LinkToAFifo", "fifolink",
                                       "it is a link to something other than a file"},
                      UnwritableExport{"LinkToTheOutput", "stdout",
                                       "it is a link to something other than a file"},
                      UnwritableExport{"MissingFolder", "none/out.csv", "its folder "}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CliTest, ADashExportsToStandardOutputAsTheFileWouldHoldIt) {
    WriteSources();
    const ProcessResult toFile =
        Run({"analyse", "--csv", "out.csv", "src/tone.wav", "src/noise.wav"});
    ASSERT_EQ(toFile.status, 0) << toFile.err;
    const auto file = ReadFile((root / "out.csv").string());
    const ProcessResult toOutput = Run({"analyse", "--csv", "-", "src/tone.wav", "src/noise.wav"});
    EXPECT_EQ(toOutput.status, 0) << toOutput.err;
    // The export alone, byte for byte: no table after it, and no file named "-".
    EXPECT_EQ(toOutput.out, std::string(file.begin(), file.end()));
    EXPECT_FALSE(Contains(toOutput.err, "Data Saved"));
    EXPECT_FALSE(fs::exists(root / "-"));
}

// Names with control characters: shown escaped on the terminal and in every message, kept
// as they are in the export, which is data for other programs.
TEST_F(CliTest, ControlCharactersOfNamesAreShownEscaped) {
    const std::string name = "red\x1b[31m\x1b]0;title\x07.wav";
    const std::string shown = "red\\033[31m\\033]0;title\\a.wav";
    WriteWav((root / name).string(), Sine(30000, 12000.0));
    const std::string other = "not\twav\x1b[2J.wav";
    WriteFile((root / other).string(), {'n', 'o'});
    ProcessSetup setup;
    setup.terminal = true;
    const ProcessResult result = Run({"prepare", "--yes", "--csv", "out.csv", name, other}, setup);
    EXPECT_EQ(result.status, 1) << result.err;  // one file refused
    for (const std::string& text : {result.out, result.err}) {
        EXPECT_FALSE(Contains(text, "\x1b[31m")) << text;
        EXPECT_FALSE(Contains(text, "\x1b[2J")) << text;
        EXPECT_FALSE(Contains(text, "\x07")) << text;
    }
    // The table, the refusal, and the progress line.
    EXPECT_TRUE(Contains(result.out, (root / shown).string() + " -> ")) << result.out;
    EXPECT_TRUE(Contains(result.err, "not\\twav\\033[2J.wav\" is not a 44.1kHz")) << result.err;
    EXPECT_TRUE(Contains(result.err, shown + "  ")) << result.err;
    const auto csv = ReadFile((root / "out.csv").string());
    EXPECT_TRUE(
        Contains(std::string(csv.begin(), csv.end()), "\"" + (root / name).string() + "\""));
}

TEST_F(CliTest, ManyFilesAreTakenInWithoutComparingEachWithEveryOther) {
    fs::create_directories(root / "m");
    std::vector<std::string> arguments = {"analyse"};
    for (int i = 0; i < 4000; ++i) {
        const std::string name = "m/f" + std::to_string(i) + ".wav";
        WriteWav((root / name).string(), Constant(10, 1, 2));
        arguments.push_back(name);
    }
    // Other spellings of listed files are still found.
    fs::create_hard_link(root / "m/f1.wav", root / "m/hard.wav");
    arguments.insert(arguments.end(), {"./m/f0.wav", "m/hard.wav", "m/../m/f2.wav"});
    rusage before{};
    getrusage(RUSAGE_CHILDREN, &before);
    const ProcessResult result = Run(arguments);
    rusage after{};
    getrusage(RUSAGE_CHILDREN, &after);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 4001);
    // Processor time of the child, not wall time, so that a busy machine does not fail the
    // test: comparing every file with every earlier one took some twenty seconds.
    auto seconds = [](const timeval& user, const timeval& system) {
        return double(user.tv_sec + system.tv_sec) + double(user.tv_usec + system.tv_usec) / 1e6;
    };
    EXPECT_LT(seconds(after.ru_utime, after.ru_stime) - seconds(before.ru_utime, before.ru_stime),
              5.0);
}

// ---------------------------------------------------------------------------------------
// Messages that say what happened.

TEST_F(CliTest, AResultThatCannotBeCreatedIsFollowedByTheSystemsReason) {
    const fs::path sources = WriteSources();
    fs::create_directories(sources / "tone_tralux.wav");
    const ProcessResult result = Run({"prepare", "src/tone.wav"});
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(Contains(result.err, "Error: Cannot create file " +
                                         (sources / "tone_tralux.wav").string() + "\n" +
                                         std::strerror(EISDIR) + "\n"))
        << result.err;
}

TEST_F(CliTest, ADeclinedBalanceSaysTheResultsAreTheNormalisedCopies) {
    WriteSources();
    const ProcessResult declined =
        Run({"balance", "--reference", "level:20000", "src/spiky.wav", "src/tone.wav"});
    EXPECT_EQ(declined.status, 1);
    EXPECT_TRUE(Contains(declined.err,
                         "\ntralux-cli: Balance was not done: the results are the normalised "
                         "copies\n"))
        << declined.err;
    // A declined overwrite writes nothing, so there is nothing to say about results.
    WriteSettings("[Options]\noverwritewarn=1\n");
    const ProcessResult refused = Run({"balance", "src/spiky.wav", "src/tone.wav"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_FALSE(Contains(refused.err, "Balance was not done")) << refused.err;
}

TEST_F(CliTest, APresetWithAnUnusableLevelIsNamed) {
    WriteSettings("[Options]\npname1=Silent\npval1=0\npname2=Huge\npval2=1e308\n");
    const fs::path sources = WriteSources();
    const auto before = Listing(sources);
    for (const std::string name : {"Silent", "Huge"}) {
        const ProcessResult result =
            Run({"balance", "--reference", "preset:" + name, "src/tone.wav"});
        EXPECT_EQ(result.status, 2);
        EXPECT_TRUE(
            Contains(result.err, "the preset '" + name + "' in " + settings + " has the level "))
            << result.err;
        EXPECT_FALSE(Contains(result.err, "No preset has been chosen"));
    }
    EXPECT_EQ(Listing(sources), before);
}

TEST_F(CliTest, AMaximumCompressionOutOfRangeInTheSettingsActsAsTheNearestAllowed) {
    WriteSources();
    // A maximum of 0 used to ask its question and then balance nothing.
    WriteSettings("[Options]\nmaxcompfactor=0\nnameext=_zero\n");
    const ProcessResult zero = Run({"balance", "--yes", "src/spiky.wav", "src/tone.wav"});
    ASSERT_EQ(zero.status, 0) << zero.err;
    WriteSettings("[Options]\nmaxcompfactor=1.1\nnameext=_least\n");
    const ProcessResult least = Run({"balance", "--yes", "src/spiky.wav", "src/tone.wav"});
    ASSERT_EQ(least.status, 0) << least.err;
    for (const std::string name : {"spiky", "tone"}) {
        EXPECT_EQ(ReadFile((root / "src" / (name + "_zero.wav")).string()),
                  ReadFile((root / "src" / (name + "_least.wav")).string()))
            << name;
    }
}

}  // namespace
}  // namespace tralux::test
