// The passes over FLAC files: the sample source and sink under the same per-sample code as the
// WAV sweep. Each decoded block is laid out as the WAV file of the same depth holds it (keys
// of the container, padding bits zero), worked on by the very same transforms, counts and
// maps, and read back for the encoder, so a FLAC file and the WAV file of its samples give
// the same result samples.

#include <cmath>
#include <cstring>
#include <filesystem>
#include <optional>

#include "AudioEngine.h"
#include "GridValues.h"
#include "files/ByteDigest.h"
#include "files/FlacLevel.h"
#include "files/FlacReader.h"
#include "files/FlacWriter.h"

namespace tralux {
namespace {

// Passes every byte the decoder reads into the pass's digest, so that a write can tell whether
// it decoded the very file the scan did.
class DigestedInput : public PassFile {
public:
    DigestedInput(PassFile& file, ByteDigest& digest) : file_(file), digest_(digest) {}
    size_t Read(void* buffer, size_t size) override {
        const size_t got = file_.Read(buffer, size);
        digest_.Add(buffer, got);
        return got;
    }
    bool Write(const void*, size_t) override { return false; }
    bool Seek(int64_t offset) override { return file_.Seek(offset); }
    FileIdentity Identity() const override { return file_.Identity(); }

private:
    PassFile& file_;
    ByteDigest& digest_;
};

// Bits the samples are shifted up by in their container.
int PaddingOf(const SampleFormat& format) {
    return 8 * format.ContainerBytes - format.ValidBits;
}

void ToContainer(const SampleFormat& format, const int32_t* samples, size_t count,
                 unsigned char* bytes) {
    if (format.ContainerBytes == 2 && format.ValidBits == 16) {
        auto* out = reinterpret_cast<int16_t*>(bytes);
        for (size_t i = 0; i < count; ++i) {
            out[i] = static_cast<int16_t>(samples[i]);
        }
        return;
    }
    const int pad = PaddingOf(format);
    if (format.ContainerBytes == 4) {
        for (size_t i = 0; i < count; ++i) {
            const uint32_t stored = static_cast<uint32_t>(samples[i]) << pad;
            std::memcpy(bytes + 4 * i, &stored, 4);  // little-endian, as the WAV file holds it
        }
        return;
    }
    const SampleGrid grid(format);
    for (size_t i = 0; i < count; ++i) {
        grid.Write(int64_t{samples[i]} * (int64_t{1} << pad), bytes + i * size_t(grid.Bytes()));
    }
}

void FromContainer(const SampleFormat& format, const unsigned char* bytes, size_t count,
                   int32_t* samples) {
    if (format.ContainerBytes == 2 && format.ValidBits == 16) {
        const auto* in = reinterpret_cast<const int16_t*>(bytes);
        for (size_t i = 0; i < count; ++i) {
            samples[i] = in[i];
        }
        return;
    }
    const int pad = PaddingOf(format);
    if (format.ContainerBytes == 4) {
        for (size_t i = 0; i < count; ++i) {
            int32_t stored = 0;
            std::memcpy(&stored, bytes + 4 * i, 4);
            samples[i] = stored >> pad;  // results are stored with their padding bits zero
        }
        return;
    }
    const SampleGrid grid(format);
    for (size_t i = 0; i < count; ++i) {
        // Keys are stored with their padding bits zero; the shift drops nothing.
        samples[i] = static_cast<int32_t>(grid.Read(bytes + i * size_t(grid.Bytes())) >> pad);
    }
}

}  // namespace

bool AudioEngine::SweepFlac(const FileData& file, const std::string& source,
                            const std::string& destination, PassFile& input, PassFile* output,
                            const ValueTable* mapping, const std::string& label, double weight) {
    const bool writes = output != nullptr;
    const bool measuresInput = writes && expectedInput_ != nullptr && expectedInput_->Digest == 0;
    ByteDigest digest;
    DigestedInput digested(input, digest);
    FlacReader reader(digested, source);
    // Damage ends the run with the reader's message: no part of a damaged stream is taken.
    auto damaged = [&] {
        sink_.ReportError(reader.Error());
        Running = false;
        return false;
    };
    if (!reader.Open()) {
        return damaged();
    }
    const FlacStreamInfo& info = reader.Stream().Info;
    if (info.Channels != file.Channels() ||
        info.BitsPerSample != uint32_t(file.Format.Sample.ValidBits) ||
        info.SampleRate != file.Format.SampleRate ||
        info.TotalFrames != uint64_t(file.FrameCount)) {
        sink_.ReportError("File \"" + source + "\" has changed since it was added to the list");
        Running = false;
        return false;
    }

    std::optional<FlacWriter> writer;
    auto writeFailed = [&] {
        if (writer->OutputFailed()) {
            ReportWriteFailure(destination);
        } else {
            sink_.ReportError(writer->Error());
            Running = false;
        }
        return false;
    };
    if (writes) {
        const int level = FlacLevelChoice >= 0 ? FlacLevelChoice : file.FlacLevel;
        writer.emplace(*output, destination, reader.Stream(), uint64_t(file.FrameCount), level);
        if (!writer->Start()) {
            return writeFailed();
        }
    }

    sink_.PassStarted(label + ":", std::filesystem::path(source).filename().string());
    sink_.PumpEvents();

    const SampleFormat& format = file.Format.Sample;
    const size_t width = file.Channels();
    flacSamples_.resize(size_t(file.BlockFrames) * width);
    // The block as the WAV file of the same samples holds it.
    std::vector<unsigned char> bytes(flacSamples_.size() * size_t(format.ContainerBytes));
    const int64_t blocks = file.FrameCount > 0 ? file.BlockCount : 0;
    for (int64_t i = 1; i <= blocks; ++i) {
        const int32_t frames =
            i == blocks && file.LastBlockFrames != 0 ? file.LastBlockFrames : file.BlockFrames;
        if (reader.Read(flacSamples_.data(), size_t(frames)) != size_t(frames)) {
            return damaged();
        }
        sink_.PassProgress(int(i * 100 / file.BlockCount));
        sink_.PumpEvents();
        const size_t count = size_t(frames) * width;
        ToContainer(format, flacSamples_.data(), count, bytes.data());
        TransformFileBlock(file, mapping, writes, bytes.data(), count, measuresInput);
        if (writes) {
            FromContainer(format, bytes.data(), count, flacSamples_.data());
            if (!writer->Write(flacSamples_.data(), size_t(frames))) {
                return writeFailed();
            }
        }
        Estimator.UpdateEstimate(static_cast<int32_t>(std::nearbyint(frames * weight)), false);
        // As in the WAV sweep, a stop during the last block still lets the file be whole.
        if (!Running && i != blocks) {
            return false;
        }
    }
    // The end is read too: there the decoder checks the count of frames and the MD5 signature.
    int32_t beyond[8] = {};
    if (reader.Read(beyond, 1) != 0 || !reader.Finished()) {
        if (!reader.Failed()) {
            sink_.ReportError("File \"" + source + "\" holds more samples than it says");
            Running = false;
            return false;
        }
        return damaged();
    }
    if (writes && !writer->Finish(reader.TrailingBytes())) {
        return writeFailed();
    }
    flacLevelSeen_ = GuessFlacLevel(reader.Traits(), info.Channels);
    InputTotals.Digest = Totals.Digest = digest.Value();
    return true;
}

}  // namespace tralux
