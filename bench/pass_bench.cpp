// Measures the scan (alone and counting sample values), the normalising pass and one compress pass
// over a generated 10-minute file, in MB/s of WAV data, against plain loops that move the same
// bytes in pieces of 1 MB, as the passes do, through the same file in the same run: read only
// (scan), read and write a new copy flushed to disk (normalise), and the same over the copy,
// renamed over it (compress: a result is rewritten through a new file). Each figure is the best
// of several rounds, taken alternately, so that other load on the machine disturbs both sides
// alike.
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

#include "engine/AudioEngine.h"
#include "engine/WaveHeader.h"

namespace {

using namespace tralux;

constexpr int32_t kFrames = 44100 * 60 * 10;
constexpr size_t kBlock = 1000000;

class QuietSink : public ProgressSink {
public:
    void PassStarted(const std::string&, const std::string&) override {}
    void PassProgress(int) override {}
    void PassEnded() override {}
    void ShowEstimate(const std::string&, const std::string&) override {}
    void PumpEvents() override {}
    void ReportError(const std::string& message) override {
        std::fprintf(stderr, "error: %s\n", message.c_str());
        std::exit(1);
    }
};

void Put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Music-like content: a few tones and some noise, peaking near 24000, so that the
// compression knee acts on part of the samples.
void MakeFile(const std::string& path) {
    std::vector<uint8_t> header;
    for (char c : std::string("RIFF"))
        header.push_back(uint8_t(c));
    Put32(header, 36 + uint32_t(kFrames) * 4);
    for (char c : std::string("WAVEfmt "))
        header.push_back(uint8_t(c));
    Put32(header, 16);
    Put32(header, 1 | (2 << 16));
    Put32(header, 44100);
    Put32(header, 44100 * 4);
    Put32(header, 4 | (16 << 16));
    for (char c : std::string("data"))
        header.push_back(uint8_t(c));
    Put32(header, uint32_t(kFrames) * 4);

    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        std::perror(path.c_str());
        std::exit(1);
    }
    std::fwrite(header.data(), 1, header.size(), file);
    std::mt19937 random(7);
    std::uniform_real_distribution<double> noise(-3000.0, 3000.0);
    std::vector<int16_t> block(kBlock / 2);
    for (int32_t frame = 0; frame < kFrames;) {
        for (size_t i = 0; i < block.size(); i += 2, ++frame) {
            const double t = frame / 44100.0;
            const double swell = 0.55 + 0.45 * std::sin(2 * M_PI * 0.1 * t);
            const double v =
                swell * (9000 * std::sin(2 * M_PI * 220 * t) + 7000 * std::sin(2 * M_PI * 331 * t) +
                         4000 * std::sin(2 * M_PI * 1250 * t)) +
                noise(random);
            block[i] = int16_t(std::lrint(v));
            block[i + 1] = int16_t(std::lrint(v * 0.8));
        }
        std::fwrite(block.data(), 2, block.size(), file);
    }
    std::fclose(file);
}

double Seconds(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

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
    MakeFile(source);

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
        for (int round = 0; round < rounds; ++round) {
            scan.Plain = std::min(scan.Plain, Seconds([&] { PlainRead(source); }));
            scan.Pass = std::min(scan.Pass, Seconds([&] { engine.ScanFile(file); }));
            counted.Plain = scan.Plain;
            engine.ScanHistogram = &histogram;
            counted.Pass = std::min(counted.Pass, Seconds([&] {
                                        histogram.Clear();
                                        engine.ScanFile(file);
                                    }));
            engine.ScanHistogram = nullptr;

            normalise.Plain = std::min(normalise.Plain, Seconds([&] { PlainCopy(source, copy); }));
            engine.PassGain = 32767.0 / file.Peak;
            normalise.Pass =
                std::min(normalise.Pass, Seconds([&] { engine.NormaliseFile(file, false); }));

            compress.Plain = std::min(compress.Plain, Seconds([&] { PlainRewrite(copy); }));
            const double before = file.Loudness;
            compress.Pass =
                std::min(compress.Pass, Seconds([&] { engine.AdjustFile(file, before * 1.5); }));
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
