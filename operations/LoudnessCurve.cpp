#include "operations/LoudnessCurve.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "files/PosixFile.h"
#include "files/WaveHeader.h"

namespace tralux {

namespace {

constexpr size_t PieceFrames = size_t{1} << 18;  // 1 MiB of 4-byte frames

// Closes the descriptor on every way out.
struct OpenFile {
    int Fd = -1;
    ~OpenFile() {
        if (Fd >= 0) {
            ::close(Fd);
        }
    }
};

// The exact sum of squares of each second of the file's samples, the last second possibly
// partial; empty when the file cannot be read through.
std::vector<int64_t> SecondSums(int fd, const WaveHeaderInfo& header, const ValueTable* table,
                                int64_t& framesRead) {
    std::vector<int64_t> sums;
    std::vector<int16_t> samples(PieceFrames * 2);
    int64_t inSecond = 0;
    framesRead = 0;
    while (framesRead < header.FrameCount) {
        const int64_t frames =
            std::min<int64_t>(static_cast<int64_t>(PieceFrames), header.FrameCount - framesRead);
        const size_t bytes = static_cast<size_t>(frames) * 4;
        if (posix::ReadFullyAt(fd, samples.data(), bytes, header.HeaderSize + framesRead * 4) !=
            bytes) {
            return {};
        }
        if (table != nullptr) {
            table->MapOnly(samples.data(), static_cast<size_t>(frames) * 2);
        }
        for (int64_t frame = 0; frame < frames; ++frame) {
            if (inSecond == 0) {
                sums.push_back(0);
            }
            const int64_t left = samples[static_cast<size_t>(frame) * 2];
            const int64_t right = samples[static_cast<size_t>(frame) * 2 + 1];
            sums.back() += left * left + right * right;
            inSecond = (inSecond + 1) % CurveStepFrames;
        }
        framesRead += frames;
    }
    return sums;
}

double WindowLevel(int64_t sumOfSquares, int64_t frames) {
    return std::sqrt(static_cast<double>(sumOfSquares) / static_cast<double>(frames * 2));
}

}  // namespace

std::vector<double> ReadLoudnessCurve(const std::string& path, const ValueTable* table) {
    OpenFile file;
    file.Fd = posix::OpenLocked(path, O_RDONLY);
    if (file.Fd < 0) {
        return {};
    }
    struct stat status {};
    if (::fstat(file.Fd, &status) != 0) {
        return {};
    }
    const WaveHeaderInfo header = CheckWaveHeader(
        [fd = file.Fd](void* buffer, size_t size, int64_t offset) {
            return posix::ReadFullyAt(fd, buffer, size, offset);
        },
        static_cast<int64_t>(status.st_size));
    // The curve reads 16-bit stereo frames at 44.1 kHz; other formats have none yet.
    const WavFormat& format = header.File.Format;
    if (header.Result != WaveCheckResult::Valid || header.FrameCount <= 0 ||
        format.Sample != SampleFormat{SampleCoding::Integer, 2, 16} || format.Channels != 2 ||
        format.SampleRate != 44100) {
        return {};
    }
    int64_t frames = 0;
    const std::vector<int64_t> seconds = SecondSums(file.Fd, header, table, frames);
    if (seconds.empty()) {
        return {};
    }
    if (frames < CurveWindowFrames) {
        int64_t sum = 0;
        for (const int64_t second : seconds) {
            sum += second;
        }
        return {WindowLevel(sum, frames)};
    }
    // Only whole seconds start and end a window here, so the partial last second never counts.
    constexpr size_t SecondsPerWindow = CurveWindowFrames / CurveStepFrames;
    const size_t wholeSeconds = static_cast<size_t>(frames / CurveStepFrames);
    std::vector<double> levels;
    levels.reserve(wholeSeconds - SecondsPerWindow + 1);
    for (size_t start = 0; start + SecondsPerWindow <= wholeSeconds; ++start) {
        int64_t sum = 0;
        for (size_t second = start; second < start + SecondsPerWindow; ++second) {
            sum += seconds[second];
        }
        levels.push_back(WindowLevel(sum, CurveWindowFrames));
    }
    return levels;
}

}  // namespace tralux
