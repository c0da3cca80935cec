#include "FlacWriter.h"

#include <FLAC/format.h>
#include <FLAC/metadata.h>
#include <FLAC/stream_encoder.h>

#include <algorithm>
#include <cstring>

namespace tralux {
namespace {

constexpr size_t BufferBytes = size_t{1} << 18;
constexpr size_t SeekPointBytes = 18;

uint64_t Big64(const unsigned char* at) {
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) {
        value = value << 8 | at[i];
    }
    return value;
}

// A template with a point at each of the source's sample numbers that the result holds, and as
// many placeholders as the source has; nullptr when libFLAC cannot make one. Sized once: a table
// may hold close to a million points.
FLAC__StreamMetadata* SeekTableTemplate(const FlacBlock& source, uint64_t frames) {
    FLAC__StreamMetadata* table = FLAC__metadata_object_new(FLAC__METADATA_TYPE_SEEKTABLE);
    const size_t count = source.Body.size() / SeekPointBytes;
    if (table == nullptr ||
        !FLAC__metadata_object_seektable_resize_points(table, uint32_t(count))) {
        FLAC__metadata_object_delete(table);
        return nullptr;
    }
    for (size_t i = 0; i < count; ++i) {
        const uint64_t sample = Big64(source.Body.data() + i * SeekPointBytes);
        // Placeholders and points beyond the end alike stay placeholders.
        FLAC__StreamMetadata_SeekPoint& point = table->data.seek_table.points[i];
        point.sample_number =
            sample < frames ? sample : FLAC__STREAM_METADATA_SEEKPOINT_PLACEHOLDER;
        point.stream_offset = 0;
        point.frame_samples = 0;
    }
    if (!FLAC__metadata_object_seektable_template_sort(table, /*compact=*/true)) {
        FLAC__metadata_object_delete(table);
        return nullptr;
    }
    return table;
}

// libFLAC's checks for a stream any decoder can play; outside them the encoder must be told.
bool IsSubset(const FlacStreamInfo& info) {
    const uint32_t bits = info.BitsPerSample;
    return (bits == 8 || bits == 12 || bits == 16 || bits == 20 || bits == 24) &&
           FLAC__format_sample_rate_is_subset(info.SampleRate);
}

}  // namespace

struct FlacWriter::Callbacks {
    static FLAC__StreamEncoderWriteStatus Write(const FLAC__StreamEncoder*,
                                                const FLAC__byte buffer[], size_t bytes, uint32_t,
                                                uint32_t, void* client) {
        auto* self = static_cast<FlacWriter*>(client);
        const bool put =
            self->headerWritten_ ? self->Put(buffer, bytes) : self->PutMetadata(buffer, bytes);
        return put ? FLAC__STREAM_ENCODER_WRITE_STATUS_OK
                   : FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
    }

    static FLAC__StreamEncoderSeekStatus Seek(const FLAC__StreamEncoder*, FLAC__uint64 offset,
                                              void* client) {
        return static_cast<FlacWriter*>(client)->SeekTo(offset)
                   ? FLAC__STREAM_ENCODER_SEEK_STATUS_OK
                   : FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR;
    }

    static FLAC__StreamEncoderTellStatus Tell(const FLAC__StreamEncoder*, FLAC__uint64* offset,
                                              void* client) {
        auto* self = static_cast<FlacWriter*>(client);
        *offset = self->bufferStart_ + self->buffer_.size();
        return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
    }
};

FlacWriter::FlacWriter(PassFile& output, std::string path, const FlacStream& source,
                       uint64_t frames, int level)
    : output_(output), path_(std::move(path)), source_(source), frames_(frames), level_(level) {}

FlacWriter::~FlacWriter() {
    if (encoder_ != nullptr) {
        FLAC__stream_encoder_delete(encoder_);
    }
    if (seekTable_ != nullptr) {
        FLAC__metadata_object_delete(seekTable_);
    }
}

void FlacWriter::Fail(const std::string& why) {
    if (error_.empty()) {
        error_ = path_ + " could not be written" + (why.empty() ? "" : " (" + why + ")");
    }
}

bool FlacWriter::PrepareBlocks() {
    for (size_t i = 1; i < source_.Blocks.size(); ++i) {
        const FlacBlock& block = source_.Blocks[i];
        if (block.Is(FlacBlockType::SeekTable) && block.Body.size() >= SeekPointBytes) {
            // A second table (which the format does not allow) would lead to the old frames.
            if (seekTableAt_ != SIZE_MAX) {
                continue;
            }
            seekTable_ = SeekTableTemplate(block, frames_);
            if (seekTable_ == nullptr) {
                Fail("no seek table could be made");
                return false;
            }
            seekTableAt_ = kept_.size();
            kept_.push_back({block.Type, {}});
        } else if (block.Is(FlacBlockType::VorbisComment)) {
            // The header reader refuses comment blocks that cannot be read.
            kept_.push_back({block.Type, WithoutReplayGain(block.Body).value_or(block.Body)});
        } else {
            kept_.push_back(block);
        }
    }
    return true;
}

bool FlacWriter::Start() {
    const FlacStreamInfo& info = source_.Info;
    if (level_ < 0 || level_ > 8) {
        Fail("compression level " + std::to_string(level_) + " is not 0 to 8");
        return false;
    }
    if (!PrepareBlocks()) {
        return false;
    }
    encoder_ = FLAC__stream_encoder_new();
    if (encoder_ == nullptr) {
        Fail("out of memory");
        return false;
    }
    FLAC__stream_encoder_set_channels(encoder_, info.Channels);
    FLAC__stream_encoder_set_bits_per_sample(encoder_, info.BitsPerSample);
    FLAC__stream_encoder_set_sample_rate(encoder_, info.SampleRate);
    FLAC__stream_encoder_set_compression_level(encoder_, uint32_t(level_));
    FLAC__stream_encoder_set_streamable_subset(encoder_, IsSubset(info));
    FLAC__stream_encoder_set_total_samples_estimate(encoder_, frames_);
    // The encoder writes and later completes only the table; the other blocks are put in
    // around it as its header goes by (PutMetadata).
    FLAC__StreamMetadata* metadata[1] = {seekTable_};
    if (seekTable_ != nullptr) {
        FLAC__stream_encoder_set_metadata(encoder_, metadata, 1);
    }
    buffer_.reserve(BufferBytes);
    const FLAC__StreamEncoderInitStatus status = FLAC__stream_encoder_init_stream(
        encoder_, &Callbacks::Write, &Callbacks::Seek, &Callbacks::Tell, nullptr, this);
    headerWritten_ = true;
    if (status != FLAC__STREAM_ENCODER_INIT_STATUS_OK) {
        Fail(status == FLAC__STREAM_ENCODER_INIT_STATUS_ENCODER_ERROR
                 ? FLAC__StreamEncoderStateString[FLAC__stream_encoder_get_state(encoder_)]
                 : FLAC__StreamEncoderInitStatusString[status]);
        return false;
    }
    return !Failed();
}

// The encoder's header comes as "fLaC", then one block a call: STREAMINFO, a VORBIS_COMMENT of
// its own and the seek table. The result's header is put together from them instead: the tag
// before "fLaC", the encoder's STREAMINFO, then the kept blocks with the encoder's seek table
// in its place, where the encoder's offsets (taken from Tell) then find it.
bool FlacWriter::PutMetadata(const unsigned char* bytes, size_t size) {
    if (!signatureSeen_) {
        signatureSeen_ = true;
        if (size != 4 || std::memcmp(bytes, "fLaC", 4) != 0) {
            Fail("the encoder's stream did not start with its marker");
            return false;
        }
        return Put(source_.LeadingTag.data(), source_.LeadingTag.size()) && Put(bytes, size);
    }
    if (size < 4 || size != 4 + (size_t{bytes[1]} << 16 | size_t{bytes[2]} << 8 | bytes[3])) {
        Fail("the encoder's header was not one block a write");
        return false;
    }
    const uint8_t type = bytes[0] & 0x7f;
    if (type == uint8_t(FlacBlockType::StreamInfo)) {
        const size_t upTo = seekTableAt_ != SIZE_MAX ? seekTableAt_ : kept_.size();
        return PutBlock(type, bytes + 4, size - 4, kept_.empty()) && PutKeptBlocks(0, upTo);
    }
    if (type == uint8_t(FlacBlockType::SeekTable) && seekTableAt_ != SIZE_MAX) {
        return PutBlock(type, bytes + 4, size - 4, seekTableAt_ + 1 == kept_.size()) &&
               PutKeptBlocks(seekTableAt_ + 1, kept_.size());
    }
    return true;  // the encoder's own comment block: the source's (or none) stands instead
}

bool FlacWriter::PutKeptBlocks(size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
        if (!PutBlock(kept_[i].Type, kept_[i].Body.data(), kept_[i].Body.size(),
                      i + 1 == kept_.size())) {
            return false;
        }
    }
    return true;
}

bool FlacWriter::PutBlock(uint8_t type, const unsigned char* body, size_t size, bool last) {
    const unsigned char header[4] = {static_cast<unsigned char>((last ? 0x80 : 0) | type),
                                     static_cast<unsigned char>(size >> 16),
                                     static_cast<unsigned char>(size >> 8),
                                     static_cast<unsigned char>(size)};
    return Put(header, 4) && Put(body, size);
}

bool FlacWriter::Put(const void* bytes, size_t size) {
    if (outputFailed_) {
        return false;
    }
    const auto* from = static_cast<const unsigned char*>(bytes);
    buffer_.insert(buffer_.end(), from, from + size);
    return buffer_.size() < BufferBytes || Flush();
}

bool FlacWriter::Flush() {
    if (!buffer_.empty() && !output_.Write(buffer_.data(), buffer_.size())) {
        outputFailed_ = true;
        Fail("");
        return false;
    }
    bufferStart_ += buffer_.size();
    end_ = std::max(end_, bufferStart_);
    buffer_.clear();
    return true;
}

bool FlacWriter::SeekTo(uint64_t offset) {
    if (!Flush()) {
        return false;
    }
    if (!output_.Seek(int64_t(offset))) {
        outputFailed_ = true;
        Fail("");
        return false;
    }
    bufferStart_ = offset;
    return true;
}

bool FlacWriter::Write(const int32_t* interleaved, size_t frames) {
    if (Failed() || encoder_ == nullptr) {
        return false;
    }
    const FlacStreamInfo& info = source_.Info;
    if (frames > frames_ - framesWritten_) {
        Fail("more samples than the source holds");
        return false;
    }
    if (info.BitsPerSample < 32) {
        const int32_t highest = int32_t((int64_t{1} << (info.BitsPerSample - 1)) - 1);
        const int32_t lowest = -highest - 1;
        const size_t count = frames * info.Channels;
        for (size_t i = 0; i < count; ++i) {
            if (interleaved[i] < lowest || interleaved[i] > highest) {
                Fail("a sample beyond " + std::to_string(info.BitsPerSample) + " bits");
                return false;
            }
        }
    }
    // libFLAC counts frames in 32 bits.
    constexpr size_t Piece = size_t{1} << 20;
    for (size_t at = 0; at < frames; at += Piece) {
        const size_t count = std::min(Piece, frames - at);
        if (!FLAC__stream_encoder_process_interleaved(encoder_, interleaved + at * info.Channels,
                                                      uint32_t(count))) {
            Fail(FLAC__StreamEncoderStateString[FLAC__stream_encoder_get_state(encoder_)]);
            return false;
        }
        framesWritten_ += count;
    }
    return true;
}

bool FlacWriter::Finish(const std::vector<unsigned char>& trailing) {
    if (Failed() || encoder_ == nullptr) {
        return false;
    }
    if (framesWritten_ != frames_) {
        Fail(std::to_string(framesWritten_) + " of " + std::to_string(frames_) +
             " samples were given");
        return false;
    }
    // finish() encodes the last frame, then seeks back to complete STREAMINFO and the table.
    if (!FLAC__stream_encoder_finish(encoder_)) {
        Fail(FLAC__StreamEncoderStateString[FLAC__stream_encoder_get_state(encoder_)]);
        return false;
    }
    if (!Flush()) {
        return false;
    }
    if (!trailing.empty() && !(SeekTo(end_) && Put(trailing.data(), trailing.size()) && Flush())) {
        return false;
    }
    return !Failed();
}

}  // namespace tralux
