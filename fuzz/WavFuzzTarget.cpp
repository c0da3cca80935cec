// Arbitrary bytes through the WAV header check and, when it accepts them, through a scan, a
// normalising write and a rewrite through a table of the real engine. Built for libFuzzer with the
// sanitizers, or linked with Replay.cpp into a program that feeds it a folder of saved inputs.
//
// Besides the sanitizers' checks, every accepted input must keep these promises (a broken one
// aborts, so the fuzzer keeps the input):
// - the header lies inside the file and the counts are in range;
// - the scan never writes, and its peak and loudness are those of the frames the file holds,
//   bytes the data chunk claims but the file lacks counting as silence;
// - the result holds the source's header byte for byte, then each held frame times the gain,
//   then silence for claimed frames the source lacks (never stale samples), then zero tail
//   bytes, and nothing more;
// - a rewrite of the result through a value table changes the frames, each by the table, and
//   nothing else.
//
// The header check, however it reads the file, must judge every input as a plain walk of its
// fields, one at a time, does; and a stop request must end it with Stopped and no values. What it
// says the file is must hold together (a format in range, data inside the file, frames of the
// format's block size, a refusal in plain words), and the samples of every format it can read
// must decode to finite values on the one scale and, on their grid, encode back to their bytes. An
// input that starts with "HOLE" describes a large file: a gap of up to 16 MiB of zeros, left as a
// hole in a sparse file, put into the rest of the input. Zeros after the WAVE tag are millions of
// empty chunks to walk.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/AudioEngine.h"
#include "engine/FileData.h"
#include "engine/ProgressSink.h"
#include "engine/WideValues.h"
#include "files/FileAccess.h"
#include "files/SampleFormats.h"
#include "files/WaveHeader.h"

namespace tralux::fuzz {
namespace {

[[noreturn]] void Broken(const char* promise) {
    std::fprintf(stderr, "broken promise: %s\n", promise);
    std::abort();
}

void Expect(bool kept, const char* promise) {
    if (!kept) {
        Broken(promise);
    }
}

class QuietSink : public ProgressSink {
public:
    void PassStarted(const std::string&, const std::string&) override {}
    void PassProgress(int percent) override {
        Expect(percent >= 0 && percent <= 100, "progress stays within 0..100");
    }
    void PassEnded() override {}
    void ShowEstimate(const std::string&, const std::string&) override {}
    void PumpEvents() override {}
    void ReportError(const std::string& message) override { Errors.push_back(message); }

    std::vector<std::string> Errors;
};

// Files held in memory, so a pass costs no system calls. Reads past the end come back short,
// as from a real file. A created file is written aside and takes its name at Commit(), as a
// real one does; each file has an identity of its own.
class MemoryFiles : public FileAccess {
public:
    std::map<std::string, std::vector<uint8_t>> Contents;
    int CreatedCount = 0;

    std::unique_ptr<PassFile> OpenExisting(const std::string& path) override {
        auto found = Contents.find(path);
        if (found == Contents.end()) {
            return nullptr;
        }
        const uint64_t id = ids_.try_emplace(path, ++serial_).first->second;
        return std::make_unique<File>(found->second, id, std::function<bool()>());
    }
    std::unique_ptr<PassFile> Create(const std::string& path, const OutputFolders*) override {
        ++CreatedCount;
        auto& bytes = pending_[path];
        bytes.clear();  // keeps its room: the next input is written without reallocating
        const uint64_t id = ++serial_;
        return std::make_unique<File>(bytes, id, [this, path, id] {
            std::swap(Contents[path], pending_[path]);
            ids_[path] = id;
            return true;
        });
    }
    // Forgets what the last input left, keeping the room it took.
    void Reset() {
        for (auto& [path, bytes] : Contents) {
            bytes.clear();
        }
        ids_.clear();
        CreatedCount = 0;
    }

private:
    class File : public PassFile {
    public:
        // commit is empty for a file opened for reading, which is never written.
        File(std::vector<uint8_t>& bytes, uint64_t id, std::function<bool()> commit)
            : bytes_(bytes), id_(id), commit_(std::move(commit)) {}
        size_t Read(void* buffer, size_t size) override {
            if (position_ >= bytes_.size()) {
                return 0;
            }
            const size_t got = std::min(size, bytes_.size() - position_);
            std::memcpy(buffer, bytes_.data() + position_, got);
            position_ += got;
            return got;
        }
        bool Write(const void* buffer, size_t size) override {
            Expect(bool(commit_), "a file opened for reading is never written");
            if (bytes_.size() < position_ + size) {
                bytes_.resize(position_ + size);
            }
            std::memcpy(bytes_.data() + position_, buffer, size);
            position_ += size;
            return true;
        }
        bool Seek(int64_t offset) override {
            if (offset < 0) {
                return false;
            }
            position_ = static_cast<size_t>(offset);
            return true;
        }
        bool Commit() override { return commit_ ? commit_() : true; }
        FileIdentity Identity() const override { return {1, id_, true}; }

    private:
        std::vector<uint8_t>& bytes_;
        uint64_t id_;
        std::function<bool()> commit_;
        size_t position_ = 0;
    };

    std::map<std::string, std::vector<uint8_t>> pending_;  // created files before Commit()
    std::map<std::string, uint64_t> ids_;                  // the file each name holds
    uint64_t serial_ = 0;
};

// The header check reads a real file: one scratch folder per process, on a memory file
// system where there is one.
class Scratch {
public:
    Scratch() {
        const std::filesystem::path base = std::filesystem::is_directory("/dev/shm")
                                               ? std::filesystem::path("/dev/shm")
                                               : std::filesystem::temp_directory_path();
        std::string pattern = (base / "tralux-fuzz-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            Broken("a scratch folder can be made");
        }
        folder_ = pattern;
        Input = (folder_ / "input.wav").string();
        Result = (folder_ / "result.wav").string();
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    void Write(const uint8_t* data, size_t size) const { WriteWithGap(data, size, size, 0); }
    // data[0, at), then gap bytes of zeros never written (a hole), then data[at, size).
    void WriteWithGap(const uint8_t* data, size_t size, size_t at, int64_t gap) const {
        const int fd = ::open(Input.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        Expect(fd >= 0, "the scratch file can be written");
        bool whole = ::write(fd, data, at) == ssize_t(at) &&
                     ::pwrite(fd, data + at, size - at, off_t(at) + gap) == ssize_t(size - at) &&
                     ::ftruncate(fd, off_t(size) + gap) == 0;
        Expect(::close(fd) == 0 && whole, "the scratch file can be written");
    }

    std::string Input;
    std::string Result;

private:
    std::filesystem::path folder_;
};

int16_t SampleAt(const uint8_t* data, size_t size, int64_t offset) {
    // Bytes the file lacks read as zero.
    const uint8_t low = offset < int64_t(size) ? data[offset] : 0;
    const uint8_t high = offset + 1 < int64_t(size) ? data[offset + 1] : 0;
    return static_cast<int16_t>(uint16_t(low) | uint16_t(high) << 8);
}

int16_t Gained(int16_t s, double gain) {
    const double r = std::nearbyint(static_cast<double>(s) * gain);
    return r <= -32768.0 ? int16_t{-32767} : static_cast<int16_t>(r);
}

void CheckHeader(const WaveHeaderInfo& info, size_t size) {
    const int64_t frameBytes = info.File.Format.BlockAlign();
    Expect(info.HeaderSize >= 44, "a header holds at least the RIFF, fmt and data heads");
    Expect(info.HeaderSize <= int64_t(size), "the header lies inside the file");
    Expect(info.FrameCount >= 0 && info.FrameCount * frameBytes <= int64_t(size),
           "the frame count is in range");
    Expect(info.TailBytes >= 0 && info.TailBytes < frameBytes, "the tail holds less than a frame");
    Expect(RunsTake(info.File.Format), "a valid file is of a format the runs take");
}

// The 16-bit stereo 44.1 kHz files of a RIFF container, which the model below and the passes
// checked here describe; the runs take other formats too, checked by the tests.
bool Classic(const WaveHeaderInfo& info) {
    const WavFormat& format = info.File.Format;
    return format.Container == WavContainer::Riff &&
           format.Sample == SampleFormat{SampleCoding::Integer, 2, 16} && format.Channels == 2 &&
           format.SampleRate == 44100;
}

// The bytes of the file the header check reads: data with gap zeros put in at offset at.
struct FileBytes {
    const uint8_t* data;
    size_t size;
    size_t at;
    int64_t gap;

    int64_t Length() const { return int64_t(size) + gap; }
    // -1 past the end.
    int At(int64_t offset) const {
        if (offset < int64_t(at)) {
            return data[offset];
        }
        if (offset < int64_t(at) + gap) {
            return 0;
        }
        return offset < Length() ? data[offset - gap] : -1;
    }
};

// The header rules written out plainly, one field at a time.
class ModelHeader {
public:
    explicit ModelHeader(const FileBytes& file) : file_(file) {}

    WaveHeaderInfo Judge() {
        WaveHeaderInfo info;
        uint32_t riffSize = 0, formatSize = 0, tag = 0, channels = 0, rate = 0, byteRate = 0;
        uint32_t align = 0, bits = 0, dataSize = 0;
        const bool read = Tag("RIFF") && Field(4, riffSize) && Tag("WAVE") && Find("fmt ") &&
                          Field(4, formatSize) && Field(2, tag) && Field(2, channels) &&
                          Field(4, rate) && Field(4, byteRate) && Field(2, align) && Field(2, bits);
        if (!read || formatSize < 16 || channels != 2 || rate != 44100 || bits != 16) {
            return info;
        }
        if (tag == 0xFFFE && formatSize >= 40) {
            // The extensible form of the same samples: 16 valid bits (or none said), the PCM
            // sub-format, and a block size that fits.
            uint32_t extension = 0, valid = 0, mask = 0, subFormat = 0, guid = 0;
            if (!Field(2, extension) || !Field(2, valid) || !Field(4, mask) ||
                !Field(4, subFormat) || subFormat != 1) {
                return info;
            }
            const uint32_t rest[3] = {0x00100000, 0xAA000080, 0x719B3800};
            for (const uint32_t expected : rest) {
                if (!Field(4, guid) || guid != expected) {
                    return info;
                }
            }
            if ((valid != 0 && valid != 16) || align != 4) {
                return info;
            }
            position_ += formatSize - 40;
        } else if (tag == 1) {
            position_ += formatSize - 16;
        } else {
            return info;
        }
        if (!Find("data") || !Field(4, dataSize)) {
            return info;
        }
        info.Result = WaveCheckResult::Valid;
        info.HeaderSize = position_;
        int64_t bytes = dataSize;
        if (file_.Length() - position_ < bytes) {
            bytes = std::max<int64_t>(file_.Length() - position_, 0);
            info.ShorterThanHeader = true;
        }
        info.FrameCount = static_cast<int32_t>(bytes / 4);
        info.TailBytes = static_cast<int32_t>(bytes % 4);
        return info;
    }

private:
    bool Field(int width, uint32_t& value) {
        value = 0;
        for (int i = 0; i < width; ++i) {
            const int byte = file_.At(position_ + i);
            if (byte < 0) {
                return false;
            }
            value |= uint32_t(byte) << (8 * i);
        }
        position_ += width;
        return true;
    }
    bool Tag(const char* id) {
        uint32_t value = 0;
        uint32_t wanted = 0;
        for (int i = 0; i < 4; ++i) {
            wanted |= uint32_t(uint8_t(id[i])) << (8 * i);
        }
        return Field(4, value) && value == wanted;
    }
    // Skips whole chunks up to the one with the id.
    bool Find(const char* id) {
        while (!Tag(id)) {
            uint32_t size = 0;
            if (!Field(4, size)) {
                return false;
            }
            position_ += size;
        }
        return true;
    }

    const FileBytes& file_;
    int64_t position_ = 0;
};

void ExpectAsModel(const WaveHeaderInfo& info, const FileBytes& file) {
    if (info.Result == WaveCheckResult::Valid && !Classic(info)) {
        return;
    }
    const WaveHeaderInfo model = ModelHeader(file).Judge();
    Expect(info.Result == model.Result && info.HeaderSize == model.HeaderSize &&
               info.FrameCount == model.FrameCount && info.TailBytes == model.TailBytes &&
               info.ShorterThanHeader == model.ShorterThanHeader,
           "the header check judges the file as a plain walk of its fields does");
}

// What the check says the file is holds together, and agrees with its verdict.
void ExpectDescriptionSound(const WaveHeaderInfo& info, int64_t length) {
    const WavDescription& file = info.File;
    const std::string message = RefusedFileMessage(info, "x");
    Expect(message.empty() == (info.Result == WaveCheckResult::Valid),
           "every refusal has a message, and only refusals");
    for (const char c : message + file.What) {
        Expect(c >= 0x20 && c < 0x7F, "a refusal is plain text, never the file's own bytes");
    }
    Expect((file.Verdict == WavVerdict::Refused) == !file.What.empty(),
           "a refused file, and only one, is said to be something");
    if (file.Verdict != WavVerdict::Readable) {
        Expect(info.Result != WaveCheckResult::Valid, "only a readable file is taken");
        return;
    }
    const WavFormat& format = file.Format;
    const SampleFormat& sample = format.Sample;
    const bool integer = sample.Coding == SampleCoding::Integer;
    Expect(format.Channels >= 1 && format.Channels <= MaxChannels && format.SampleRate >= 1 &&
               format.SampleRate <= MaxSampleRate,
           "channels and rate are in range");
    Expect(integer ? sample.ContainerBytes >= 1 && sample.ContainerBytes <= 4
                   : sample.ContainerBytes == 4 || sample.ContainerBytes == 8,
           "the container is one of the format's widths");
    Expect(sample.ValidBits >= 2 && sample.ValidBits <= sample.ContainerBytes * 8 &&
               (integer || sample.ValidBits == sample.ContainerBytes * 8),
           "the valid bits fit the container");
    const WavData& data = file.Data;
    const uint32_t frameBytes = format.BlockAlign();
    Expect(data.Offset >= 44 && data.Offset <= length, "the samples start inside the file");
    Expect(data.HeldBytes <= data.DeclaredBytes &&
               data.HeldBytes <= uint64_t(length - data.Offset) &&
               data.ShorterThanHeader == (data.HeldBytes < data.DeclaredBytes),
           "the data held lies inside the file and the data chunk");
    Expect(data.TailBytes < frameBytes &&
               data.FrameCount * frameBytes + data.TailBytes == data.HeldBytes,
           "the data is whole frames of the block size and a tail");
    if (info.Result == WaveCheckResult::Valid) {
        Expect(!integer || sample.ValidBits >= 2, "an integer of one valid bit is not taken");
        Expect(info.HeaderSize == data.Offset && uint64_t(info.FrameCount) == data.FrameCount &&
                   uint32_t(info.TailBytes) == data.TailBytes &&
                   info.ShorterThanHeader == data.ShorterThanHeader,
               "the intake's values are the description's");
    }
}

// The held samples of a readable file (the first few thousand) decode to finite values on the
// scale; those on their format's grid encode back to the same bytes, others onto the grid.
void ExpectSamplesRoundTrip(const WavDescription& file, const uint8_t* data, size_t size,
                            int64_t length) {
    if (file.Verdict != WavVerdict::Readable || length != int64_t(size)) {
        return;  // a sparse file's samples are zeros
    }
    const SampleFormat& sample = file.Format.Sample;
    const auto width = size_t(sample.ContainerBytes);
    const bool integer = sample.Coding == SampleCoding::Integer;
    const uint64_t count = std::min<uint64_t>(file.Data.HeldBytes / width, 4096);
    const int padding = sample.ContainerBytes * 8 - sample.ValidBits;
    for (uint64_t i = 0; i < count; ++i) {
        const uint8_t* bytes = data + file.Data.Offset + i * width;
        const double value = DecodeSample(sample, bytes);
        Expect(std::isfinite(value), "a sample decodes to a finite value");
        Expect(!integer || PeakOf(sample, value) <= FullScale,
               "an integer sample peaks at full scale at most");
        unsigned char back[8];
        EncodeSample(sample, value, back);
        uint64_t stored = 0, written = 0;
        std::memcpy(&stored, bytes, width);
        std::memcpy(&written, back, width);
        if (integer) {
            const uint64_t padMask = (uint64_t{1} << padding) - 1;
            Expect((written & padMask) == 0, "padding bits are written as zeros");
            if ((stored & padMask) == 0) {
                Expect(written == stored, "an integer sample encodes back to its bytes");
            }
        }
        if (WideFormat(sample) && RunsTake(file.Format)) {
            // A step past full scale stores a value no louder than full scale, whatever the
            // stored bits were (NaN, infinities and overs included).
            const WideGrid grid(sample);
            TransformStep louder{BlockTransform::Gain};
            louder.Gain = 4.0;
            unsigned char put[8];
            grid.Write(grid.Through({louder}, grid.Read(bytes)), put);
            const double after = DecodeSample(sample, put);
            Expect(std::isfinite(after) && PeakOf(sample, after) <= FullScale,
                   "a step stores a value within full scale");
        }
        if (!integer && width == 4) {
            float x;
            std::memcpy(&x, bytes, 4);
            // Infinities and overs come back as full scale, NaN as silence.
            Expect(!(std::fabs(x) <= 1.0f) || written == stored,
                   "a float sample encodes back to its bytes");
        }
    }
}

// A stop request at the n-th question ends the check with Stopped and no values, or the check
// was over before it.
void ExpectStopHonoured(const std::string& path, const WaveHeaderInfo& whole, int n) {
    int asked = 0;
    const WaveHeaderInfo info = ReadWaveHeader(path, [&asked, n] { return ++asked >= n; });
    Expect(asked <= n, "the check asks no more once told to stop");
    if (info.Result == WaveCheckResult::Stopped) {
        Expect(asked == n && info.HeaderSize == 0 && info.FrameCount == 0 && info.TailBytes == 0 &&
                   !info.ShorterThanHeader,
               "a stopped check has no header values");
        return;
    }
    Expect(info.Result == whole.Result && info.HeaderSize == whole.HeaderSize &&
               info.FrameCount == whole.FrameCount && info.File.Verdict == whole.File.Verdict &&
               info.File.What == whole.File.What && info.File.Format == whole.File.Format &&
               info.File.Data.HeldBytes == whole.File.Data.HeldBytes,
           "a check that was not stopped judges as always");
}

// One engine and its files for the whole process, as in the program; each input starts
// from the same state.
struct Bench {
    QuietSink sink;
    MemoryFiles files;
    AudioEngine engine{sink, [] { return 0.0; }, files};
    const FactorTables Tables = BuildFactorTables();
    SampleHistogram Counts;
};

void RunPasses(const uint8_t* data, size_t size, const WaveHeaderInfo& info,
               const std::string& input, const std::string& result) {
    static Bench bench;
    QuietSink& sink = bench.sink;
    MemoryFiles& files = bench.files;
    AudioEngine& engine = bench.engine;
    sink.Errors.clear();
    files.Reset();
    files.Contents[input].assign(data, data + size);
    UngroupedNumbers numbers;
    const int32_t frames = info.FrameCount;
    const int64_t dataEnd = info.HeaderSize + int64_t{frames} * 4 + info.TailBytes;
    Expect(dataEnd <= int64_t(size), "the data chunk counts no byte past the end of the file");
    FileData file(input, info, numbers);

    engine.Running = true;
    engine.ScanFile(file);
    Expect(engine.Running && sink.Errors.empty(), "a scan reports no error");
    Expect(files.CreatedCount == 0, "a scan writes nothing");
    Expect(files.Contents[input].size() == size &&
               std::memcmp(files.Contents[input].data(), data, size) == 0,
           "a scan leaves its file as it was");

    int16_t peak = 0;
    double sum = 0.0;
    for (int64_t i = 0; i < int64_t{frames} * 2; ++i) {
        int32_t s = SampleAt(data, size, info.HeaderSize + 2 * i);
        s = s == -32768 ? 32767 : std::abs(s);
        peak = std::max<int16_t>(peak, static_cast<int16_t>(s));
        sum += double(s) * double(s);
    }
    Expect(file.Peak == peak, "the peak is that of the frames held");
    const double loudness = frames > 0 ? std::sqrt(sum / (2.0 * frames)) : 0.0;
    Expect(std::isfinite(file.ScanLoudness) && file.ScanLoudness >= 0.0 &&
               file.ScanLoudness <= 32767.0,
           "the loudness is a level on the sample scale");
    Expect(std::fabs(file.ScanLoudness - loudness) <= 1e-9 * (1.0 + loudness),
           "the loudness is that of the frames held");
    if (file.Peak == 0) {
        return;  // silent: the runs write no result for it
    }

    file.ResultFile = result;
    const double gain = 32767.0 / file.Peak;
    engine.NormaliseFile(file, gain);
    Expect(engine.Running && sink.Errors.empty(), "a normalise pass reports no error");
    Expect(file.Normalised, "a complete normalise pass marks the file");
    const std::vector<uint8_t>& out = files.Contents[result];
    const int64_t expectedSize = info.ShorterThanHeader ? dataEnd : int64_t(size);
    Expect(int64_t(out.size()) == expectedSize,
           "the result holds the data chunk and whatever followed it");
    std::vector<uint8_t> header(data, data + info.HeaderSize);
    if (info.ShorterThanHeader) {
        const auto put = [&header](size_t at, int64_t value) {
            for (size_t k = 0; k < 4; ++k) {
                header[at + k] = static_cast<uint8_t>(uint64_t(value) >> (8 * k));
            }
        };
        put(4, dataEnd - 8);
        put(size_t(info.HeaderSize) - 4, dataEnd - info.HeaderSize);
    }
    Expect(std::memcmp(out.data(), header.data(), header.size()) == 0,
           "the result starts with the source's header, its sizes true");
    Expect(std::memcmp(out.data() + dataEnd, data + dataEnd, size_t(expectedSize - dataEnd)) == 0,
           "what followed the data chunk is copied unchanged");
    int16_t resultPeak = 0;
    for (int64_t i = 0; i < int64_t{frames} * 2; ++i) {
        const int64_t at = info.HeaderSize + 2 * i;
        const int16_t written = SampleAt(out.data(), out.size(), at);
        Expect(written == Gained(SampleAt(data, size, at), gain),
               "each result sample is its source sample times the gain");
        resultPeak = std::max<int16_t>(resultPeak, static_cast<int16_t>(std::abs(written)));
    }
    Expect(resultPeak == 32767, "a normalised result peaks at full scale");
    for (int64_t i = dataEnd - info.TailBytes; i < dataEnd; ++i) {
        Expect(out[size_t(i)] == 0, "the tail bytes are written as zeros");
    }

    // A result rewritten through a table, as a plan composes one (a compress row, a reduce row
    // and a final gain): the frames change, each by the table, and nothing else.
    ValueTable table;
    table.Apply(engine.Transforms,
                CompressStep(SelectCompressFactor(bench.Tables.CompressFactors, 1.4)));
    table.Apply(engine.Transforms, ReduceStep(SelectReduceFactor(bench.Tables.ReduceFactors, 0.7)));
    TransformStep limit{BlockTransform::Gain};
    limit.Gain = 0.5;
    table.Apply(engine.Transforms, limit);
    const std::vector<uint8_t> normalised = out;
    const PassTotals held = engine.CountValues(file, result, bench.Counts);
    Expect(engine.Running && sink.Errors.empty(), "a count of the result reports no error");
    Expect(engine.WriteMapped(file, result, result, table, "Compressing", held) && engine.Running &&
               sink.Errors.empty(),
           "a rewrite through a table runs to its end");
    Expect(out.size() == normalised.size() &&
               std::memcmp(out.data(), normalised.data(), size_t(info.HeaderSize)) == 0,
           "a rewrite keeps the result's length and header");
    Expect(std::memcmp(out.data() + dataEnd - info.TailBytes,
                       normalised.data() + dataEnd - info.TailBytes,
                       out.size() - size_t(dataEnd - info.TailBytes)) == 0,
           "a rewrite keeps the tail and what followed the data chunk");
    for (int64_t i = 0; i < int64_t{frames} * 2; ++i) {
        const int64_t at = info.HeaderSize + 2 * i;
        Expect(SampleAt(out.data(), out.size(), at) ==
                   table[SampleAt(normalised.data(), normalised.size(), at)],
               "a rewrite maps each sample through its table");
    }
    Expect(std::isfinite(engine.PassLoudness(file)) && engine.PassLoudness(file) <= 32767.0,
           "a rewrite measures a level on the sample scale");
}

}  // namespace
}  // namespace tralux::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tralux;
    static const fuzz::Scratch scratch;
    // "HOLE", the gap's length (4 bytes), where it goes in the rest (2 bytes), the rest.
    constexpr size_t HoleHead = 10;
    if (size >= HoleHead && std::memcmp(data, "HOLE", 4) == 0) {
        const uint32_t length = uint32_t{data[4]} | uint32_t{data[5]} << 8 |
                                uint32_t{data[6]} << 16 | uint32_t{data[7]} << 24;
        const size_t rest = size - HoleHead;
        const fuzz::FileBytes file{data + HoleHead, rest,
                                   std::min<size_t>(size_t{data[8]} | size_t{data[9]} << 8, rest),
                                   int64_t{length % ((16 << 20) + 1)}};
        scratch.WriteWithGap(file.data, file.size, file.at, file.gap);
        const WaveHeaderInfo info = ReadWaveHeader(scratch.Input);
        fuzz::ExpectAsModel(info, file);
        fuzz::ExpectDescriptionSound(info, file.Length());
        fuzz::ExpectStopHonoured(scratch.Input, info, 1 + data[4] % 3);
        if (info.Result == WaveCheckResult::Valid) {
            fuzz::CheckHeader(info, size_t(file.Length()));
        }
        return 0;
    }
    scratch.Write(data, size);
    const WaveHeaderInfo info = ReadWaveHeader(scratch.Input);
    fuzz::Expect(info.Result != WaveCheckResult::CannotOpen, "a regular file can be opened");
    fuzz::ExpectAsModel(info, {data, size, size, 0});
    fuzz::ExpectDescriptionSound(info, int64_t(size));
    fuzz::ExpectSamplesRoundTrip(info.File, data, size, int64_t(size));
    fuzz::ExpectStopHonoured(scratch.Input, info, 1 + (size > 0 ? data[size - 1] % 3 : 0));
    if (info.Result != WaveCheckResult::Valid) {
        fuzz::Expect(info.HeaderSize == 0 && info.FrameCount == 0 && info.TailBytes == 0,
                     "a refused file has no header values");
        return 0;
    }
    fuzz::CheckHeader(info, size);
    if (fuzz::Classic(info)) {
        fuzz::RunPasses(data, size, info, scratch.Input, scratch.Result);
    }
    return 0;
}
