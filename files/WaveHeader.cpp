#include "WaveHeader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "PosixFile.h"

namespace tralux {
namespace {

// Reads the header's little-endian fields in order. The position is 64-bit and only moves
// forward, so chunk sizes near 4 GiB can neither wrap nor send the walk back. The file is read
// in pieces of HeaderPieceSize, so a run of small chunks costs one read per piece, and the
// stop query is asked before each piece.
class HeaderReader {
public:
    HeaderReader(const HeaderReadAt& readAt, const HeaderStopQuery& stop)
        : readAt_(readAt), stop_(stop), piece_(HeaderPieceSize) {}

    // Each returns false when the file ends before the field does, or on a stop.
    bool Id(char (&id)[4]) { return Bytes(id, 4); }
    bool U16(uint32_t& value) {
        unsigned char b[2];
        if (!Bytes(b, 2)) {
            return false;
        }
        value = uint32_t{b[0]} | uint32_t{b[1]} << 8;
        return true;
    }
    bool U32(uint32_t& value) {
        unsigned char b[4];
        if (!Bytes(b, 4)) {
            return false;
        }
        value = uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
        return true;
    }
    bool U64(uint64_t& value) {
        uint32_t low, high;
        if (!U32(low) || !U32(high)) {
            return false;
        }
        value = uint64_t{low} | uint64_t{high} << 32;
        return true;
    }
    bool Block(unsigned char* out, size_t size) { return Bytes(out, size); }
    // The first piece of the file (however few bytes it has), read again if the walk has moved
    // on; none after a stop.
    const unsigned char* Head(size_t& size) {
        if (pieceStart_ != 0 && !stopped_) {
            position_ = 0;
            ReadPiece(0);
        }
        size = stopped_ ? 0 : size_t(pieceLength_);
        return piece_.data();
    }
    void Skip(uint64_t count) { position_ += static_cast<int64_t>(count); }
    int64_t Position() const { return position_; }
    bool Stopped() const { return stopped_; }

private:
    bool Bytes(void* out, size_t size) {
        if (!Held(size) && !ReadPiece(size)) {
            return false;
        }
        std::memcpy(out, piece_.data() + (position_ - pieceStart_), size);
        position_ += static_cast<int64_t>(size);
        return true;
    }
    bool Held(size_t size) const {
        return position_ >= pieceStart_ &&
               position_ + static_cast<int64_t>(size) <= pieceStart_ + pieceLength_;
    }
    // The piece that starts at the position; false when it holds fewer than size bytes.
    bool ReadPiece(size_t size) {
        if (stopped_ || (stop_ && stop_())) {
            stopped_ = true;
            return false;
        }
        pieceStart_ = position_;
        pieceLength_ = static_cast<int64_t>(readAt_(piece_.data(), piece_.size(), position_));
        return pieceLength_ >= static_cast<int64_t>(size);
    }

    const HeaderReadAt& readAt_;
    const HeaderStopQuery& stop_;
    std::vector<unsigned char> piece_;
    int64_t pieceStart_ = 0;
    int64_t pieceLength_ = 0;
    int64_t position_ = 0;
    bool stopped_ = false;
};

bool Is(const char (&id)[4], const char* expected) {
    return std::memcmp(id, expected, 4) == 0;
}

// Skips whole chunks until one with the wanted id; false if the file ends first.
bool FindChunk(HeaderReader& reader, const char* wanted) {
    char id[4];
    if (!reader.Id(id)) {
        return false;
    }
    while (!Is(id, wanted)) {
        uint32_t size;
        if (!reader.U32(size)) {
            return false;
        }
        reader.Skip(size);
        if (!reader.Id(id)) {
            return false;
        }
    }
    return true;
}

// The format chunk's fields, the extension included when the chunk has room for it, leaving
// the reader after the chunk. False when the file ends inside them.
bool ReadFormatChunk(HeaderReader& reader, FormatChunkFields& fields) {
    if (!reader.U32(fields.Size) || !reader.U16(fields.Tag) || !reader.U16(fields.Channels) ||
        !reader.U32(fields.SampleRate)) {
        return false;
    }
    // The byte rate follows from the other fields, the extension's size from the chunk's.
    uint32_t byteRate, extensionSize;
    if (!reader.U32(byteRate) || !reader.U16(fields.BlockAlign) || !reader.U16(fields.Bits)) {
        return false;
    }
    // A format chunk declared shorter than its six fields would put the next chunk inside
    // them; such a file is not trusted.
    if (fields.Size < 16) {
        return false;
    }
    if (fields.Tag != 0xFFFE || fields.Size < 40) {
        reader.Skip(fields.Size - 16);
        return true;
    }
    if (!reader.U16(extensionSize) || !reader.U16(fields.ValidBits) ||
        !reader.U32(fields.ChannelMask) || !reader.Block(fields.SubFormat, 16)) {
        return false;
    }
    reader.Skip(fields.Size - 40);
    return true;
}

// RF64 and BW64 put their 64-bit sizes in a ds64 chunk that comes first. The table of other
// chunks' sizes that may follow is not needed: only the data chunk is ever that large.
bool ReadDs64(HeaderReader& reader, uint64_t& riffSize, uint64_t& dataSize, uint64_t& sampleCount) {
    char id[4];
    uint32_t size;
    if (!reader.Id(id) || !Is(id, "ds64") || !reader.U32(size) || size < 24 ||
        !reader.U64(riffSize) || !reader.U64(dataSize) || !reader.U64(sampleCount)) {
        return false;
    }
    reader.Skip(size - 24);
    return true;
}

WavDescription Refused(std::string what) {
    WavDescription description;
    if (!what.empty()) {
        description.Verdict = WavVerdict::Refused;
        description.What = std::move(what);
    }
    return description;
}

// What the file is. fileSize: its length when it was opened; the data chunk counts no byte
// past it.
WavDescription Describe(HeaderReader& reader, int64_t fileSize) {
    char id[4], form[4];
    uint32_t ignored;
    const bool head = reader.Id(id) && reader.U32(ignored) && reader.Id(form);
    WavContainer container = WavContainer::Riff;
    if (head && Is(id, "RF64")) {
        container = WavContainer::Rf64;
    } else if (head && Is(id, "BW64")) {
        container = WavContainer::Bw64;
    }
    if (!head || !Is(form, "WAVE") || (container == WavContainer::Riff && !Is(id, "RIFF"))) {
        size_t size = 0;
        const unsigned char* bytes = reader.Head(size);
        return Refused(OtherFileType(bytes, size));
    }
    WavData data;
    uint64_t ds64DataSize = 0;
    if (container != WavContainer::Riff &&
        !ReadDs64(reader, data.Ds64RiffSize, ds64DataSize, data.Ds64SampleCount)) {
        return {};
    }
    FormatChunkFields fields;
    if (!FindChunk(reader, "fmt ") || !ReadFormatChunk(reader, fields)) {
        return {};
    }
    FormatJudgement judgement = JudgeFormatChunk(fields, container);
    if (!judgement.Format) {
        return Refused(judgement.What);
    }
    uint32_t dataSize;
    if (!FindChunk(reader, "data") || !reader.U32(dataSize)) {
        return {};
    }
    data.Offset = reader.Position();
    // In RF64 a data size of all ones says "see ds64"; in RIFF it is a size like any other.
    data.DataSizeInDs64 = container != WavContainer::Riff && dataSize == 0xFFFFFFFFu;
    data.DeclaredBytes = data.DataSizeInDs64 ? ds64DataSize : dataSize;
    const int64_t held = fileSize - data.Offset;
    data.HeldBytes = data.DeclaredBytes;
    if (held < 0 || uint64_t(held) < data.DeclaredBytes) {
        // A cut file is worked on as far as it goes; a result never grows past its source.
        data.HeldBytes = held > 0 ? uint64_t(held) : 0;
        data.ShorterThanHeader = true;
    }
    const uint32_t frameBytes = judgement.Format->BlockAlign();
    data.FrameCount = data.HeldBytes / frameBytes;
    data.TailBytes = static_cast<uint32_t>(data.HeldBytes % frameBytes);

    WavDescription description;
    description.Verdict = WavVerdict::Readable;
    description.Format = *judgement.Format;
    description.Data = data;
    return description;
}

WaveCheckResult Check(HeaderReader& reader, int64_t fileSize, WaveHeaderInfo& info) {
    info.File = Describe(reader, fileSize);
    if (info.File.Verdict != WavVerdict::Readable || !RunsTake(info.File.Format)) {
        return WaveCheckResult::NotSupported;
    }
    const WavData& data = info.File.Data;
    info.HeaderSize = data.Offset;
    info.FrameCount = static_cast<int64_t>(data.FrameCount);
    info.TailBytes = static_cast<int32_t>(data.TailBytes);
    info.ShorterThanHeader = data.ShorterThanHeader;
    return WaveCheckResult::Valid;
}

}  // namespace

const char* const FormatsTakenText = "integer WAV files of 2 to 32 valid bits and float WAV files";

bool RunsTake(const WavFormat& format) {
    // Every integer of at least two valid bits (one bit has no value but full scale) and both
    // float widths.
    const SampleFormat& sample = format.Sample;
    if (sample.Coding == SampleCoding::Float) {
        return sample.ContainerBytes == 4 || sample.ContainerBytes == 8;
    }
    return sample.ContainerBytes <= 4 && sample.ValidBits >= 2;
}

WaveHeaderInfo CheckWaveHeader(const HeaderReadAt& readAt, int64_t fileSize,
                               const HeaderStopQuery& stop) {
    WaveHeaderInfo info;
    HeaderReader reader(readAt, stop);
    info.Result = Check(reader, fileSize, info);
    if (reader.Stopped()) {
        info.Result = WaveCheckResult::Stopped;
    }
    if (info.Result != WaveCheckResult::Valid) {
        info.HeaderSize = info.FrameCount = info.TailBytes = 0;
        info.ShorterThanHeader = false;
    }
    if (info.Result == WaveCheckResult::Stopped) {
        info.File = {};
    }
    return info;
}

WaveHeaderInfo ReadWaveHeader(const std::string& path, const HeaderStopQuery& stop) {
    const int fd = posix::OpenLocked(path, O_RDONLY);
    if (fd < 0) {
        WaveHeaderInfo info;
        info.Result = WaveCheckResult::CannotOpen;
        return info;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        ::close(fd);
        WaveHeaderInfo info;
        info.Result = WaveCheckResult::CannotOpen;
        return info;
    }
    const HeaderReadAt readAt = [fd](void* buffer, size_t size, int64_t offset) {
        return posix::ReadFullyAt(fd, buffer, size, offset);
    };
    WaveHeaderInfo info = CheckWaveHeader(readAt, int64_t{status.st_size}, stop);
    ::close(fd);
    return info;
}

std::string RefusedFileMessage(const WaveHeaderInfo& header, const std::string& path) {
    const WavDescription& file = header.File;
    if (header.Result != WaveCheckResult::NotSupported || file.Verdict == WavVerdict::NotWav) {
        return RefusedFileMessage(header.Result, path);
    }
    const std::string quoted = "\"" + path + "\" is ";
    if (file.Verdict == WavVerdict::Refused) {
        return quoted + file.What;
    }
    if (file.Format.Container != WavContainer::Riff) {
        const char* name = file.Format.Container == WavContainer::Rf64 ? "RF64" : "BW64";
        return quoted + WithArticle(name) + " WAV file (" + FormatText(file.Format) +
               "); this version of Tralux balances only " + FormatsTakenText;
    }
    return quoted + WithArticle(FormatText(file.Format)) +
           " WAV file; this version of Tralux balances only " + FormatsTakenText;
}

std::string RefusedFileMessage(WaveCheckResult result, const std::string& path) {
    switch (result) {
        case WaveCheckResult::NotSupported:
            return "\"" + path + "\" is not a 44.1kHz 16-bit stereo WAV file";
        case WaveCheckResult::CannotOpen:
            return "Cannot open file \"" + path + "\" (is it in use by another application?)";
        case WaveCheckResult::Valid:
        case WaveCheckResult::Stopped:
            break;
    }
    return {};
}

std::string ShorterThanHeaderMessage(const std::vector<std::string>& paths) {
    std::string text =
        "These files are shorter than their headers say; only the sound they hold will be used:\r";
    for (const auto& path : paths) {
        text += "\r   " + path;
    }
    return text;
}

std::string ShorterThanHeaderLine(const std::string& path) {
    return "\"" + path + "\" is shorter than its header says; only the sound it holds will be used";
}

}  // namespace tralux
