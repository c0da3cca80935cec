// A valid file cut short anywhere: the header check refuses it, or counts the whole frames
// that are there, and the passes run over those and write a result whose header says so.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "FakeProgressSink.h"
#include "TempDir.h"
#include "TestWav.h"
#include "engine/AudioEngine.h"
#include "files/PosixFile.h"
#include "files/WaveHeader.h"

namespace tralux::test {
namespace {

struct Shape {
    const char* Name;
    WavLayout Layout;
};

// 6000 frames: a full block and a short one, so cuts fall in both.
constexpr int32_t NoiseFrames = 6000;

Samples Signal() {
    Samples samples = Noise(NoiseFrames, 30000, 7);
    samples[3] = -32768;
    samples[10001] = 31000;
    return samples;
}

// The whole file in one read: thousands of cuts are read back.
std::vector<uint8_t> Contents(const std::string& path) {
    std::vector<uint8_t> bytes;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return bytes;
    }
    struct stat info {};
    if (::fstat(fd, &info) == 0) {
        bytes.resize(size_t(info.st_size));
        bytes.resize(posix::ReadFully(fd, bytes.data(), bytes.size()));
    }
    ::close(fd);
    return bytes;
}

int16_t SampleAt(const std::vector<uint8_t>& bytes, size_t cut, int64_t offset) {
    const uint8_t low = offset < int64_t(cut) ? bytes[size_t(offset)] : 0;
    const uint8_t high = offset + 1 < int64_t(cut) ? bytes[size_t(offset) + 1] : 0;
    return static_cast<int16_t>(uint16_t(low) | uint16_t(high) << 8);
}

void PutLe32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    for (size_t k = 0; k < 4; ++k) {
        bytes[at + k] = static_cast<uint8_t>(value >> (8 * k));
    }
}

void PrintTo(const Shape& shape, std::ostream* out) {
    *out << shape.Name;
}

class Truncation : public testing::TestWithParam<Shape> {
protected:
    void SetUp() override {
        whole = MakeWav(Signal(), GetParam().Layout);
        WriteFile(dir.File("whole.wav"), whole);
        full = ReadWaveHeader(dir.File("whole.wav"));
        ASSERT_EQ(full.Result, WaveCheckResult::Valid);
        ASSERT_EQ(full.FrameCount, NoiseFrames);
    }

    // The source cut to its first cut bytes, through the header check, a scan and a
    // normalise pass.
    testing::AssertionResult Cut(size_t cut) {
        const std::vector<uint8_t> bytes(whole.begin(), whole.begin() + long(cut));
        const std::string path = dir.File("cut.wav");
        WriteFile(path, bytes);
        const WaveHeaderInfo info = ReadWaveHeader(path);
        if (int64_t(cut) < full.HeaderSize) {
            if (info.Result != WaveCheckResult::NotSupported) {
                return testing::AssertionFailure() << "a cut inside the header is accepted";
            }
            ++refused;
            return testing::AssertionSuccess();
        }
        // Cut inside the data chunk: only what is held counts. Cut after it: the data is whole.
        const int64_t dataEnd = full.HeaderSize + int64_t{NoiseFrames} * 4 + full.TailBytes;
        const bool shorter = int64_t(cut) < dataEnd;
        const int64_t held = (shorter ? int64_t(cut) : dataEnd) - full.HeaderSize;
        const auto frames = static_cast<int32_t>(held / 4);
        if (info.Result != WaveCheckResult::Valid || info.HeaderSize != full.HeaderSize ||
            info.FrameCount != frames || info.TailBytes != int32_t(held % 4) ||
            info.ShorterThanHeader != shorter) {
            return testing::AssertionFailure() << "the header read does not count what is held";
        }

        FileData file(path, info, numbers);
        engine.Running = true;
        engine.ScanFile(file);
        int16_t peak = 0;
        double sum = 0.0;
        for (int64_t i = 0; i < int64_t{frames} * 2; ++i) {
            int32_t s = SampleAt(bytes, cut, info.HeaderSize + 2 * i);
            s = s == -32768 ? 32767 : std::abs(s);
            peak = std::max<int16_t>(peak, int16_t(s));
            sum += double(s) * s;
        }
        if (!engine.Running || !sink.Errors.empty()) {
            return testing::AssertionFailure() << "the scan stopped";
        }
        const double loudness = frames > 0 ? std::sqrt(sum / (2.0 * frames)) : 0.0;
        if (file.Peak != peak || file.ScanLoudness != loudness) {
            return testing::AssertionFailure()
                   << "scan measured peak " << file.Peak << " loudness " << file.ScanLoudness
                   << ", the bytes there give " << peak << " and " << loudness;
        }
        if (peak == 0) {
            ++processed;  // silent: no result is ever written for it
            return testing::AssertionSuccess();
        }

        file.ResultFile = dir.File("result.wav");
        const double gain = 32767.0 / peak;
        engine.NormaliseFile(file, gain);
        if (!engine.Running || !sink.Errors.empty() || !file.Normalised) {
            return testing::AssertionFailure() << "the normalise pass stopped";
        }
        // The header with its sizes made true for a cut data chunk, every held sample times
        // the gain, zero tail bytes, and what followed the data chunk as far as it is held.
        std::vector<uint8_t> expected(whole.begin(), whole.begin() + info.HeaderSize);
        if (shorter) {
            PutLe32(expected, 4, uint32_t(cut - 8));
            PutLe32(expected, size_t(info.HeaderSize) - 4, uint32_t(held));
        }
        for (int64_t i = 0; i < int64_t{frames} * 2; ++i) {
            const double r = std::nearbyint(SampleAt(bytes, cut, info.HeaderSize + 2 * i) * gain);
            const auto s = static_cast<uint16_t>(r < -32767.0 ? -32767 : int(r));
            expected.push_back(uint8_t(s & 0xFF));
            expected.push_back(uint8_t(s >> 8));
        }
        expected.resize(expected.size() + size_t(info.TailBytes), 0);
        if (!shorter) {
            expected.insert(expected.end(), bytes.begin() + dataEnd, bytes.end());
        }
        if (Contents(file.ResultFile) != expected) {
            return testing::AssertionFailure() << "the result is not the held samples normalised";
        }
        if (Contents(path) != bytes) {
            return testing::AssertionFailure() << "the passes changed their source";
        }
        ++processed;
        return testing::AssertionSuccess();
    }

    TempDir dir;
    FakeProgressSink sink;
    AudioEngine engine{sink, [] { return 0.0; }};
    UngroupedNumbers numbers;
    std::vector<uint8_t> whole;
    WaveHeaderInfo full;
    int refused = 0;
    int processed = 0;
};

TEST_P(Truncation, EveryCutIsRefusedOrProcessedAsFarAsItGoes) {
    std::vector<size_t> cuts;
    for (size_t cut = 0; cut <= size_t(full.HeaderSize) + 4096; ++cut) {
        cuts.push_back(cut);
    }
    for (size_t cut = cuts.back() + 4096; cut < whole.size(); cut += 4096) {
        cuts.push_back(cut);
    }
    cuts.push_back(whole.size());
    int failures = 0;
    for (size_t cut : cuts) {
        const testing::AssertionResult result = Cut(cut);
        if (!result) {
            ADD_FAILURE() << "cut at " << cut << " bytes: " << result.message();
            if (++failures == 5) {
                break;
            }
        }
    }
    EXPECT_EQ(refused, full.HeaderSize);
    EXPECT_EQ(refused + processed, int(cuts.size()));
}

WavLayout Canonical() {
    return {};
}

WavLayout WithChunks() {
    WavLayout layout;
    layout.chunksBeforeFormat.push_back({"LIST", std::vector<uint8_t>(26, 'i')});
    layout.formatChunkSize = 18;
    layout.chunksBeforeData.push_back({"fact", {1, 2, 3, 4}});
    layout.tailBytes = 3;
    layout.afterData = {'I', 'D', '3', ' ', 4, 0, 0, 0, 1, 2, 3, 4};
    return layout;
}

INSTANTIATE_TEST_SUITE_P(Shapes, Truncation,
                         testing::Values(Shape{"Canonical", Canonical()},
                                         Shape{"WithChunksAndTail", WithChunks()}),
                         [](const testing::TestParamInfo<Shape>& info) { return info.param.Name; });

}  // namespace
}  // namespace tralux::test
