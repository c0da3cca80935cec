// Times the FLAC layer against the flac tool on the same files in the same run: decoding every
// source once, and encoding every result once at the same level. The sources are music-like
// 16-bit stereo files the flac tool encodes at the level; the results hold the sources' samples.
// Each side runs on one core, one file after the other; each time is the least of repeats tries
// (the machine may be shared), and the ratios are this layer's time over the tool's.
//
//   tralux_flac_bench [seconds per file, default 60] [files, default 4] [level, default 5]
//                     [repeats, default 3]

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "files/FileAccess.h"
#include "files/FlacReader.h"
#include "files/FlacWriter.h"

namespace {

using namespace tralux;
using namespace tralux::bench;

void Run(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
}

std::unique_ptr<PassFile> OpenOrExit(const std::string& path) {
    std::unique_ptr<PassFile> file = PosixFileAccess().OpenExisting(path);
    if (file == nullptr) {
        std::perror(path.c_str());
        std::exit(1);
    }
    return file;
}

// Decodes path whole through the layer; its samples when keep is given.
void Decode(const std::string& path, std::vector<int32_t>* keep) {
    std::unique_ptr<PassFile> file = OpenOrExit(path);
    FlacReader reader(*file, path);
    if (!reader.Open()) {
        std::fprintf(stderr, "%s\n", reader.Error().c_str());
        std::exit(1);
    }
    constexpr size_t Piece = 16384;
    std::vector<int32_t> buffer(Piece * reader.Stream().Info.Channels);
    while (size_t got = reader.Read(buffer.data(), Piece)) {
        if (keep != nullptr) {
            keep->insert(keep->end(), buffer.begin(),
                         buffer.begin() + long(got * reader.Stream().Info.Channels));
        }
    }
    if (!reader.Finished()) {
        std::fprintf(stderr, "%s\n", reader.Error().c_str());
        std::exit(1);
    }
}

// Encodes samples, a piece at a time, as result with source's header.
void Encode(const std::string& source, const std::vector<int32_t>& samples,
            const std::string& result, int level) {
    std::unique_ptr<PassFile> input = OpenOrExit(source);
    FlacReader reader(*input, source);
    std::unique_ptr<PassFile> output = PosixFileAccess().Create(result, nullptr);
    if (!reader.Open() || output == nullptr) {
        std::fprintf(stderr, "cannot rewrite %s\n", source.c_str());
        std::exit(1);
    }
    const uint32_t channels = reader.Stream().Info.Channels;
    const uint64_t frames = samples.size() / channels;
    FlacWriter writer(*output, result, reader.Stream(), frames, level);
    bool written = writer.Start();
    constexpr uint64_t Piece = 16384;
    for (uint64_t at = 0; written && at < frames; at += Piece) {
        written =
            writer.Write(samples.data() + at * channels, size_t(std::min(Piece, frames - at)));
    }
    if (!written || !writer.Finish() || !output->Commit()) {
        std::fprintf(stderr, "%s\n", writer.Error().c_str());
        std::exit(1);
    }
}

double Least(int repeats, const std::function<void()>& work) {
    double least = Seconds(work);
    for (int i = 1; i < repeats; ++i) {
        least = std::min(least, Seconds(work));
    }
    return least;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60;
    const int files = argc > 2 ? std::atoi(argv[2]) : 4;
    const int level = argc > 3 ? std::atoi(argv[3]) : 5;
    const int repeats = argc > 4 ? std::max(1, std::atoi(argv[4])) : 3;
    if (std::system("command -v flac >/dev/null 2>&1") != 0) {
        std::fprintf(stderr, "the flac tool is not installed: nothing to compare with\n");
        return 1;
    }
    std::string folder = (std::filesystem::temp_directory_path() / "tralux-flac-bench-XXXXXX");
    if (::mkdtemp(folder.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    std::vector<std::string> sources, results;
    for (int i = 0; i < files; ++i) {
        const std::string base = folder + "/track" + std::to_string(i);
        MakeMusicFile(base + ".wav", int32_t(seconds * 44100), 4000.0 + 3000.0 * i,
                      uint32_t(17 + i));
        Run("flac -s -f -" + std::to_string(level) + " -T ARTIST=Somebody -o '" + base +
            ".flac' '" + base + ".wav'");
        sources.push_back(base + ".flac");
        results.push_back(base);
    }
    const std::string flag = " -s -f -" + std::to_string(level);
    const double toolDecode = Least(repeats, [&] {
        for (const std::string& source : sources) {
            Run("flac -d -c -s '" + source + "' > /dev/null");
        }
    });
    const double toolEncode = Least(repeats, [&] {
        for (const std::string& result : results) {
            Run("flac" + flag + " -o '" + result + "_tool.flac' '" + result + ".wav'");
        }
    });
    const double ownDecode = Least(repeats, [&] {
        for (const std::string& source : sources) {
            Decode(source, nullptr);
        }
    });
    double ownEncode = 0;
    uintmax_t toolBytes = 0, ownBytes = 0;
    for (size_t i = 0; i < sources.size(); ++i) {
        std::vector<int32_t> samples;
        Decode(sources[i], &samples);
        ownEncode +=
            Least(repeats, [&] { Encode(sources[i], samples, results[i] + "_own.flac", level); });
        toolBytes += std::filesystem::file_size(results[i] + "_tool.flac");
        ownBytes += std::filesystem::file_size(results[i] + "_own.flac");
    }
    std::printf("%d files of %.0f s, 16-bit stereo 44.1 kHz, level %d\n", files, seconds, level);
    std::printf("           flac tool    this layer   ratio\n");
    std::printf("decode     %8.3f s   %8.3f s   %.2f\n", toolDecode, ownDecode,
                ownDecode / toolDecode);
    std::printf("encode     %8.3f s   %8.3f s   %.2f\n", toolEncode, ownEncode,
                ownEncode / toolEncode);
    std::printf("both       %8.3f s   %8.3f s   %.2f\n", toolDecode + toolEncode,
                ownDecode + ownEncode, (ownDecode + ownEncode) / (toolDecode + toolEncode));
    std::printf("results    %8.1f MB  %8.1f MB\n", double(toolBytes) / 1e6, double(ownBytes) / 1e6);
    std::filesystem::remove_all(folder);
    return 0;
}
