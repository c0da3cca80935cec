// What the header check finds a WAV file of any sample format to be, and what it says about
// files it refuses.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "TestFormats.h"
#include "TestWav.h"
#include "files/WaveHeader.h"

namespace tralux {
namespace {

using namespace test;

using test::AnyWavLayout;
using test::ExtraChunk;

// The check on bytes held in memory, as the intake reads them from a file.
WaveHeaderInfo Judge(const std::vector<uint8_t>& bytes) {
    const HeaderReadAt readAt = [&bytes](void* buffer, size_t size, int64_t offset) -> size_t {
        if (offset >= int64_t(bytes.size())) {
            return 0;
        }
        const size_t got = std::min(size, bytes.size() - size_t(offset));
        std::memcpy(buffer, bytes.data() + offset, got);
        return got;
    };
    return CheckWaveHeader(readAt, int64_t(bytes.size()));
}

std::string Message(const std::vector<uint8_t>& bytes) {
    return RefusedFileMessage(Judge(bytes), "x.wav");
}

struct Variant {
    std::string Name;
    AnyWavLayout Layout;
    SampleFormat Sample;
    std::string Text;  // FormatText
    friend void PrintTo(const Variant& v, std::ostream* os) { *os << v.Name; }
};

AnyWavLayout Layout(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits) {
    AnyWavLayout layout;
    layout.formatTag = tag;
    layout.channels = channels;
    layout.sampleRate = rate;
    layout.bitsPerSample = bits;
    return layout;
}

AnyWavLayout Extensible(uint16_t sub, uint16_t channels, uint32_t rate, uint16_t bits,
                        uint16_t valid, uint32_t mask) {
    AnyWavLayout layout = Layout(0xFFFE, channels, rate, bits);
    layout.subFormat = sub;
    layout.validBits = valid;
    layout.channelMask = mask;
    return layout;
}

AnyWavLayout In(const char* container, AnyWavLayout layout) {
    layout.container = container;
    return layout;
}

// The sample formats the runs take.
bool Taken(const SampleFormat& sample) {
    return sample.Coding == SampleCoding::Integer
               ? sample.ContainerBytes <= 4
               : sample.ContainerBytes == 4 || sample.ContainerBytes == 8;
}

std::vector<Variant> Variants() {
    AnyWavLayout around = Layout(1, 2, 48000, 24);
    around.chunksBeforeFormat = {{"LIST", std::vector<uint8_t>(3, 'x')}, {"JUNK", {}}};
    around.formatExtra = {0, 0};  // a cbSize of 0: an 18-byte format chunk
    around.chunksBeforeData = {{"fact", {1, 0, 0, 0}}};
    AnyWavLayout extra = Extensible(3, 6, 96000, 32, 32, 0x3F);
    extra.formatExtra = {9, 9, 9, 9, 9, 9};
    AnyWavLayout rf64Plain = In("RF64", Layout(1, 2, 44100, 16));
    rf64Plain.dataSizeInDs64 = false;
    return {
        {"Unsigned8Mono22k", Layout(1, 1, 22050, 8), U8, "8-bit 22.05 kHz mono"},
        {"Pcm16Stereo44k", Layout(1, 2, 44100, 16), I16, "16-bit 44.1 kHz stereo"},
        {"Pcm16Mono48k", Layout(1, 1, 48000, 16), I16, "16-bit 48 kHz mono"},
        {"Pcm24Stereo48k", Layout(1, 2, 48000, 24), I24, "24-bit 48 kHz stereo"},
        {"Pcm24SixCh96k", Layout(1, 6, 96000, 24), I24, "24-bit 96 kHz 6 ch"},
        {"Pcm32Stereo192k", Layout(1, 2, 192000, 32), I32, "32-bit 192 kHz stereo"},
        {"Float32Stereo96k", Layout(3, 2, 96000, 32), F32, "32-bit float 96 kHz stereo"},
        {"Float64Mono11k", Layout(3, 1, 11025, 64), F64, "64-bit float 11.025 kHz mono"},
        {"Pcm8SixtyFourCh1Hz", Layout(1, 64, 1, 8), U8, "8-bit 1 Hz 64 ch"},
        {"Pcm16Stereo768k", Layout(1, 2, 768000, 16), I16, "16-bit 768 kHz stereo"},
        {"ChunksAroundFormat", around, I24, "24-bit 48 kHz stereo"},
        {"ExtensibleTwentyChNoMask", Extensible(1, 20, 48000, 24, 24, 0), I24,
         "24-bit 48 kHz 20 ch"},
        {"Extensible20In24",
         Extensible(1, 2, 44100, 24, 20, 3),
         {SampleCoding::Integer, 3, 20},
         "20-bit 44.1 kHz stereo"},
        {"ExtensibleValidBitsUnset", Extensible(1, 2, 48000, 32, 0, 3), I32,
         "32-bit 48 kHz stereo"},
        {"ExtensibleFloatWithExtraBytes", extra, F32, "32-bit float 96 kHz 6 ch"},
        {"Extensible16StereoMask", Extensible(1, 2, 44100, 16, 16, 3), I16,
         "16-bit 44.1 kHz stereo"},
        {"Extensible16StereoNoMask", Extensible(1, 2, 44100, 16, 0, 0), I16,
         "16-bit 44.1 kHz stereo"},
        {"Extensible12In16Stereo",
         Extensible(1, 2, 44100, 16, 12, 3),
         {SampleCoding::Integer, 2, 12},
         "12-bit 44.1 kHz stereo"},
        {"Rf64Pcm16Stereo", In("RF64", Layout(1, 2, 44100, 16)), I16, "16-bit 44.1 kHz stereo"},
        {"Rf64SizeInDataChunk", rf64Plain, I16, "16-bit 44.1 kHz stereo"},
        {"Bw64Extensible24SixCh", In("BW64", Extensible(1, 6, 48000, 24, 24, 0x3F)), I24,
         "24-bit 48 kHz 6 ch"},
    };
}

class Readable : public testing::TestWithParam<Variant> {};

TEST_P(Readable, IsDescribedAsWritten) {
    const Variant& variant = GetParam();
    const AnyWavLayout& layout = variant.Layout;
    constexpr size_t Frames = 5;
    const std::vector<uint8_t> samples = test::FrameBytes(layout, Frames);
    AnyWavLayout withTag = layout;
    withTag.afterData = {'L', 'I', 'S', 'T', 2, 0, 0, 0, 'a', 'b'};
    const auto bytes = test::MakeAnyWav(samples, withTag);
    const WaveHeaderInfo info = Judge(bytes);

    ASSERT_EQ(info.File.Verdict, WavVerdict::Readable) << info.File.What;
    const WavFormat& format = info.File.Format;
    EXPECT_EQ(format.Sample, variant.Sample);
    EXPECT_EQ(format.Channels, layout.channels);
    EXPECT_EQ(format.SampleRate, layout.sampleRate);
    EXPECT_EQ(format.FormatTag, layout.formatTag);
    EXPECT_EQ(format.ChannelMask, layout.channelMask);
    const WavContainer container = layout.container == "RF64"   ? WavContainer::Rf64
                                   : layout.container == "BW64" ? WavContainer::Bw64
                                                                : WavContainer::Riff;
    EXPECT_EQ(format.Container, container);
    EXPECT_EQ(FormatText(format), variant.Text);

    const WavData& data = info.File.Data;
    EXPECT_EQ(data.Offset, int64_t(bytes.size() - samples.size() - withTag.afterData.size()));
    EXPECT_EQ(data.DeclaredBytes, samples.size());
    EXPECT_EQ(data.HeldBytes, samples.size());
    EXPECT_EQ(data.FrameCount, Frames);
    EXPECT_EQ(data.TailBytes, 0u);
    EXPECT_FALSE(data.ShorterThanHeader);
    if (container != WavContainer::Riff) {
        EXPECT_EQ(data.Ds64RiffSize, bytes.size() - 8);
        EXPECT_EQ(data.Ds64SampleCount, Frames);
    }

    if (Taken(variant.Sample)) {
        EXPECT_EQ(info.Result, WaveCheckResult::Valid);
        EXPECT_EQ(info.HeaderSize, data.Offset);
        EXPECT_EQ(info.FrameCount, int64_t(Frames));
        EXPECT_EQ(RefusedFileMessage(info, "x.wav"), "");
    } else {
        // Readable, but not by today's runs: the refusal says what the file is.
        EXPECT_EQ(info.Result, WaveCheckResult::NotSupported);
        EXPECT_EQ(info.HeaderSize, 0);
        const std::string message = RefusedFileMessage(info, "x.wav");
        EXPECT_NE(message.find(variant.Text), std::string::npos) << message;
        EXPECT_NE(message.find(std::string("balances only ") + FormatsTakenText), std::string::npos)
            << message;
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, Readable, testing::ValuesIn(Variants()),
                         [](const auto& info) { return info.param.Name; });

// The formats the runs once refused by name are taken: 32-bit integers, both float widths,
// in RIFF and RF64; what is still refused says what the file is.
TEST(WavFormat, WideFormatsAreTakenAndRefusalsNameTheFormat) {
    const auto check = [](const AnyWavLayout& layout) {
        const std::vector<uint8_t> bytes = test::MakeAnyWav(test::FrameBytes(layout, 2), layout);
        const WaveHeaderInfo info = Judge(bytes);
        EXPECT_EQ(info.Result, WaveCheckResult::Valid) << FormatText(info.File.Format);
        return RefusedFileMessage(info, "x.wav");
    };
    EXPECT_EQ(check(Layout(1, 6, 48000, 32)), "");
    EXPECT_EQ(check(Layout(3, 1, 8000, 32)), "");
    EXPECT_EQ(check(Layout(3, 2, 96000, 64)), "");
    EXPECT_EQ(check(In("RF64", Layout(1, 2, 44100, 32))), "");
    const AnyWavLayout adpcm = Layout(2, 1, 8000, 4);
    EXPECT_EQ(Message(test::MakeAnyWav(std::vector<uint8_t>(8, 0), adpcm)),
              "\"x.wav\" is a WAV file in ADPCM (format 2), which Tralux cannot read");
}

// Bytes past the last whole frame, and a data chunk longer than the file, in a 24-bit file.
TEST(WavFormat, DataCountsWholeFramesOfTheBlockSize) {
    const AnyWavLayout layout = Layout(1, 2, 48000, 24);
    std::vector<uint8_t> samples = test::FrameBytes(layout, 7);
    samples.resize(samples.size() + 5, 0x11);
    auto bytes = test::MakeAnyWav(samples, layout);
    WavData data = Judge(bytes).File.Data;
    EXPECT_EQ(data.FrameCount, 7u);
    EXPECT_EQ(data.TailBytes, 5u);

    bytes.resize(bytes.size() - 20);
    data = Judge(bytes).File.Data;
    EXPECT_TRUE(data.ShorterThanHeader);
    EXPECT_EQ(data.DeclaredBytes, 7u * 6 + 5);
    EXPECT_EQ(data.HeldBytes, 7u * 6 + 5 - 20);
    EXPECT_EQ(data.FrameCount, (7u * 6 + 5 - 20) / 6);
    EXPECT_EQ(data.TailBytes, (7u * 6 + 5 - 20) % 6);
}

// An RF64 file of 6 GiB, read from a file that is zeros past its header: the sizes of ds64
// are 64-bit and the counts follow them.
TEST(WavFormat, Rf64SizesPastFourGigabytes) {
    const AnyWavLayout layout = In("RF64", Layout(3, 2, 48000, 32));
    std::vector<uint8_t> head = test::MakeAnyWav({}, layout);
    const uint64_t dataBytes = (uint64_t{6} << 30) + 3;
    for (int i = 0; i < 8; ++i) {
        head[28 + i] = static_cast<uint8_t>(dataBytes >> (8 * i));  // ds64's data size
    }
    const int64_t fileSize = int64_t(head.size() + dataBytes);
    const HeaderReadAt readAt = [&](void* buffer, size_t size, int64_t offset) -> size_t {
        const auto got = size_t(std::min<int64_t>(int64_t(size), fileSize - offset));
        auto* out = static_cast<uint8_t*>(buffer);
        for (size_t i = 0; i < got; ++i) {
            const auto at = size_t(offset) + i;
            out[i] = at < head.size() ? head[at] : 0;
        }
        return got;
    };
    const WaveHeaderInfo info = CheckWaveHeader(readAt, fileSize);
    ASSERT_EQ(info.File.Verdict, WavVerdict::Readable);
    EXPECT_EQ(info.File.Data.DeclaredBytes, dataBytes);
    EXPECT_EQ(info.File.Data.HeldBytes, dataBytes);
    EXPECT_EQ(info.File.Data.FrameCount, (dataBytes - 3) / 8);
    EXPECT_EQ(info.File.Data.TailBytes, 3u);
    EXPECT_EQ(info.Result, WaveCheckResult::Valid);
    EXPECT_EQ(info.FrameCount, int64_t((dataBytes - 3) / 8));
}

// Today's files were taken whatever their block size said; they still are.
TEST(WavFormat, BlockSizeOfClassicFilesIsNotChecked) {
    AnyWavLayout layout;
    layout.blockAlign = 0;
    const auto info = Judge(test::MakeAnyWav(test::FrameBytes(Layout(1, 2, 44100, 16), 3), layout));
    EXPECT_EQ(info.Result, WaveCheckResult::Valid);
    EXPECT_EQ(info.FrameCount, 3);
}

struct Refusal {
    std::string Name;
    std::vector<uint8_t> Bytes;
    std::string What;  // after "\"x.wav\" is "
    friend void PrintTo(const Refusal& r, std::ostream* os) { *os << r.Name; }
};

// The text's bytes, NULs included, filled up with blanks to 64 bytes.
std::vector<uint8_t> Text(const std::string& text) {
    std::vector<uint8_t> bytes(text.begin(), text.end());
    bytes.resize(std::max<size_t>(64, bytes.size()), 0x20);
    return bytes;
}
template <size_t N>
std::vector<uint8_t> Text(const char (&text)[N]) {
    return Text(std::string(text, N - 1));
}

std::vector<uint8_t> Wav(const AnyWavLayout& layout) {
    return test::MakeAnyWav(std::vector<uint8_t>(48, 1), layout);
}

std::vector<Refusal> Refusals() {
    const std::string cannot = ", which Tralux cannot read";
    std::string id3 = std::string("ID3\x04\0\0\0\0\0\x05", 10) + "abcde";
    std::string ogg = "OggS" + std::string(24, '\0') + "OpusHead";
    AnyWavLayout wide = Extensible(1, 2, 48000, 24, 32, 3);
    AnyWavLayout badAlign = Layout(1, 2, 48000, 24);
    badAlign.blockAlign = 4;
    AnyWavLayout badExtensibleAlign = Extensible(1, 2, 44100, 16, 16, 3);
    badExtensibleAlign.blockAlign = 2;
    AnyWavLayout ambisonic = Extensible(1, 4, 48000, 24, 24, 0);
    ambisonic.standardGuid = false;
    return {
        {"Flac", Text("fLaC\0\0\0\x22"), "a FLAC file, not a WAV file"},
        {"ShortFlac", {'f', 'L', 'a', 'C', 0, 0}, "a FLAC file, not a WAV file"},
        {"FlacBehindId3", Text(id3 + "fLaC"), "a FLAC file, not a WAV file"},
        {"Mp3WithId3", Text(id3 + "\xFF\xFB\x90\x64"), "an MP3 file, not a WAV file"},
        {"Mp3FrameSync", Text("\xFF\xFB\x90\x64"), "an MP3 file, not a WAV file"},
        {"MpegLayer2", Text("\xFF\xFD\x90\x64"), "an MPEG audio file, not a WAV file"},
        {"Ogg", Text("OggS\0\x02"), "an Ogg file, not a WAV file"},
        {"OggOpus", Text(ogg), "an Ogg Opus file, not a WAV file"},
        {"OggFlac",
         Text("OggS" + std::string(24, '\0') +
              "\x7F"
              "FLAC"),
         "an Ogg FLAC file, which Tralux cannot read (only native FLAC files are taken)"},
        {"Aiff",
         Text("FORM\0\0\0\x40"
              "AIFFCOMM"),
         "an AIFF file, not a WAV file"},
        {"AiffC",
         Text("FORM\0\0\0\x40"
              "AIFCFVER"),
         "an AIFF-C file, not a WAV file"},
        {"BigEndianWav", Text("RIFX\0\0\0\x40WAVEfmt "),
         "a big-endian WAV file (RIFX), which Tralux cannot read"},
        {"Mp4",
         Text("\0\0\0\x20"
              "ftypM4A "),
         "an MP4 or M4A file, not a WAV file"},
        {"Adpcm", Wav(Layout(2, 2, 44100, 4)), "a WAV file in ADPCM (format 2)" + cannot},
        {"ALaw", Wav(Layout(6, 1, 8000, 8)), "a WAV file in A-law (format 6)" + cannot},
        {"MuLaw", Wav(Layout(7, 1, 8000, 8)), "a WAV file in mu-law (format 7)" + cannot},
        {"ImaAdpcm", Wav(Layout(0x11, 2, 44100, 4)),
         "a WAV file in IMA ADPCM (format 0x11)" + cannot},
        {"Mp3InWav", Wav(Layout(0x55, 2, 44100, 0)), "a WAV file in MP3 (format 0x55)" + cannot},
        {"MpegInWav", Wav(Layout(0x50, 2, 44100, 0)),
         "a WAV file in MPEG audio (format 0x50)" + cannot},
        {"UnknownTag", Wav(Layout(0x1234, 2, 44100, 16)), "a WAV file in format 4660" + cannot},
        {"ExtensibleAdpcm", Wav(Extensible(2, 2, 44100, 4, 4, 3)),
         "a WAV file in ADPCM (format 2)" + cannot},
        {"ExtensibleOtherGuid", Wav(ambisonic),
         "a WAV file in an extensible sub-format Tralux does not know" + cannot},
        {"ValidBitsPastContainer", Wav(wide),
         "a WAV file of 32-bit samples in 24-bit containers" + cannot},
        {"BlockAlignWrong", Wav(badAlign),
         "a WAV file whose frames are said to take 4 bytes where 2 channels of 24 bits take 6" +
             cannot},
        {"ExtensibleBlockAlignWrong", Wav(badExtensibleAlign),
         "a WAV file whose frames are said to take 2 bytes where 2 channels of 16 bits take 4" +
             cannot},
        {"Pcm12Bits", Wav(Layout(1, 2, 44100, 12)), "a WAV file of 12-bit samples" + cannot},
        {"Float16Bits", Wav(Layout(3, 2, 44100, 16)),
         "a WAV file of 16-bit float samples" + cannot},
        {"NoChannels", Wav(Layout(1, 0, 44100, 16)),
         "a WAV file of 0 channels; Tralux reads files of 1 to 64 channels"},
        {"SixtyFiveChannels", Wav(Layout(1, 65, 44100, 8)),
         "a WAV file of 65 channels; Tralux reads files of 1 to 64 channels"},
        {"RateZero", Wav(Layout(1, 2, 0, 16)),
         "a WAV file at 0 Hz; Tralux reads rates of 1 Hz to 768 kHz"},
        {"RateTooHigh", Wav(Layout(1, 2, 768001, 16)),
         "a WAV file at 768001 Hz; Tralux reads rates of 1 Hz to 768 kHz"},
    };
}

class Refused : public testing::TestWithParam<Refusal> {};

TEST_P(Refused, SaysWhatTheFileIs) {
    const WaveHeaderInfo info = Judge(GetParam().Bytes);
    EXPECT_EQ(info.Result, WaveCheckResult::NotSupported);
    EXPECT_EQ(info.File.Verdict, WavVerdict::Refused);
    EXPECT_EQ(RefusedFileMessage(info, "x.wav"), "\"x.wav\" is " + GetParam().What);
}

INSTANTIATE_TEST_SUITE_P(Files, Refused, testing::ValuesIn(Refusals()),
                         [](const auto& info) { return info.param.Name; });

// Files that say nothing known, and damaged headers, keep the general refusal.
TEST(WavFormat, DamagedOrUnknownFilesKeepTheGeneralRefusal) {
    const std::string general = "\"x.wav\" is not a 44.1kHz 16-bit stereo WAV file";
    const auto wav24 = Wav(Layout(1, 2, 48000, 24));
    AnyWavLayout shortExtensible = Extensible(1, 2, 44100, 24, 24, 3);
    auto cutExtension = Wav(shortExtensible);
    cutExtension[16] = 18;  // the format chunk claims no room for the extension
    auto noDs64 = Wav(In("RF64", Layout(1, 2, 48000, 24)));
    std::memcpy(noDs64.data() + 12, "JUNK", 4);
    const std::vector<std::vector<uint8_t>> files = {
        {},
        std::vector<uint8_t>(1000, 0xA7),
        std::vector<uint8_t>(1000, 0xFF),
        Text("RIFF\0\0\0\0AVI LIST"),
        std::vector<uint8_t>(wav24.begin(), wav24.begin() + 40),  // cut before its data chunk
        std::vector<uint8_t>(wav24.begin(), wav24.begin() + 30),  // cut inside the format chunk
        noDs64,
        cutExtension,
    };
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(i);
        const WaveHeaderInfo info = Judge(files[i]);
        EXPECT_EQ(info.Result, WaveCheckResult::NotSupported);
        EXPECT_EQ(info.File.Verdict, WavVerdict::NotWav);
        EXPECT_EQ(RefusedFileMessage(info, "x.wav"), general);
    }
    EXPECT_EQ(RefusedFileMessage(WaveCheckResult::NotSupported, "x.wav"), general);
}

TEST(WavFormat, StoppedCheckDescribesNothing) {
    const auto bytes = Wav(Layout(1, 2, 48000, 24));
    const HeaderReadAt readAt = [&bytes](void* buffer, size_t size, int64_t offset) -> size_t {
        const size_t got = std::min(size, bytes.size() - size_t(offset));
        std::memcpy(buffer, bytes.data() + offset, got);
        return got;
    };
    const WaveHeaderInfo info = CheckWaveHeader(readAt, int64_t(bytes.size()), [] { return true; });
    EXPECT_EQ(info.Result, WaveCheckResult::Stopped);
    EXPECT_EQ(info.File.Verdict, WavVerdict::NotWav);
    EXPECT_EQ(RefusedFileMessage(info, "x.wav"), "");
}

}  // namespace
}  // namespace tralux
