// Measures the scan (alone and counting sample values), the normalising write and one rewrite
// of a result through a compress row's table over a generated 10-minute file, in MB/s of WAV
// data, against plain loops that move the same bytes in pieces of 1 MB, as the passes do,
// through the same file in the same run: read only (scan), read and write a new copy flushed to
// disk (normalise), and the same over the copy, renamed over it (compress: a result is
// rewritten through a new file). Each figure is the best of several rounds, taken
// alternately, so that other load on the machine disturbs both sides alike.
//
//   tralux_bench [rounds] [folder]

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "engine/AudioEngine.h"
#include "files/WaveHeader.h"

namespace {

using namespace tralux;
using namespace tralux::bench;

constexpr int32_t kFrames = 44100 * 60 * 10;
constexpr size_t kBlock = 1000000;

int OpenOrDie(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0) {
        std::perror(path.c_str());
        std::exit(1);
    }
    return fd;
}

void PlainRead(const std::string& path) {
    static char buffer[kBlock];
    const int fd = OpenOrDie(path, O_RDONLY);
    while (::read(fd, buffer, kBlock) > 0) {
    }
    ::close(fd);
}

void PlainCopy(const std::string& from, const std::string& to) {
    static char buffer[kBlock];
    const int in = OpenOrDie(from, O_RDONLY);
    const int out = OpenOrDie(to, O_WRONLY | O_CREAT | O_TRUNC);
    ssize_t got;
    while ((got = ::read(in, buffer, kBlock)) > 0) {
        if (::write(out, buffer, size_t(got)) != got)
            std::exit(1);
    }
    ::fsync(out);
    ::close(in);
    ::close(out);
}

void PlainRewrite(const std::string& path) {
    PlainCopy(path, path + ".new");
    std::filesystem::rename(path + ".new", path);
}

struct Figure {
    double Plain = 1e30;
    double Pass = 1e30;
};

void Print(const char* name, const Figure& f, double megabytes) {
    std::printf("%-10s %8.0f MB/s   plain loop %8.0f MB/s   ratio %.2f\n", name, megabytes / f.Pass,
                megabytes / f.Plain, f.Plain / f.Pass);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    std::string folder;
    if (argc > 2) {
        folder = argv[2];
    } else {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tralux-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            return 1;
        }
        folder = pattern;
    }
    const std::string source = folder + "/source.wav";
    const std::string result = folder + "/result.wav";
    const std::string copy = folder + "/copy.wav";
    MakeMusicFile(source, kFrames, 20000.0, 7);

    const WaveHeaderInfo info = ReadWaveHeader(source);
    if (info.Result != WaveCheckResult::Valid) {
        std::fprintf(stderr, "generated file not valid\n");
        return 1;
    }
    UngroupedNumbers numbers;
    FileData file(source, info.HeaderSize, info.FrameCount, info.TailBytes, numbers);
    file.ResultFile = result;
    const double megabytes = double(file.FrameCount) * BytesPerFrame / 1e6;

    QuietSink sink;
    AudioEngine engine(sink);
    engine.Running = true;
    engine.Estimator.ResetEstimate(1e12);
    engine.Estimator.StartTiming();

    std::printf("10-minute file: %.1f MB of sample data, %d rounds, best of each\n", megabytes,
                rounds);
    const std::vector<TransformSet>& sets = RunnableTransformSets();
    for (const TransformSet* set : {&sets.front(), &sets.back()}) {
        engine.Transforms = *set;
        Figure scan, counted, normalise, compress;
        SampleHistogram histogram;
        // A compress row's table, as a Balance writes a result through it.
        const TransformStep step = CompressStep(BuildFactorTables().CompressFactors[150]);
        ValueTable compressing;
        compressing.Apply(*set, step);
        for (int round = 0; round < rounds; ++round) {
            scan.Plain = std::min(scan.Plain, Seconds([&] { PlainRead(source); }));
            scan.Pass = std::min(scan.Pass, Seconds([&] { engine.ScanFile(file); }));
            counted.Plain = scan.Plain;
            counted.Pass =
                std::min(counted.Pass, Seconds([&] { engine.ScanFile(file, &histogram); }));

            normalise.Plain = std::min(normalise.Plain, Seconds([&] { PlainCopy(source, copy); }));
            normalise.Pass = std::min(
                normalise.Pass, Seconds([&] { engine.NormaliseFile(file, 32767.0 / file.Peak); }));

            compress.Plain = std::min(compress.Plain, Seconds([&] { PlainRewrite(copy); }));
            const PassTotals held = engine.CountValues(file, file.ResultFile, histogram);
            compress.Pass = std::min(compress.Pass, Seconds([&] {
                                         engine.WriteMapped(file, file.ResultFile, file.ResultFile,
                                                            compressing, "Compressing", held);
                                     }));
        }
        std::printf("transforms: %s\n", set->Name);
        Print("scan", scan, megabytes);
        Print("scan+count", counted, megabytes);
        Print("normalise", normalise, megabytes);
        Print("compress", compress, megabytes);
    }
    if (argc <= 2) {
        std::filesystem::remove_all(folder);
    }
    return 0;
}
