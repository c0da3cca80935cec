#include "TestWav.h"

#include <cmath>
#include <fstream>
#include <iterator>
#include <numbers>
#include <random>
#include <stdexcept>

namespace tralux::test {
namespace {

void Put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v & 0xFF));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<uint8_t>((v >> shift) & 0xFF));
    }
}

void PutId(std::vector<uint8_t>& out, const std::string& id) {
    for (size_t i = 0; i < 4; ++i) {
        out.push_back(i < id.size() ? static_cast<uint8_t>(id[i]) : ' ');
    }
}

void PutChunks(std::vector<uint8_t>& out, const std::vector<ExtraChunk>& chunks) {
    for (const auto& chunk : chunks) {
        PutId(out, chunk.id);
        Put32(out, static_cast<uint32_t>(chunk.body.size()));
        out.insert(out.end(), chunk.body.begin(), chunk.body.end());
    }
}

}  // namespace

std::vector<uint8_t> MakeWav(const Samples& samples, const WavLayout& layout) {
    std::vector<uint8_t> out;
    const uint32_t dataSize = static_cast<uint32_t>(samples.size() * 2 + layout.tailBytes);
    PutId(out, "RIFF");
    Put32(out, 0);  // patched below
    PutId(out, "WAVE");
    PutChunks(out, layout.chunksBeforeFormat);
    PutId(out, "fmt ");
    Put32(out, layout.formatChunkSize);
    Put16(out, layout.formatTag);
    Put16(out, layout.channels);
    Put32(out, layout.sampleRate);
    const uint16_t blockAlign = static_cast<uint16_t>(layout.channels * layout.bitsPerSample / 8);
    Put32(out, layout.sampleRate * blockAlign);
    Put16(out, blockAlign);
    Put16(out, layout.bitsPerSample);
    for (uint32_t i = 16; i < layout.formatChunkSize; ++i) {
        out.push_back(0);
    }
    PutChunks(out, layout.chunksBeforeData);
    PutId(out, "data");
    Put32(out, dataSize);
    for (int16_t s : samples) {
        Put16(out, static_cast<uint16_t>(s));
    }
    for (int i = 0; i < layout.tailBytes; ++i) {
        out.push_back(0x5A);  // non-zero so that tests see the tail written as zeros
    }
    out.insert(out.end(), layout.afterData.begin(), layout.afterData.end());
    const uint32_t riffSize = static_cast<uint32_t>(out.size() - 8);
    for (int i = 0; i < 4; ++i) {
        out[4 + i] = static_cast<uint8_t>((riffSize >> (8 * i)) & 0xFF);
    }
    return out;
}

namespace {

void Put64(std::vector<uint8_t>& out, uint64_t v) {
    Put32(out, static_cast<uint32_t>(v));
    Put32(out, static_cast<uint32_t>(v >> 32));
}

void Patch32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

uint16_t BlockAlignOf(const AnyWavLayout& layout) {
    return layout.blockAlign >= 0
               ? static_cast<uint16_t>(layout.blockAlign)
               : static_cast<uint16_t>(layout.channels * layout.bitsPerSample / 8);
}

}  // namespace

std::vector<uint8_t> MakeAnyWav(const std::vector<uint8_t>& sampleBytes,
                                const AnyWavLayout& layout) {
    const bool rf64 = layout.container != "RIFF";
    std::vector<uint8_t> out;
    PutId(out, layout.container);
    Put32(out, rf64 ? 0xFFFFFFFFu : 0);  // RIFF: patched below
    PutId(out, "WAVE");
    size_t ds64At = 0;
    if (rf64) {
        PutId(out, "ds64");
        Put32(out, 28);
        ds64At = out.size();
        Put64(out, 0);  // patched below
        Put64(out, sampleBytes.size());
        const uint16_t align = BlockAlignOf(layout);
        Put64(out, align > 0 ? sampleBytes.size() / align : 0);
        Put32(out, 0);  // no table of other chunk sizes
    }
    PutChunks(out, layout.chunksBeforeFormat);
    const bool extensible = layout.formatTag == 0xFFFE;
    PutId(out, "fmt ");
    Put32(out, static_cast<uint32_t>((extensible ? 40 : 16) + layout.formatExtra.size()));
    Put16(out, layout.formatTag);
    Put16(out, layout.channels);
    Put32(out, layout.sampleRate);
    Put32(out, layout.sampleRate * BlockAlignOf(layout));
    Put16(out, BlockAlignOf(layout));
    Put16(out, layout.bitsPerSample);
    if (extensible) {
        Put16(out, 22);
        Put16(out, layout.validBits);
        Put32(out, layout.channelMask);
        Put16(out, layout.subFormat);
        // The rest of {0000xxxx-0000-0010-8000-00AA00389B71}, or of the ambisonic family's.
        const std::vector<uint8_t> tail =
            layout.standardGuid ? std::vector<uint8_t>{0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                                       0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}
                                : std::vector<uint8_t>{0x00, 0x00, 0x21, 0x07, 0xD3, 0x11, 0x86,
                                                       0x44, 0xC8, 0xC1, 0xCA, 0x00, 0x00, 0x00};
        out.insert(out.end(), tail.begin(), tail.end());
    }
    out.insert(out.end(), layout.formatExtra.begin(), layout.formatExtra.end());
    PutChunks(out, layout.chunksBeforeData);
    PutId(out, "data");
    Put32(out,
          rf64 && layout.dataSizeInDs64 ? 0xFFFFFFFFu : static_cast<uint32_t>(sampleBytes.size()));
    out.insert(out.end(), sampleBytes.begin(), sampleBytes.end());
    out.insert(out.end(), layout.afterData.begin(), layout.afterData.end());
    if (rf64) {
        const uint64_t riffSize = out.size() - 8;
        Patch32(out, ds64At, static_cast<uint32_t>(riffSize));
        Patch32(out, ds64At + 4, static_cast<uint32_t>(riffSize >> 32));
    } else {
        Patch32(out, 4, static_cast<uint32_t>(out.size() - 8));
    }
    return out;
}

std::vector<uint8_t> FrameBytes(const AnyWavLayout& layout, size_t frames) {
    std::vector<uint8_t> bytes(frames * BlockAlignOf(layout));
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    return bytes;
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    if (!file) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("cannot read " + path);
    }
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::string ReadText(const std::string& path) {
    const auto bytes = ReadFile(path);
    return {bytes.begin(), bytes.end()};
}

std::string WriteWav(const std::string& path, const Samples& samples, const WavLayout& layout) {
    WriteFile(path, MakeWav(samples, layout));
    return path;
}

Samples ReadSamples(const std::string& path, int64_t headerSize, int32_t frameCount) {
    const auto bytes = ReadFile(path);
    Samples samples;
    samples.reserve(static_cast<size_t>(frameCount) * 2);
    for (int64_t i = 0; i < int64_t{frameCount} * 2; ++i) {
        const size_t at = static_cast<size_t>(headerSize + 2 * i);
        if (at + 1 >= bytes.size()) {
            throw std::runtime_error("file too short: " + path);
        }
        samples.push_back(static_cast<int16_t>(bytes[at] | (bytes[at + 1] << 8)));
    }
    return samples;
}

Samples Constant(int32_t frames, int16_t left, int16_t right) {
    Samples samples;
    samples.reserve(static_cast<size_t>(frames) * 2);
    for (int32_t i = 0; i < frames; ++i) {
        samples.push_back(left);
        samples.push_back(right);
    }
    return samples;
}

Samples Sine(int32_t frames, double amplitude, double frequency) {
    Samples samples;
    samples.reserve(static_cast<size_t>(frames) * 2);
    for (int32_t i = 0; i < frames; ++i) {
        const double v = amplitude * std::sin(2.0 * std::numbers::pi * frequency * i / 44100.0);
        const auto s = static_cast<int16_t>(std::nearbyint(v));
        samples.push_back(s);
        samples.push_back(s);
    }
    return samples;
}

Samples Noise(int32_t frames, int limit, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> dist(-limit, limit);
    Samples samples(static_cast<size_t>(frames) * 2);
    for (auto& s : samples) {
        s = static_cast<int16_t>(dist(random));
    }
    return samples;
}

}  // namespace tralux::test
