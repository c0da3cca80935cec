#include "FlacMetadata.h"

#include <algorithm>
#include <cstring>

namespace tralux {
namespace {

bool Starts(const unsigned char* head, size_t size, size_t at, const char* text) {
    const size_t length = std::strlen(text);
    return size >= at + length && std::memcmp(head + at, text, length) == 0;
}

// The bytes an ID3v2 tag at the start of head takes: its size is four 7-bit bytes, plus ten
// for its head and ten for a footer. 0 when head holds no such tag.
size_t Id3v2Size(const unsigned char* head, size_t size) {
    if (!Starts(head, size, 0, "ID3") || size < 10) {
        return 0;
    }
    return (size_t{head[6] & 0x7fu} << 21 | size_t{head[7] & 0x7fu} << 14 |
            size_t{head[8] & 0x7fu} << 7 | size_t{head[9] & 0x7fu}) +
           10 + ((head[5] & 0x10) != 0 ? 10 : 0);
}

uint32_t Big(const unsigned char* at, int bytes) {
    uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        value = value << 8 | at[i];
    }
    return value;
}

uint32_t Little32(const unsigned char* at) {
    return uint32_t{at[0]} | uint32_t{at[1]} << 8 | uint32_t{at[2]} << 16 | uint32_t{at[3]} << 24;
}

FlacStreamInfo ParseStreamInfo(const unsigned char* body) {
    FlacStreamInfo info;
    info.MinBlockSize = Big(body, 2);
    info.MaxBlockSize = Big(body + 2, 2);
    info.SampleRate = Big(body + 10, 3) >> 4;
    info.Channels = ((body[12] >> 1) & 7u) + 1;
    info.BitsPerSample = ((body[12] & 1u) << 4 | body[13] >> 4) + 1;
    info.TotalFrames = uint64_t{body[13] & 0x0fu} << 32 | Big(body + 14, 4);
    std::copy(body + 18, body + 34, info.Md5.begin());
    return info;
}

// Reads length bytes into bytes, a megabyte at a time, so that a length no file backs makes no
// allocation of its size. False when the file ends first.
bool ReadInto(PassFile& file, std::vector<unsigned char>& bytes, size_t length) {
    constexpr size_t Step = size_t{1} << 20;
    bytes.clear();
    while (bytes.size() < length) {
        const size_t want = std::min(Step, length - bytes.size());
        const size_t at = bytes.size();
        bytes.resize(at + want);
        if (file.Read(bytes.data() + at, want) != want) {
            return false;
        }
    }
    return true;
}

// Reads the blocks after "fLaC" into stream; the reason for the damage when they are not whole.
std::string ReadBlocks(PassFile& file, int64_t at, FlacStream& stream) {
    constexpr size_t StreamInfoBytes = 34;
    size_t held = stream.LeadingTag.size();
    for (bool last = false; !last;) {
        unsigned char header[4];
        if (file.Read(header, 4) != 4) {
            return "cut short in its metadata";
        }
        last = (header[0] & 0x80) != 0;
        FlacBlock block;
        block.Type = header[0] & 0x7f;
        const size_t length = Big(header + 1, 3);
        if (block.Type == 127) {
            return "a metadata block of the invalid type 127";
        }
        const bool first = stream.Blocks.empty();
        if (first != block.Is(FlacBlockType::StreamInfo) || (first && length != StreamInfoBytes)) {
            return first ? "no STREAMINFO block first" : "a second STREAMINFO block";
        }
        held += length;
        if (held > MaxFlacMetadataBytes) {
            return "metadata over " + std::to_string(MaxFlacMetadataBytes >> 20) + " MiB";
        }
        if (!ReadInto(file, block.Body, length)) {
            return "cut short in its metadata";
        }
        // Its fields are filtered when a result is written, so they must be readable now.
        if (block.Is(FlacBlockType::VorbisComment) && !WithoutReplayGain(block.Body)) {
            return "a VORBIS_COMMENT block that cannot be read";
        }
        at += int64_t(4 + length);
        stream.Blocks.push_back(std::move(block));
    }
    stream.AudioOffset = at;
    return {};
}

}  // namespace

FlacKind SniffFlac(const unsigned char* head, size_t size) {
    if (Starts(head, size, Id3v2Size(head, size), "fLaC")) {
        return FlacKind::Native;
    }
    // An Ogg FLAC stream's first page carries the mapping's "\x7FFLAC" packet.
    if (Starts(head, size, 0, "OggS") && Starts(head, size, 28,
                                                "\x7F"
                                                "FLAC")) {
        return FlacKind::Ogg;
    }
    return FlacKind::NotFlac;
}

std::optional<FlacStream> ReadFlacHeader(PassFile& file, const std::string& path,
                                         std::string& error) {
    unsigned char head[64] = {};
    const size_t got = file.Seek(0) ? file.Read(head, sizeof head) : 0;
    if (SniffFlac(head, got) == FlacKind::Ogg) {
        error = path + " is an Ogg FLAC file: only native FLAC files (.flac) are read";
        return std::nullopt;
    }
    FlacStream stream;
    // A tag too long for the first bytes to show what follows it is read before the marker.
    const size_t tag = Id3v2Size(head, got);
    if (tag > MaxFlacMetadataBytes) {
        error = path + " is not a FLAC file";
        return std::nullopt;
    }
    unsigned char marker[4] = {};
    if (!file.Seek(0) || !ReadInto(file, stream.LeadingTag, tag) || file.Read(marker, 4) != 4 ||
        std::memcmp(marker, "fLaC", 4) != 0) {
        error = path + " is not a FLAC file";
        return std::nullopt;
    }
    const std::string damage = ReadBlocks(file, int64_t(tag + 4), stream);
    if (!damage.empty()) {
        error = path + " is a damaged FLAC file (" + damage + ")";
        return std::nullopt;
    }
    stream.Info = ParseStreamInfo(stream.Blocks.front().Body.data());
    const FlacStreamInfo& info = stream.Info;
    if (info.SampleRate == 0 || info.MaxBlockSize < 16) {
        error = path + " is a damaged FLAC file (its STREAMINFO block gives no " +
                (info.SampleRate == 0 ? "sample rate)" : "block size)");
        return std::nullopt;
    }
    if (info.BitsPerSample < 8) {
        error = path + " is a " + std::to_string(info.BitsPerSample) +
                "-bit FLAC file: only 8 to 32 bits are read";
        return std::nullopt;
    }
    return stream;
}

std::optional<std::vector<unsigned char>> WithoutReplayGain(
    const std::vector<unsigned char>& body) {
    const size_t size = body.size();
    if (size < 8) {
        return std::nullopt;
    }
    const size_t vendor = Little32(body.data());
    if (vendor > size - 8) {
        return std::nullopt;
    }
    const size_t countAt = 4 + vendor;
    const uint32_t count = Little32(body.data() + countAt);
    std::vector<unsigned char> kept(body.begin(), body.begin() + ptrdiff_t(countAt + 4));
    uint32_t keptCount = 0;
    size_t at = countAt + 4;
    static constexpr char Prefix[] = "REPLAYGAIN_";
    constexpr size_t PrefixLength = sizeof Prefix - 1;
    for (uint32_t i = 0; i < count; ++i) {
        if (size - at < 4 || Little32(body.data() + at) > size - at - 4) {
            return std::nullopt;
        }
        const size_t length = Little32(body.data() + at);
        const unsigned char* field = body.data() + at + 4;
        const bool replayGain =
            length > PrefixLength &&
            std::equal(Prefix, Prefix + PrefixLength, field, [](char upper, unsigned char c) {
                // ASCII only: field names are ASCII
                return c == upper || (upper >= 'A' && upper <= 'Z' && c == upper + 32);
            });
        if (!replayGain) {
            kept.insert(kept.end(), body.begin() + ptrdiff_t(at),
                        body.begin() + ptrdiff_t(at + 4 + length));
            ++keptCount;
        }
        at += 4 + length;
    }
    kept.insert(kept.end(), body.begin() + ptrdiff_t(at), body.end());
    for (int i = 0; i < 4; ++i) {
        kept[countAt + size_t(i)] = static_cast<unsigned char>(keptCount >> (8 * i));
    }
    return kept;
}

}  // namespace tralux
