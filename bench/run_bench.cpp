// Times whole runs over generated files against a plain read of every source and a plain
// write of every result, in the same run on the same data: Prepare & Balance with the loudest
// and with the quietest file as reference, and a Balance after a Prepare.
//
//   tralux_run_bench [minutes per file, default 5] [files, default 10] [repeats, default 3]
//
// Files are music-like, their loudness spread over 5x. Results are made whole on disk as the
// runs make them (flushed before the rename), so the plain write flushes each file too.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "engine/AudioEngine.h"
#include "files/WaveHeader.h"
#include "operations/Operations.h"

namespace {

using namespace tralux;
using namespace tralux::bench;

// Answers Yes to every question.
class BenchHost : public RunHost {
public:
    std::vector<std::unique_ptr<FileData>> List;

    std::vector<FileData*> Files() override {
        std::vector<FileData*> files;
        for (auto& file : List) {
            files.push_back(file.get());
        }
        return files;
    }
    void ShowError(const std::string& message) override {
        std::fprintf(stderr, "error: %s\n", message.c_str());
        std::exit(1);
    }
    void ShowWarning(const std::string& message) override {
        std::fprintf(stderr, "warning: %s\n", message.c_str());
    }
    Answer AskConfirm(const std::string&) override { return Answer::Yes; }
    Answer AskWarning(const std::string&) override { return Answer::Yes; }
    std::optional<std::string> OutputFolderPrompt() override { return std::nullopt; }
    void ShowProgressLine(const std::vector<std::string>&) override {}
    void HideProgressLine() override {}
};

// One read of every file and one write (flushed) of every result name given.
void PlainReadAndWrite(const std::vector<std::string>& from, const std::vector<std::string>& to) {
    static std::vector<char> buffer(1 << 20);
    for (size_t i = 0; i < from.size(); ++i) {
        const int in = ::open(from[i].c_str(), O_RDONLY);
        const std::string temporary = to[i] + ".plain";
        const int out = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0) {
            std::perror("open");
            std::exit(1);
        }
        ssize_t got;
        while ((got = ::read(in, buffer.data(), buffer.size())) > 0) {
            if (::write(out, buffer.data(), size_t(got)) != got) {
                std::exit(1);
            }
        }
        ::fsync(out);
        ::close(in);
        ::close(out);
        std::filesystem::remove(temporary);
    }
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void Report(const char* name, double run, double plain) {
    std::printf("%-34s %7.2f s   plain read+write %7.2f s   ratio %.2f\n", name, run, plain,
                run / plain);
}

}  // namespace

int main(int argc, char** argv) {
    const double minutes = argc > 1 ? std::atof(argv[1]) : 5.0;
    const int count = argc > 2 ? std::atoi(argv[2]) : 10;
    const int repeats = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tralux-run-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string folder = pattern;
    const auto frames = static_cast<int32_t>(minutes * 60 * 44100);
    std::vector<std::string> sources, results;
    for (int i = 0; i < count; ++i) {
        // Loudness spread over 5x from the quietest to the loudest file.
        const double level = 6000.0 * (1.0 + 4.0 * i / std::max(1, count - 1));
        sources.push_back(folder + "/song" + std::to_string(i) + ".wav");
        results.push_back(folder + "/song" + std::to_string(i) + "_tralux.wav");
        MakeMusicFile(sources.back(), frames, level, uint32_t(i + 1));
    }
    // The generated files are on disk before anything is timed: their write-back must not fall
    // inside a measurement.
    ::sync();
    std::printf("%d files of %.1f minutes (%.1f MB of samples each)\n", count, minutes,
                frames * 4.0 / 1e6);

    QuietSink sink;
    AudioEngine engine(sink);
    Options options;
    options.overwritewarn = false;
    options.maxcompfactor = 10.0;
    options.warncompfactor = 10.0;
    BenchHost host;
    Operations ops(engine, host);
    // The reference is chosen by each case.
    RunRequest request;
    request.options = options;
    UngroupedNumbers numbers;
    for (const std::string& path : sources) {
        const WaveHeaderInfo info = ReadWaveHeader(path);
        host.List.push_back(std::make_unique<FileData>(path, info.HeaderSize, info.FrameCount,
                                                       info.TailBytes, numbers));
    }

    // Each case is timed repeats times, the plain read and write just before the run each time;
    // the medians are shown, as the disk's own pace varies from one moment to the next.
    auto timeCase = [&](const char* name, const std::vector<std::string>& from,
                        const std::function<void()>& prepare, const std::function<void()>& run) {
        std::vector<double> plains, runs;
        for (int k = 0; k < repeats; ++k) {
            prepare();
            plains.push_back(Seconds([&] { PlainReadAndWrite(from, results); }));
            runs.push_back(Seconds(run));
        }
        Report(name, Median(runs), Median(plains));
    };
    for (const ReferenceChoice choice : {ReferenceChoice::Loudest, ReferenceChoice::Quietest}) {
        timeCase(
            choice == ReferenceChoice::Loudest ? "Prepare & Balance, loudest reference"
                                               : "Prepare & Balance, quietest reference",
            sources, [&] { request.reference = choice; }, [&] { ops.PrepareAndBalance(request); });
    }
    timeCase(
        "Balance after Prepare, loudest", results,
        [&] {
            request.reference = ReferenceChoice::Loudest;
            ops.Prepare(request);
        },
        [&] { ops.Balance(request); });
    std::filesystem::remove_all(folder);
    return 0;
}
