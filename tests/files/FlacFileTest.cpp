#include <FLAC/metadata.h>
#include <gtest/gtest.h>
#include <strings.h>

#include <cstdlib>

#include "FlacRoundTrip.h"
#include "FlacTestFiles.h"
#include "TempDir.h"
#include "files/FlacLevel.h"
#include "files/FlacMetadata.h"

namespace tralux {
namespace {

using test::FlacShape;
using test::RawBlock;

constexpr int SeekTableType = 3, VorbisCommentType = 4;

bool IsReplayGain(const FLAC__StreamMetadata_VorbisComment_Entry& entry) {
    return entry.length >= 11 &&
           strncasecmp(reinterpret_cast<const char*>(entry.entry), "REPLAYGAIN_", 11) == 0;
}

std::string Text(const FLAC__StreamMetadata_VorbisComment_Entry& entry) {
    return {reinterpret_cast<const char*>(entry.entry), entry.length};
}

uint64_t Big64(const unsigned char* at) {
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) {
        value = value << 8 | at[i];
    }
    return value;
}

// The tags libFLAC reads from path: the vendor string, then each field.
std::vector<std::string> TagsOf(const std::string& path, size_t* replayGainBytes = nullptr) {
    FLAC__StreamMetadata* tags = nullptr;
    EXPECT_TRUE(FLAC__metadata_get_tags(path.c_str(), &tags)) << path;
    std::vector<std::string> texts;
    if (tags == nullptr) {
        return texts;
    }
    const FLAC__StreamMetadata_VorbisComment& comment = tags->data.vorbis_comment;
    texts.push_back(Text(comment.vendor_string));
    size_t dropped = 0;
    for (uint32_t i = 0; i < comment.num_comments; ++i) {
        if (IsReplayGain(comment.comments[i])) {
            dropped += 4 + comment.comments[i].length;
        } else {
            texts.push_back(Text(comment.comments[i]));
        }
    }
    if (replayGainBytes != nullptr) {
        *replayGainBytes = dropped;
    }
    FLAC__metadata_object_delete(tags);
    return texts;
}

bool HaveFlacTool() {
    return std::system("command -v flac >/dev/null 2>&1") == 0;
}

class FlacRoundTrip : public testing::TestWithParam<FlacShape> {
protected:
    test::TempDir dir_;
    std::string source_ = dir_.File("source.flac");
    std::string result_ = dir_.File("result.flac");
};

// Every sample comes back as it went in, through the reader and then through the writer.
TEST_P(FlacRoundTrip, SamplesComeBackAsTheyWentIn) {
    const FlacShape shape = GetParam();
    test::MakeFlacFile(source_, shape);
    const std::vector<int32_t> expected = test::SamplesOf(shape);

    const test::ReaderOutcome read = test::ReadThroughReader(source_, 777);
    ASSERT_TRUE(read.Finished) << read.Error;
    EXPECT_TRUE(read.Samples == expected);

    ASSERT_EQ(test::Rewrite(source_, result_, 5), "");
    std::vector<int32_t> decoded;
    ASSERT_TRUE(test::DecodeWithLibFlac(result_, decoded));
    EXPECT_TRUE(decoded == expected);
    // The same samples give the same signature; the format is the source's.
    const std::vector<RawBlock> source = test::RawBlocksOf(source_);
    const std::vector<RawBlock> result = test::RawBlocksOf(result_);
    ASSERT_EQ(result.at(0).Body.size(), 34u);
    EXPECT_TRUE(std::equal(result[0].Body.begin() + 10, result[0].Body.end(),
                           source.at(0).Body.begin() + 10))
        << "rate, channels, bits, sample count or MD5 changed";
    EXPECT_EQ(dir_.Names(), (std::vector<std::string>{"result.flac", "source.flac"}));
}

// Every block but STREAMINFO and SEEKTABLE is the source's, byte for byte and in its order; the
// comment block differs only by its REPLAYGAIN_* fields.
TEST_P(FlacRoundTrip, KeepsEveryBlock) {
    test::MakeFlacFile(source_, GetParam());
    ASSERT_EQ(test::Rewrite(source_, result_, 5), "");
    const std::vector<RawBlock> source = test::RawBlocksOf(source_);
    const std::vector<RawBlock> result = test::RawBlocksOf(result_);
    ASSERT_EQ(result.size(), source.size());
    ASSERT_EQ(source.size(), 8u);
    for (size_t i = 0; i < source.size(); ++i) {
        EXPECT_EQ(result[i].Type, source[i].Type) << "block " << i;
        EXPECT_EQ(result[i].Last, i + 1 == source.size()) << "block " << i;
        if (i > 0 && source[i].Type != SeekTableType && source[i].Type != VorbisCommentType) {
            EXPECT_TRUE(result[i].Body == source[i].Body) << "block " << i;
        }
    }
    size_t replayGainBytes = 0;
    const std::vector<std::string> sourceTags = TagsOf(source_, &replayGainBytes);
    EXPECT_EQ(TagsOf(result_), sourceTags);
    EXPECT_EQ(sourceTags.size(), 5u) << "vendor and four fields kept";
    EXPECT_GT(replayGainBytes, 0u);
    EXPECT_EQ(result.at(1).Body.size() + replayGainBytes, source.at(1).Body.size());
}

// The rebuilt table has the source's points, each leading to a frame of the result.
TEST_P(FlacRoundTrip, SeekTableLeadsToTheNewFrames) {
    test::MakeFlacFile(source_, GetParam());
    // Level 8 against the source's 5: the same block size, other frame sizes.
    ASSERT_EQ(test::Rewrite(source_, result_, 8), "");
    int64_t audio = 0;
    const std::vector<RawBlock> source = test::RawBlocksOf(source_);
    const std::vector<RawBlock> result = test::RawBlocksOf(result_, 0, &audio);
    const std::vector<unsigned char> bytes = test::FileBytes(result_);
    ASSERT_EQ(source.at(2).Type, SeekTableType);
    ASSERT_EQ(result.at(2).Type, SeekTableType);
    ASSERT_EQ(result[2].Body.size(), source[2].Body.size());
    size_t placeholders = 0;
    bool offsetsDiffer = false;
    for (size_t at = 0; at < result[2].Body.size(); at += 18) {
        const uint64_t sample = Big64(&result[2].Body[at]);
        EXPECT_EQ(sample, Big64(&source[2].Body[at])) << "point " << at / 18;
        if (sample == ~uint64_t{0}) {
            ++placeholders;
            continue;
        }
        const uint64_t offset = Big64(&result[2].Body[at + 8]);
        offsetsDiffer = offsetsDiffer || offset != Big64(&source[2].Body[at + 8]);
        ASSERT_LT(uint64_t(audio) + offset + 1, bytes.size());
        EXPECT_EQ(bytes[size_t(audio) + offset], 0xFF) << "point " << at / 18;
        EXPECT_EQ(bytes[size_t(audio) + offset + 1] & 0xFE, 0xF8) << "point " << at / 18;
    }
    EXPECT_EQ(placeholders, 2u);
    EXPECT_TRUE(offsetsDiffer) << "the points still lead to the source's frames";
}

TEST_P(FlacRoundTrip, ResultPassesTheFlacTool) {
    if (!HaveFlacTool()) {
        GTEST_SKIP() << "the flac tool is not installed";
    }
    test::MakeFlacFile(source_, GetParam());
    ASSERT_EQ(test::Rewrite(source_, result_, 5), "");
    EXPECT_EQ(std::system(("flac -t -s '" + result_ + "'").c_str()), 0);
}

FlacShape Shape(uint32_t channels, uint32_t bits, uint32_t rate, uint64_t frames) {
    FlacShape shape;
    shape.Channels = channels;
    shape.Bits = bits;
    shape.Rate = rate;
    shape.Frames = frames;
    return shape;
}

INSTANTIATE_TEST_SUITE_P(Formats, FlacRoundTrip,
                         testing::Values(Shape(2, 16, 44100, 100000), Shape(2, 24, 96000, 150000),
                                         Shape(1, 8, 22050, 50000), Shape(1, 16, 48000, 70001),
                                         Shape(2, 32, 48000, 60000), Shape(6, 20, 48000, 50000)),
                         [](const testing::TestParamInfo<FlacShape>& info) {
                             return std::to_string(info.param.Bits) + "bit" +
                                    std::to_string(info.param.Channels) + "ch";
                         });

// A source with neither tags nor a seek table gets none: the encoder's own comment block is not
// added.
TEST(FlacWriter, AddsNoBlockTheSourceLacks) {
    test::TempDir dir;
    FlacShape shape = Shape(2, 16, 44100, 30000);
    shape.AllBlocks = false;
    test::MakeFlacFile(dir.File("made.flac"), shape);
    // libFLAC always writes a comment block; the source keeps only STREAMINFO.
    int64_t audio = 0;
    const std::vector<RawBlock> made = test::RawBlocksOf(dir.File("made.flac"), 0, &audio);
    ASSERT_EQ(made.size(), 2u);
    std::vector<unsigned char> bare = test::FileBytes(dir.File("made.flac"));
    bare.erase(bare.begin() + 42, bare.begin() + audio);
    bare[4] |= 0x80;
    test::WriteBytes(dir.File("bare.flac"), bare);

    ASSERT_EQ(test::Rewrite(dir.File("bare.flac"), dir.File("result.flac"), 5), "");
    const std::vector<RawBlock> result = test::RawBlocksOf(dir.File("result.flac"));
    ASSERT_EQ(result.size(), 1u);
    EXPECT_TRUE(result[0].Last);
    std::vector<int32_t> decoded;
    EXPECT_TRUE(test::DecodeWithLibFlac(dir.File("result.flac"), decoded));
    EXPECT_TRUE(decoded == test::SamplesOf(shape));
}

// An ID3v2 tag before "fLaC" is read past and kept in front of the result.
TEST(FlacWriter, KeepsALeadingId3Tag) {
    test::TempDir dir;
    const FlacShape shape = Shape(2, 16, 44100, 20000);
    test::MakeFlacFile(dir.File("plain.flac"), shape);
    std::vector<unsigned char> tagged = {'I', 'D', '3', 4, 0, 0, 0, 0, 0, 20};
    for (int i = 0; i < 20; ++i) {
        tagged.push_back(static_cast<unsigned char>('a' + i));
    }
    const std::vector<unsigned char> plain = test::FileBytes(dir.File("plain.flac"));
    tagged.insert(tagged.end(), plain.begin(), plain.end());
    test::WriteBytes(dir.File("tagged.flac"), tagged);

    ASSERT_EQ(test::Rewrite(dir.File("tagged.flac"), dir.File("result.flac"), 5), "");
    const std::vector<unsigned char> result = test::FileBytes(dir.File("result.flac"));
    ASSERT_GT(result.size(), 34u);
    EXPECT_TRUE(std::equal(tagged.begin(), tagged.begin() + 34, result.begin()));
    std::vector<int32_t> decoded;
    EXPECT_TRUE(test::DecodeWithLibFlac(dir.File("result.flac"), decoded));
    EXPECT_TRUE(decoded == test::SamplesOf(shape));
    EXPECT_EQ(test::RawBlocksOf(dir.File("result.flac"), 30).size(), 8u);
}

// Bytes after the last frame (an ID3v1 tag) are kept after the result's last frame; more of
// them than a result carries make the file refused, never written without them.
TEST(FlacWriter, KeepsTheBytesAfterTheLastFrame) {
    test::TempDir dir;
    const FlacShape shape = Shape(2, 16, 44100, 20000);
    test::MakeFlacFile(dir.File("plain.flac"), shape);
    const std::vector<unsigned char> plain = test::FileBytes(dir.File("plain.flac"));
    std::vector<unsigned char> tag = {'T', 'A', 'G'};
    for (int i = 3; i < 128; ++i) {
        tag.push_back(static_cast<unsigned char>(i < 33 ? 'a' + i % 26 : 0));
    }
    std::vector<unsigned char> tagged = plain;
    tagged.insert(tagged.end(), tag.begin(), tag.end());
    test::WriteBytes(dir.File("tagged.flac"), tagged);

    ASSERT_EQ(test::Rewrite(dir.File("tagged.flac"), dir.File("result.flac"), 8), "");
    std::vector<unsigned char> result = test::FileBytes(dir.File("result.flac"));
    ASSERT_GT(result.size(), tag.size());
    EXPECT_TRUE(std::equal(tag.begin(), tag.end(), result.end() - ptrdiff_t(tag.size())));
    const test::ReaderOutcome reread = test::ReadThroughReader(dir.File("result.flac"));
    ASSERT_TRUE(reread.Finished) << reread.Error;
    EXPECT_TRUE(reread.Samples == test::SamplesOf(shape));
    // Without the tag the result is a plain FLAC file of the same samples.
    result.resize(result.size() - tag.size());
    test::WriteBytes(dir.File("untagged.flac"), result);
    std::vector<int32_t> decoded;
    EXPECT_TRUE(test::DecodeWithLibFlac(dir.File("untagged.flac"), decoded));
    EXPECT_TRUE(decoded == test::SamplesOf(shape));

    // A plain file's result ends with its last frame.
    ASSERT_EQ(test::Rewrite(dir.File("plain.flac"), dir.File("plain-result.flac"), 8), "");
    EXPECT_EQ(test::FileBytes(dir.File("plain-result.flac")), result);

    std::vector<unsigned char> bulky = plain;
    bulky.resize(plain.size() + MaxFlacTrailingBytes + 1, 'x');
    test::WriteBytes(dir.File("bulky.flac"), bulky);
    const test::ReaderOutcome refused = test::ReadThroughReader(dir.File("bulky.flac"), 4096);
    EXPECT_FALSE(refused.Finished);
    EXPECT_NE(refused.Error.find("bytes follow its last frame"), std::string::npos)
        << refused.Error;
}

// Each compression level leaves its marks in the frames; the guess reads them back.
TEST(FlacLevel, GuessesTheLevelOfLibFlacsPresets) {
    test::TempDir dir;
    // 1 and 7 cannot be told from 2 and 8 (see GuessFlacLevel).
    const int stereo[9] = {0, 2, 2, 3, 4, 5, 6, 8, 8};
    for (int level = 0; level <= 8; ++level) {
        FlacShape shape = Shape(2, 16, 44100, 44100 * 8);
        shape.Level = level;
        shape.AllBlocks = false;
        test::MakeFlacFile(dir.File("level.flac"), shape);
        const test::ReaderOutcome read = test::ReadThroughReader(dir.File("level.flac"), 4096);
        ASSERT_TRUE(read.Finished) << read.Error;
        EXPECT_EQ(GuessFlacLevel(read.Traits, 2), stereo[level]) << "level " << level;
    }
    // Mono streams show no channel decorrelation.
    for (const auto& [level, guess] : {std::pair{0, 0}, {2, 0}, {3, 3}, {5, 5}, {8, 8}}) {
        FlacShape shape = Shape(1, 24, 48000, 48000 * 8);
        shape.Level = level;
        shape.AllBlocks = false;
        test::MakeFlacFile(dir.File("mono.flac"), shape);
        const test::ReaderOutcome read = test::ReadThroughReader(dir.File("mono.flac"), 4096);
        ASSERT_TRUE(read.Finished) << read.Error;
        EXPECT_EQ(GuessFlacLevel(read.Traits, 1), guess) << "mono level " << level;
    }
}

TEST(FlacLevel, SilenceSaysNothingAndGivesTheDefault) {
    test::TempDir dir;
    FlacShape shape = Shape(2, 16, 44100, 44100);
    shape.Silent = true;
    shape.Level = 8;
    test::MakeFlacFile(dir.File("silent.flac"), shape);
    const test::ReaderOutcome read = test::ReadThroughReader(dir.File("silent.flac"));
    ASSERT_TRUE(read.Finished) << read.Error;
    EXPECT_EQ(GuessFlacLevel(read.Traits, 2), DefaultFlacLevel);
}

TEST(FlacMetadata, ReplayGainFieldsGoTheRestStays) {
    auto le = [](std::vector<unsigned char>& out, uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            out.push_back(static_cast<unsigned char>(v >> (8 * i)));
        }
    };
    auto body = [&](const std::vector<std::string>& fields, const std::string& tail) {
        std::vector<unsigned char> out;
        le(out, 3);
        out.insert(out.end(), {'v', 'e', 'n'});
        le(out, uint32_t(fields.size()));
        for (const std::string& field : fields) {
            le(out, uint32_t(field.size()));
            out.insert(out.end(), field.begin(), field.end());
        }
        out.insert(out.end(), tail.begin(), tail.end());
        return out;
    };
    const auto filtered = WithoutReplayGain(
        body({"A=1", "rEpLaYgAiN_track_gain=1", "REPLAYGAIN_=x", "REPLAYGAIN=y", "B=2"}, "\x01"));
    ASSERT_TRUE(filtered.has_value());
    EXPECT_TRUE(*filtered == body({"A=1", "REPLAYGAIN=y", "B=2"}, "\x01"));
    // Lengths that run past the block: not a comment block that can be filtered.
    std::vector<unsigned char> broken = body({"A=1"}, "");
    broken[11] = 9;
    EXPECT_FALSE(WithoutReplayGain(broken).has_value());
    EXPECT_FALSE(WithoutReplayGain({1, 2, 3}).has_value());
}

}  // namespace
}  // namespace tralux
