#include <FLAC/export.h>
#include <FLAC/stream_encoder.h>
#include <gtest/gtest.h>
#include <malloc.h>

#include <cstring>

#include "FlacRoundTrip.h"
#include "FlacTestFiles.h"
#include "TempDir.h"
#include "TestWav.h"

namespace tralux {
namespace {

using test::FlacShape;

FlacShape ShortSpec() {
    FlacShape shape;
    shape.Frames = 3 * 44100;
    return shape;
}

// Damaged and foreign files are refused, with the file's name in the reason, and the reader
// never claims to have read them whole.
class FlacDamage : public testing::Test {
protected:
    void SetUp() override {
        test::MakeFlacFile(good_, ShortSpec());
        bytes_ = test::FileBytes(good_);
        test::RawBlocksOf(good_, 0, &audio_);
    }
    // Writes bytes as bad.flac and reads it; the reader's error.
    std::string Refusal(const std::vector<unsigned char>& bytes) {
        test::WriteBytes(bad_, bytes);
        const test::ReaderOutcome read = test::ReadThroughReader(bad_);
        EXPECT_FALSE(read.Finished);
        EXPECT_NE(read.Error.find(bad_), std::string::npos) << read.Error;
        return read.Error;
    }
    // The file with STREAMINFO's sample count set to count.
    std::vector<unsigned char> WithSampleCount(uint64_t count) {
        std::vector<unsigned char> bytes = bytes_;
        unsigned char* body = bytes.data() + 8;
        body[13] = static_cast<unsigned char>((body[13] & 0xF0) | ((count >> 32) & 0x0F));
        for (int i = 0; i < 4; ++i) {
            body[14 + i] = static_cast<unsigned char>(count >> (8 * (3 - i)));
        }
        return bytes;
    }

    test::TempDir dir_;
    std::string good_ = dir_.File("good.flac");
    std::string bad_ = dir_.File("bad.flac");
    std::vector<unsigned char> bytes_;
    int64_t audio_ = 0;
};

TEST_F(FlacDamage, TheGoodFileIsRead) {
    const test::ReaderOutcome read = test::ReadThroughReader(good_);
    EXPECT_TRUE(read.Finished) << read.Error;
    EXPECT_EQ(read.Samples.size(), ShortSpec().Frames * 2);
}

TEST_F(FlacDamage, AFlippedByteInAFrame) {
    std::vector<unsigned char> bytes = bytes_;
    bytes[size_t(audio_) + (bytes.size() - size_t(audio_)) / 2] ^= 0x10;
    EXPECT_NE(Refusal(bytes).find(" is a damaged FLAC file ("), std::string::npos);
}

// An ID3v1 tag some taggers append after the last frame is no damage: the audio is whole.
TEST_F(FlacDamage, BytesAfterTheLastFrameAreNoDamage) {
    std::vector<unsigned char> bytes = bytes_;
    bytes.insert(bytes.end(), {'T', 'A', 'G'});
    bytes.resize(bytes.size() + 125, 'x');
    test::WriteBytes(bad_, bytes);
    const test::ReaderOutcome read = test::ReadThroughReader(bad_);
    EXPECT_TRUE(read.Finished) << read.Error;
    EXPECT_EQ(read.Samples.size(), ShortSpec().Frames * 2);
}

TEST_F(FlacDamage, CutShort) {
    for (size_t keep : {size_t(audio_) + (bytes_.size() - size_t(audio_)) * 3 / 5, size_t(audio_),
                        bytes_.size() - 1}) {
        const std::vector<unsigned char> bytes(bytes_.begin(), bytes_.begin() + long(keep));
        const std::string why = Refusal(bytes);
        EXPECT_NE(why.find("cut short"), std::string::npos) << why;
    }
    // Within the metadata.
    const std::vector<unsigned char> header(bytes_.begin(), bytes_.begin() + 100);
    EXPECT_NE(Refusal(header).find("cut short in its metadata"), std::string::npos);
}

TEST_F(FlacDamage, SamplesThatDoNotMatchTheirSignature) {
    std::vector<unsigned char> bytes = bytes_;
    bytes[8 + 18 + 5] ^= 0x01;  // a byte of STREAMINFO's MD5 signature
    EXPECT_NE(Refusal(bytes).find("MD5"), std::string::npos);
}

// The count STREAMINFO gives is checked on its own: the signature still matches.
TEST_F(FlacDamage, ASampleCountThatDoesNotMatch) {
    const uint64_t frames = ShortSpec().Frames;
    EXPECT_NE(Refusal(WithSampleCount(frames + 100)).find("cut short"), std::string::npos);
    EXPECT_NE(Refusal(WithSampleCount(frames - 100)).find("more samples"), std::string::npos);
    // 0 is "not known", as a stream encoder that could not seek back leaves it.
    test::WriteBytes(bad_, WithSampleCount(0));
    const test::ReaderOutcome read = test::ReadThroughReader(bad_);
    EXPECT_TRUE(read.Finished) << read.Error;
    EXPECT_EQ(read.Samples.size(), frames * 2);
}

// STREAMINFO says 24 bits where the frames hold 16: the samples would be read on the wrong scale.
TEST_F(FlacDamage, FramesOfAnotherFormatThanTheHeaderGives) {
    std::vector<unsigned char> bytes = bytes_;
    bytes[8 + 12] |= 0x01;  // bits per sample less one: 0b01111 becomes 0b10111
    bytes[8 + 13] &= 0x7F;
    const std::string why = Refusal(bytes);
    EXPECT_NE(why.find("a frame of another format than STREAMINFO gives at sample 0"),
              std::string::npos)
        << why;
}

TEST_F(FlacDamage, ABlockLongerThanTheFile) {
    std::vector<unsigned char> bytes = bytes_;
    bytes[4 + 4 + 34 + 1] = 0x7F;  // the comment block's length, now near 8 MB
    EXPECT_NE(Refusal(bytes).find("cut short in its metadata"), std::string::npos);
}

TEST_F(FlacDamage, OggFlacHasItsOwnReason) {
    if (FLAC_API_SUPPORTS_OGG_FLAC) {
        FLAC__StreamEncoder* encoder = FLAC__stream_encoder_new();
        FLAC__stream_encoder_set_channels(encoder, 2);
        FLAC__stream_encoder_set_ogg_serial_number(encoder, 7);
        ASSERT_EQ(FLAC__stream_encoder_init_ogg_file(encoder, bad_.c_str(), nullptr, nullptr),
                  FLAC__STREAM_ENCODER_INIT_STATUS_OK);
        const int32_t silence[2 * 100] = {};
        FLAC__stream_encoder_process_interleaved(encoder, silence, 100);
        FLAC__stream_encoder_finish(encoder);
        FLAC__stream_encoder_delete(encoder);
    } else {
        std::vector<unsigned char> page(64, 0);
        std::memcpy(page.data(), "OggS", 4);
        std::memcpy(page.data() + 28,
                    "\x7F"
                    "FLAC",
                    5);
        test::WriteBytes(bad_, page);
    }
    const test::ReaderOutcome read = test::ReadThroughReader(bad_);
    EXPECT_FALSE(read.Opened);
    EXPECT_EQ(read.Error, bad_ + " is an Ogg FLAC file: only native FLAC files (.flac) are read");
}

TEST_F(FlacDamage, NotFlacAtAll) {
    const std::vector<uint8_t> wav = test::MakeWav(test::Samples(200, 5));
    const std::vector<unsigned char> mp3 = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 2, 0, 0, 0xFF, 0xFB};
    for (const std::vector<unsigned char>& bytes :
         {std::vector<unsigned char>(wav.begin(), wav.end()), mp3, std::vector<unsigned char>{},
          std::vector<unsigned char>{'f', 'L', 'a'}}) {
        EXPECT_EQ(Refusal(bytes), bad_ + " is not a FLAC file");
    }
}

// A long file is decoded with the memory of one frame, however long it is: the heap in use
// never grows by a megabyte while two minutes of stereo (42 MB as 32-bit samples) go by.
TEST(FlacReader, DecodesALongFileInBoundedMemory) {
    test::TempDir dir;
    FlacShape shape;
    shape.Frames = uint64_t{120} * 44100;
    shape.Level = 0;
    shape.AllBlocks = false;
    test::MakeFlacFile(dir.File("long.flac"), shape);

    std::unique_ptr<PassFile> file = PosixFileAccess().OpenExisting(dir.File("long.flac"));
    ASSERT_NE(file, nullptr);
    FlacReader reader(*file, dir.File("long.flac"));
    ASSERT_TRUE(reader.Open()) << reader.Error();
    std::vector<int32_t> piece(4096 * 2);
    auto inUse = [] {
        const struct mallinfo2 info = mallinfo2();
        return info.uordblks + info.hblkhd;
    };
    ASSERT_EQ(reader.Read(piece.data(), 4096), 4096u);
    const size_t start = inUse();
    size_t most = start;
    uint64_t frames = 4096;
    uint64_t checksum = 0;
    for (int n = 0; size_t got = reader.Read(piece.data(), 4096); ++n) {
        frames += got;
        checksum += uint32_t(piece[got - 1]);
        if (n % 64 == 0) {
            most = std::max(most, inUse());
        }
    }
    EXPECT_TRUE(reader.Finished()) << reader.Error();
    EXPECT_EQ(frames, shape.Frames);
    EXPECT_NE(checksum, 0u);
    EXPECT_LT(most - start, size_t{1} << 20);
}

}  // namespace
}  // namespace tralux

namespace tralux {
namespace {

// A file that takes no byte, as on a full disk.
class FullFile final : public PassFile {
public:
    size_t Read(void*, size_t) override { return 0; }
    bool Write(const void*, size_t) override { return false; }
    bool Seek(int64_t) override { return true; }
    FileIdentity Identity() const override { return {}; }
};

// What would make a broken result stops the writer, and the caller then commits nothing.
TEST(FlacWriter, RefusesWhatWouldMakeABrokenResult) {
    test::TempDir dir;
    FlacShape shape = ShortSpec();
    shape.Frames = 10000;
    test::MakeFlacFile(dir.File("source.flac"), shape);
    std::unique_ptr<PassFile> input = PosixFileAccess().OpenExisting(dir.File("source.flac"));
    FlacReader reader(*input, dir.File("source.flac"));
    ASSERT_TRUE(reader.Open());
    const std::string result = dir.File("result.flac");
    std::vector<int32_t> samples = test::SamplesOf(shape);
    {
        std::unique_ptr<PassFile> output = PosixFileAccess().Create(result, nullptr);
        FlacWriter writer(*output, result, reader.Stream(), shape.Frames, 5);
        ASSERT_TRUE(writer.Start());
        samples[2 * 5000 + 1] = 32768;
        EXPECT_FALSE(writer.Write(samples.data(), shape.Frames));
        EXPECT_EQ(writer.Error(), result + " could not be written (a sample beyond 16 bits)");
        EXPECT_FALSE(writer.Finish());
        samples[2 * 5000 + 1] = 0;
    }
    {
        std::unique_ptr<PassFile> output = PosixFileAccess().Create(result, nullptr);
        FlacWriter writer(*output, result, reader.Stream(), shape.Frames, 5);
        ASSERT_TRUE(writer.Start());
        EXPECT_TRUE(writer.Write(samples.data(), 5000));
        EXPECT_FALSE(writer.Finish());
        EXPECT_NE(writer.Error().find("5000 of 10000 samples"), std::string::npos);
        EXPECT_FALSE(writer.Write(samples.data(), 5000)) << "a failure sticks";
    }
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"source.flac"});
    FullFile full;
    FlacWriter writer(full, result, reader.Stream(), shape.Frames, 5);
    const bool written =
        writer.Start() && writer.Write(samples.data(), shape.Frames) && writer.Finish();
    EXPECT_FALSE(written);
    EXPECT_TRUE(writer.OutputFailed());
    EXPECT_EQ(writer.Error(), result + " could not be written");
}

}  // namespace
}  // namespace tralux
