#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "TempDir.h"
#include "TestWav.h"
#include "files/WaveHeader.h"

namespace tralux {
namespace {

using test::ExtraChunk;
using test::WavLayout;

std::vector<uint8_t> Bytes(size_t count, uint8_t value = 0) {
    return std::vector<uint8_t>(count, value);
}

void PutLe32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

class WaveHeader : public testing::Test {
protected:
    WaveHeaderInfo Check(const std::vector<uint8_t>& bytes) {
        const std::string path = dir.File("file.wav");
        test::WriteFile(path, bytes);
        return ReadWaveHeader(path);
    }
    test::TempDir dir;
};

TEST_F(WaveHeader, CanonicalHeaderIs44Bytes) {
    const auto info = Check(test::MakeWav(test::Constant(10, 1, 2)));
    EXPECT_EQ(info.Result, WaveCheckResult::Valid);
    EXPECT_EQ(info.HeaderSize, 44);
    EXPECT_EQ(info.FrameCount, 10);
    EXPECT_EQ(info.TailBytes, 0);
}

TEST_F(WaveHeader, ChunksAroundFormatAddToHeaderSize) {
    WavLayout layout;
    layout.chunksBeforeFormat = {{"LIST", Bytes(26)}};
    layout.formatChunkSize = 18;
    layout.chunksBeforeData = {{"fact", Bytes(4)}};
    const auto info = Check(test::MakeWav(test::Constant(3, 1, 2), layout));
    EXPECT_EQ(info.Result, WaveCheckResult::Valid);
    EXPECT_EQ(info.HeaderSize, 28 + 18 + (26 + 8) + (4 + 8));
    EXPECT_EQ(info.FrameCount, 3);
}

TEST_F(WaveHeader, OddDataSizeLeavesTailBytes) {
    WavLayout layout;
    layout.tailBytes = 3;
    const auto info = Check(test::MakeWav(test::Constant(7, 1, 2), layout));
    EXPECT_EQ(info.Result, WaveCheckResult::Valid);
    EXPECT_EQ(info.FrameCount, 7);
    EXPECT_EQ(info.TailBytes, 3);

    layout.tailBytes = 2;
    const auto tenBytes = Check(test::MakeWav(test::Constant(2, 1, 2), layout));
    EXPECT_EQ(tenBytes.FrameCount, 2);
    EXPECT_EQ(tenBytes.TailBytes, 2);
}

TEST_F(WaveHeader, OnlyFirstDataChunkCounts) {
    WavLayout layout;
    // A data chunk of 8 bytes follows the real one; it is never looked at.
    layout.afterData = {'d', 'a', 't', 'a', 8, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8};
    const auto info = Check(test::MakeWav(test::Constant(5, 1, 2), layout));
    EXPECT_EQ(info.Result, WaveCheckResult::Valid);
    EXPECT_EQ(info.FrameCount, 5);
    EXPECT_EQ(info.HeaderSize, 44);
}

TEST_F(WaveHeader, DataChunkBeforeFormatIsNotFound) {
    // The search for the format chunk skips the data chunk; no data chunk follows.
    WavLayout layout;
    layout.chunksBeforeFormat = {{"data", Bytes(8)}};
    auto bytes = test::MakeWav({}, layout);
    bytes.resize(bytes.size() - 8);  // drop the trailing (empty) data chunk head
    EXPECT_EQ(Check(bytes).Result, WaveCheckResult::NotSupported);
}

TEST_F(WaveHeader, ChunkSizesNearFourGigabytesDoNotWrap) {
    // A skipped chunk claiming 0xFFFFFFF8 bytes would bring a 32-bit position back to the
    // format chunk; a 64-bit one runs off the end of the file.
    WavLayout layout;
    layout.chunksBeforeData = {{"junk", Bytes(0)}};
    auto bytes = test::MakeWav(test::Constant(4, 1, 2), layout);
    PutLe32(bytes, 44, 0xFFFFFFF8u);
    EXPECT_EQ(Check(bytes).Result, WaveCheckResult::NotSupported);
}

// Data sizes a program writing to a pipe leaves, and cut downloads: only what is there counts.
TEST_F(WaveHeader, DataSizePastTheEndCountsOnlyTheBytesHeld) {
    struct Claim {
        uint32_t DataSize;
        size_t Cut;  // file length; 0: the whole file
        int32_t Frames, Tail;
        bool Shorter;
    };
    for (const Claim& claim : {Claim{0xFFFFFFFFu, 0, 4, 0, true}, Claim{0x7FFFFFFFu, 0, 4, 0, true},
                               Claim{16, 44 + 9, 2, 1, true}, Claim{16, 0, 4, 0, false},
                               Claim{15, 0, 3, 3, false}, Claim{16, 44, 0, 0, true}}) {
        SCOPED_TRACE(claim.DataSize);
        auto bytes = test::MakeWav(test::Constant(4, 1, 2));
        PutLe32(bytes, 40, claim.DataSize);
        if (claim.Cut > 0) {
            bytes.resize(claim.Cut);
        }
        const auto info = Check(bytes);
        EXPECT_EQ(info.Result, WaveCheckResult::Valid);
        EXPECT_EQ(info.HeaderSize, 44);
        EXPECT_EQ(info.FrameCount, claim.Frames);
        EXPECT_EQ(info.TailBytes, claim.Tail);
        EXPECT_EQ(info.ShorterThanHeader, claim.Shorter);
    }
}

// Files that must be refused, each with a reason in its name.
struct Malformed {
    std::string Name;
    std::vector<uint8_t> Bytes;
    friend void PrintTo(const Malformed& m, std::ostream* os) { *os << m.Name; }
};

std::vector<uint8_t> Canonical() {
    return test::MakeWav(test::Constant(4, 100, -100));
}

std::vector<uint8_t> Cut(std::vector<uint8_t> bytes, size_t size) {
    bytes.resize(size);
    return bytes;
}

std::vector<uint8_t> Patched(std::vector<uint8_t> bytes, size_t at, uint32_t value) {
    PutLe32(bytes, at, value);
    return bytes;
}

std::vector<uint8_t> WithLayout(void (*change)(WavLayout&)) {
    WavLayout layout;
    change(layout);
    return test::MakeWav(test::Constant(4, 100, -100), layout);
}

std::vector<Malformed> MalformedFiles() {
    std::vector<Malformed> files = {
        {"Empty", {}},
        {"OnlyRiff", Cut(Canonical(), 4)},
        {"NoFormType", Cut(Canonical(), 8)},
        {"CutInFormatId", Cut(Canonical(), 14)},
        {"CutInFormatSize", Cut(Canonical(), 18)},
        {"CutInFormatFields", Cut(Canonical(), 30)},
        {"CutBeforeBitsPerSample", Cut(Canonical(), 35)},
        {"NoDataChunk", Cut(Canonical(), 36)},
        {"CutInDataId", Cut(Canonical(), 38)},
        {"CutInDataSize", Cut(Canonical(), 42)},
        {"LowerCaseRiff", Patched(Canonical(), 0, 0x66666972)},
        {"NotWave", Patched(Canonical(), 8, 0x49564124)},
        {"FormatSizePastEnd", Patched(Canonical(), 16, 0xFFFFFFFF)},
        {"FormatShorterThan16", Patched(Canonical(), 16, 14)},
        {"FormatSizeZero", Patched(Canonical(), 16, 0)},
        {"Bits20", WithLayout([](WavLayout& l) { l.bitsPerSample = 20; })},
        {"Float", WithLayout([](WavLayout& l) { l.formatTag = 3; })},
        {"Extensible", WithLayout([](WavLayout& l) {
             l.formatTag = 65534;
             l.formatChunkSize = 40;
         })},
        {"Garbage", std::vector<uint8_t>(1000, 0xA7)},
    };
    // A chunk before the format chunk whose size runs past the end of the file.
    WavLayout before;
    before.chunksBeforeFormat = {{"LIST", Bytes(4)}};
    files.push_back({"ChunkBeforeFormatPastEnd",
                     Patched(test::MakeWav(test::Constant(4, 1, 1), before), 16, 0x7FFFFFFF)});
    files.push_back({"ChunkBeforeFormatMaxSize",
                     Patched(test::MakeWav(test::Constant(4, 1, 1), before), 16, 0xFFFFFFFF)});
    // A chunk between format and data whose size runs past the end of the file.
    WavLayout between;
    between.chunksBeforeData = {{"fact", Bytes(4)}};
    files.push_back({"ChunkBeforeDataPastEnd",
                     Patched(test::MakeWav(test::Constant(4, 1, 1), between), 40, 1000)});
    files.push_back({"ChunkBeforeDataMaxSize",
                     Patched(test::MakeWav(test::Constant(4, 1, 1), between), 40, 0xFFFFFFFF)});
    // A chunk head cut off after its id.
    files.push_back({"CutChunkHead", Cut(test::MakeWav({}, before), 16)});
    return files;
}

class MalformedHeader : public WaveHeader, public testing::WithParamInterface<Malformed> {};

TEST_P(MalformedHeader, IsNotSupported) {
    const auto info = Check(GetParam().Bytes);
    EXPECT_EQ(info.Result, WaveCheckResult::NotSupported);
}

INSTANTIATE_TEST_SUITE_P(Files, MalformedHeader, testing::ValuesIn(MalformedFiles()),
                         [](const auto& info) { return info.param.Name; });

// 16-bit files of any channel count and rate are taken; frames are counted in their own size.
TEST_F(WaveHeader, SixteenBitFilesOfAnyChannelsAndRateAreTaken) {
    const auto check = [this](uint16_t channels, uint32_t rate) {
        WavLayout layout;
        layout.channels = channels;
        layout.sampleRate = rate;
        layout.tailBytes = 1;
        return Check(test::MakeWav(test::Constant(12, 1, 2), layout));  // 48 bytes of samples
    };
    const auto mono = check(1, 48000);
    EXPECT_EQ(mono.Result, WaveCheckResult::Valid);
    EXPECT_EQ(mono.FrameCount, 24);
    EXPECT_EQ(mono.TailBytes, 1);
    const auto six = check(6, 96000);
    EXPECT_EQ(six.Result, WaveCheckResult::Valid);
    EXPECT_EQ(six.FrameCount, 4);
    EXPECT_EQ(six.TailBytes, 1);
    EXPECT_EQ(six.File.Format.Channels, 6u);
    EXPECT_EQ(six.File.Format.SampleRate, 96000u);
}

TEST_F(WaveHeader, MissingFileCannotBeOpened) {
    EXPECT_EQ(ReadWaveHeader(dir.File("absent.wav")).Result, WaveCheckResult::CannotOpen);
}

TEST_F(WaveHeader, FolderCannotBeOpened) {
    EXPECT_EQ(ReadWaveHeader(dir.Path().string()).Result, WaveCheckResult::CannotOpen);
}

TEST_F(WaveHeader, FifoIsRefusedWithoutBlocking) {
    const std::string fifo = dir.File("pipe.wav");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // No writer ever opens the pipe: a blocking open would hang here.
    EXPECT_EQ(ReadWaveHeader(fifo).Result, WaveCheckResult::CannotOpen);
}

TEST_F(WaveHeader, DeviceCannotBeOpened) {
    EXPECT_EQ(ReadWaveHeader("/dev/zero").Result, WaveCheckResult::CannotOpen);
}

TEST_F(WaveHeader, FileLockedElsewhereCannotBeOpenedUntilReleased) {
    const std::string path = test::WriteWav(dir.File("held.wav"), test::Constant(4, 1, 2));
    const int other = open(path.c_str(), O_RDONLY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(ReadWaveHeader(path).Result, WaveCheckResult::CannotOpen);
    close(other);
    EXPECT_EQ(ReadWaveHeader(path).Result, WaveCheckResult::Valid);
}

TEST_F(WaveHeader, UnreadableFileCannotBeOpened) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "permissions do not bind root";
    }
    const std::string path = test::WriteWav(dir.File("secret.wav"), test::Constant(4, 1, 2));
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    EXPECT_EQ(ReadWaveHeader(path).Result, WaveCheckResult::CannotOpen);
}

TEST_F(WaveHeader, CheckLeavesFileUnchanged) {
    const auto bytes = Canonical();
    test::WriteFile(dir.File("same.wav"), bytes);
    ASSERT_EQ(ReadWaveHeader(dir.File("same.wav")).Result, WaveCheckResult::Valid);
    EXPECT_EQ(test::ReadFile(dir.File("same.wav")), bytes);
}

// ---------------------------------------------------------------------------------------
// Long runs of empty chunks: a file of zeros after the WAVE tag is a run of 8-byte chunks
// with no id and no body.

// A file held in memory whose reads are counted: the canonical head with the given bytes
// from offset 12 on, and zeros up to size.
struct CountedFile {
    std::vector<uint8_t> head;
    int64_t size = 0;
    int reads = 0;

    HeaderReadAt ReadAt() {
        return [this](void* buffer, size_t count, int64_t offset) -> size_t {
            ++reads;
            if (offset >= size) {
                return 0;
            }
            const auto got = static_cast<size_t>(std::min<int64_t>(int64_t(count), size - offset));
            auto* out = static_cast<uint8_t*>(buffer);
            for (size_t i = 0; i < got; ++i) {
                const int64_t at = offset + int64_t(i);
                out[i] = at < int64_t(head.size()) ? head[size_t(at)] : 0;
            }
            return got;
        };
    }
};

std::vector<uint8_t> RiffWaveHead() {
    return {'R', 'I', 'F', 'F', 0xFF, 0xFF, 0xFF, 0xFF, 'W', 'A', 'V', 'E'};
}

TEST(WaveHeaderWalk, EmptyChunksAreWalkedInLargePieces) {
    CountedFile file{RiffWaveHead(), int64_t{64} << 20};
    const auto info = CheckWaveHeader(file.ReadAt(), file.size);
    EXPECT_EQ(info.Result, WaveCheckResult::NotSupported);
    // One read per piece, not one per field of each of the 8 million chunks.
    EXPECT_LE(file.reads, int(file.size / int64_t(HeaderPieceSize)) + 2);
}

TEST_F(WaveHeader, SparseFileOfEmptyChunksIsJudgedQuickly) {
    const std::string path = dir.File("sparse.wav");
    test::WriteFile(path, RiffWaveHead());
    ASSERT_EQ(truncate(path.c_str(), off_t{64} << 20), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadWaveHeader(path).Result, WaveCheckResult::NotSupported);
    // Field by field this took over half a minute; piece by piece well under a second.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(WaveHeaderWalk, StopRequestEndsTheWalk) {
    CountedFile file{RiffWaveHead(), int64_t{64} << 20};
    int asked = 0;
    const auto info = CheckWaveHeader(file.ReadAt(), file.size, [&asked] { return ++asked == 3; });
    EXPECT_EQ(info.Result, WaveCheckResult::Stopped);
    EXPECT_EQ(asked, 3);
    EXPECT_EQ(file.reads, 2);
    EXPECT_EQ(info.HeaderSize, 0);
    EXPECT_EQ(RefusedFileMessage(info.Result, "x.wav"), "");
}

TEST_F(WaveHeader, StopQueryOnFileRefusedForTheStop) {
    const std::string path = dir.File("sparse.wav");
    test::WriteFile(path, RiffWaveHead());
    ASSERT_EQ(truncate(path.c_str(), off_t{64} << 20), 0);
    EXPECT_EQ(ReadWaveHeader(path, [] { return true; }).Result, WaveCheckResult::Stopped);
    const std::string valid = dir.File("valid.wav");
    test::WriteFile(valid, Canonical());
    EXPECT_EQ(ReadWaveHeader(valid, [] { return false; }).Result, WaveCheckResult::Valid);
}

// Chunk heads that straddle two pieces are read whole: the format chunk's id ends exactly at
// the first piece's end, the data chunk's id lies across the end of the second.
TEST(WaveHeaderWalk, ChunkHeadsAcrossPiecesAreReadWhole) {
    const auto piece = int64_t(HeaderPieceSize);
    std::vector<uint8_t> head = RiffWaveHead();
    head.resize(size_t(piece - 4), 0);  // empty chunks from 12 to the format chunk
    const std::vector<uint8_t> format = {'f',  'm',  't', ' ', 16,   0,    0, 0, 1, 0, 2,  0,
                                         0x44, 0xAC, 0,   0,   0x10, 0xB1, 2, 0, 4, 0, 16, 0};
    head.insert(head.end(), format.begin(), format.end());
    head[size_t(piece)] = 18;  // a format chunk of 18 bytes puts the next heads off the grid
    head.insert(head.end(), {0, 0});
    head.resize(size_t(2 * piece - 2), 0);  // more empty chunks up to the data chunk
    ASSERT_EQ((head.size() - size_t(piece + 22)) % 8, 0u);
    const std::vector<uint8_t> data = {'d', 'a', 't', 'a', 40, 0, 0, 0};
    head.insert(head.end(), data.begin(), data.end());
    CountedFile file{head, int64_t(head.size()) + 40};
    const auto info = CheckWaveHeader(file.ReadAt(), file.size);
    EXPECT_EQ(info.Result, WaveCheckResult::Valid);
    EXPECT_EQ(info.HeaderSize, 2 * piece + 6);
    EXPECT_EQ(info.FrameCount, 10);
    EXPECT_FALSE(info.ShorterThanHeader);
}

}  // namespace
}  // namespace tralux
