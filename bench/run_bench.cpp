// Times whole runs over generated files against a yardstick that does what a result needs:
// read the source in 1 MiB pieces, write a temporary file beside the result, flush it to the
// disk and rename it over the result. Both run in the same process on the same data, one after
// the other, repeats times; the medians are shown, with the run's CPU time over its wall time.
//
//   tralux_run_bench [minutes per file, default 5] [files, default 10] [repeats, default 3]
//       one set: Prepare & Balance with the loudest and with the quietest file as reference,
//       and a Balance after a Prepare.
//   tralux_run_bench --broadcast [minutes per file, default 5] [files, default 10] [repeats]
//       Prepare & Balance (loudest reference) without and with the broadcast measures (LUFS,
//       true peak, loudness range of every source and result) shown, taken by turns, and the
//       ratio of their medians.
//   tralux_run_bench --lufs [minutes per file, default 5] [files, default 10] [repeats]
//       Prepare & Balance by RMS and by LUFS under a -1 dBTP ceiling, by turns, with the
//       quietest and the loudest file as reference and (by LUFS) a target of -16 LUFS against
//       the loudest by RMS; the ratio of their medians, each run's processor time and the reads
//       the LUFS plans took.
//   tralux_run_bench --sets [scale, default 1] [repeats, default 3]
//       the standard sets: 10 files of 5 minutes (both references), 100 files of 30 s and one
//       file of 60 minutes, every length times scale (0.1 for a quick look), and the peak
//       memory of one run of each set in a process of its own.
//   tralux_run_bench --formats [scale, default 1] [repeats, default 3] [wide|24|8|32|float]
//       10 files of 5 minutes (times scale) in 24-bit, 8-bit, 32-bit and 32-bit float 48 kHz
//       stereo (with "wide", the last two only; with one of the others, that one only),
//       Prepare & Balance with both references, and
//       the peak memory of one such run in a process of its own (this one holds two runs'
//       tables: the usual one and the one as before).
//
//   tralux_run_bench --make folder minutes [files, default 10] [16|24|8|32|float]
//       only makes the files of such a set in folder (which must exist), for a profile of
//       --one-run over them: a Prepare & Balance, loudest reference, showing its peak memory.
//
//   tralux_run_bench --flac [minutes per file, default 5] [files, default 10] [level, default 5]
//                    [repeats, default 3]
//       Prepare & Balance of FLAC files made by the flac tool at the level, results at the same
//       level, against the flac tool decoding every source once and encoding every result once.
// Each case also runs as before files were scanned at once and results committed on a thread
// of their own: one file at a time, each result's fsync and rename on the run's thread before
// the next file; alternated with the usual run, so that the two compare under the same load.
//
// Files are music-like, their loudness spread over 5x.

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "engine/AudioEngine.h"
#include "files/WaveHeader.h"
#include "operations/Intake.h"
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

// The platform's files, with each result committed on the thread that wrote it.
class InLineCommits : public FileAccess {
public:
    std::unique_ptr<PassFile> OpenExisting(const std::string& path) override {
        return PosixFileAccess().OpenExisting(path);
    }
    std::unique_ptr<PassFile> Create(const std::string& path,
                                     const OutputFolders* folders) override {
        return PosixFileAccess().Create(path, folders);
    }
    std::unique_ptr<PassFile> CreateOver(const std::string& path,
                                         const OutputFolders* folders) override {
        return PosixFileAccess().CreateOver(path, folders);
    }
};

// The yardstick: one read of every source in 1 MiB pieces into a temporary file beside its
// result, flushed and renamed over the result.
void Yardstick(const std::vector<std::string>& from, const std::vector<std::string>& to) {
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
        if (::fsync(out) != 0 || ::close(out) != 0 || ::close(in) != 0 ||
            ::rename(temporary.c_str(), to[i].c_str()) != 0) {
            std::perror("yardstick");
            std::exit(1);
        }
    }
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// User and system time of this process so far, in seconds.
double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// A folder of generated sources and the engine and run that balance them.
struct BenchSet {
    std::string Folder;
    std::vector<std::string> Sources, Results;
    QuietSink Sink;
    AudioEngine Engine{Sink};
    BenchHost Host;
    Operations Ops{Engine, Host};
    InLineCommits InLineFiles;
    AudioEngine InLineEngine{Sink, SteadyClock(), InLineFiles};
    Operations InLineOps{InLineEngine, Host};
    RunRequest Request;

    BenchSet(double minutes, int count, int bits = 16, bool floats = false) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tralux-run-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        Folder = pattern;
        const auto frames = static_cast<int32_t>(minutes * 60 * (bits == 16 ? 44100 : 48000));
        for (int i = 0; i < count; ++i) {
            // Loudness spread over 5x from the quietest to the loudest file.
            const double level = 6000.0 * (1.0 + 4.0 * i / std::max(1, count - 1));
            Sources.push_back(Folder + "/song" + std::to_string(i) + ".wav");
            Results.push_back(Folder + "/song" + std::to_string(i) + "_tralux.wav");
            MakeMusicFile(Sources.back(), frames, level, uint32_t(i + 1), bits, floats);
        }
        // The generated files are on disk before anything is timed: their write-back must not
        // fall inside a measurement.
        ::sync();
        if (count > 0) {
            std::printf("%d files of %.2f minutes, %d-bit%s (%.1f MB of samples each)\n", count,
                        minutes, bits, floats ? " float" : "", frames * 2.0 * (bits / 8) / 1e6);
        }
        Ops.FilesAtOnce = Operations::EveryCore();
        Options options;
        options.overwritewarn = false;
        options.maxcompfactor = 10.0;
        options.warncompfactor = 10.0;
        Request.options = options;
        UngroupedNumbers numbers;
        for (const std::string& path : Sources) {
            const WaveHeaderInfo info = ReadWaveHeader(path);
            Host.List.push_back(std::make_unique<FileData>(path, info, numbers));
        }
    }
    ~BenchSet() { std::filesystem::remove_all(Folder); }

    // Times a case repeats times, the yardstick over from just before the run each time
    // (before prepare, which is not timed).
    // run and prepare are given the Operations to use: the usual one, or the one as before.
    void Time(const char* name, const std::vector<std::string>& from, int repeats,
              const std::function<void(Operations&)>& prepare,
              const std::function<void(Operations&)>& run) {
        std::vector<double> yardsticks, runs, loads, inLineRuns, inLineLoads;
        const auto timed = [&](Operations& ops, std::vector<double>& times,
                               std::vector<double>& cpu) {
            prepare(ops);
            const double cpuBefore = CpuSeconds();
            times.push_back(Seconds([&] { run(ops); }));
            cpu.push_back((CpuSeconds() - cpuBefore) / times.back());
        };
        for (int k = 0; k < repeats; ++k) {
            // The yardstick first: its renames must not come between a Prepare and a Balance.
            yardsticks.push_back(Seconds([&] { Yardstick(from, Results); }));
            timed(Ops, runs, loads);
            timed(InLineOps, inLineRuns, inLineLoads);
        }
        const double yardstick = Median(yardsticks);
        const auto show = [&](const char* label, const std::vector<double>& times,
                              const std::vector<double>& cpu) {
            const double median = Median(times);
            std::printf("  %-38s %-9s %7.2f s  yardstick %7.2f s  ratio %.2f  CPU/wall %.2f\n",
                        name, label, median, yardstick, median / yardstick, Median(cpu));
        };
        show("", runs, loads);
        show("as before", inLineRuns, inLineLoads);
        std::fflush(stdout);
    }

    void PrepareAndBalance(ReferenceChoice choice, int repeats) {
        Time(
            choice == ReferenceChoice::Loudest ? "Prepare & Balance, loudest reference"
                                               : "Prepare & Balance, quietest reference",
            Sources, repeats, [&](Operations&) { Request.reference = choice; },
            [&](Operations& ops) { ops.PrepareAndBalance(Request); });
    }

    // What showing the broadcast measures costs a Prepare & Balance: runs without and with
    // them by turns, so that both meet the same state of the machine.
    void BroadcastCost(int repeats) {
        Request.reference = ReferenceChoice::Loudest;
        std::vector<double> plain, metered, plainCpu, meteredCpu;
        for (int k = 0; k < repeats; ++k) {
            for (const bool measure : {false, true}) {
                Ops.MeasureBroadcast = measure;
                const double cpuBefore = CpuSeconds();
                (measure ? metered : plain).push_back(Seconds([&] {
                    Ops.PrepareAndBalance(Request);
                }));
                (measure ? meteredCpu : plainCpu).push_back(CpuSeconds() - cpuBefore);
            }
        }
        Ops.MeasureBroadcast = false;
        const double without = Median(plain), with = Median(metered);
        std::printf(
            "  Prepare & Balance, loudest: %.2f s (CPU %.2f s); showing LUFS, dBTP, LRA: "
            "%.2f s (CPU %.2f s); ratio %.2f\n",
            without, Median(plainCpu), with, Median(meteredCpu), with / without);
        std::fflush(stdout);
    }

    // What balancing by LUFS under a true-peak ceiling costs against balancing by RMS: runs
    // of each by turns, so that both meet the same state of the machine.
    void LufsCost(const char* name, ReferenceChoice rmsChoice, ReferenceChoice lufsChoice,
                  std::optional<double> lufsTarget, int repeats) {
        RunRequest byRms = Request;
        byRms.reference = rmsChoice;
        RunRequest byLufs = Request;
        byLufs.reference = lufsChoice;
        byLufs.measure = BalanceMeasure::Lufs;
        byLufs.lufsTarget = lufsTarget;
        byLufs.options.truepeaklimit = -1.0;
        std::vector<double> rms, lufs, rmsCpu, lufsCpu;
        for (int k = 0; k < repeats; ++k) {
            double cpuBefore = CpuSeconds();
            rms.push_back(Seconds([&] { Ops.PrepareAndBalance(byRms); }));
            rmsCpu.push_back(CpuSeconds() - cpuBefore);
            cpuBefore = CpuSeconds();
            lufs.push_back(Seconds([&] { Ops.PrepareAndBalance(byLufs); }));
            lufsCpu.push_back(CpuSeconds() - cpuBefore);
        }
        const double without = Median(rms), with = Median(lufs);
        std::printf(
            "  %-34s RMS %7.2f s (CPU %.2f s)  LUFS %7.2f s (CPU %.2f s)  ratio %.2f  (planning "
            "reads %d, target %.2f LUFS)\n",
            name, without, Median(rmsCpu), with, Median(lufsCpu), with / without, Ops.PlanningReads,
            Ops.ReferenceLufs.value_or(0.0));
        std::fflush(stdout);
    }

    void BalanceAfterPrepare(int repeats) {
        Time(
            "Balance after Prepare, loudest", Results, repeats,
            [&](Operations& ops) {
                Request.reference = ReferenceChoice::Loudest;
                ops.Prepare(Request);
            },
            [&](Operations& ops) { ops.Balance(Request); });
    }
};

void RunOrExit(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
}

// Prepare & Balance of FLAC files against the flac tool's own decoding and encoding of the same
// files, in the same process one after the other: the tool decodes every source once and
// encodes every result (as decoded after the first run) once, at the same level.
int FlacRuns(double minutes, int count, int level, int repeats) {
    if (std::system("command -v flac >/dev/null 2>&1") != 0) {
        std::fprintf(stderr, "the flac tool is not installed: nothing to compare with\n");
        return 1;
    }
    BenchSet set(0, 0);
    const auto frames = static_cast<int32_t>(minutes * 60 * 44100);
    const std::string flag = " -s -f -" + std::to_string(level);
    UngroupedNumbers numbers;
    SameFileIndex listed(SameFileRule::Listing);
    for (int i = 0; i < count; ++i) {
        const std::string base = set.Folder + "/song" + std::to_string(i);
        MakeMusicFile(base + ".wav", frames, 6000.0 * (1.0 + 4.0 * i / std::max(1, count - 1)),
                      uint32_t(i + 1));
        RunOrExit("flac" + flag + " -T ARTIST=Somebody -o '" + base + ".flac' '" + base + ".wav'");
        std::filesystem::remove(base + ".wav");
        set.Sources.push_back(base + ".flac");
        set.Results.push_back(base + "_tralux.flac");
        Intake intake = TakeIn(set.Sources.back(), listed, numbers);
        if (!intake.record) {
            std::fprintf(stderr, "%s\n", intake.refusal.c_str());
            return 1;
        }
        set.Host.List.push_back(std::move(intake.record));
    }
    ::sync();
    std::printf("%d FLAC files of %.2f minutes, 16-bit stereo 44.1 kHz, level %d\n", count, minutes,
                level);
    set.Request.options.flaclevel = level;
    std::vector<double> runs, tools;
    for (int k = 0; k < repeats; ++k) {
        set.Request.reference = ReferenceChoice::Loudest;
        runs.push_back(Seconds([&] { set.Ops.PrepareAndBalance(set.Request); }));
        if (k == 0) {
            for (const std::string& result : set.Results) {
                RunOrExit("flac -d -s -f -o '" + result + ".wav' '" + result + "'");
            }
        }
        tools.push_back(Seconds([&] {
            for (const std::string& source : set.Sources) {
                RunOrExit("flac -d -c -s '" + source + "' > /dev/null");
            }
            for (const std::string& result : set.Results) {
                RunOrExit("flac" + flag + " -o '" + result + ".tool.flac' '" + result + ".wav'");
            }
        }));
    }
    const double run = Median(runs), tool = Median(tools);
    std::printf("  Prepare & Balance, loudest reference  %7.2f s  flac tool %7.2f s  ratio %.2f\n",
                run, tool, run / tool);
    return 0;
}

// Prepare & Balance (loudest reference) of the given files, alone in this process: what the
// memory measure below runs. Prints the process's peak resident memory in kB.
int OneRun(const std::vector<std::string>& sources) {
    {
        QuietSink sink;
        AudioEngine engine{sink};
        BenchHost host;
        Operations ops{engine, host};
        ops.FilesAtOnce = Operations::EveryCore();
        UngroupedNumbers numbers;
        for (const std::string& path : sources) {
            host.List.push_back(std::make_unique<FileData>(path, ReadWaveHeader(path), numbers));
        }
        RunRequest request;
        request.options.overwritewarn = false;
        request.options.maxcompfactor = 10.0;
        request.options.warncompfactor = 10.0;
        request.reference = ReferenceChoice::Loudest;
        ops.PrepareAndBalance(request);
    }
    // The high-water mark of this program's own memory: getrusage would also count what the
    // process held before it became this program.
    FILE* status = std::fopen("/proc/self/status", "r");
    char line[256];
    while (status != nullptr && std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, "VmHWM:", 6) == 0) {
            std::printf("%ld\n", std::atol(line + 6));
        }
    }
    return 0;
}

// The peak resident memory of one Prepare & Balance of sources, run by this program in a
// process of its own, in MB.
double PeakMemoryOfOneRun(const std::vector<std::string>& sources) {
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::string command = "'" + self + "' --one-run";
    for (const std::string& source : sources) {
        command += " '" + source + "'";  // generated names: no quote in them
    }
    FILE* child = ::popen(command.c_str(), "r");
    long kilobytes = 0;
    if (child == nullptr || std::fscanf(child, "%ld", &kilobytes) != 1 || ::pclose(child) != 0) {
        std::fprintf(stderr, "the measured run failed\n");
        std::exit(1);
    }
    return double(kilobytes) / 1024.0;
}

void ShowPeakMemoryOfOneRun(const std::vector<std::string>& sources) {
    std::printf("  peak memory of one Prepare & Balance %.1f MB\n", PeakMemoryOfOneRun(sources));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 3 && std::string(argv[1]) == "--make") {
        const double minutes = std::atof(argv[3]);
        const int count = argc > 4 ? std::atoi(argv[4]) : 10;
        const std::string format = argc > 5 ? argv[5] : "16";
        const bool floats = format == "float";
        const int bits = floats ? 32 : std::atoi(format.c_str());
        const auto frames = static_cast<int32_t>(minutes * 60 * (bits == 16 ? 44100 : 48000));
        for (int i = 0; i < count; ++i) {
            const double level = 6000.0 * (1.0 + 4.0 * i / std::max(1, count - 1));
            MakeMusicFile(std::string(argv[2]) + "/song" + std::to_string(i) + ".wav", frames,
                          level, uint32_t(i + 1), bits, floats);
        }
        return 0;
    }
    if (argc > 1 && std::string(argv[1]) == "--one-run") {
        return OneRun(std::vector<std::string>(argv + 2, argv + argc));
    }
    if (argc > 1 && std::string(argv[1]) == "--flac") {
        return FlacRuns(argc > 2 ? std::atof(argv[2]) : 5.0, argc > 3 ? std::atoi(argv[3]) : 10,
                        argc > 4 ? std::atoi(argv[4]) : 5,
                        argc > 5 ? std::max(1, std::atoi(argv[5])) : 3);
    }
    if (argc > 1 && std::string(argv[1]) == "--formats") {
        const double scale = argc > 2 ? std::atof(argv[2]) : 1.0;
        const int repeats = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
        const std::string only = argc > 4 ? argv[4] : "";
        for (const auto& [bits, floats] : {std::pair{24, false}, std::pair{8, false},
                                           std::pair{32, false}, std::pair{32, true}}) {
            const std::string name = floats ? "float" : std::to_string(bits);
            if ((only == "wide" && bits != 32) ||
                (!only.empty() && only != "wide" && only != name)) {
                continue;
            }
            BenchSet set(5.0 * scale, 10, bits, floats);
            set.PrepareAndBalance(ReferenceChoice::Loudest, repeats);
            set.PrepareAndBalance(ReferenceChoice::Quietest, repeats);
            ShowPeakMemoryOfOneRun(set.Sources);
        }
        return 0;
    }
    if (argc > 1 && std::string(argv[1]) == "--sets") {
        const double scale = argc > 2 ? std::atof(argv[2]) : 1.0;
        const int repeats = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
        {
            BenchSet set(5.0 * scale, 10);
            set.PrepareAndBalance(ReferenceChoice::Loudest, repeats);
            set.PrepareAndBalance(ReferenceChoice::Quietest, repeats);
            ShowPeakMemoryOfOneRun(set.Sources);
        }
        {
            BenchSet set(0.5 * scale, 100);
            set.PrepareAndBalance(ReferenceChoice::Loudest, repeats);
            ShowPeakMemoryOfOneRun(set.Sources);
        }
        {
            BenchSet set(60.0 * scale, 1);
            set.PrepareAndBalance(ReferenceChoice::Loudest, repeats);
            ShowPeakMemoryOfOneRun(set.Sources);
        }
        return 0;
    }
    if (argc > 1 && std::string(argv[1]) == "--broadcast") {
        const double minutes = argc > 2 ? std::atof(argv[2]) : 5.0;
        const int count = argc > 3 ? std::atoi(argv[3]) : 10;
        const int repeats = argc > 4 ? std::max(1, std::atoi(argv[4])) : 3;
        BenchSet set(minutes, count);
        set.BroadcastCost(repeats);
        return 0;
    }
    if (argc > 1 && std::string(argv[1]) == "--lufs") {
        const double minutes = argc > 2 ? std::atof(argv[2]) : 5.0;
        const int count = argc > 3 ? std::atoi(argv[3]) : 10;
        const int repeats = argc > 4 ? std::max(1, std::atoi(argv[4])) : 3;
        BenchSet set(minutes, count);
        set.LufsCost("quietest reference", ReferenceChoice::Quietest, ReferenceChoice::Quietest,
                     std::nullopt, repeats);
        set.LufsCost("loudest reference", ReferenceChoice::Loudest, ReferenceChoice::Loudest,
                     std::nullopt, repeats);
        set.LufsCost("-16 LUFS (RMS: loudest)", ReferenceChoice::Loudest, ReferenceChoice::Loudest,
                     -16.0, repeats);
        return 0;
    }
    // Anything but a length in front of the default run (an option misspelt, --help, --make
    // without its folder and minutes) is answered with the forms, not run as a set of no length.
    if (argc > 1 && !(std::atof(argv[1]) > 0.0)) {
        const bool asked = std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h";
        std::fputs(
            "usage: tralux_run_bench [minutes] [files] [repeats]\n"
            "       tralux_run_bench --sets|--formats [scale] [repeats] [wide|24|8|32|float]\n"
            "       tralux_run_bench --broadcast|--lufs [minutes] [files] [repeats]\n"
            "       tralux_run_bench --flac [minutes] [files] [level] [repeats]\n"
            "       tralux_run_bench --make folder minutes [files] [16|24|8|32|float]\n"
            "       tralux_run_bench --one-run file...\n"
            "(what each does: the comment at the top of bench/run_bench.cpp)\n",
            asked ? stdout : stderr);
        return asked ? 0 : 2;
    }
    const double minutes = argc > 1 ? std::atof(argv[1]) : 5.0;
    const int count = argc > 2 ? std::atoi(argv[2]) : 10;
    const int repeats = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
    BenchSet set(minutes, count);
    set.PrepareAndBalance(ReferenceChoice::Loudest, repeats);
    set.PrepareAndBalance(ReferenceChoice::Quietest, repeats);
    set.BalanceAfterPrepare(repeats);
    return 0;
}
