#include "WavFormat.h"

#include <cstring>

namespace tralux {
namespace {

constexpr uint32_t TagPcm = 1;
constexpr uint32_t TagFloat = 3;
constexpr uint32_t TagExtensible = 0xFFFE;

// Every sub-format GUID of the extensible format ends in these 12 bytes; the first four hold
// the format tag of the samples.
constexpr unsigned char SubFormatTail[12] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                             0x80, 0x00, 0x00, 0xAA, 0x00, 0x38};
constexpr unsigned char SubFormatEnd[2] = {0x9B, 0x71};

// The names people know the common compressed WAV formats by.
std::string TagName(uint32_t tag) {
    switch (tag) {
        case 0x0002:
            return "ADPCM (format 2)";
        case 0x0006:
            return "A-law (format 6)";
        case 0x0007:
            return "mu-law (format 7)";
        case 0x0011:
            return "IMA ADPCM (format 0x11)";
        case 0x0031:
            return "GSM 6.10 (format 0x31)";
        case 0x0050:
            return "MPEG audio (format 0x50)";
        case 0x0055:
            return "MP3 (format 0x55)";
        case 0x00FF:
            return "AAC (format 0xFF)";
        case 0x2000:
            return "AC-3 (format 0x2000)";
        default:
            return "format " + std::to_string(tag);
    }
}

std::string CannotRead(const std::string& what) {
    return "a WAV file " + what + ", which Tralux cannot read";
}

bool Starts(const unsigned char* head, size_t size, size_t at, const char* magic) {
    const size_t length = std::strlen(magic);
    return size >= at + length && std::memcmp(head + at, magic, length) == 0;
}

// MPEG audio frame head: 11 sync bits, then a version, a layer, a bit rate and a sample rate
// that are not the reserved values (so that a run of 0xFF bytes is not taken for one).
std::string MpegFrameType(const unsigned char* head, size_t size) {
    if (size < 3 || head[0] != 0xFF || (head[1] & 0xE0) != 0xE0) {
        return {};
    }
    const int version = (head[1] >> 3) & 3;
    const int layer = (head[1] >> 1) & 3;
    if (layer == 0) {
        // ADTS, the stream form of AAC, puts layer 0 after a 12-bit sync.
        return (head[1] & 0xF0) == 0xF0 ? "an AAC file, not a WAV file" : std::string();
    }
    const int bitRate = head[2] >> 4;
    const int sampleRate = (head[2] >> 2) & 3;
    if (version == 1 || bitRate == 15 || sampleRate == 3) {
        return {};
    }
    return layer == 1 ? "an MP3 file, not a WAV file" : "an MPEG audio file, not a WAV file";
}

std::string RateText(uint32_t rate) {
    if (rate < 1000) {
        return std::to_string(rate) + " Hz";
    }
    std::string text = std::to_string(rate / 1000);
    std::string fraction = std::to_string(1000 + rate % 1000).substr(1);
    while (!fraction.empty() && fraction.back() == '0') {
        fraction.pop_back();
    }
    if (!fraction.empty()) {
        text += "." + fraction;
    }
    return text + " kHz";
}

std::string ChannelText(uint32_t channels) {
    if (channels == 1) {
        return "mono";
    }
    if (channels == 2) {
        return "stereo";
    }
    return std::to_string(channels) + " ch";
}

// The sample grid of the fields, or what is wrong with them.
FormatJudgement JudgeSamples(const FormatChunkFields& fields, SampleCoding coding,
                             uint32_t validBits) {
    FormatJudgement judgement;
    const uint32_t bits = fields.Bits;
    const bool integerWidth = bits == 8 || bits == 16 || bits == 24 || bits == 32;
    const bool floatWidth = bits == 32 || bits == 64;
    if (coding == SampleCoding::Integer ? !integerWidth : !floatWidth) {
        judgement.What = CannotRead("of " + std::to_string(bits) + "-bit " +
                                    (coding == SampleCoding::Float ? "float " : "") + "samples");
        return judgement;
    }
    if (validBits == 0) {
        validBits = bits;  // not given: the whole container
    }
    if (validBits == 1) {
        return {{}, CannotRead("of 1-bit samples")};  // no positive value to call full scale
    }
    if (validBits > bits || (coding == SampleCoding::Float && validBits != bits)) {
        judgement.What = CannotRead("of " + std::to_string(validBits) + "-bit samples in " +
                                    std::to_string(bits) + "-bit containers");
        return judgement;
    }
    WavFormat format;
    format.FormatTag = static_cast<uint16_t>(fields.Tag);
    format.Sample = {coding, int(bits / 8), int(validBits)};
    format.Channels = fields.Channels;
    format.SampleRate = fields.SampleRate;
    judgement.Format = format;
    return judgement;
}

}  // namespace

FormatJudgement JudgeFormatChunk(const FormatChunkFields& fields, WavContainer container) {
    FormatJudgement judgement;
    uint32_t sampleTag = fields.Tag;
    uint32_t validBits = 0;
    if (fields.Tag == TagExtensible) {
        if (fields.Size < 40) {
            return judgement;  // no room for the extension: a damaged header
        }
        const unsigned char* guid = fields.SubFormat;
        if (std::memcmp(guid + 2, SubFormatTail, sizeof SubFormatTail) != 0 ||
            std::memcmp(guid + 14, SubFormatEnd, sizeof SubFormatEnd) != 0) {
            judgement.What = CannotRead("in an extensible sub-format Tralux does not know");
            return judgement;
        }
        sampleTag = uint32_t{guid[0]} | uint32_t{guid[1]} << 8;
        validBits = fields.ValidBits;
    }
    if (sampleTag != TagPcm && sampleTag != TagFloat) {
        judgement.What = CannotRead("in " + TagName(sampleTag));
        return judgement;
    }
    if (fields.Channels == 0 || fields.Channels > MaxChannels) {
        judgement.What = "a WAV file of " + std::to_string(fields.Channels) +
                         " channels; Tralux reads files of 1 to " + std::to_string(MaxChannels) +
                         " channels";
        return judgement;
    }
    if (fields.SampleRate == 0 || fields.SampleRate > MaxSampleRate) {
        judgement.What = "a WAV file at " + std::to_string(fields.SampleRate) +
                         " Hz; Tralux reads rates of 1 Hz to " + RateText(MaxSampleRate);
        return judgement;
    }
    judgement = JudgeSamples(
        fields, sampleTag == TagFloat ? SampleCoding::Float : SampleCoding::Integer, validBits);
    if (!judgement.Format) {
        return judgement;
    }
    WavFormat& format = *judgement.Format;
    format.Container = container;
    format.ChannelMask = fields.Tag == TagExtensible ? fields.ChannelMask : 0;
    // These files were always taken whatever their block size said; it cannot be anything but
    // four bytes for them.
    const bool classic = fields.Tag == TagPcm && fields.Channels == 2 &&
                         fields.SampleRate == 44100 && fields.Bits == 16;
    if (!classic && fields.BlockAlign != format.BlockAlign()) {
        judgement.What = CannotRead(
            "whose frames are said to take " + std::to_string(fields.BlockAlign) + " bytes where " +
            std::to_string(format.Channels) + " channels of " + std::to_string(fields.Bits) +
            " bits take " + std::to_string(format.BlockAlign()));
        judgement.Format.reset();
    }
    return judgement;
}

std::string OtherFileType(const unsigned char* head, size_t size) {
    if (Starts(head, size, 0, "ID3")) {
        // An ID3 tag: its size is four 7-bit bytes, plus ten for its head and ten for a footer.
        if (size >= 10) {
            const size_t tag = (size_t{head[6]} << 21 | size_t{head[7]} << 14 |
                                size_t{head[8]} << 7 | size_t{head[9]}) +
                               10 + ((head[5] & 0x10) != 0 ? 10 : 0);
            if (Starts(head, size, tag, "fLaC")) {
                return "a FLAC file, not a WAV file";
            }
        }
        return "an MP3 file, not a WAV file";
    }
    if (Starts(head, size, 0, "fLaC")) {
        return "a FLAC file, not a WAV file";
    }
    if (Starts(head, size, 0, "OggS")) {
        if (Starts(head, size, 28, "OpusHead")) {
            return "an Ogg Opus file, not a WAV file";
        }
        if (Starts(head, size, 28,
                   "\x7F"
                   "FLAC")) {
            return "an Ogg FLAC file, which Tralux cannot read (only native FLAC files are taken)";
        }
        if (Starts(head, size, 28, "\x01vorbis")) {
            return "an Ogg Vorbis file, not a WAV file";
        }
        return "an Ogg file, not a WAV file";
    }
    if (Starts(head, size, 0, "FORM") && Starts(head, size, 8, "AIFF")) {
        return "an AIFF file, not a WAV file";
    }
    if (Starts(head, size, 0, "FORM") && Starts(head, size, 8, "AIFC")) {
        return "an AIFF-C file, not a WAV file";
    }
    if (Starts(head, size, 0, "RIFX") && Starts(head, size, 8, "WAVE")) {
        return "a big-endian WAV file (RIFX), which Tralux cannot read";
    }
    if (Starts(head, size, 0, "riff\x2E\x91\xCF\x11")) {
        return "a Wave64 file, not a WAV file";
    }
    if (Starts(head, size, 4, "ftyp")) {
        return "an MP4 or M4A file, not a WAV file";
    }
    if (Starts(head, size, 0, "caff")) {
        return "a Core Audio (CAF) file, not a WAV file";
    }
    if (Starts(head, size, 0, "wvpk")) {
        return "a WavPack file, not a WAV file";
    }
    if (Starts(head, size, 0, "\x30\x26\xB2\x75\x8E\x66\xCF\x11")) {
        return "a Windows Media file, not a WAV file";
    }
    return MpegFrameType(head, size);
}

std::string FormatText(const WavFormat& format) {
    const SampleFormat& sample = format.Sample;
    std::string text = sample.Coding == SampleCoding::Float
                           ? std::to_string(sample.ContainerBytes * 8) + "-bit float"
                           : std::to_string(sample.ValidBits) + "-bit";
    return text + " " + RateText(format.SampleRate) + " " + ChannelText(format.Channels);
}

std::string WithArticle(const std::string& text) {
    // Spoken with a vowel first: eight, eleven, eighteen, eighty-..., and the vowels.
    const bool vowel = text.rfind("8", 0) == 0 || text.rfind("11", 0) == 0 ||
                       text.rfind("18", 0) == 0 || text.rfind("RF", 0) == 0 ||
                       (!text.empty() && std::strchr("AEIOUaeiou", text[0]) != nullptr);
    return (vowel ? "an " : "a ") + text;
}

}  // namespace tralux
