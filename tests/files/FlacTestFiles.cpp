#include "FlacTestFiles.h"

#include <FLAC/metadata.h>
#include <FLAC/stream_decoder.h>
#include <FLAC/stream_encoder.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace tralux::test {
namespace {

// A hash of the position, so that any sample can be computed on its own.
double NoiseAt(uint64_t frame, uint32_t channel) {
    uint64_t x = frame * 0x9E3779B97F4A7C15ull + channel * 0xBF58476D1CE4E5B9ull + 1;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    return double(x >> 11) / double(uint64_t{1} << 53) * 2.0 - 1.0;
}

FLAC__StreamMetadata* Comments() {
    FLAC__StreamMetadata* block = FLAC__metadata_object_new(FLAC__METADATA_TYPE_VORBIS_COMMENT);
    for (const char* field :
         {"TITLE=T\xC3\xABst", "REPLAYGAIN_TRACK_GAIN=-6.20 dB", "ARTIST=Somebody",
          "replaygain_album_peak=0.988", "REPLAYGAINX=kept, not a ReplayGain field",
          "COMMENT=mentions REPLAYGAIN_TRACK_PEAK", "Replaygain_Reference_Loudness=89.0 dB"}) {
        FLAC__StreamMetadata_VorbisComment_Entry entry{uint32_t(std::strlen(field)),
                                                       (FLAC__byte*)field};
        FLAC__metadata_object_vorbiscomment_append_comment(block, entry, /*copy=*/true);
    }
    return block;
}

FLAC__StreamMetadata* Picture() {
    FLAC__StreamMetadata* block = FLAC__metadata_object_new(FLAC__METADATA_TYPE_PICTURE);
    block->data.picture.type = FLAC__STREAM_METADATA_PICTURE_TYPE_FRONT_COVER;
    FLAC__metadata_object_picture_set_mime_type(block, const_cast<char*>("image/png"), true);
    FLAC__metadata_object_picture_set_description(block, (FLAC__byte*)"Front", true);
    block->data.picture.width = 2;
    block->data.picture.height = 3;
    block->data.picture.depth = 24;
    std::vector<FLAC__byte> data(3000);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = FLAC__byte(i * 7 + 3);
    }
    FLAC__metadata_object_picture_set_data(block, data.data(), uint32_t(data.size()), true);
    return block;
}

FLAC__StreamMetadata* Application() {
    FLAC__StreamMetadata* block = FLAC__metadata_object_new(FLAC__METADATA_TYPE_APPLICATION);
    std::memcpy(block->data.application.id, "tRlX", 4);
    const FLAC__byte data[] = {1, 2, 3, 0, 255, 9};
    FLAC__metadata_object_application_set_data(block, const_cast<FLAC__byte*>(data), sizeof data,
                                               true);
    return block;
}

FLAC__StreamMetadata* Unknown() {
    FLAC__StreamMetadata* block = FLAC__metadata_object_new(FLAC__MetadataType(100));
    block->length = 5;
    block->data.unknown.data = static_cast<FLAC__byte*>(std::malloc(5));
    std::memcpy(block->data.unknown.data, "\x01zz\x00q", 5);
    return block;
}

FLAC__StreamMetadata* CueSheet(uint64_t frames) {
    FLAC__StreamMetadata* block = FLAC__metadata_object_new(FLAC__METADATA_TYPE_CUESHEET);
    std::strcpy(block->data.cue_sheet.media_catalog_number, "1234567890123");
    FLAC__metadata_object_cuesheet_insert_blank_track(block, 0);
    FLAC__StreamMetadata_CueSheet_Track& track = block->data.cue_sheet.tracks[0];
    track.number = 1;
    std::strcpy(track.isrc, "ABCDE1234567");
    FLAC__metadata_object_cuesheet_track_insert_blank_index(block, 0, 0);
    track.indices[0].number = 1;
    FLAC__metadata_object_cuesheet_insert_blank_track(block, 1);
    block->data.cue_sheet.tracks[1].number = 255;  // the lead-out
    block->data.cue_sheet.tracks[1].offset = frames;
    return block;
}

FLAC__StreamMetadata* SeekTable(const FlacShape& shape) {
    FLAC__StreamMetadata* block = FLAC__metadata_object_new(FLAC__METADATA_TYPE_SEEKTABLE);
    FLAC__metadata_object_seektable_template_append_spaced_points_by_samples(block, shape.Rate,
                                                                             shape.Frames);
    FLAC__metadata_object_seektable_template_append_placeholders(block, 2);
    FLAC__metadata_object_seektable_template_sort(block, true);
    return block;
}

FLAC__StreamDecoderWriteStatus Collect(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                       const FLAC__int32* const channels[], void* client) {
    auto* samples = static_cast<std::vector<int32_t>*>(client);
    for (uint32_t i = 0; i < frame->header.blocksize; ++i) {
        for (uint32_t c = 0; c < frame->header.channels; ++c) {
            samples->push_back(channels[c][i]);
        }
    }
    return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

bool decodeFailed = false;
void NoteError(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void*) {
    decodeFailed = true;
}

}  // namespace

int32_t SampleAt(const FlacShape& shape, uint64_t frame, uint32_t channel) {
    if (shape.Silent) {
        return 0;
    }
    const double full = std::ldexp(1.0, int(shape.Bits) - 1);
    if (channel == 0 && frame == 1000) {
        return int32_t(-full);
    }
    if (channel == 0 && frame == 2000) {
        return int32_t(full - 1);
    }
    const double t = double(frame) / shape.Rate;
    // Beats four times a second, decaying, over a slow swell: the residual's size changes within
    // a block, as in music.
    const double beat = std::exp(-12.0 * std::fmod(t, 0.25));
    const double swell = 0.55 + 0.45 * std::sin(2 * M_PI * 0.3 * t);
    const double tone = 0.4 * std::sin(2 * M_PI * 220 * t + channel) +
                        0.25 * std::sin(2 * M_PI * 331 * t) + 0.1 * std::sin(2 * M_PI * 1250 * t);
    // Clicks ten times a second: a residual that changes within 64 samples.
    const double click = frame % (shape.Rate / 10) < 40 ? 0.3 * NoiseAt(frame + 3, channel) : 0.0;
    const double value =
        shape.Scale * 0.85 *
        (swell * tone * (0.4 + 0.6 * beat) + 0.08 * beat * NoiseAt(frame, channel) +
         0.01 * NoiseAt(frame + 7, channel) + click);
    return int32_t(std::clamp(std::lround(value * full), long(-full), long(full - 1)));
}

std::vector<int32_t> SamplesOf(const FlacShape& shape) {
    std::vector<int32_t> samples;
    samples.reserve(shape.Frames * shape.Channels);
    for (uint64_t frame = 0; frame < shape.Frames; ++frame) {
        for (uint32_t channel = 0; channel < shape.Channels; ++channel) {
            samples.push_back(SampleAt(shape, frame, channel));
        }
    }
    return samples;
}

void MakeFlacFile(const std::string& path, const FlacShape& shape) {
    FLAC__StreamEncoder* encoder = FLAC__stream_encoder_new();
    FLAC__stream_encoder_set_channels(encoder, shape.Channels);
    FLAC__stream_encoder_set_bits_per_sample(encoder, shape.Bits);
    FLAC__stream_encoder_set_sample_rate(encoder, shape.Rate);
    FLAC__stream_encoder_set_compression_level(encoder, uint32_t(shape.Level));
    FLAC__stream_encoder_set_streamable_subset(encoder, shape.Bits <= 24);
    FLAC__stream_encoder_set_total_samples_estimate(encoder, shape.Frames);
    std::vector<FLAC__StreamMetadata*> blocks;
    if (shape.AllBlocks) {
        blocks = {Comments(),
                  SeekTable(shape),
                  Picture(),
                  Application(),
                  Unknown(),
                  CueSheet(shape.Frames),
                  FLAC__metadata_object_new(FLAC__METADATA_TYPE_PADDING)};
        blocks.back()->length = 333;
        FLAC__stream_encoder_set_metadata(encoder, blocks.data(), uint32_t(blocks.size()));
    }
    if (FLAC__stream_encoder_init_file(encoder, path.c_str(), nullptr, nullptr) !=
        FLAC__STREAM_ENCODER_INIT_STATUS_OK) {
        throw std::runtime_error(
            "libFLAC could not start: " +
            std::string(FLAC__StreamEncoderStateString[FLAC__stream_encoder_get_state(encoder)]));
    }
    std::vector<int32_t> piece;
    for (uint64_t frame = 0; frame < shape.Frames;) {
        piece.clear();
        const uint64_t end = std::min(shape.Frames, frame + 4096);
        for (uint64_t f = frame; f < end; ++f) {
            for (uint32_t c = 0; c < shape.Channels; ++c) {
                piece.push_back(SampleAt(shape, f, c));
            }
        }
        FLAC__stream_encoder_process_interleaved(encoder, piece.data(), uint32_t(end - frame));
        frame = end;
    }
    const bool finished = FLAC__stream_encoder_finish(encoder);
    FLAC__stream_encoder_delete(encoder);
    for (FLAC__StreamMetadata* block : blocks) {
        FLAC__metadata_object_delete(block);
    }
    if (!finished) {
        throw std::runtime_error("libFLAC could not finish " + path);
    }
}

std::vector<RawBlock> RawBlocksOf(const std::string& path, size_t tagBytes, int64_t* audioOffset) {
    const std::vector<unsigned char> bytes = FileBytes(path);
    std::vector<RawBlock> blocks;
    size_t at = tagBytes + 4;
    for (bool last = false; !last && at + 4 <= bytes.size();) {
        RawBlock block;
        block.Type = bytes[at] & 0x7f;
        block.Last = last = (bytes[at] & 0x80) != 0;
        const size_t length =
            size_t{bytes[at + 1]} << 16 | size_t{bytes[at + 2]} << 8 | bytes[at + 3];
        block.Body.assign(bytes.begin() + long(at + 4),
                          bytes.begin() + long(std::min(bytes.size(), at + 4 + length)));
        at += 4 + length;
        blocks.push_back(std::move(block));
    }
    if (audioOffset != nullptr) {
        *audioOffset = int64_t(at);
    }
    return blocks;
}

std::vector<unsigned char> FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

bool DecodeWithLibFlac(const std::string& path, std::vector<int32_t>& samples) {
    FLAC__StreamDecoder* decoder = FLAC__stream_decoder_new();
    FLAC__stream_decoder_set_md5_checking(decoder, true);
    decodeFailed = false;
    bool ok = FLAC__stream_decoder_init_file(decoder, path.c_str(), &Collect, nullptr, &NoteError,
                                             &samples) == FLAC__STREAM_DECODER_INIT_STATUS_OK &&
              FLAC__stream_decoder_process_until_end_of_stream(decoder);
    ok = FLAC__stream_decoder_finish(decoder) && ok && !decodeFailed;
    FLAC__stream_decoder_delete(decoder);
    return ok;
}

}  // namespace tralux::test
