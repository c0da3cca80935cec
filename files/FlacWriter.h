#pragma once

#include <FLAC/stream_encoder.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FileAccess.h"
#include "FlacMetadata.h"

namespace tralux {

// Encodes samples into a FLAC file that keeps a source's header: the same bit depth, rate and
// channels, and every metadata block of the source byte for byte, in its order, except three
// that describe the audio. STREAMINFO is the encoder's (with the new MD5 signature); the
// SEEKTABLE is rebuilt with points at the source's samples (placeholders kept as placeholders),
// so that it leads to the new frames; and the VORBIS_COMMENT block loses its REPLAYGAIN_*
// fields, which describe the old audio. An ID3v2 tag before the source's "fLaC" is kept too.
//
// The bytes go to output, a file the caller made with FileAccess::Create and commits only once
// Finish() has succeeded: the replacing writer gives the file its name when it is whole.
class FlacWriter {
public:
    // source: the header read from the source, kept by the caller for the writer's life; frames:
    // exactly how many frames Write() will be given; level: libFLAC's compression level, 0 to 8
    // (GuessFlacLevel for "as the source"). path names the result in messages.
    FlacWriter(PassFile& output, std::string path, const FlacStream& source, uint64_t frames,
               int level);
    ~FlacWriter();
    FlacWriter(const FlacWriter&) = delete;
    FlacWriter& operator=(const FlacWriter&) = delete;

    // Writes the header. False with Error() when the encoder refuses or the file fails.
    bool Start();
    // Encodes frames interleaved frames (Channels values a frame, each the signed integer of the
    // bit depth). A value outside the bit depth's range is refused, never written.
    bool Write(const int32_t* interleaved, size_t frames);
    // Encodes what is left, completes STREAMINFO and the SEEKTABLE and puts trailing (the
    // source's bytes after its last frame, see FlacReader::TrailingBytes) after the last frame.
    // False unless every frame promised was given and every byte written.
    bool Finish(const std::vector<unsigned char>& trailing = {});

    bool Failed() const { return !error_.empty(); }
    // "PATH could not be written"; empty while all is well.
    const std::string& Error() const { return error_; }
    // The file refused bytes (a full disk, say), as opposed to the encoder refusing its input.
    bool OutputFailed() const { return outputFailed_; }

private:
    struct Callbacks;  // libFLAC's side

    bool PrepareBlocks();
    bool PutMetadata(const unsigned char* bytes, size_t size);
    bool PutBlock(uint8_t type, const unsigned char* body, size_t size, bool last);
    bool PutKeptBlocks(size_t from, size_t to);
    bool Put(const void* bytes, size_t size);
    bool Flush();
    bool SeekTo(uint64_t offset);
    void Fail(const std::string& why);

    PassFile& output_;
    std::string path_;
    const FlacStream& source_;
    const uint64_t frames_;
    const int level_;
    FLAC__StreamEncoder* encoder_ = nullptr;
    FLAC__StreamMetadata* seekTable_ = nullptr;  // the template the encoder fills in
    // The source's blocks after STREAMINFO as the result holds them; the rebuilt SEEKTABLE's
    // place is kept by an empty block at seekTableAt_.
    std::vector<FlacBlock> kept_;
    size_t seekTableAt_ = SIZE_MAX;
    bool headerWritten_ = false;  // the encoder's own header went by
    bool signatureSeen_ = false;  // "fLaC" went by
    uint64_t framesWritten_ = 0;
    // Bytes wait here and go out in large writes; the next byte goes to bufferStart_ plus the
    // bytes waiting.
    std::vector<unsigned char> buffer_;
    uint64_t bufferStart_ = 0;
    uint64_t end_ = 0;  // the file's length so far
    bool outputFailed_ = false;
    std::string error_;
};

}  // namespace tralux
