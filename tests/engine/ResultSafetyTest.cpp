// What the passes do when files change under them: a result replaced before it is rewritten in
// place, a source changed between its scan and its normalising pass, a source that holds less
// than its header says.

#include <gtest/gtest.h>

#include <filesystem>

#include "EngineFixture.h"

namespace tralux {
namespace {

namespace fs = std::filesystem;
using test::Samples;

class ResultSafety : public test::EngineTest {
protected:
    // A source scanned and normalised as Prepare leaves it.
    FileData Prepared(const Samples& samples) {
        FileData file = Add("song.wav", samples);
        engine.ScanFile(file);
        engine.NormaliseFile(file, 32767.0 / file.Peak);
        EXPECT_TRUE(file.Normalised);
        EXPECT_TRUE(file.ResultIdentity.Known);
        return file;
    }
    static std::string Replaced(const std::string& path) {
        return "Cannot write to result file \"" + path +
               "\" (it has been replaced since it was prepared)";
    }
    static std::string Changed(const FileData& file) {
        return "File \"" + file.SourceFile + "\" has changed since it was scanned; its result \"" +
               file.ResultFile + "\" has been left as it was";
    }
};

// Links put in the result's place are refused by whole runs (the reliability tests); these are
// the cases without a link: another file renamed over the result, and a file no pass created.
TEST_F(ResultSafety, RewriteReadsOnlyTheFileItsNormalisingPassCreated) {
    FileData file = Prepared(test::Constant(12000, 1000, -1000));
    const std::string other = test::WriteWav(dir.File("master.wav"), test::Constant(12000, 5, 5));
    fs::copy_file(other, file.ResultFile + ".new");
    fs::rename(file.ResultFile + ".new", file.ResultFile);
    const auto before = test::ReadFile(other);
    const ValueTable half = GainTable(0.5);
    const PassTotals expected{static_cast<int16_t>(file.Peak), file.ScanSumOfSquares};
    EXPECT_FALSE(engine.WriteMapped(file, file.ResultFile, file.ResultFile, half, "Final Limiting",
                                    expected));
    EXPECT_EQ(sink.Errors, std::vector<std::string>{Replaced(file.ResultFile)});
    EXPECT_FALSE(engine.Running);
    EXPECT_EQ(test::ReadFile(file.ResultFile), before);

    FileData unrecorded = Add("plain.wav", test::Constant(100, 9, 9));
    unrecorded.ResultFile = unrecorded.SourceFile;
    const auto plain = test::ReadFile(unrecorded.SourceFile);
    sink.Errors.clear();
    engine.Running = true;
    EXPECT_FALSE(engine.WriteMapped(unrecorded, unrecorded.SourceFile, unrecorded.SourceFile, half,
                                    "Reducing", PassTotals{9, 200 * 81}));
    EXPECT_EQ(sink.Errors, std::vector<std::string>{Replaced(unrecorded.SourceFile)});
    EXPECT_EQ(test::ReadFile(unrecorded.SourceFile), plain);
}

TEST_F(ResultSafety, SourceChangedAfterItsScanStopsNormalisingAndRemovesTheResult) {
    struct Change {
        const char* Name;
        void (*Make)(const std::string& source);
    };
    const Change changes[] = {
        {"one sample rewritten",
         [](const std::string& source) {
             auto bytes = test::ReadFile(source);
             bytes[44 + 4 * 7000] ^= 0x40;
             test::WriteFile(source, bytes);
         }},
        {"cut short", [](const std::string& source) { fs::resize_file(source, 44 + 4 * 9000); }},
        // Changes that keep the peak and the sum of squares the scan measured: 1 and 7 become
        // 5 and 5.
        {"two samples changed, the same peak and sum of squares",
         [](const std::string& source) {
             auto bytes = test::ReadFile(source);
             bytes[44 + 4 * 7000] = 5;
             bytes[44 + 4 * 7000 + 2] = 5;
             test::WriteFile(source, bytes);
         }},
        {"what follows the data cut off",
         [](const std::string& source) { fs::resize_file(source, 44 + 4 * 12000); }},
        {"the sample rate in the header",
         [](const std::string& source) {
             auto bytes = test::ReadFile(source);
             bytes[24] = 0x80;  // 44100 becomes 48000
             bytes[25] = 0xBB;
             test::WriteFile(source, bytes);
         }},
    };
    test::Samples samples = test::Noise(12000, 20000, 5);
    samples[2 * 7000] = 1;
    samples[2 * 7000 + 1] = 7;
    test::WavLayout layout;
    const std::string list = "LIST\x0c\0\0\0INFOISFT\0\0\0\0";
    layout.afterData.assign(list.begin(), list.end());
    for (const Change& change : changes) {
        SCOPED_TRACE(change.Name);
        FileData file = Add("song.wav", samples, layout);
        engine.Running = true;
        sink.Errors.clear();
        engine.ScanFile(file);
        change.Make(file.SourceFile);
        engine.NormaliseFile(file, 32767.0 / file.Peak);
        EXPECT_EQ(sink.Errors, std::vector<std::string>{Changed(file)});
        EXPECT_FALSE(engine.Running);
        EXPECT_FALSE(file.Normalised);
        EXPECT_FALSE(file.ResultIdentity.Known);
        EXPECT_FALSE(fs::exists(file.ResultFile));
    }
}

TEST_F(ResultSafety, OnlyTheUnfinishedResultItselfIsRemoved) {
    // Twenty-five chunks of 8 blocks: the later ones are read only after the first is done with,
    // so a change at the second block reaches what the pass reads.
    FileData file = Add("song.wav", test::Noise(200 * 5000, 20000, 5));
    engine.ScanFile(file);
    const std::string other = test::WriteWav(dir.File("other.wav"), test::Constant(10, 1, 1));
    const auto otherBytes = test::ReadFile(other);
    sink.Progress.clear();
    // While the pass runs, the source changes and another file takes the result's name.
    sink.AtBlock(2, [&] {
        fs::resize_file(file.SourceFile, 44 + 4 * 190 * 5000);
        fs::create_hard_link(other, dir.File("taken.wav"));
        fs::rename(dir.File("taken.wav"), file.ResultFile);
    });
    engine.NormaliseFile(file, 32767.0 / file.Peak);
    EXPECT_EQ(sink.Errors, std::vector<std::string>{Changed(file)});
    ASSERT_TRUE(fs::exists(file.ResultFile)) << "a file put in the result's place was removed";
    EXPECT_EQ(test::ReadFile(file.ResultFile), otherBytes);
}

// A data chunk claiming more than the file holds: the result says in its header what it holds,
// wherever the size fields fall among the pieces the header is copied in.
TEST_F(ResultSafety, ResultOfAShortSourceStatesItsTrueSizes) {
    for (const int64_t headerSize : {int64_t{44}, int64_t{40002}}) {
        SCOPED_TRACE(headerSize);
        test::WavLayout layout;
        if (headerSize > 44) {
            layout.chunksBeforeFormat = {
                {"LIST", std::vector<uint8_t>(size_t(headerSize - 52), 1)}};
        }
        auto bytes = test::MakeWav(test::Noise(7000, 9000, 3), layout);
        for (int k = 0; k < 4; ++k) {
            bytes[size_t(headerSize) - 4 + k] = 0xFF;  // 4 GiB claimed
        }
        bytes.resize(bytes.size() - 2);  // cut inside the last frame
        const std::string path = dir.File("short.wav");
        test::WriteFile(path, bytes);
        const WaveHeaderInfo info = ReadWaveHeader(path);
        ASSERT_EQ(info.HeaderSize, headerSize);
        ASSERT_TRUE(info.ShorterThanHeader);
        FileData file(path, info, numbers);
        EXPECT_EQ(file.FrameCount, 6999);
        EXPECT_EQ(file.TailBytes, 2);
        file.ResultFile = dir.File("out.wav");
        engine.ScanFile(file);
        engine.NormaliseFile(file, 1.0);
        ASSERT_TRUE(sink.Errors.empty());

        const auto result = test::ReadFile(file.ResultFile);
        ASSERT_EQ(result.size(), bytes.size());
        auto le32 = [&result](int64_t at) {
            uint32_t v = 0;
            for (int k = 3; k >= 0; --k) {
                v = v << 8 | result[size_t(at + k)];
            }
            return v;
        };
        EXPECT_EQ(le32(4), uint32_t(result.size() - 8));
        EXPECT_EQ(le32(headerSize - 4), uint32_t(6999 * 4 + 2));
        // Every other header byte as the source has it.
        auto expected = bytes;
        std::copy(result.begin() + 4, result.begin() + 8, expected.begin() + 4);
        std::copy(result.begin() + headerSize - 4, result.begin() + headerSize,
                  expected.begin() + headerSize - 4);
        EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + headerSize, result.begin()));
        fs::remove(file.ResultFile);
    }
}

}  // namespace
}  // namespace tralux
