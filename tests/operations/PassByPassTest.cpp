// Prepare & Balance against the pass-by-pass sequence run on buffers in memory: the runs
// must write exactly the bytes that scanning, normalising, each compress or reduce pass and
// the final limiting would have written one after the other, whatever the files, groups,
// reference, limits and answers.

#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <set>

#include "RunFixture.h"
#include "engine/BlockTransforms.h"
#include "engine/FactorTables.h"
#include "engine/SampleTable.h"

namespace tralux::test {
namespace {

struct OracleFile {
    Samples Source;
    int32_t Group = 0;
};

struct OracleSettings {
    ReferenceChoice Choice = ReferenceChoice::Quietest;
    size_t Highlighted = 0;
    double PresetLevel = 3000.0;
    double MaxComp = 3.0;
    double WarnComp = 1.5;
    bool FinalLimit = false;
    int16_t Limit = 32767;
    Answer Reply = Answer::Yes;
};

struct OracleOutcome {
    std::vector<Samples> Results;  // empty for a silent file
    std::vector<double> Loudness;
    std::set<size_t> Stalled;  // files whose balancing ended short of the target
    int Compressions = 0;
    int Reductions = 0;
    bool Limited = false;
    bool Abandoned = false;  // a question answered No, or no usable reference
};

double Rms(int64_t sum, size_t samples) {
    return samples == 0 ? 0.0 : std::sqrt(static_cast<double>(sum) / static_cast<double>(samples));
}

// The runs as they were first written: every pass over the whole file, one after another.
OracleOutcome RunPassByPass(const std::vector<OracleFile>& files, const OracleSettings& settings) {
    const FactorTables tables = BuildFactorTables();
    const size_t n = files.size();
    OracleOutcome out;
    out.Results.resize(n);
    out.Loudness.assign(n, 0.0);
    std::vector<int16_t> peaks(n, 0);
    std::vector<bool> ignored(n, false);
    std::map<int32_t, int16_t> groupPeak;
    for (size_t i = 0; i < n; ++i) {
        for (int16_t s : files[i].Source) {
            const int16_t m = s == -32768 ? 32767 : static_cast<int16_t>(std::abs(s));
            peaks[i] = std::max(peaks[i], m);
        }
        ignored[i] = peaks[i] == 0;
        if (!ignored[i] && files[i].Group > 0) {
            groupPeak[files[i].Group] = std::max(groupPeak[files[i].Group], peaks[i]);
        }
    }
    std::map<int32_t, size_t> loudestOf, quietestOf;
    for (size_t i = 0; i < n; ++i) {
        if (ignored[i]) {
            continue;
        }
        const int16_t peak = files[i].Group > 0 ? groupPeak[files[i].Group] : peaks[i];
        out.Results[i] = files[i].Source;
        const int64_t sum =
            scalar::GainSamples(out.Results[i].data(), out.Results[i].size(), 32767.0 / peak);
        out.Loudness[i] = Rms(sum, out.Results[i].size());
        if (files[i].Group > 0) {
            const int32_t g = files[i].Group;
            if (!loudestOf.count(g) || out.Loudness[i] > out.Loudness[loudestOf[g]]) {
                loudestOf[g] = i;
            }
            if (!quietestOf.count(g) || out.Loudness[i] < out.Loudness[quietestOf[g]]) {
                quietestOf[g] = i;
            }
        }
    }
    std::vector<double> loudestRatio(n, 1.0), quietestRatio(n, 1.0);
    for (size_t i = 0; i < n; ++i) {
        if (!ignored[i] && files[i].Group > 0) {
            loudestRatio[i] = out.Loudness[i] / out.Loudness[loudestOf[files[i].Group]];
            quietestRatio[i] = out.Loudness[i] / out.Loudness[quietestOf[files[i].Group]];
        }
    }

    double loudest = 0.0, quietest = 40000.0;
    for (size_t i = 0; i < n; ++i) {
        if (!ignored[i]) {
            loudest = std::max(loudest, out.Loudness[i]);
            quietest = std::min(quietest, out.Loudness[i]);
        }
    }
    double reference = 0.0;
    switch (settings.Choice) {
        case ReferenceChoice::Highlighted:
            if (ignored[settings.Highlighted]) {
                out.Abandoned = true;
                return out;
            }
            reference = out.Loudness[settings.Highlighted];
            break;
        case ReferenceChoice::Quietest:
            reference = quietest;
            break;
        case ReferenceChoice::Loudest:
            reference = loudest;
            break;
        case ReferenceChoice::Preset:
            reference = settings.PresetLevel;
            break;
    }
    const bool anchorAtLoudest = reference > quietest;
    auto targetGain = [&](size_t i) {
        return files[i].Group > 0 ? (anchorAtLoudest ? loudestRatio[i] : quietestRatio[i]) : 1.0;
    };
    bool exceeded = false;
    for (size_t i = 0; i < n; ++i) {
        if (!ignored[i] && reference * targetGain(i) / out.Loudness[i] > settings.MaxComp) {
            exceeded = true;
            reference = settings.MaxComp * out.Loudness[i] / targetGain(i);
        }
    }
    // The heavy-processing question is asked when some file's own target needs that much.
    bool heavy = false;
    for (size_t i = 0; i < n; ++i) {
        heavy = heavy ||
                (!ignored[i] && reference * targetGain(i) / out.Loudness[i] > settings.WarnComp);
    }
    if ((exceeded || heavy) && settings.Reply == Answer::No) {
        out.Abandoned = true;
        return out;
    }

    for (size_t i = 0; i < n; ++i) {
        if (ignored[i]) {
            continue;
        }
        const double target = reference * targetGain(i);
        int compressed = 0, reduced = 0;
        auto onTarget = [&] {
            const double loudness = out.Loudness[i];
            if (target > loudness) {
                return target / loudness < Operations::OnTargetTolerance ||
                       (reduced >= 1 && compressed == 0);
            }
            return loudness / target < Operations::OnTargetTolerance;
        };
        std::set<Samples> seen{out.Results[i]};
        while (!onTarget()) {
            Samples& samples = out.Results[i];
            const double x = target / out.Loudness[i];
            const TransformStep step =
                x > 1.0 ? CompressStep(SelectCompressFactor(tables.CompressFactors, x))
                        : ReduceStep(SelectReduceFactor(tables.ReduceFactors, x));
            int16_t unused = 0;
            const int64_t sum = ApplyTransform(RunnableTransformSets().back(), step, samples.data(),
                                               samples.size(), unused);
            out.Loudness[i] = Rms(sum, samples.size());
            ++(x > 1.0 ? compressed : reduced);
            ++(x > 1.0 ? out.Compressions : out.Reductions);
            // A state seen before repeats for ever: the file stays as it now is.
            if (!seen.insert(samples).second) {
                out.Stalled.insert(i);
                break;
            }
        }
    }
    if (settings.FinalLimit && settings.Limit > 0 && settings.Limit < 32767) {
        out.Limited = true;
        for (size_t i = 0; i < n; ++i) {
            if (!ignored[i]) {
                const int64_t sum = scalar::GainSamples(
                    out.Results[i].data(), out.Results[i].size(), settings.Limit / 32767.0);
                out.Loudness[i] = Rms(sum, out.Results[i].size());
            }
        }
    }
    return out;
}

// Music-like: a few tones and noise at a random level, sometimes with silence or clipping.
Samples RandomSignal(std::mt19937& random, int32_t frames) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double level = 300.0 + unit(random) * 14000.0;
    const double f1 = 50.0 + unit(random) * 2000.0, f2 = 50.0 + unit(random) * 5000.0;
    const double noise = unit(random) * 0.5;
    const bool clipped = unit(random) < 0.2;
    const int32_t silentFrames = unit(random) < 0.2 ? frames / 4 : 0;
    Samples samples(static_cast<size_t>(frames) * 2);
    for (int32_t f = 0; f < frames; ++f) {
        const double t = f / 44100.0;
        for (int c = 0; c < 2; ++c) {
            double v =
                level * (std::sin(2 * M_PI * f1 * t + c) + 0.5 * std::sin(2 * M_PI * f2 * t) +
                         noise * (2.0 * unit(random) - 1.0));
            if (clipped) {
                v *= 4.0;
            }
            v = std::max(-32768.0, std::min(32767.0, std::nearbyint(v)));
            samples[2 * f + c] = f < silentFrames ? 0 : static_cast<int16_t>(v);
        }
    }
    return samples;
}

// Sources from disk, results in memory (made whole on Commit): many runs stay fast.
class MemoryResults : public FileAccess {
public:
    std::unique_ptr<PassFile> OpenExisting(const std::string& path) override {
        if (Whole.count(path) > 0) {
            return std::make_unique<Result>(*this, path, Whole[path], Ids[path]);
        }
        return PosixFileAccess().OpenExisting(path);
    }
    std::unique_ptr<PassFile> Create(const std::string& path, const OutputFolders*) override {
        ++Creates[path];
        // Each new file is another file, as a rename over the name makes it.
        return std::make_unique<Result>(*this, path, std::vector<uint8_t>(),
                                        FileIdentity{1, ++lastInode_, true});
    }
    std::map<std::string, std::vector<uint8_t>> Whole;
    std::map<std::string, FileIdentity> Ids;
    std::map<std::string, int> Creates;

private:
    class Result : public PassFile {
    public:
        Result(MemoryResults& owner, std::string path, std::vector<uint8_t> bytes,
               FileIdentity identity)
            : owner_(owner),
              path_(std::move(path)),
              bytes_(std::move(bytes)),
              identity_(identity) {}
        size_t Read(void* buffer, size_t size) override {
            const size_t got = std::min(size, bytes_.size() - std::min(at_, bytes_.size()));
            std::memcpy(buffer, bytes_.data() + at_, got);
            at_ += got;
            return got;
        }
        bool Write(const void* buffer, size_t size) override {
            if (bytes_.size() < at_ + size) {
                bytes_.resize(at_ + size);
            }
            std::memcpy(bytes_.data() + at_, buffer, size);
            at_ += size;
            return true;
        }
        bool Seek(int64_t offset) override {
            at_ = static_cast<size_t>(offset);
            return true;
        }
        bool Commit() override {
            owner_.Whole[path_] = bytes_;
            owner_.Ids[path_] = identity_;
            return true;
        }
        FileIdentity Identity() const override { return identity_; }

    private:
        MemoryResults& owner_;
        std::string path_;
        std::vector<uint8_t> bytes_;
        FileIdentity identity_;
        size_t at_ = 0;
    };

    uint64_t lastInode_ = 0;
};

class PassByPassOracle : public testing::Test {
protected:
    TempDir dir;
    FakeProgressSink sink;
    MemoryResults results;
    AudioEngine engine{sink, [] { return 0.0; }, results};
    Options options;
    FakeRunHost host;
    Operations ops{engine, host};
    UngroupedNumbers numbers;

    RunRequest Request() const { return host.Request(options); }

    FileData& AddWav(const std::string& name, const Samples& samples, int32_t group) {
        const std::string path = WriteWav(dir.File(name), samples);
        const WaveHeaderInfo info = ReadWaveHeader(path);
        FileData& file = host.Add(std::make_unique<FileData>(path, info.HeaderSize, info.FrameCount,
                                                             info.TailBytes, numbers));
        file.GroupNumber = group > 0 ? group : file.GroupNumber;
        return file;
    }

    Samples ResultSamples(const FileData& file) {
        const std::vector<uint8_t>& bytes = results.Whole[file.ResultFile];
        Samples samples(static_cast<size_t>(file.FrameCount) * 2);
        EXPECT_EQ(bytes.size(), 44 + samples.size() * 2);
        std::memcpy(
            samples.data(), bytes.data() + 44,
            std::min(samples.size() * 2, bytes.size() - std::min<size_t>(44, bytes.size())));
        return samples;
    }

    // Runs Prepare & Balance on generated files and compares with the oracle.
    void Check(uint32_t seed) {
        std::mt19937 random(seed);
        std::uniform_int_distribution<int> fileCount(1, 4), frames(1, 7000), pick(0, 99);
        std::vector<OracleFile> files(static_cast<size_t>(fileCount(random)));
        for (auto& file : files) {
            // Every tenth run has a first file of more than 50 blocks, whose data moves in
            // several chunks.
            const bool longFile = seed % 10 == 0 && &file == &files.front();
            file.Source = RandomSignal(
                random, (longFile ? 260000 : 0) + frames(random) * (longFile ? 20 : 1));
            file.Group = pick(random) < 30 ? 1 + pick(random) % 2 : 0;
        }
        OracleSettings settings;
        settings.Choice = static_cast<ReferenceChoice>(pick(random) % 4);
        settings.Highlighted = static_cast<size_t>(pick(random)) % files.size();
        settings.PresetLevel = 500.0 + pick(random) * 150.0;
        settings.MaxComp = pick(random) < 50 ? 3.0 : 1.5 + pick(random) / 100.0;
        settings.WarnComp = pick(random) < 70 ? 1.1 : 10.0;
        settings.FinalLimit = pick(random) < 40;
        settings.Limit =
            static_cast<int16_t>(pick(random) < 20 ? 32767 : 16000 + pick(random) * 150);
        settings.Reply = pick(random) < 25 ? Answer::No : Answer::Yes;

        // Every third run keeps no histogram and counts each source's values again. Odd
        // seeds: Prepare & Balance; even ones: Prepare, then Balance on its results.
        const OracleOutcome expected =
            Compare(files, settings, seed % 2 == 1, seed % 3 == 0 ? 0 : 256, std::to_string(seed));
        compressions += expected.Compressions;
        reductions += expected.Reductions;
        limited += expected.Limited ? 1 : 0;
        abandoned += expected.Abandoned ? 1 : 0;
        stalled += static_cast<int>(expected.Stalled.size());
        for (const OracleFile& file : files) {
            grouped += file.Group > 0 ? 1 : 0;
        }
    }

    // Runs the files through the oracle and through Prepare & Balance (or Prepare, then
    // Balance), and compares every result byte for byte.
    OracleOutcome Compare(const std::vector<OracleFile>& files, const OracleSettings& settings,
                          bool prepareAndBalance, size_t histogramsKept, const std::string& tag) {
        const OracleOutcome expected = RunPassByPass(files, settings);
        std::vector<FileData*> records;
        for (size_t i = 0; i < files.size(); ++i) {
            records.push_back(&AddWav("f" + tag + "_" + std::to_string(i) + ".wav", files[i].Source,
                                      files[i].Group));
        }
        host.Choice = settings.Choice;
        host.Highlighted = records[settings.Highlighted];
        host.PresetLevel = settings.PresetLevel;
        host.DefaultAnswer = settings.Reply;
        options.maxcompfactor = settings.MaxComp;
        options.warncompfactor = settings.WarnComp;
        options.dofinalnorm = settings.FinalLimit;
        options.normaliselevel = settings.Limit;
        ops.HistogramsKept = histogramsKept;
        if (prepareAndBalance) {
            ops.PrepareAndBalance(Request());
        } else {
            ops.Prepare(Request());
            EXPECT_TRUE(ops.ReadyToBalance);
            ops.Balance(Request());
        }

        for (size_t i = 0; i < files.size(); ++i) {
            SCOPED_TRACE("case " + tag + " file " + std::to_string(i));
            if (expected.Results[i].empty()) {
                EXPECT_TRUE(records[i]->Ignored);
                continue;
            }
            EXPECT_EQ(ResultSamples(*records[i]), expected.Results[i]);
            EXPECT_EQ(records[i]->Loudness, expected.Loudness[i]);
            // Written once by Prepare & Balance; by Prepare and at most once more by Balance.
            EXPECT_LE(results.Creates[records[i]->ResultFile], prepareAndBalance ? 1 : 2);
        }
        EXPECT_EQ(ops.FilesShortOfTarget, static_cast<int>(expected.Stalled.size()));
        size_t toldShort = 0;
        for (const std::string& warning : host.Warnings) {
            toldShort += warning.find("cannot be brought to its target") != std::string::npos;
        }
        EXPECT_EQ(toldShort, expected.Stalled.size());
        host.List.clear();
        host.Warnings.clear();
        results.Whole.clear();
        results.Creates.clear();
        sink.Calls.clear();
        host.Log.clear();
        return expected;
    }

    int compressions = 0, reductions = 0, limited = 0, abandoned = 0, stalled = 0, grouped = 0;
};

TEST_F(PassByPassOracle, RandomFilesGroupsReferencesAndLimits) {
    for (uint32_t seed = 1; seed <= 60; ++seed) {
        Check(seed);
        if (HasFatalFailure()) {
            return;
        }
    }
    // The cases reach every kind of work.
    EXPECT_GT(compressions, 20);
    EXPECT_GT(reductions, 20);
    EXPECT_GT(limited, 5);
    EXPECT_GE(abandoned, 3);
    EXPECT_GT(grouped, 5);
}

// Reachable targets that take hundreds of passes, and a run that only comes back to a state it
// has been in: both as the passes run one after another would leave them.
struct LongRun {
    const char* Name;
    double Frequency;
    double Level;
    double MaxComp;
    bool Reached;
};

void PrintTo(const LongRun& value, std::ostream* out) {
    *out << value.Name;
}

class LongRunOracle : public PassByPassOracle, public testing::WithParamInterface<LongRun> {};

TEST_P(LongRunOracle, EndsAsThePassesWouldInBothRuns) {
    const LongRun& run = GetParam();
    OracleSettings settings;
    settings.Choice = ReferenceChoice::Preset;
    settings.PresetLevel = run.Level;
    settings.MaxComp = run.MaxComp;
    settings.WarnComp = 100.0;
    const std::vector<OracleFile> files{{Sine(4410, 32767.0, run.Frequency), 0}};
    for (const bool prepareAndBalance : {true, false}) {
        SCOPED_TRACE(prepareAndBalance ? "Prepare & Balance" : "Prepare, then Balance");
        const OracleOutcome expected =
            Compare(files, settings, prepareAndBalance, 256, prepareAndBalance ? "pb" : "b");
        EXPECT_GT(expected.Compressions, 200) << "more passes than the bound there used to be";
        EXPECT_EQ(expected.Stalled.empty(), run.Reached);
        EXPECT_EQ(ops.LastPlan().Ending, run.Reached ? PlanEnding::OnTarget : PlanEnding::Stalled);
        EXPECT_EQ(ops.LastPlan().Compressions, expected.Compressions);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sines, LongRunOracle,
    testing::Values(LongRun{"ReachesItsTargetAfter279Passes", 440.0, 32500.0, 4.0, true},
                    LongRun{"ComesBackToAStateAfter900Passes", 1000.0, 32750.0, 100.0, false}),
    [](const testing::TestParamInfo<LongRun>& info) { return std::string(info.param.Name); });

}  // namespace
}  // namespace tralux::test
