// Balancing by integrated loudness in every format the runs take: 24-bit and 8-bit WAV and FLAC
// beside 16-bit WAV, each result in its source's format, on target by libebur128 (an
// independent meter, reading the results as written), under the true-peak ceiling, a group of
// mixed formats moved as one.

#include <ebur128.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "../files/FlacTestFiles.h"
#include "RunFixture.h"
#include "files/SampleFormats.h"
#include "operations/Intake.h"

namespace tralux::test {
namespace {

// Tones and noise whose level swells, quiet notes with a few sharp hits near full scale when
// hits is set (gain alone then cannot reach a target the others reach), on the -1..1 scale.
std::vector<double> Signal(uint32_t rate, uint32_t channels, double seconds, double level,
                           bool hits, uint32_t seed) {
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(0.0, 0.002);
    const auto frames = static_cast<size_t>(seconds * rate);
    std::vector<double> samples(frames * channels);
    for (size_t n = 0; n < frames; ++n) {
        const double t = double(n) / rate;
        const double swell = 0.5 + 0.5 * std::sin(2.0 * M_PI * 0.3 * t);
        double value =
            level * swell *
                (0.7 * std::sin(2.0 * M_PI * 330.0 * t) + 0.3 * std::sin(2.0 * M_PI * 1870.0 * t)) +
            noise(random);
        if (hits && n % (2 * rate) < 30) {
            value += 0.8 * std::sin(2.0 * M_PI * 3000.0 * t);
        }
        for (uint32_t c = 0; c < channels; ++c) {
            samples[n * channels + c] = std::clamp(c == 0 ? value : 0.8 * value, -1.0, 1.0);
        }
    }
    return samples;
}

// The container bytes of a WAV file of bits-bit samples (one-byte samples offset by 128).
std::vector<uint8_t> WavBytes(const std::vector<double>& samples, int bits) {
    const double largest = std::ldexp(1.0, bits - 1) - 1.0;
    std::vector<uint8_t> bytes;
    for (const double value : samples) {
        const auto key = static_cast<int32_t>(std::lround(value * largest));
        if (bits == 8) {
            bytes.push_back(static_cast<uint8_t>(key + 128));
            continue;
        }
        for (int i = 0; i < bits / 8; ++i) {
            bytes.push_back(static_cast<uint8_t>(static_cast<uint32_t>(key) >> (8 * i)));
        }
    }
    return bytes;
}

// Keys of bits-bit samples in the upper bits of a container of containerBits, as stored.
std::vector<double> OnGrid(std::vector<double> samples, int bits, int containerBits) {
    const double largest = std::ldexp(1.0, bits - 1) - 1.0;
    const double scale =
        std::ldexp(1.0, containerBits - bits) / (std::ldexp(1.0, containerBits - 1) - 1.0);
    for (double& value : samples) {
        value = std::lround(value * largest) * scale;
    }
    return samples;
}

// A file's samples on the -1..1 scale as this test reads them: FLAC through libFLAC, WAV from
// its bytes.
std::vector<double> Decoded(const FileData& file, const std::string& path) {
    const int bits = file.Format.Sample.ValidBits;
    const double largest = std::ldexp(1.0, bits - 1) - 1.0;
    std::vector<double> samples;
    if (file.Flac) {
        std::vector<int32_t> decoded;
        EXPECT_TRUE(DecodeWithLibFlac(path, decoded)) << path;
        for (const int32_t sample : decoded) {
            samples.push_back(sample / largest);
        }
        return samples;
    }
    const std::vector<uint8_t> bytes = ReadFile(path);
    const int container = file.Format.Sample.ContainerBytes;
    if (container == 4 || file.Format.Sample.Coding != SampleCoding::Integer) {
        for (int64_t i = 0; i < file.SampleCount(); ++i) {
            samples.push_back(
                DecodeSample(file.Format.Sample, bytes.data() + file.HeaderSize + i * container) /
                32767.0);
        }
        return samples;
    }
    for (int64_t i = 0; i < file.SampleCount(); ++i) {
        const uint8_t* at = bytes.data() + file.HeaderSize + i * container;
        int32_t key = 0;
        if (container == 1) {
            key = int32_t{at[0]} - 128;
        } else {
            uint32_t raw = 0;
            for (int b = 0; b < container; ++b) {
                raw |= uint32_t{at[b]} << (8 * (b + 4 - container));
            }
            key = static_cast<int32_t>(raw) >> (8 * (4 - container));
        }
        samples.push_back(key / largest);
    }
    return samples;
}

ebur128_state* StateOf(const FileData& file, const std::vector<double>& samples) {
    ebur128_state* state = ebur128_init(file.Channels(), file.Format.SampleRate,
                                        EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
    ebur128_add_frames_double(state, samples.data(), samples.size() / file.Channels());
    return state;
}

double LufsOf(const FileData& file, const std::string& path) {
    ebur128_state* state = StateOf(file, Decoded(file, path));
    double lufs = 0.0;
    ebur128_loudness_global(state, &lufs);
    ebur128_destroy(&state);
    return lufs;
}

double TruePeakOf(const FileData& file, const std::string& path) {
    ebur128_state* state = StateOf(file, Decoded(file, path));
    double peak = 0.0;
    for (unsigned channel = 0; channel < file.Channels(); ++channel) {
        double channelPeak = 0.0;
        ebur128_true_peak(state, channel, &channelPeak);
        peak = std::max(peak, channelPeak);
    }
    ebur128_destroy(&state);
    return 20.0 * std::log10(peak);
}

double GroupLufsOf(const FileData& a, const FileData& b) {
    ebur128_state* states[2] = {StateOf(a, Decoded(a, a.ResultFile)),
                                StateOf(b, Decoded(b, b.ResultFile))};
    double lufs = 0.0;
    ebur128_loudness_global_multiple(states, 2, &lufs);
    ebur128_destroy(&states[0]);
    ebur128_destroy(&states[1]);
    return lufs;
}

class LufsFormatsTest : public RunFixture {
protected:
    LufsFormatsTest() { options.truepeaklimit = Ceiling; }

    FileData& AddWavOf(const std::string& name, const std::vector<double>& samples, int bits,
                       uint32_t rate, uint32_t channels, int32_t group = 0, int validBits = 0) {
        AnyWavLayout layout;
        layout.bitsPerSample = static_cast<uint16_t>(bits);
        if (validBits != 0) {
            layout.formatTag = 0xFFFE;
            layout.validBits = static_cast<uint16_t>(validBits);
        }
        layout.sampleRate = rate;
        layout.channels = static_cast<uint16_t>(channels);
        const std::string path = dir.File(name);
        WriteFile(path, MakeAnyWav(WavBytes(samples, bits), layout));
        return AddTaken(path, group);
    }

    FileData& AddTaken(const std::string& path, int32_t group = 0) {
        Intake intake = TakeIn(path, listed, numbers);
        EXPECT_EQ(intake.outcome, Intake::Outcome::Added) << intake.refusal;
        if (!intake.record) {
            throw std::runtime_error("not taken: " + intake.refusal);
        }
        FileData& file = host.Add(std::move(intake.record));
        file.GroupNumber = group > 0 ? group : file.GroupNumber;
        return file;
    }

    RunRequest ByLufs(double target) const {
        RunRequest request = Request();
        request.measure = BalanceMeasure::Lufs;
        request.lufsTarget = target;
        request.answerYes = true;
        return request;
    }

    SameFileIndex listed{SameFileRule::Listing};
};

TEST_F(LufsFormatsTest, AMixedSetOfFormatsLandsOnTargetUnderTheCeilingEachInItsOwnFormat) {
    // A quiet dynamic 24-bit 48 kHz file (compressed through its own grid), a loud 8-bit mono
    // one, and a group of a 24-bit FLAC file and a 16-bit WAV file.
    FileData& wide = AddWavOf("wide.wav", Signal(48000, 2, 10.0, 0.08, true, 1), 24, 48000, 2);
    FileData& narrow = AddWavOf("narrow.wav", Signal(22050, 1, 10.0, 0.6, false, 2), 8, 22050, 1);
    FlacShape shape;
    shape.Bits = 24;
    shape.Frames = 10 * 44100;
    shape.Scale = 0.5;
    MakeFlacFile(dir.File("album.flac"), shape);
    FileData& flac = AddTaken(dir.File("album.flac"), 1);
    FileData& plain =
        AddWavOf("album.wav", Signal(44100, 2, 10.0, 0.15, false, 3), 16, 44100, 2, 1);
    ASSERT_TRUE(flac.Flac);

    // Previewed first: the run then writes what the preview planned, in every format.
    ops.MeasureBroadcast = true;
    const std::optional<Measurements> measured = ops.Measure();
    ASSERT_TRUE(measured);
    const std::optional<Preview> preview = ops.PreviewByLufs(*measured, ByLufs(-18.0));
    ASSERT_TRUE(preview && preview->Problem.empty());

    ops.PrepareAndBalance(ByLufs(-18.0));
    ASSERT_TRUE(host.Errors.empty()) << host.Errors.front();
    EXPECT_EQ(ops.FilesShortOfTarget, 0);
    for (size_t i = 0; i < host.List.size(); ++i) {
        ASSERT_TRUE(preview->Rows[i].Planned && preview->Rows[i].Lufs);
        EXPECT_EQ(preview->Rows[i].Loudness, host.List[i]->Loudness) << i;
        EXPECT_NEAR(*preview->Rows[i].Lufs, *host.List[i]->ResultBroadcast.IntegratedLufs, 0.02);
    }
    EXPECT_GT(PassesOver("Compressing:", wide), 0);
    EXPECT_GT(PassesOver("Measuring:", wide), 0);

    for (const FileData* file : {&wide, &narrow, &flac, &plain}) {
        SCOPED_TRACE(file->SourceFile);
        ASSERT_TRUE(file->Normalised);
        EXPECT_LE(TruePeakOf(*file, file->ResultFile), Ceiling + 0.2);
        ASSERT_TRUE(file->ResultBroadcast.Measured && file->ResultBroadcast.TruePeakDbtp);
        EXPECT_LE(*file->ResultBroadcast.TruePeakDbtp, Ceiling);
        // The result is in its source's format: its header (or its FLAC stream) says so.
        if (file->Flac) {
            std::vector<int32_t> samples;
            EXPECT_TRUE(DecodeWithLibFlac(file->ResultFile, samples));
            EXPECT_EQ(samples.size(), size_t(file->SampleCount()));
        } else {
            const WaveHeaderInfo info = ReadWaveHeader(file->ResultFile);
            ASSERT_EQ(info.Result, WaveCheckResult::Valid);
            EXPECT_EQ(info.File.Format.Sample, file->Format.Sample);
            EXPECT_EQ(info.File.Format.SampleRate, file->Format.SampleRate);
            EXPECT_EQ(info.File.Format.Channels, file->Format.Channels);
        }
    }
    EXPECT_NE(flac.ResultFile.find(".flac"), std::string::npos);
    EXPECT_NEAR(LufsOf(wide, wide.ResultFile), -18.0, 0.1);
    EXPECT_NEAR(LufsOf(narrow, narrow.ResultFile), -18.0, 0.1);
    // The group as one programme is on target; its members keep their distance.
    EXPECT_NEAR(GroupLufsOf(flac, plain), -18.0, 0.1);
    EXPECT_NEAR(LufsOf(flac, flac.ResultFile) - LufsOf(plain, plain.ResultFile),
                LufsOf(flac, flac.SourceFile) - LufsOf(plain, plain.SourceFile), 0.1);
}

// 32-bit integer and float files go through the chain sample by sample: previewed, balanced
// on target under the ceiling, a group kept, each result in its source's format.
TEST_F(LufsFormatsTest, ThirtyTwoBitAndFloatFilesLandOnTargetUnderTheCeiling) {
    auto addWide = [&](const std::string& name, const std::vector<double>& samples,
                       SampleFormat format, uint32_t rate, uint32_t channels, int32_t group) {
        AnyWavLayout layout;
        layout.formatTag = format.Coding == SampleCoding::Integer ? 1 : 3;
        layout.bitsPerSample = static_cast<uint16_t>(8 * format.ContainerBytes);
        layout.sampleRate = rate;
        layout.channels = static_cast<uint16_t>(channels);
        std::vector<uint8_t> bytes(samples.size() * size_t(format.ContainerBytes));
        for (size_t i = 0; i < samples.size(); ++i) {
            EncodeSample(format, samples[i] * 32767.0, bytes.data() + i * format.ContainerBytes);
        }
        WriteFile(dir.File(name), MakeAnyWav(bytes, layout));
        return std::ref(AddTaken(dir.File(name), group));
    };
    FileData& dynamic = addWide("dynamic.wav", Signal(48000, 2, 8.0, 0.08, true, 7),
                                {SampleCoding::Float, 4, 32}, 48000, 2, 0);
    FileData& integer = addWide("integer.wav", Signal(44100, 1, 8.0, 0.5, false, 8),
                                {SampleCoding::Integer, 4, 32}, 44100, 1, 1);
    FileData& doubled = addWide("double.wav", Signal(44100, 2, 8.0, 0.1, false, 9),
                                {SampleCoding::Float, 8, 64}, 44100, 2, 1);

    ops.MeasureBroadcast = true;
    const std::optional<Measurements> measured = ops.Measure();
    ASSERT_TRUE(measured);
    const std::optional<Preview> preview = ops.PreviewByLufs(*measured, ByLufs(-18.0));
    ASSERT_TRUE(preview && preview->Problem.empty());

    ops.PrepareAndBalance(ByLufs(-18.0));
    ASSERT_TRUE(host.Errors.empty()) << host.Errors.front();
    EXPECT_EQ(ops.FilesShortOfTarget, 0);
    EXPECT_GT(PassesOver("Compressing:", dynamic), 0);
    for (size_t i = 0; i < host.List.size(); ++i) {
        SCOPED_TRACE(host.List[i]->SourceFile);
        ASSERT_TRUE(preview->Rows[i].Planned && preview->Rows[i].Lufs);
        EXPECT_EQ(preview->Rows[i].Loudness, host.List[i]->Loudness);
        EXPECT_NEAR(*preview->Rows[i].Lufs, *host.List[i]->ResultBroadcast.IntegratedLufs, 0.02);
        const FileData& file = *host.List[i];
        EXPECT_LE(TruePeakOf(file, file.ResultFile), Ceiling + 0.2);
        EXPECT_LE(*file.ResultBroadcast.TruePeakDbtp, Ceiling);
        const WaveHeaderInfo info = ReadWaveHeader(file.ResultFile);
        ASSERT_EQ(info.Result, WaveCheckResult::Valid);
        EXPECT_EQ(info.File.Format.Sample, file.Format.Sample);
    }
    EXPECT_NEAR(LufsOf(dynamic, dynamic.ResultFile), -18.0, 0.1);
    EXPECT_NEAR(GroupLufsOf(integer, doubled), -18.0, 0.1);
    EXPECT_NEAR(LufsOf(integer, integer.ResultFile) - LufsOf(doubled, doubled.ResultFile),
                LufsOf(integer, integer.SourceFile) - LufsOf(doubled, doubled.SourceFile), 0.1);
}

TEST_F(LufsFormatsTest, BalanceAfterPrepareRewritesResultsOfOtherFormatsOnTarget) {
    FileData& wide = AddWavOf("wide.wav", Signal(48000, 2, 8.0, 0.08, true, 4), 24, 48000, 2);
    FileData& narrow = AddWavOf("narrow.wav", Signal(44100, 1, 8.0, 0.12, true, 5), 8, 44100, 1);
    FlacShape shape;
    shape.Frames = 8 * 44100;
    shape.Scale = 0.3;
    MakeFlacFile(dir.File("plain.flac"), shape);
    FileData& flac = AddTaken(dir.File("plain.flac"));
    ops.Prepare(Request());  // by RMS, not metered
    ASSERT_TRUE(ops.ReadyToBalance);
    ops.Balance(ByLufs(-20.0));
    ASSERT_TRUE(host.Errors.empty()) << host.Errors.front();
    std::vector<int32_t> decoded;
    EXPECT_TRUE(DecodeWithLibFlac(flac.ResultFile, decoded));  // rewritten as FLAC, whole
    for (const FileData* file : {&wide, &narrow, &flac}) {
        SCOPED_TRACE(file->SourceFile);
        EXPECT_NEAR(LufsOf(*file, file->ResultFile), -20.0, 0.1);
        EXPECT_LE(TruePeakOf(*file, file->ResultFile), Ceiling + 0.2);
        EXPECT_LE(*file->ResultBroadcast.TruePeakDbtp, Ceiling);
    }
    EXPECT_GT(PassesOver("Compressing:", wide), 0);
}

// On a coarse grid the rounding of each written sample could lift a true peak planned just
// under the ceiling over it: the plan keeps a margin of the grid's steps.
TEST_F(LufsFormatsTest, ACoarseGridStaysUnderTheCeiling) {
    FileData& coarse = AddWavOf("coarse.wav", OnGrid(Signal(44100, 2, 8.0, 0.3, true, 6), 6, 8), 8,
                                44100, 2, 0, 6);
    // Each ceiling puts the grid's steps elsewhere against it; some plans press the peaks
    // right up to the margin.
    double closest = -100.0;
    for (int k = 0; k < 8; ++k) {
        options.truepeaklimit = -1.0 - 0.23 * k;
        ops.PrepareAndBalance(ByLufs(-12.0));
        ASSERT_TRUE(host.Errors.empty()) << host.Errors.front();
        ASSERT_TRUE(coarse.ResultBroadcast.TruePeakDbtp);
        EXPECT_LE(*coarse.ResultBroadcast.TruePeakDbtp, options.truepeaklimit) << k;
        closest = std::max(closest, *coarse.ResultBroadcast.TruePeakDbtp - options.truepeaklimit);
    }
    EXPECT_GT(closest, -0.8);
}

// On a coarse grid a gain leaves the smallest values where they were (0.8 x 1 step rounds back
// to 1 step), so a quiet body under loud hits ends up several tenths louder than the gain alone
// would make it: such a plan reads what its gains do, and lands on target.
TEST_F(LufsFormatsTest, ACoarseGridLandsOnTargetAfterAGain) {
    FileData& coarse = AddWavOf("coarse.wav", Signal(44100, 2, 8.0, 0.01, true, 7), 8, 44100, 2);
    // Targets the ceiling lets a gain alone reach from the prepared copy (its peak at full scale).
    for (const double below : {1.6, 2.5, 4.0}) {
        SCOPED_TRACE(below);
        ops.Prepare(Request());  // by RMS, not metered
        ASSERT_TRUE(ops.ReadyToBalance);
        const double target = LufsOf(coarse, coarse.ResultFile) - below;
        ops.Balance(ByLufs(target));
        ASSERT_TRUE(host.Errors.empty()) << host.Errors.front();
        EXPECT_EQ(ops.FilesShortOfTarget, 0);
        EXPECT_NEAR(LufsOf(coarse, coarse.ResultFile), target, 0.1);
    }
}

}  // namespace
}  // namespace tralux::test
