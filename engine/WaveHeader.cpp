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

// fileSize: the length of the file when it was opened; the data chunk counts no byte past it.
WaveCheckResult Check(HeaderReader& reader, int64_t fileSize, WaveHeaderInfo& info) {
    char id[4];
    uint32_t ignored;
    if (!reader.Id(id) || !Is(id, "RIFF") || !reader.U32(ignored) || !reader.Id(id) ||
        !Is(id, "WAVE")) {
        return WaveCheckResult::NotSupported;
    }
    if (!FindChunk(reader, "fmt ")) {
        return WaveCheckResult::NotSupported;
    }
    uint32_t formatSize, formatTag, channels, sampleRate, byteRate, blockAlign, bits;
    if (!reader.U32(formatSize) || !reader.U16(formatTag) || !reader.U16(channels) ||
        !reader.U32(sampleRate) || !reader.U32(byteRate) || !reader.U16(blockAlign) ||
        !reader.U16(bits)) {
        return WaveCheckResult::NotSupported;
    }
    // A format chunk declared shorter than its six fields would put the next chunk inside
    // them; such a file is not trusted.
    if (formatSize < 16 || formatTag != 1 || channels != 2 || sampleRate != 44100 || bits != 16) {
        return WaveCheckResult::NotSupported;
    }
    reader.Skip(formatSize - 16);
    uint32_t dataSize;
    if (!FindChunk(reader, "data") || !reader.U32(dataSize)) {
        return WaveCheckResult::NotSupported;
    }
    info.HeaderSize = reader.Position();
    const int64_t held = fileSize - info.HeaderSize;
    uint64_t dataBytes = dataSize;
    if (held < int64_t{dataSize}) {
        // A cut file is worked on as far as it goes; a result never grows past its source.
        dataBytes = held > 0 ? uint64_t(held) : 0;
        info.ShorterThanHeader = true;
    }
    info.FrameCount = static_cast<int32_t>(dataBytes / 4);
    info.TailBytes = static_cast<int32_t>(dataBytes % 4);
    return WaveCheckResult::Valid;
}

}  // namespace

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
