#include "FlacReader.h"

#include <FLAC/stream_decoder.h>

#include <algorithm>

namespace tralux {
namespace {

std::string DescribeError(FLAC__StreamDecoderErrorStatus status) {
    switch (status) {
        case FLAC__STREAM_DECODER_ERROR_STATUS_LOST_SYNC:
            return "lost sync";
        case FLAC__STREAM_DECODER_ERROR_STATUS_BAD_HEADER:
            return "bad frame header";
        case FLAC__STREAM_DECODER_ERROR_STATUS_FRAME_CRC_MISMATCH:
            return "frame CRC mismatch";
        case FLAC__STREAM_DECODER_ERROR_STATUS_UNPARSEABLE_STREAM:
            return "unparseable frame";
        case FLAC__STREAM_DECODER_ERROR_STATUS_BAD_METADATA:
            return "bad metadata";
    }
    return "decoder error " + std::to_string(int(status));
}

// The partition order of a predicted subframe's residual.
uint32_t PartitionOrder(const FLAC__EntropyCodingMethod& method) {
    return method.data.partitioned_rice.order;
}

void Observe(const FLAC__Frame& frame, FlacEncodingTraits& traits) {
    if (traits.Frames++ == 0) {
        traits.FirstBlockSize = frame.header.blocksize;
    }
    if (frame.header.channel_assignment != FLAC__CHANNEL_ASSIGNMENT_INDEPENDENT) {
        traits.StereoDecorrelation = true;
    }
    for (uint32_t channel = 0; channel < frame.header.channels; ++channel) {
        const FLAC__Subframe& subframe = frame.subframes[channel];
        if (subframe.type == FLAC__SUBFRAME_TYPE_FIXED) {
            traits.Predicted = true;
            traits.MaxPartitionOrder =
                std::max(traits.MaxPartitionOrder,
                         PartitionOrder(subframe.data.fixed.entropy_coding_method));
        } else if (subframe.type == FLAC__SUBFRAME_TYPE_LPC) {
            traits.Predicted = true;
            traits.MaxLpcOrder = std::max(traits.MaxLpcOrder, subframe.data.lpc.order);
            traits.MaxPartitionOrder = std::max(
                traits.MaxPartitionOrder, PartitionOrder(subframe.data.lpc.entropy_coding_method));
        }
    }
}

}  // namespace

struct FlacReader::Callbacks {
    static FLAC__StreamDecoderReadStatus Read(const FLAC__StreamDecoder*, FLAC__byte buffer[],
                                              size_t* bytes, void* client) {
        auto* self = static_cast<FlacReader*>(client);
        *bytes = self->file_.Read(buffer, *bytes);
        self->bytesRead_ += *bytes;
        self->atEnd_ = self->atEnd_ || *bytes == 0;
        return *bytes == 0 ? FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM
                           : FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
    }

    // The file is read from its start in order, so what has been read is where the input stands.
    static FLAC__StreamDecoderTellStatus Tell(const FLAC__StreamDecoder*, FLAC__uint64* offset,
                                              void* client) {
        *offset = static_cast<FlacReader*>(client)->bytesRead_;
        return FLAC__STREAM_DECODER_TELL_STATUS_OK;
    }

    static FLAC__StreamDecoderWriteStatus Write(const FLAC__StreamDecoder*,
                                                const FLAC__Frame* frame,
                                                const FLAC__int32* const channels[], void* client) {
        auto* self = static_cast<FlacReader*>(client);
        const FlacStreamInfo& info = self->stream_.Info;
        if (self->Failed()) {
            return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
        }
        if (frame->header.channels != info.Channels ||
            frame->header.bits_per_sample != info.BitsPerSample) {
            self->Damaged("a frame of another format than STREAMINFO gives at sample " +
                          std::to_string(self->framesDecoded_));
            return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
        }
        const size_t count = frame->header.blocksize;
        const size_t width = info.Channels;
        self->frame_.resize(count * width);
        self->frameAt_ = 0;
        for (size_t channel = 0; channel < width; ++channel) {
            const FLAC__int32* from = channels[channel];
            int32_t* to = self->frame_.data() + channel;
            for (size_t i = 0; i < count; ++i, to += width) {
                *to = from[i];
            }
        }
        self->framesDecoded_ += count;
        Observe(*frame, self->traits_);
        return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
    }

    static void Error(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus status,
                      void* client) {
        auto* self = static_cast<FlacReader*>(client);
        // Bytes after the last frame (an ID3v1 tag some taggers append) hold no audio.
        const uint64_t total = self->stream_.Info.TotalFrames;
        if (status == FLAC__STREAM_DECODER_ERROR_STATUS_LOST_SYNC && total != 0 &&
            self->framesDecoded_ == total) {
            return;
        }
        // A frame broken off by the end of the file is what a file cut short looks like.
        if (self->atEnd_ && total != 0 && self->framesDecoded_ < total) {
            self->CutShort();
            return;
        }
        self->Damaged(DescribeError(status) + " at sample " + std::to_string(self->framesDecoded_));
    }
};

FlacReader::FlacReader(PassFile& file, std::string path) : file_(file), path_(std::move(path)) {}

FlacReader::~FlacReader() {
    if (decoder_ != nullptr) {
        FLAC__stream_decoder_delete(decoder_);
    }
}

void FlacReader::Damaged(const std::string& what) {
    if (error_.empty()) {
        error_ = path_ + " is a damaged FLAC file (" + what + ")";
    }
}

void FlacReader::CutShort() {
    Damaged("cut short: " + std::to_string(framesDecoded_) + " of " +
            std::to_string(stream_.Info.TotalFrames) + " samples");
}

bool FlacReader::Open() {
    std::string error;
    std::optional<FlacStream> stream = ReadFlacHeader(file_, path_, error);
    if (!stream) {
        error_ = error;
        return false;
    }
    stream_ = std::move(*stream);
    decoder_ = FLAC__stream_decoder_new();
    if (decoder_ == nullptr || !file_.Seek(0)) {
        error_ = path_ + " could not be read";
        return false;
    }
    FLAC__stream_decoder_set_md5_checking(decoder_, true);
    // The header is kept as read above; the decoder needs none of it but STREAMINFO.
    FLAC__stream_decoder_set_metadata_ignore_all(decoder_);
    bytesRead_ = 0;
    if (FLAC__stream_decoder_init_stream(decoder_, &Callbacks::Read, nullptr, &Callbacks::Tell,
                                         nullptr, nullptr, &Callbacks::Write, nullptr,
                                         &Callbacks::Error,
                                         this) != FLAC__STREAM_DECODER_INIT_STATUS_OK) {
        error_ = path_ + " could not be read (the FLAC decoder did not start)";
        return false;
    }
    if (!FLAC__stream_decoder_process_until_end_of_metadata(decoder_) && !Failed()) {
        Damaged("its header stops the decoder");
    }
    return !Failed();
}

bool FlacReader::DecodeNextFrame() {
    frame_.clear();
    frameAt_ = 0;
    while (!Failed()) {
        if (FLAC__stream_decoder_get_state(decoder_) == FLAC__STREAM_DECODER_END_OF_STREAM) {
            End();
            return false;
        }
        if (!FLAC__stream_decoder_process_single(decoder_)) {
            Damaged(FLAC__StreamDecoderStateString[FLAC__stream_decoder_get_state(decoder_)]);
        } else if (!frame_.empty()) {
            uint64_t position = 0;
            const uint64_t total = stream_.Info.TotalFrames;
            if (total != 0 && framesDecoded_ == total &&
                FLAC__stream_decoder_get_decode_position(decoder_, &position)) {
                framesEnd_ = position;
            }
            return true;
        }
    }
    return false;
}

void FlacReader::End() {
    // finish() compares the MD5 signature of everything decoded with STREAMINFO's.
    const bool signatureMatches = FLAC__stream_decoder_finish(decoder_);
    const uint64_t total = stream_.Info.TotalFrames;
    if (total != 0 && framesDecoded_ < total) {
        CutShort();
    } else if (total != 0 && framesDecoded_ > total) {
        Damaged("more samples than its STREAMINFO block gives");
    } else if (!signatureMatches) {
        Damaged("its samples do not match the MD5 signature of its STREAMINFO block");
    } else {
        ReadTrailingBytes();
    }
    finished_ = !Failed();
}

bool FlacReader::ReadTrailingBytes() {
    if (!framesEnd_ || *framesEnd_ >= bytesRead_) {
        return true;
    }
    const uint64_t size = bytesRead_ - *framesEnd_;
    if (size > MaxFlacTrailingBytes) {
        Damaged(std::to_string(size) + " bytes follow its last frame");
        return false;
    }
    trailing_.resize(size_t(size));
    size_t got = 0;
    if (file_.Seek(int64_t(*framesEnd_))) {
        while (got < trailing_.size()) {
            const size_t more = file_.Read(trailing_.data() + got, trailing_.size() - got);
            if (more == 0) {
                break;
            }
            got += more;
        }
    }
    if (got != trailing_.size()) {
        trailing_.clear();
        error_ = path_ + " could not be read";
        return false;
    }
    return true;
}

size_t FlacReader::Read(int32_t* interleaved, size_t frames) {
    const size_t width = stream_.Info.Channels;
    size_t given = 0;
    while (given < frames && decoder_ != nullptr && !Failed()) {
        if (frameAt_ == frame_.size()) {
            if (finished_ || !DecodeNextFrame()) {
                break;
            }
            continue;
        }
        const size_t take = std::min((frame_.size() - frameAt_) / width, frames - given);
        std::copy_n(frame_.data() + frameAt_, take * width, interleaved + given * width);
        frameAt_ += take * width;
        given += take;
    }
    framesRead_ += given;
    return given;
}

}  // namespace tralux
