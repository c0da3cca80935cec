#pragma once

#include <FLAC/stream_decoder.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "FileAccess.h"
#include "FlacLevel.h"
#include "FlacMetadata.h"

namespace tralux {

// Decodes a native FLAC file a piece at a time: memory holds the header and at most one frame
// of samples, whatever the file's length. Every check libFLAC makes is on, the MD5 signature
// included; any damage ends the decoding with a message naming the file, so that no damaged
// stream is ever taken as whole.
// Bytes after the last frame that a result still carries; beyond this a file is refused.
inline constexpr uint64_t MaxFlacTrailingBytes = uint64_t{16} << 20;

class FlacReader {
public:
    // file: opened read-only by the file access (FileAccess::OpenExisting) and kept open by the
    // caller for the reader's life; path names it in messages.
    FlacReader(PassFile& file, std::string path);
    ~FlacReader();
    FlacReader(const FlacReader&) = delete;
    FlacReader& operator=(const FlacReader&) = delete;

    // Reads the header and readies the decoder at the first frame. False, with Error(), for a
    // file that is not native FLAC, is damaged or holds what is not read (fewer than 8 bits).
    bool Open();
    // The header as read by Open().
    const FlacStream& Stream() const { return stream_; }

    // Decodes up to frames frames into interleaved (Channels values a frame), each sample the
    // signed integer of the stream's bit depth (-128 ... 127 for 8 bits). Returns how many were
    // given: fewer than asked only at the end of the stream or on damage (then Failed()). The
    // end is checked whole: the MD5 signature and the frame count STREAMINFO gives.
    size_t Read(int32_t* interleaved, size_t frames);
    // Every frame was read and checked.
    bool Finished() const { return finished_; }
    bool Failed() const { return !error_.empty(); }
    // "PATH is a damaged FLAC file (frame CRC mismatch at sample 44100)"; empty while all is well.
    const std::string& Error() const { return error_; }
    uint64_t FramesRead() const { return framesRead_; }
    // What the frames decoded so far show of their encoder's settings (see GuessFlacLevel).
    const FlacEncodingTraits& Traits() const { return traits_; }
    // The bytes after the last frame (an ID3v1 or APE tag some taggers append), as the file holds
    // them; known once Finished(). A file with more of them than MaxFlacTrailingBytes is refused
    // as damaged rather than written without them.
    const std::vector<unsigned char>& TrailingBytes() const { return trailing_; }

private:
    struct Callbacks;  // libFLAC's side
    bool DecodeNextFrame();
    void End();
    void Damaged(const std::string& what);
    void CutShort();
    bool ReadTrailingBytes();

    PassFile& file_;
    std::string path_;
    FlacStream stream_;
    FLAC__StreamDecoder* decoder_ = nullptr;
    std::vector<int32_t> frame_;  // the samples of the frame in hand, interleaved
    size_t frameAt_ = 0;          // values of frame_ already given
    uint64_t framesRead_ = 0;     // frames given to the caller
    uint64_t framesDecoded_ = 0;  // frames decoded, those in frame_ included
    FlacEncodingTraits traits_;
    bool atEnd_ = false;      // the file has given its last byte
    uint64_t bytesRead_ = 0;  // from the start of the file: where the decoder's input stands
    std::optional<uint64_t> framesEnd_;  // the offset of the first byte after the last frame
    std::vector<unsigned char> trailing_;
    bool finished_ = false;
    std::string error_;
};

}  // namespace tralux
