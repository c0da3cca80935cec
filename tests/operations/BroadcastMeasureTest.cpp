// The broadcast measures the runs take beside their sweeps: equal to the meter run directly on
// the same samples (and to libebur128, an independent meter), for sources and results and for
// track groups; never changing a result; costing nothing when off.

#include <ebur128.h>

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "RunFixture.h"
#include "files/SampleFormats.h"
#include "measure/LoudnessMeter.h"
#include "operations/BroadcastMeter.h"

namespace tralux::test {
namespace {

constexpr int32_t Seconds4 = 4 * 44100;

// Tones and noise whose level swells, so that loudness range and gating have work.
Samples MusicLike(double level, uint32_t seed, int32_t frames = Seconds4) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    Samples samples(static_cast<size_t>(2 * frames));
    for (int32_t n = 0; n < frames; ++n) {
        const double t = n / 44100.0;
        const double swell = 0.3 + 0.7 * std::fabs(std::sin(2 * M_PI * 0.2 * t));
        const double v = level * swell *
                         (0.6 * std::sin(2 * M_PI * 330 * t) + 0.3 * std::sin(2 * M_PI * 1870 * t) +
                          0.1 * noise(random));
        samples[2 * n] = static_cast<int16_t>(std::lrint(std::clamp(v, -32767.0, 32767.0)));
        samples[2 * n + 1] =
            static_cast<int16_t>(std::lrint(std::clamp(0.7 * v, -32767.0, 32767.0)));
    }
    return samples;
}

std::unique_ptr<LoudnessMeter> MeterOf(const Samples& samples) {
    auto meter = std::make_unique<LoudnessMeter>(MeterSetup{2, 44100, {}, true});
    meter->AddFrames(samples.data(), samples.size() / 2);
    return meter;
}

// The measures of samples as the meter gives them run directly.
void ExpectMeasuredAs(const BroadcastLoudness& measures, const Samples& samples) {
    ASSERT_TRUE(measures.Measured);
    const auto meter = MeterOf(samples);
    EXPECT_EQ(measures.IntegratedLufs, meter->IntegratedLoudness());
    EXPECT_EQ(measures.TruePeakDbtp, meter->TruePeak());
    EXPECT_EQ(measures.RangeLu, meter->LoudnessRange());
    int peak = 0;
    for (const int16_t s : samples) {
        peak = std::max(peak, std::min(std::abs(int{s}), 32767));
    }
    EXPECT_EQ(measures.SamplePeak, peak);
}

// libebur128, an independent meter: the same design, so integrated loudness and true peak
// agree to rounding; its loudness range takes a window a second instead of ten (within 1 LU).
void ExpectLikeLibebur128(const BroadcastLoudness& measures, const Samples& samples) {
    ebur128_state* state =
        ebur128_init(2, 44100, EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_TRUE_PEAK);
    ebur128_add_frames_short(state, samples.data(), samples.size() / 2);
    double integrated = 0.0, range = 0.0, left = 0.0, right = 0.0;
    ebur128_loudness_global(state, &integrated);
    ebur128_loudness_range(state, &range);
    ebur128_true_peak(state, 0, &left);
    ebur128_true_peak(state, 1, &right);
    ebur128_destroy(&state);
    ASSERT_TRUE(measures.IntegratedLufs && measures.TruePeakDbtp && measures.RangeLu);
    EXPECT_NEAR(*measures.IntegratedLufs, integrated, 0.001);
    EXPECT_NEAR(*measures.TruePeakDbtp, 20.0 * std::log10(std::max(left, right)), 0.001);
    EXPECT_NEAR(*measures.RangeLu, range, 1.0);
}

// The sample peak of a sweep is the largest magnitude on the 0..32767 scale, -32768 counting as
// 32767, whether the loudness meter's peak scan finds it (16-bit samples) or it is counted
// apart (other samples, or true peak without loudness).
TEST(SweepMeasuresTest, SamplePeaksAreCountedAsTheScanCountsThem) {
    for (const int channels : {1, 2}) {
        for (const bool loudness : {true, false}) {
            SCOPED_TRACE(std::to_string(channels) + (loudness ? " with loudness" : ""));
            Samples samples = MusicLike(3000.0, 4, 44100);
            samples.resize(samples.size() / 2 * size_t(channels));
            samples[777] = 12345;
            SweepMeasures measures;
            BroadcastLoudness taken;
            measures.Begin(SweepFormat{channels, 44100}, loudness, true);
            measures.Add(samples.data(), samples.size() / size_t(channels));
            measures.TakeInto(taken);
            EXPECT_EQ(taken.SamplePeak, 12345.0);
            samples[999] = -32768;
            measures.Begin(SweepFormat{channels, 44100}, loudness, true);
            measures.Add(samples.data(), samples.size() / size_t(channels));
            measures.TakeInto(taken);
            EXPECT_EQ(taken.SamplePeak, 32767.0);
            std::vector<double> wide(samples.size());
            for (size_t i = 0; i < samples.size(); ++i) {
                wide[i] = samples[i] / 32768.0;
            }
            wide[999] = -0.75;
            measures.Begin(SweepFormat{channels, 44100}, loudness, true);
            measures.Add(wide.data(), wide.size() / size_t(channels));
            measures.TakeInto(taken);
            EXPECT_EQ(taken.SamplePeak, 0.75 * 32768.0);
        }
    }
}

class BroadcastMeasureTest : public RunFixture {
protected:
    // Three files, the last two one track group.
    void AddSet() {
        AddWav("a.wav", MusicLike(9000.0, 1));
        AddWav("b.wav", MusicLike(4000.0, 2), 1);
        AddWav("c.wav", MusicLike(2500.0, 3), 1);
    }

    Samples SourceSamples(const FileData& file) const {
        return ReadSamples(file.SourceFile, file.HeaderSize, file.FrameCount);
    }

    std::vector<std::vector<uint8_t>> ResultBytes() const {
        std::vector<std::vector<uint8_t>> bytes;
        for (const auto& file : host.List) {
            bytes.push_back(ReadFile(file->ResultFile));
        }
        return bytes;
    }
};

TEST_F(BroadcastMeasureTest, PrepareAndBalanceMeasuresEachSourceAndResultAsTheMeterDoes) {
    AddSet();
    ops.MeasureBroadcast = true;
    ops.PrepareAndBalance(Request());
    ASSERT_TRUE(host.Errors.empty());
    EXPECT_EQ(engine.Observer, nullptr);  // only for the run
    for (const auto& file : host.List) {
        SCOPED_TRACE(file->SourceFile);
        ASSERT_TRUE(file->Normalised);
        ExpectMeasuredAs(file->SourceBroadcast, SourceSamples(*file));
        ExpectMeasuredAs(file->ResultBroadcast, ResultSamples(*file));
        ExpectLikeLibebur128(file->SourceBroadcast, SourceSamples(*file));
        ExpectLikeLibebur128(file->ResultBroadcast, ResultSamples(*file));
    }
    // Balanced results are louder than their sources here: the measures are not swapped.
    EXPECT_GT(*host.List[2]->ResultBroadcast.IntegratedLufs,
              *host.List[2]->SourceBroadcast.IntegratedLufs + 1.0);
}

// A format other than 16-bit is shown the meter decoded, at its own rate and channel count.
TEST_F(BroadcastMeasureTest, A24BitMonoFileIsMeasuredOnItsDecodedSamples) {
    AnyWavLayout layout;
    layout.bitsPerSample = 24;
    layout.channels = 1;
    layout.sampleRate = 48000;
    const WavFormat format{WavContainer::Riff, 1, {SampleCoding::Integer, 3, 24}, 1, 48000, 0};
    std::vector<double> values(4 * 48000);
    for (size_t n = 0; n < values.size(); ++n) {
        const double t = double(n) / 48000.0;
        values[n] =
            6000.0 * (0.5 + 0.5 * std::sin(2 * M_PI * 0.5 * t)) * std::sin(2 * M_PI * 997.0 * t);
    }
    std::vector<uint8_t> bytes(values.size() * 3);
    EncodeSamples(format.Sample, values.data(), values.size(), bytes.data());
    const std::string path = dir.File("voice.wav");
    WriteFile(path, MakeAnyWav(bytes, layout));
    AddPath(path);
    AddWav("b.wav", MusicLike(4000.0, 2));
    ops.MeasureBroadcast = true;
    ops.PrepareAndBalance(Request());
    ASSERT_TRUE(host.Errors.empty());

    const auto measuredAs = [&](const BroadcastLoudness& measures, const std::string& file) {
        const std::vector<uint8_t> all = ReadFile(file);
        const FileData& record = *host.List[0];
        std::vector<double> decoded(values.size());
        DecodeSamples(format.Sample, all.data() + record.HeaderSize, decoded.size(),
                      decoded.data());
        for (double& value : decoded) {
            value /= FullScale;
        }
        LoudnessMeter meter(MeterSetup{1, 48000, {}, true});
        meter.AddFrames(decoded.data(), decoded.size());
        ASSERT_TRUE(measures.Measured);
        EXPECT_EQ(measures.IntegratedLufs, meter.IntegratedLoudness());
        EXPECT_EQ(measures.TruePeakDbtp, meter.TruePeak());
    };
    measuredAs(host.List[0]->SourceBroadcast, host.List[0]->SourceFile);
    measuredAs(host.List[0]->ResultBroadcast, host.List[0]->ResultFile);
    EXPECT_NE(host.List[0]->SourceBroadcast.IntegratedLufs,
              host.List[0]->ResultBroadcast.IntegratedLufs);
}

TEST_F(BroadcastMeasureTest, ATrackGroupHasTheLoudnessOfItsMembersTakenTogether) {
    AddSet();
    ops.MeasureBroadcast = true;
    ops.PrepareAndBalance(Request());
    FileData& alone = *host.List[0];
    FileData& b = *host.List[1];
    FileData& c = *host.List[2];
    EXPECT_FALSE(alone.SourceBroadcast.GroupLufs);
    EXPECT_FALSE(alone.ResultBroadcast.GroupLufs);

    for (const bool source : {true, false}) {
        SCOPED_TRACE(source ? "sources" : "results");
        const Samples first = source ? SourceSamples(b) : ResultSamples(b);
        const Samples second = source ? SourceSamples(c) : ResultSamples(c);
        const auto meterB = MeterOf(first);
        const auto meterC = MeterOf(second);
        const LoudnessMeter* members[] = {meterB.get(), meterC.get()};
        const std::optional<double> expected = GroupIntegratedLoudness(members);
        ASSERT_TRUE(expected);
        const auto& measuresB = source ? b.SourceBroadcast : b.ResultBroadcast;
        const auto& measuresC = source ? c.SourceBroadcast : c.ResultBroadcast;
        EXPECT_EQ(measuresB.GroupLufs, expected);
        EXPECT_EQ(measuresC.GroupLufs, expected);
        // Not the loudness of either member alone.
        EXPECT_GT(std::fabs(*expected - *measuresB.IntegratedLufs), 0.3);
        EXPECT_GT(std::fabs(*expected - *measuresC.IntegratedLufs), 0.3);

        ebur128_state* states[2];
        for (int k = 0; k < 2; ++k) {
            states[k] = ebur128_init(2, 44100, EBUR128_MODE_I);
            const Samples& samples = k == 0 ? first : second;
            ebur128_add_frames_short(states[k], samples.data(), samples.size() / 2);
        }
        double reference = 0.0;
        ebur128_loudness_global_multiple(states, 2, &reference);
        EXPECT_NEAR(*expected, reference, 0.001);
        ebur128_destroy(&states[0]);
        ebur128_destroy(&states[1]);
    }
}

TEST_F(BroadcastMeasureTest, MeteringLeavesEveryResultByteForByteAsItIs) {
    AddSet();
    ops.PrepareAndBalance(Request());
    const auto unmetered = ResultBytes();
    for (const auto& file : host.List) {
        EXPECT_FALSE(file->SourceBroadcast.Measured);
        EXPECT_FALSE(file->ResultBroadcast.Measured);
    }
    ops.MeasureBroadcast = true;
    ops.PrepareAndBalance(Request());
    EXPECT_EQ(ResultBytes(), unmetered);

    // Prepare, then Balance: the Balance's rewrites are measured as written, and unchanged too.
    ops.Prepare(Request());
    ops.Balance(Request());
    ASSERT_TRUE(host.Errors.empty());
    EXPECT_EQ(ResultBytes(), unmetered);
    for (const auto& file : host.List) {
        ExpectMeasuredAs(file->ResultBroadcast, ResultSamples(*file));
    }
}

TEST_F(BroadcastMeasureTest, ARunWithoutMeteringForgetsWhatItsPassesMakeStale) {
    AddSet();
    // And a 24-bit file, whose results are written through the other grids' own write.
    const Samples music = MusicLike(3000.0, 4);
    const std::vector<double> values(music.begin(), music.end());
    std::vector<uint8_t> bytes(values.size() * 3);
    EncodeSamples({SampleCoding::Integer, 3, 24}, values.data(), values.size(), bytes.data());
    AnyWavLayout layout;
    layout.bitsPerSample = 24;
    const std::string wide = dir.File("d.wav");
    WriteFile(wide, MakeAnyWav(bytes, layout));
    AddPath(wide);
    ops.MeasureBroadcast = true;
    ops.Prepare(Request());
    const auto prepared = ResultBytes();
    // The Balance rewrites results unmetered: their old measures no longer hold. A result it
    // leaves as it is, and every source, keep theirs.
    ops.MeasureBroadcast = false;
    ops.Balance(Request());
    ASSERT_TRUE(host.Errors.empty());
    const auto balanced = ResultBytes();
    int rewritten = 0;
    for (size_t i = 0; i < host.List.size(); ++i) {
        const FileData& file = *host.List[i];
        EXPECT_TRUE(file.SourceBroadcast.Measured);
        const bool changed = balanced[i] != prepared[i];
        rewritten += changed ? 1 : 0;
        EXPECT_EQ(file.ResultBroadcast.Measured, !changed) << file.SourceFile;
    }
    EXPECT_GT(rewritten, 0);
    // A group with a member unmeasured has no group loudness.
    const bool groupMeasured =
        host.List[1]->ResultBroadcast.Measured && host.List[2]->ResultBroadcast.Measured;
    EXPECT_EQ(host.List[1]->ResultBroadcast.GroupLufs.has_value(), groupMeasured);
}

TEST_F(BroadcastMeasureTest, ASilentSourceHasNoLoudnessAndThePreviewMeasuresSourcesOnly) {
    AddWav("loud.wav", MusicLike(9000.0, 4));
    AddWav("silent.wav", Samples(2 * Seconds4, 0));
    ops.MeasureBroadcast = true;
    ops.Prepare(Request());
    ASSERT_TRUE(host.List[0]->ResultBroadcast.Measured);
    // The preview's scan leaves the results as not written: no measure of them stands.
    ASSERT_TRUE(ops.Measure());
    const FileData& silent = *host.List[1];
    EXPECT_TRUE(silent.SourceBroadcast.Measured);
    EXPECT_FALSE(silent.SourceBroadcast.IntegratedLufs);
    EXPECT_FALSE(silent.SourceBroadcast.TruePeakDbtp);
    EXPECT_FALSE(silent.SourceBroadcast.RangeLu);
    ExpectMeasuredAs(host.List[0]->SourceBroadcast, SourceSamples(*host.List[0]));
    EXPECT_FALSE(host.List[0]->ResultBroadcast.Measured);
}

TEST_F(BroadcastMeasureTest, ACancelledRunKeepsNoMeasureOfThePassItStopped) {
    AddSet();
    ops.MeasureBroadcast = true;
    // Cancelled in the first file's scan.
    sink.AtBlock(3, [this] { ops.Cancel(); });
    ops.PrepareAndBalance(Request());
    for (const auto& file : host.List) {
        EXPECT_FALSE(file->SourceBroadcast.Measured);
        EXPECT_FALSE(file->ResultBroadcast.Measured);
    }
}

TEST(BroadcastMeter, SamplesInEitherFormAndAnyChannelCountAreMeteredAsTheMeterDoes) {
    UngroupedNumbers numbers;
    const FileData a("a.wav", 44, Seconds4, 0, numbers);
    const FileData b("b.wav", 44, Seconds4, 0, numbers);
    const Samples stereo = MusicLike(7000.0, 5);
    std::vector<double> decoded(stereo.begin(), stereo.end());
    for (double& v : decoded) {
        v /= 32768.0;
    }
    std::vector<double> mono(decoded.size() / 2);
    for (size_t i = 0; i < mono.size(); ++i) {
        mono[i] = decoded[2 * i];
    }

    BroadcastMeter meter;
    meter.SweepBegun(a, SweepSide::Source, {2, 44100});
    for (size_t at = 0; at < stereo.size(); at += 2 * 5000) {  // in blocks, as the sweeps lend
        meter.Frames(stereo.data() + at, std::min<size_t>(5000, (stereo.size() - at) / 2));
    }
    meter.SweepEnded(true);
    meter.SweepBegun(a, SweepSide::Result, {2, 44100});
    meter.Frames(decoded.data(), decoded.size() / 2);
    meter.SweepEnded(true);
    meter.SweepBegun(b, SweepSide::Source, {1, 48000});
    for (size_t at = 0; at < mono.size(); at += 5000) {  // over many batches
        meter.Frames(mono.data() + at, std::min<size_t>(5000, mono.size() - at));
    }
    meter.SweepEnded(true);
    meter.SweepBegun(b, SweepSide::Result, {2, 44100});  // stopped: forgotten
    meter.Frames(stereo.data(), 1000);
    meter.SweepEnded(false);
    meter.SweepBegun(b, SweepSide::Result, {2, 1000});  // no meter takes it: no reading
    meter.Frames(stereo.data(), 1000);
    meter.SweepEnded(true);
    const std::vector<BroadcastReading> readings = meter.Finish();

    ASSERT_EQ(readings.size(), 3u);
    EXPECT_EQ(readings[0].File, &a);
    EXPECT_EQ(readings[0].Side, SweepSide::Source);
    ExpectMeasuredAs(readings[0].Loudness, stereo);
    // The decoded form of the same samples measures the same.
    EXPECT_EQ(readings[1].Side, SweepSide::Result);
    ExpectMeasuredAs(readings[1].Loudness, stereo);

    LoudnessMeter direct(MeterSetup{1, 48000, {}, true});
    direct.AddFrames(mono.data(), mono.size());
    const BroadcastLoudness& one = readings[2].Loudness;
    EXPECT_EQ(readings[2].File, &b);
    EXPECT_EQ(one.IntegratedLufs, direct.IntegratedLoudness());
    EXPECT_EQ(one.TruePeakDbtp, direct.TruePeak());
    EXPECT_EQ(one.RangeLu, direct.LoudnessRange());
    EXPECT_EQ(one.SegmentFrames, 4800u);
    EXPECT_TRUE(meter.Finish().empty());  // handed over once
}

}  // namespace
}  // namespace tralux::test
