// The runs on every integer WAV format they take, against the passes run one after another
// over the decoded file: each sample decoded to the scale, each transform's arithmetic, the
// value stored on the format's own grid, pass after pass. The results must be those bytes,
// in the source's own format, with every other byte of the file kept.

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <set>

#include "RunFixture.h"
#include "engine/FactorTables.h"
#include "engine/WideValues.h"
#include "files/SampleFormats.h"

namespace tralux::test {
namespace {

// One file as the test writes it: its layout, its sample grid and its samples on the scale.
struct FormatCase {
    std::string Name;
    AnyWavLayout Layout;
    SampleFormat Sample;
    std::vector<double> Signal;  // interleaved, on the scale
    size_t CutBytes = 0;         // bytes cut off the end of the file: a data chunk cut short
};

std::vector<uint8_t> Encoded(const FormatCase& c) {
    std::vector<uint8_t> bytes(c.Signal.size() * size_t(c.Sample.ContainerBytes));
    EncodeSamples(c.Sample, c.Signal.data(), c.Signal.size(), bytes.data());
    return bytes;
}

// The stored integer of one sample (one-byte samples less 128), padding bits as stored.
int64_t StoredInteger(const SampleFormat& format, const uint8_t* bytes) {
    if (format.ContainerBytes == 1) {
        return int64_t{bytes[0]} - 128;
    }
    uint64_t raw = 0;
    for (int i = 0; i < format.ContainerBytes; ++i) {
        raw |= uint64_t{bytes[i]} << (8 * i);
    }
    const int shift = 64 - 8 * format.ContainerBytes;
    return static_cast<int64_t>(raw << shift) >> shift;
}

// A file's samples as the passes hold them.
struct OracleData {
    SampleFormat Format;
    std::vector<uint8_t> Bytes;
    size_t Count() const { return Bytes.size() / size_t(Format.ContainerBytes); }

    double Peak() const {
        double peak = 0.0;
        for (size_t i = 0; i < Count(); ++i) {
            peak = std::max(peak, PeakOf(Format, DecodeSample(Format, At(i))));
        }
        return peak;
    }
    // The root mean square on the scale, from the exact sum of the squared stored integers,
    // the most negative ones counted as full scale; of floats, from the exact sum of their
    // squares as they count (NaN as 0, an infinity as 1, held to a million).
    double Loudness() const {
        if (Format.Coding == SampleCoding::Float) {
            ExactSquares squares;
            for (size_t i = 0; i < Count(); ++i) {
                double x;
                if (Format.ContainerBytes == 4) {
                    float f;
                    std::memcpy(&f, At(i), 4);
                    x = f;
                } else {
                    std::memcpy(&x, At(i), 8);
                }
                x = std::isnan(x) ? 0.0 : std::isinf(x) ? 1.0 : std::min(std::fabs(x), 1e6);
                squares.Add(x);
            }
            return Count() == 0
                       ? 0.0
                       : std::sqrt(squares.Value() / static_cast<double>(Count())) * 32767.0;
        }
        const int pad = Format.ContainerBytes * 8 - Format.ValidBits;
        const int64_t full = ((int64_t{1} << (Format.ValidBits - 1)) - 1) << pad;
        unsigned __int128 sum = 0;
        for (size_t i = 0; i < Count(); ++i) {
            const int64_t v = std::min(std::abs(StoredInteger(Format, At(i))), full);
            sum += static_cast<unsigned __int128>(v * v);
        }
        if (Count() == 0) {
            return 0.0;
        }
        return std::sqrt(static_cast<double>(sum) / static_cast<double>(Count())) *
               (32767.0 / static_cast<double>(full));
    }
    // One pass: each sample decoded, transformed as the int16 code does without its rounding,
    // and stored on the grid.
    void Pass(const TransformStep& step) {
        for (size_t i = 0; i < Count(); ++i) {
            const double s = DecodeSample(Format, At(i));
            double t = s;
            if (step.Transform == BlockTransform::Gain) {
                t = std::clamp(s * step.Gain, -32767.0, 32767.0);
            } else if (step.Transform == BlockTransform::Compress) {
                double a = std::fabs(s);
                if (a > step.Threshold) {
                    a = step.Threshold + (a - step.Threshold) / step.Ratio;
                }
                t = std::copysign(std::min(a * step.MakeUpGain, 32767.0), s);
            } else if (step.Transform == BlockTransform::Reduce) {
                t = std::copysign(std::min(std::fabs(s) * step.Gain, 32767.0), s);
            }
            EncodeSample(Format, t, At(i));
        }
    }
    uint8_t* At(size_t i) { return Bytes.data() + i * size_t(Format.ContainerBytes); }
    const uint8_t* At(size_t i) const { return Bytes.data() + i * size_t(Format.ContainerBytes); }
};

TransformStep GainStep(double gain) {
    TransformStep step{BlockTransform::Gain};
    step.Gain = gain;
    return step;
}

struct OracleResult {
    std::vector<OracleData> Data;
    std::vector<double> Loudness;
    int Compressions = 0, Reductions = 0;
};

// Prepare & Balance pass by pass: normalise each file by its peak (a track group's by the
// group's), bring each to the quietest (or the preset), a group's members to it times their
// loudness relative to the group's loudest (or quietest, when the reference lies at the
// quietest file), then the final limiting. Every question answered Yes.
OracleResult RunOracle(const std::vector<OracleData>& sources, std::optional<double> preset,
                       double maxComp, std::optional<double> limit, std::vector<int> groups = {}) {
    const FactorTables tables = BuildFactorTables();
    OracleResult out;
    out.Data = sources;
    groups.resize(sources.size(), 0);
    const auto members = [&](size_t i) {
        std::vector<size_t> all;
        for (size_t k = 0; k < sources.size(); ++k) {
            if (k == i || (groups[i] > 0 && groups[k] == groups[i])) {
                all.push_back(k);
            }
        }
        return all;
    };
    for (size_t i = 0; i < out.Data.size(); ++i) {
        double peak = 0.0;
        for (size_t k : members(i)) {
            peak = std::max(peak, sources[k].Peak());
        }
        out.Data[i].Pass(GainStep(32767.0 / peak));
        out.Loudness.push_back(out.Data[i].Loudness());
    }
    const double quietest = *std::min_element(out.Loudness.begin(), out.Loudness.end());
    double reference = preset ? *preset : quietest;
    const bool anchorAtLoudest = reference > quietest;
    std::vector<double> ratios;
    for (size_t i = 0; i < out.Data.size(); ++i) {
        double anchor = out.Loudness[i];
        for (size_t k : members(i)) {
            anchor = anchorAtLoudest ? std::max(anchor, out.Loudness[k])
                                     : std::min(anchor, out.Loudness[k]);
        }
        ratios.push_back(out.Loudness[i] / anchor);
        const double loudness = out.Loudness[i];
        if (reference * ratios[i] / loudness > maxComp) {
            reference = maxComp * loudness / ratios[i];
        }
    }
    for (size_t i = 0; i < out.Data.size(); ++i) {
        int compressed = 0, reduced = 0;
        std::set<std::vector<uint8_t>> seen{out.Data[i].Bytes};
        const double target = reference * ratios[i];
        while (true) {
            const double loudness = out.Loudness[i];
            const bool onTarget = target > loudness
                                      ? target / loudness < Operations::OnTargetTolerance ||
                                            (reduced >= 1 && compressed == 0)
                                      : loudness / target < Operations::OnTargetTolerance;
            if (onTarget) {
                break;
            }
            const double x = target / loudness;
            out.Data[i].Pass(x > 1.0 ? CompressStep(SelectCompressFactor(tables.CompressFactors, x))
                                     : ReduceStep(SelectReduceFactor(tables.ReduceFactors, x)));
            out.Loudness[i] = out.Data[i].Loudness();
            ++(x > 1.0 ? compressed : reduced);
            ++(x > 1.0 ? out.Compressions : out.Reductions);
            if (!seen.insert(out.Data[i].Bytes).second) {
                break;
            }
        }
    }
    if (limit) {
        for (size_t i = 0; i < out.Data.size(); ++i) {
            out.Data[i].Pass(GainStep(*limit / 32767.0));
            out.Loudness[i] = out.Data[i].Loudness();
        }
    }
    return out;
}

// Music-like samples on the scale: two tones and noise at a level, one full-scale sample.
std::vector<double> Music(std::mt19937& random, size_t count, double level) {
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::vector<double> signal(count);
    for (size_t i = 0; i < count; ++i) {
        const double t = static_cast<double>(i);
        signal[i] =
            level * (0.6 * std::sin(t * 0.031) + 0.3 * std::sin(t * 0.173) + 0.1 * unit(random));
    }
    signal[count / 3] = 32767.0;
    signal[count / 2] = -40000.0;  // held to the most negative value
    return signal;
}

AnyWavLayout Plain(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits) {
    AnyWavLayout layout;
    layout.formatTag = tag;
    layout.channels = channels;
    layout.sampleRate = rate;
    layout.bitsPerSample = bits;
    return layout;
}

AnyWavLayout Extensible(uint16_t channels, uint32_t rate, uint16_t bits, uint16_t valid,
                        uint32_t mask) {
    AnyWavLayout layout = Plain(0xFFFE, channels, rate, bits);
    layout.validBits = valid;
    layout.channelMask = mask;
    return layout;
}

const std::vector<uint8_t> Tag = {'L', 'I', 'S', 'T', 3, 0, 0, 0, 'a', 'b', 'c', 0};

class FormatsOracle : public RunFixture {
protected:
    std::vector<FormatCase> cases;
    std::vector<FileData*> records;
    std::vector<std::vector<uint8_t>> written;  // each source file's bytes

    void Add(FormatCase c, uint32_t seed, size_t frames, double level, int32_t group = 0) {
        std::mt19937 random(seed);
        c.Signal = Music(random, frames * c.Layout.channels, level);
        AddSamples(std::move(c), Encoded(c), std::to_string(seed), group);
    }
    // A file of these sample bytes, as they are: floats above full scale, NaN and infinities
    // that no encoding of a value on the scale makes.
    void AddSamples(FormatCase c, const std::vector<uint8_t>& samples, const std::string& suffix,
                    int32_t group = 0) {
        c.Layout.afterData = Tag;
        std::vector<uint8_t> bytes = MakeAnyWav(samples, c.Layout);
        bytes.resize(bytes.size() - c.CutBytes);
        const std::string path = dir.File(c.Name + suffix + ".wav");
        WriteFile(path, bytes);
        written.push_back(bytes);
        records.push_back(&AddPath(path, group));
        cases.push_back(std::move(c));
    }
    void Clear() {
        host.List.clear();
        cases.clear();
        records.clear();
        written.clear();
    }

    std::vector<OracleData> Sources() const {
        std::vector<OracleData> sources;
        for (size_t i = 0; i < cases.size(); ++i) {
            const FileData& file = *records[i];
            const size_t bytes = size_t(file.FrameCount) * file.FrameBytes();
            const auto at = written[i].begin() + file.HeaderSize;
            sources.push_back({cases[i].Sample, std::vector<uint8_t>(at, at + long(bytes))});
        }
        return sources;
    }

    // Each result must be its source's bytes with the samples the oracle made.
    void CompareResults(const OracleResult& expected) {
        for (size_t i = 0; i < cases.size(); ++i) {
            SCOPED_TRACE(cases[i].Name);
            const FileData& file = *records[i];
            std::vector<uint8_t> bytes = written[i];
            std::memcpy(bytes.data() + file.HeaderSize, expected.Data[i].Bytes.data(),
                        expected.Data[i].Bytes.size());
            const auto tail = bytes.begin() + file.HeaderSize + long(expected.Data[i].Bytes.size());
            std::fill(tail, tail + file.TailBytes, 0);  // bytes past the last frame: zeros
            if (file.ShorterThanHeader) {
                bytes.resize(size_t(file.HeaderSize) + expected.Data[i].Bytes.size() +
                             size_t(file.TailBytes));
                PutSizes(bytes, file);
            }
            EXPECT_EQ(ReadFile(file.ResultFile), bytes);
            EXPECT_EQ(file.Loudness, expected.Loudness[i]);
        }
    }

    // What a cut-short result says of its sizes: in ds64 for RF64, else in the RIFF fields.
    static void PutSizes(std::vector<uint8_t>& bytes, const FileData& file) {
        const uint64_t data = bytes.size() - size_t(file.HeaderSize);
        const auto put = [&](size_t at, uint64_t value, int size) {
            for (int k = 0; k < size; ++k) {
                bytes[at + size_t(k)] = static_cast<uint8_t>(value >> (8 * k));
            }
        };
        if (file.Format.Container == WavContainer::Riff) {
            put(4, bytes.size() - 8, 4);
            put(size_t(file.HeaderSize) - 4, data, 4);
        } else {
            put(20, bytes.size() - 8, 8);
            put(28, data, 8);
            put(36, uint64_t(file.FrameCount), 8);
            if (!file.DataSizeInDs64) {
                put(size_t(file.HeaderSize) - 4, data, 4);
            }
        }
    }
};

// Every integer width and layout the runs take, one file at a time, brought to a preset
// that needs compression or reduction, with and without the final limiting.
TEST_F(FormatsOracle, EachFormatAloneGivesThePassByPassBytes) {
    AnyWavLayout beforeFormat = Plain(1, 2, 48000, 24);
    beforeFormat.chunksBeforeFormat = {{"JUNK", {1, 2, 3}}};  // odd: a padding byte follows
    beforeFormat.chunksBeforeData = {{"fact", {9, 0, 0, 0}}};
    beforeFormat.formatExtra = {0, 0};
    AnyWavLayout rf64 = Plain(1, 1, 192000, 16);
    rf64.container = "RF64";
    const std::vector<FormatCase> formats = {
        {"u8mono22k", Plain(1, 1, 22050, 8), {SampleCoding::Integer, 1, 8}, {}},
        {"i16mono48k", Plain(1, 1, 48000, 16), {SampleCoding::Integer, 2, 16}, {}},
        {"i16six96k", Extensible(6, 96000, 16, 16, 0x3F), {SampleCoding::Integer, 2, 16}, {}},
        {"i12in16", Extensible(2, 44100, 16, 12, 3), {SampleCoding::Integer, 2, 12}, {}},
        {"i24stereo48k", beforeFormat, {SampleCoding::Integer, 3, 24}, {}},
        {"i20in24nomask", Extensible(2, 88200, 24, 20, 0), {SampleCoding::Integer, 3, 20}, {}},
        {"i24six", Extensible(6, 48000, 24, 24, 0x3F), {SampleCoding::Integer, 3, 24}, {}},
        {"i24twenty", Extensible(20, 32000, 24, 24, 0), {SampleCoding::Integer, 3, 24}, {}},
        {"i16rf64", rf64, {SampleCoding::Integer, 2, 16}, {}},
    };
    const std::vector<std::optional<double>> presets = {1500.0, 9000.0};
    uint32_t seed = 1;
    for (const FormatCase& format : formats) {
        for (const auto& preset : presets) {
            for (const bool limiting : {false, true}) {
                SCOPED_TRACE(format.Name + (limiting ? " limited" : "") + " to " +
                             std::to_string(*preset));
                Add(format, ++seed, 7001, 4000.0);
                host.Choice = ReferenceChoice::Preset;
                host.PresetLevel = preset;
                host.AnswerYes = true;
                options.maxcompfactor = 4.0;
                options.dofinalnorm = limiting;
                options.normaliselevel = 30000;
                ops.PrepareAndBalance(Request());
                const OracleResult expected =
                    RunOracle(Sources(), preset, 4.0,
                              limiting ? std::optional<double>(30000.0) : std::nullopt);
                EXPECT_GT(expected.Compressions + expected.Reductions, 0);
                CompareResults(expected);
                host.List.clear();
                cases.clear();
                records.clear();
                written.clear();
            }
        }
    }
}

// The mixed set of a listener's folder, balanced together to a preset: every result in
// its source's format, every chunk kept; RF64 and a cut-short file among them.
TEST_F(FormatsOracle, MixedSetBalancesEachInItsOwnFormat) {
    AnyWavLayout rf64 = Plain(1, 2, 44100, 24);
    rf64.container = "RF64";
    AnyWavLayout bw64 = Extensible(2, 48000, 16, 16, 3);
    bw64.container = "BW64";
    bw64.dataSizeInDs64 = false;
    Add({"i24stereo48k", Plain(1, 2, 48000, 24), {SampleCoding::Integer, 3, 24}, {}}, 11, 9000,
        9000.0);
    Add({"i16mono", Plain(1, 1, 44100, 16), {SampleCoding::Integer, 2, 16}, {}}, 12, 8000, 3000.0);
    Add({"u8", Plain(1, 2, 8000, 8), {SampleCoding::Integer, 1, 8}, {}}, 13, 6000, 6000.0);
    Add({"i24six", Extensible(6, 48000, 24, 24, 0x60F), {SampleCoding::Integer, 3, 24}, {}}, 14,
        3000, 2000.0);
    Add({"rf64", rf64, {SampleCoding::Integer, 3, 24}, {}}, 15, 7000, 5000.0);
    Add({"bw64cut", bw64, {SampleCoding::Integer, 2, 16}, {}, Tag.size() + 3}, 16, 7000, 1500.0);
    Add({"i16stereo", Plain(1, 2, 44100, 16), {SampleCoding::Integer, 2, 16}, {}}, 17, 12000,
        7000.0);
    ASSERT_TRUE(records[5]->ShorterThanHeader);
    EXPECT_EQ(records[5]->TailBytes, 1);
    host.Choice = ReferenceChoice::Preset;
    host.PresetLevel = 7000.0;
    host.AnswerYes = true;
    options.maxcompfactor = 3.0;
    options.dofinalnorm = true;
    options.normaliselevel = 31000;
    ops.PrepareAndBalance(Request());
    const OracleResult expected = RunOracle(Sources(), 7000.0, 3.0, 31000.0);
    EXPECT_GT(expected.Compressions, 0);
    EXPECT_GT(expected.Reductions, 0);
    CompareResults(expected);
}

// Prepare, then Balance on its results, counting each result again: the same bytes as the
// passes, for formats of each grid; and a run that keeps no counts recounts its sources.
TEST_F(FormatsOracle, PrepareThenBalanceAndRecountsAgreeWithThePasses) {
    for (const bool separate : {true, false}) {
        SCOPED_TRACE(separate ? "Prepare, then Balance" : "Prepare & Balance, recounting");
        Add({"a24", Plain(1, 2, 96000, 24), {SampleCoding::Integer, 3, 24}, {}}, 21, 9000, 8000.0);
        Add({"b8", Plain(1, 1, 11025, 8), {SampleCoding::Integer, 1, 8}, {}}, 22, 7000, 2500.0);
        Add({"c12", Extensible(2, 44100, 16, 12, 3), {SampleCoding::Integer, 2, 12}, {}}, 23, 7000,
            12000.0);
        host.Choice = ReferenceChoice::Quietest;
        host.AnswerYes = true;
        options.maxcompfactor = 5.0;
        if (separate) {
            ops.Prepare(Request());
            ASSERT_TRUE(ops.ReadyToBalance);
            ops.Balance(Request());
        } else {
            ops.GridBytesKept = 0;
            ops.PrepareAndBalance(Request());
            // Each source read again for its counts to plan its balancing; the normalising of
            // a file in no group is planned on the counts of its scan.
            EXPECT_EQ(Passes("Scanning:"), 6);
        }
        CompareResults(RunOracle(Sources(), std::nullopt, 5.0, std::nullopt));
        host.List.clear();
        cases.clear();
        records.clear();
        written.clear();
        sink.Labels.clear();
        sink.FileNames.clear();
    }
}

// The preview plans a 24-bit and an 8-bit file as the run then writes them.
TEST_F(FormatsOracle, PreviewOfOtherGridsPlansWhatTheRunWrites) {
    Add({"p24", Plain(1, 2, 48000, 24), {SampleCoding::Integer, 3, 24}, {}}, 31, 8000, 9000.0);
    Add({"p8", Plain(1, 2, 22050, 8), {SampleCoding::Integer, 1, 8}, {}}, 32, 8000, 3000.0);
    host.Choice = ReferenceChoice::Quietest;
    host.AnswerYes = true;
    const std::optional<Measurements> measured = ops.Measure();
    ASSERT_TRUE(measured.has_value());
    const Preview preview = ops.PlanFromMeasurements(*measured, Request());
    ops.PrepareAndBalance(Request());
    for (size_t i = 0; i < records.size(); ++i) {
        ASSERT_TRUE(preview.Rows[i].Planned);
        EXPECT_EQ(preview.Rows[i].Loudness, records[i]->Loudness);
    }
}

// A preview whose files hold more keys than it may keep says so, and plans nothing.
TEST_F(FormatsOracle, PreviewPastItsMemorySaysItCannotPlan) {
    Add({"q24", Plain(1, 2, 48000, 24), {SampleCoding::Integer, 3, 24}, {}}, 41, 8000, 9000.0);
    Add({"q16", Plain(1, 2, 44100, 16), {SampleCoding::Integer, 2, 16}, {}}, 42, 8000, 3000.0);
    host.Choice = ReferenceChoice::Quietest;
    ops.PreviewGridBytes = 1000;
    const std::optional<Measurements> measured = ops.Measure();
    ASSERT_TRUE(measured.has_value());
    EXPECT_FALSE((*measured)[0].GridValues);
    const Preview preview = ops.PlanFromMeasurements(*measured, Request());
    EXPECT_EQ(preview.Problem, messages::PreviewTooLarge);
    EXPECT_FALSE(preview.Rows[0].Planned);
    EXPECT_FALSE(preview.Rows[1].Planned);
}

constexpr SampleFormat I32{SampleCoding::Integer, 4, 32};
constexpr SampleFormat I24In32{SampleCoding::Integer, 4, 24};
constexpr SampleFormat F32{SampleCoding::Float, 4, 32};
constexpr SampleFormat F64{SampleCoding::Float, 8, 64};

AnyWavLayout FloatExtensible(uint16_t channels, uint32_t rate, uint16_t bits, uint32_t mask) {
    AnyWavLayout layout = Extensible(channels, rate, bits, bits, mask);
    layout.subFormat = 3;
    return layout;
}

// The wide formats, one file at a time, as the 16-bit and other integer grids above: 32-bit
// integers, 24 valid bits in 32, floats of both widths; mono, stereo and 6 channels.
TEST_F(FormatsOracle, EachWideFormatGivesThePassByPassBytes) {
    AnyWavLayout rf64 = Plain(3, 2, 44100, 64);
    rf64.container = "RF64";
    const std::vector<FormatCase> formats = {
        {"i32stereo96k", Plain(1, 2, 96000, 32), I32, {}},
        {"i32mono", Plain(1, 1, 44100, 32), I32, {}},
        {"i24in32six", Extensible(6, 48000, 32, 24, 0x3F), I24In32, {}},
        {"f32mono", Plain(3, 1, 44100, 32), F32, {}},
        {"f32six", FloatExtensible(6, 48000, 32, 0x3F), F32, {}},
        {"f64stereo", Plain(3, 2, 48000, 64), F64, {}},
        {"f64rf64", rf64, F64, {}},
    };
    uint32_t seed = 100;
    for (const FormatCase& format : formats) {
        for (const double preset : {1500.0, 9000.0}) {
            for (const bool limiting : {false, true}) {
                SCOPED_TRACE(format.Name + (limiting ? " limited" : "") + " to " +
                             std::to_string(preset));
                Add(format, ++seed, 5001, 4000.0);
                host.Choice = ReferenceChoice::Preset;
                host.PresetLevel = preset;
                host.AnswerYes = true;
                options.maxcompfactor = 4.0;
                options.dofinalnorm = limiting;
                options.normaliselevel = 30000;
                ops.PrepareAndBalance(Request());
                const OracleResult expected =
                    RunOracle(Sources(), preset, 4.0,
                              limiting ? std::optional<double>(30000.0) : std::nullopt);
                EXPECT_GT(expected.Compressions + expected.Reductions, 0);
                CompareResults(expected);
                Clear();
            }
        }
    }
}

// A file of more distinct values than a count keeps is planned by reading its samples again
// for each pass: the same bytes as when they are kept, in Prepare & Balance and in Balance
// after Prepare (which counts the results).
TEST_F(FormatsOracle, WideFilesPastTheirBudgetGiveTheSameBytes) {
    for (const bool separate : {false, true}) {
        std::vector<std::vector<uint8_t>> results[3];
        // All kept; too many to keep, but held by the plan; neither.
        for (const size_t kept : {size_t{1} << 22, size_t{2000}, size_t{500}}) {
            SCOPED_TRACE(std::to_string(kept) + (separate ? " Prepare, then Balance" : ""));
            engine.WideValuesKept = kept;
            Add({"f32", Plain(3, 2, 48000, 32), F32, {}}, 51, 6000, 3000.0);
            Add({"i32", Plain(1, 1, 96000, 32), I32, {}}, 52, 6000, 9000.0);
            Add({"i16", Plain(1, 2, 44100, 16), {SampleCoding::Integer, 2, 16}, {}}, 53, 6000,
                6000.0);
            host.Choice = ReferenceChoice::Preset;
            host.PresetLevel = 8000.0;
            host.AnswerYes = true;
            options.maxcompfactor = 5.0;
            if (separate) {
                ops.Prepare(Request());
                ASSERT_TRUE(ops.ReadyToBalance);
                ops.Balance(Request());
            } else {
                ops.PrepareAndBalance(Request());
            }
            const OracleResult expected = RunOracle(Sources(), 8000.0, 5.0, std::nullopt);
            EXPECT_GT(expected.Compressions, 0);
            CompareResults(expected);
            for (const FileData* file : records) {
                results[kept == 2000  ? 1
                        : kept == 500 ? 2
                                      : 0]
                    .push_back(ReadFile(file->ResultFile));
            }
            Clear();
        }
        EXPECT_EQ(results[0], results[1]);
        EXPECT_EQ(results[0], results[2]);
    }
}

// Float samples above full scale, infinities and NaN: normalising brings the peak to exactly
// 1.0 and no sample above it, NaN is written as silence, and the passes are the oracle's.
TEST_F(FormatsOracle, FloatsPastFullScaleAreNormalisedToOne) {
    for (const SampleFormat& format : {F32, F64}) {
        SCOPED_TRACE(format.ContainerBytes);
        std::mt19937 random(61);
        std::uniform_real_distribution<double> unit(-2.5, 2.5);
        std::vector<double> values(8000);
        for (double& x : values) {
            x = unit(random);
        }
        values[10] = 3.75;
        values[20] = std::numeric_limits<double>::quiet_NaN();
        values[30] = -std::numeric_limits<double>::infinity();
        values[40] = 1e300;  // counts as a million times full scale
        std::vector<uint8_t> bytes(values.size() * size_t(format.ContainerBytes));
        for (size_t i = 0; i < values.size(); ++i) {
            if (format.ContainerBytes == 4) {
                const auto f = static_cast<float>(i == 40 ? 7.5 : values[i]);
                std::memcpy(bytes.data() + 4 * i, &f, 4);
            } else {
                std::memcpy(bytes.data() + 8 * i, &values[i], 8);
            }
        }
        AddSamples({"loud", Plain(3, 2, 44100, uint16_t(format.ValidBits)), format, {}}, bytes,
                   std::to_string(format.ContainerBytes));
        host.Choice = ReferenceChoice::Preset;
        host.PresetLevel = 6000.0;
        host.AnswerYes = true;
        options.maxcompfactor = 6.0;
        ops.Prepare(Request());
        OracleData normalised = Sources()[0];
        normalised.Pass(GainStep(32767.0 / normalised.Peak()));
        const std::vector<uint8_t> file = ReadFile(records[0]->ResultFile);
        ASSERT_EQ(std::vector<uint8_t>(file.begin() + records[0]->HeaderSize,
                                       file.begin() + records[0]->HeaderSize + long(bytes.size())),
                  normalised.Bytes);
        double peak = 0.0;
        for (size_t i = 0; i < normalised.Count(); ++i) {
            const double x = DecodeSample(format, normalised.At(i)) / 32767.0;
            ASSERT_FALSE(std::isnan(x));
            ASSERT_LE(std::fabs(x), 1.0);
            peak = std::max(peak, std::fabs(x));
        }
        EXPECT_EQ(peak, 1.0);
        EXPECT_EQ(DecodeSample(format, normalised.At(20)), 0.0);
        EXPECT_EQ(records[0]->Loudness, normalised.Loudness());

        ops.PrepareAndBalance(Request());
        CompareResults(RunOracle(Sources(), 6000.0, 6.0, std::nullopt));
        Clear();
    }
}

// The listener's mixed folder with the wide formats among the others, a track group of a
// float and a 32-bit file among them: each result in its source's format, every chunk kept,
// each the passes' bytes.
TEST_F(FormatsOracle, MixedSetWithWideFormatsAndAGroup) {
    AnyWavLayout rf64 = Plain(3, 2, 48000, 32);
    rf64.container = "RF64";
    Add({"i24stereo48k", Plain(1, 2, 48000, 24), {SampleCoding::Integer, 3, 24}, {}}, 71, 6000,
        9000.0);
    Add({"f32", Plain(3, 2, 44100, 32), F32, {}}, 72, 6000, 5000.0, 1);
    Add({"u8mono", Plain(1, 1, 11025, 8), {SampleCoding::Integer, 1, 8}, {}}, 73, 5000, 6000.0);
    Add({"i32at96k", Plain(1, 2, 96000, 32), I32, {}}, 74, 6000, 2500.0, 1);
    Add({"i24six", Extensible(6, 48000, 24, 24, 0x60F), {SampleCoding::Integer, 3, 24}, {}}, 75,
        2000, 3000.0);
    Add({"f32rf64", rf64, F32, {}}, 76, 5000, 12000.0);
    Add({"i16stereo", Plain(1, 2, 44100, 16), {SampleCoding::Integer, 2, 16}, {}}, 77, 6000,
        7000.0);
    host.Choice = ReferenceChoice::Preset;
    host.PresetLevel = 7000.0;
    host.AnswerYes = true;
    options.maxcompfactor = 3.0;
    options.dofinalnorm = true;
    options.normaliselevel = 31000;
    ops.PrepareAndBalance(Request());
    const OracleResult expected = RunOracle(Sources(), 7000.0, 3.0, 31000.0, {0, 1, 0, 1, 0, 0, 0});
    EXPECT_GT(expected.Compressions, 0);
    EXPECT_GT(expected.Reductions, 0);
    CompareResults(expected);
    // The group's two results keep the loudness of one relative to the other, as far as the
    // passes reach their targets.
    EXPECT_NEAR(records[1]->Loudness / records[3]->Loudness,
                expected.Loudness[1] / expected.Loudness[3], 1e-12);
}

// The preview plans a float file whose values it keeps as the run then writes it; one with more
// values than it keeps would be read again for each pass of each plan, so it is not planned.
TEST_F(FormatsOracle, PreviewOfWideFormatsPlansWhatTheRunWritesOrSaysItCannot) {
    Add({"pf", Plain(3, 2, 48000, 32), F32, {}}, 81, 6000, 9000.0);
    Add({"pi", Plain(1, 1, 48000, 32), I32, {}}, 82, 6000, 3000.0);
    host.Choice = ReferenceChoice::Quietest;
    host.AnswerYes = true;
    std::optional<Measurements> measured = ops.Measure();
    ASSERT_TRUE(measured.has_value());
    const Preview preview = ops.PlanFromMeasurements(*measured, Request());
    ops.PrepareAndBalance(Request());
    for (size_t i = 0; i < records.size(); ++i) {
        ASSERT_TRUE(preview.Rows[i].Planned);
        EXPECT_EQ(preview.Rows[i].Loudness, records[i]->Loudness);
    }

    engine.WideValuesKept = 100;
    measured = ops.Measure();
    ASSERT_TRUE(measured.has_value());
    EXPECT_FALSE((*measured)[0].GridValues);
    EXPECT_EQ(ops.PlanFromMeasurements(*measured, Request()).Problem, messages::PreviewTooLarge);
}

// A Cancel while a plan reads a file's samples again stops the run there: no result is
// written, and the run ends.
TEST_F(FormatsOracle, CancelWhileAPlanRereadsStopsTheRun) {
    engine.WideValuesKept = 100;
    Add({"cf", Plain(3, 2, 48000, 32), F32, {}}, 91, 6000, 9000.0);
    host.Choice = ReferenceChoice::Preset;
    host.PresetLevel = 12000.0;
    host.AnswerYes = true;
    int rereads = 0;
    sink.OnPump = [&] {
        // A pump right after another, once the scan has ended, is one of the plan's reads.
        if (sink.Ended == 1 && sink.Calls[sink.Calls.size() - 2] == "PumpEvents" &&
            ++rereads == 2) {
            ops.Cancel();
        }
    };
    ops.PrepareAndBalance(Request());
    sink.OnPump = nullptr;
    EXPECT_EQ(rereads, 2);
    EXPECT_FALSE(engine.Running);
    EXPECT_FALSE(std::filesystem::exists(records[0]->ResultFile));
    EXPECT_EQ(sink.Ended, 1);  // the scan; no write began
}

}  // namespace
}  // namespace tralux::test
