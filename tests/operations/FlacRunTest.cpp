// The runs on FLAC files: taken in, measured and balanced as the WAV file of the same samples,
// written back as FLAC with the source's blocks kept; damage and Cancel leave no result that
// is not whole.

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "../files/FlacTestFiles.h"
#include "RunFixture.h"
#include "files/FileAccess.h"
#include "files/FlacLevel.h"
#include "files/FlacMetadata.h"
#include "files/FlacReader.h"
#include "operations/Intake.h"

namespace tralux::test {
namespace {

bool HaveFlacTool() {
    return std::system("flac --version > /dev/null 2>&1") == 0;
}

// The container bytes of the WAV file that holds these samples: the samples in the upper bits
// of their container, one-byte samples offset by 128.
std::vector<uint8_t> WavBytesOf(const std::vector<int32_t>& samples, uint32_t bits) {
    const int container = int(bits + 7) / 8;
    const int pad = 8 * container - int(bits);
    std::vector<uint8_t> bytes;
    bytes.reserve(samples.size() * size_t(container));
    for (const int32_t sample : samples) {
        const uint32_t stored = container == 1 ? uint32_t(sample + 128) : uint32_t(sample) << pad;
        for (int i = 0; i < container; ++i) {
            bytes.push_back(uint8_t(stored >> (8 * i)));
        }
    }
    return bytes;
}

std::vector<int32_t> SamplesOfWav(const std::vector<uint8_t>& file, int64_t offset, size_t count,
                                  uint32_t bits) {
    const int container = int(bits + 7) / 8;
    const int pad = 8 * container - int(bits);
    std::vector<int32_t> samples;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* at = file.data() + offset + i * size_t(container);
        if (container == 1) {
            samples.push_back(int32_t(at[0]) - 128);
            continue;
        }
        uint32_t raw = 0;
        for (int b = 0; b < container; ++b) {
            raw |= uint32_t(at[b]) << (8 * b + 8 * (4 - container));
        }
        samples.push_back(int32_t(raw) >> (8 * (4 - container) + pad));
    }
    return samples;
}

AnyWavLayout WavLayoutOf(const FlacShape& shape) {
    AnyWavLayout layout;
    layout.channels = uint16_t(shape.Channels);
    layout.sampleRate = shape.Rate;
    layout.bitsPerSample = uint16_t((shape.Bits + 7) / 8 * 8);
    if (shape.Bits % 8 != 0) {
        layout.formatTag = 0xFFFE;
        layout.validBits = uint16_t(shape.Bits);
    }
    return layout;
}

class FlacRun : public RunFixture {
protected:
    FileData& AddFlac(const std::string& name, const FlacShape& shape, int32_t group = 0) {
        const std::string path = dir.File(name);
        MakeFlacFile(path, shape);
        return AddTaken(path, group);
    }

    FileData& AddTwinWav(const std::string& name, const FlacShape& shape, int32_t group = 0) {
        const std::string path = dir.File(name);
        WriteFile(path, MakeAnyWav(WavBytesOf(SamplesOf(shape), shape.Bits), WavLayoutOf(shape)));
        return AddTaken(path, group);
    }

    FileData& AddTaken(const std::string& path, int32_t group) {
        Intake intake = TakeIn(path, listed, numbers);
        EXPECT_EQ(intake.outcome, Intake::Outcome::Added) << intake.refusal;
        if (!intake.record) {
            throw std::runtime_error("not taken: " + intake.refusal);
        }
        FileData& file = host.Add(std::move(intake.record));
        if (group > 0) {
            file.GroupNumber = group;
        }
        return file;
    }

    std::vector<int32_t> WavResult(const FileData& file, uint32_t bits) const {
        return SamplesOfWav(ReadFile(file.ResultFile), file.HeaderSize, size_t(file.SampleCount()),
                            bits);
    }

    // Every file in the folder that no test put there: what a run left beside its results.
    std::vector<std::string> Leftovers(const std::vector<std::string>& expected) const {
        std::vector<std::string> extra;
        for (const std::string& name : dir.Names()) {
            if (std::find(expected.begin(), expected.end(), name) == expected.end()) {
                extra.push_back(name);
            }
        }
        return extra;
    }

    SameFileIndex listed{SameFileRule::Listing};
};

class FlacAlbum : public FlacRun, public ::testing::WithParamInterface<FlacShape> {};

// Three tracks, two of them grouped, as FLAC and as WAV files of the same samples: the FLAC
// results decode to the WAV results' samples and keep every block but the three that
// describe the audio.
TEST_P(FlacAlbum, BalancesToTheWavPathsSamplesWithItsBlocksKept) {
    const double scales[] = {1.0, 0.3, 0.08};
    std::vector<FileData*> flacs;
    std::vector<FileData*> wavs;
    std::vector<FlacShape> shapes;
    for (int i = 0; i < 3; ++i) {
        FlacShape shape = GetParam();
        shape.Scale = scales[i];
        shapes.push_back(shape);
        const std::string name = "t" + std::to_string(i);
        flacs.push_back(&AddFlac(name + ".flac", shape, i < 2 ? 1 : 0));
        wavs.push_back(&AddTwinWav(name + ".wav", shape, i < 2 ? 2 : 0));
    }
    EXPECT_TRUE(flacs[0]->Flac);
    EXPECT_EQ(flacs[0]->Format.Sample, wavs[0]->Format.Sample);
    host.Choice = ReferenceChoice::Preset;
    host.PresetLevel = 6000.0;
    host.AnswerYes = true;
    options.maxcompfactor = 4.0;
    options.dofinalnorm = true;
    options.normaliselevel = 30000;

    ops.PrepareAndBalance(Request());

    ASSERT_TRUE(sink.Errors.empty()) << sink.Errors.front();
    EXPECT_GT(Passes("Compressing:") + Passes("Reducing:"), 0);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(flacs[i]->SourceFile);
        EXPECT_EQ(std::filesystem::path(flacs[i]->ResultFile).filename().string(),
                  "t" + std::to_string(i) + "_tralux.flac");
        std::vector<int32_t> decoded;
        ASSERT_TRUE(DecodeWithLibFlac(flacs[i]->ResultFile, decoded));
        const std::vector<int32_t> expected = WavResult(*wavs[i], shapes[i].Bits);
        EXPECT_EQ(decoded, expected);
        EXPECT_NE(decoded, SamplesOf(shapes[i]));
        EXPECT_DOUBLE_EQ(flacs[i]->Loudness, wavs[i]->Loudness);
        EXPECT_DOUBLE_EQ(flacs[i]->ScanLoudness, wavs[i]->ScanLoudness);

        const std::vector<RawBlock> source = RawBlocksOf(flacs[i]->SourceFile);
        const std::vector<RawBlock> result = RawBlocksOf(flacs[i]->ResultFile);
        ASSERT_EQ(result.size(), source.size());
        for (size_t b = 1; b < source.size(); ++b) {
            ASSERT_EQ(result[b].Type, source[b].Type);
            if (source[b].Type == int(FlacBlockType::VorbisComment)) {
                EXPECT_EQ(result[b].Body, *WithoutReplayGain(source[b].Body));
                EXPECT_NE(result[b].Body, source[b].Body);
            } else if (source[b].Type != int(FlacBlockType::SeekTable)) {
                EXPECT_EQ(result[b].Body, source[b].Body) << "block " << b;
            }
        }
        if (HaveFlacTool()) {
            EXPECT_EQ(std::system(("flac -t -s '" + flacs[i]->ResultFile + "'").c_str()), 0);
        }
    }
}

FlacShape AlbumSpec(uint32_t channels, uint32_t bits, uint32_t rate) {
    FlacShape shape;
    shape.Channels = channels;
    shape.Bits = bits;
    shape.Rate = rate;
    shape.Frames = 23000;  // blocks of 5000 stereo frames and a short last one
    return shape;
}

INSTANTIATE_TEST_SUITE_P(Formats, FlacAlbum,
                         ::testing::Values(AlbumSpec(2, 16, 44100), AlbumSpec(1, 16, 44100),
                                           AlbumSpec(2, 24, 96000), AlbumSpec(2, 20, 48000),
                                           AlbumSpec(1, 8, 8000), AlbumSpec(6, 24, 48000),
                                           AlbumSpec(2, 32, 48000), AlbumSpec(1, 28, 96000)));

TEST_F(FlacRun, IntakeDescribesTheFileAndRefusesWhatItCannotTake) {
    FlacShape shape = AlbumSpec(2, 24, 96000);
    const FileData& taken = AddFlac("a.flac", shape);
    EXPECT_TRUE(taken.Flac);
    EXPECT_EQ(taken.FrameCount, 23000);
    EXPECT_EQ(taken.Format.Sample, (SampleFormat{SampleCoding::Integer, 3, 24}));
    EXPECT_EQ(taken.Format.SampleRate, 96000u);

    // A header cut inside its blocks.
    std::vector<unsigned char> bytes = FileBytes(taken.SourceFile);
    const std::string cut = dir.File("cut.flac");
    WriteBytes(cut, std::vector<unsigned char>(bytes.begin(), bytes.begin() + 200));
    Intake intake = TakeIn(cut, listed, numbers);
    EXPECT_EQ(intake.outcome, Intake::Outcome::Refused);
    EXPECT_NE(intake.refusal.find(cut), std::string::npos) << intake.refusal;
    EXPECT_NE(intake.refusal.find("FLAC"), std::string::npos) << intake.refusal;

    // FLAC in an Ogg container: its first page names the mapping.
    std::vector<unsigned char> ogg(64, 0);
    std::memcpy(ogg.data(), "OggS", 4);
    std::memcpy(ogg.data() + 28,
                "\x7F"
                "FLAC",
                5);
    const std::string oggPath = dir.File("a.oga");
    WriteBytes(oggPath, ogg);
    intake = TakeIn(oggPath, listed, numbers);
    EXPECT_EQ(intake.outcome, Intake::Outcome::Refused);
    EXPECT_NE(intake.refusal.find("is an Ogg FLAC file, which Tralux cannot read"),
              std::string::npos)
        << intake.refusal;
}

// Damage the header does not show is met by the sweep: the run says so with the decoder's
// message, and no result takes its name.
TEST_F(FlacRun, DamagedStreamFailsTheRunWithoutAResult) {
    const FlacShape shape = AlbumSpec(2, 16, 44100);
    // A byte of the frames changed, the frames cut in half, and a signature that no longer
    // matches frames that each decode well: the last is seen only at the end of the stream.
    for (const std::string damage : {"flipped", "cut", "signature"}) {
        SCOPED_TRACE(damage);
        const std::string path = dir.File(damage + ".flac");
        MakeFlacFile(path, shape);
        int64_t audio = 0;
        RawBlocksOf(path, 0, &audio);
        std::vector<unsigned char> bytes = FileBytes(path);
        if (damage == "cut") {
            bytes.erase(bytes.end() - std::ptrdiff_t(bytes.size() - size_t(audio)) / 2,
                        bytes.end());
        } else if (damage == "flipped") {
            bytes[(size_t(audio) + bytes.size()) / 2] ^= 0x10;
        } else {
            constexpr size_t Md5At = 4 + 4 + 18;  // "fLaC", the block header, the fields before
            bytes[Md5At] ^= 0x01;
        }
        WriteBytes(path, bytes);
        AddTaken(path, 0);

        ops.PrepareAndBalance(Request());

        ASSERT_FALSE(sink.Errors.empty());
        EXPECT_NE(sink.Errors.front().find(path), std::string::npos) << sink.Errors.front();
        EXPECT_NE(sink.Errors.front().find("damaged FLAC file"), std::string::npos)
            << sink.Errors.front();
        EXPECT_FALSE(std::filesystem::exists(dir.File(damage + "_tralux.flac")));
        EXPECT_FALSE(engine.Running);
        host.List.clear();
        sink.Errors.clear();
    }
    EXPECT_EQ(Leftovers({"cut.flac", "flipped.flac", "signature.flac"}),
              std::vector<std::string>{});
}

// An ID3v1 tag after the last frame stays after the result's last frame, through a Prepare and
// the Balance that rewrites the result from itself.
TEST_F(FlacRun, ATagAfterTheLastFrameIsKept) {
    FlacShape shape = AlbumSpec(2, 16, 44100);
    const std::string path = dir.File("tagged.flac");
    MakeFlacFile(path, shape);
    std::vector<unsigned char> bytes = FileBytes(path);
    std::vector<unsigned char> tag(128, 0);
    std::memcpy(tag.data(), "TAGA title", 10);
    bytes.insert(bytes.end(), tag.begin(), tag.end());
    WriteBytes(path, bytes);
    FileData& flac = AddTaken(path, 0);
    shape.Scale = 0.3;
    FileData& quiet = AddFlac("quiet.flac", shape);
    FileData& twin = AddTwinWav("twin.wav", AlbumSpec(2, 16, 44100));
    host.Choice = ReferenceChoice::Quietest;

    for (const bool balance : {false, true}) {
        SCOPED_TRACE(balance ? "Balance" : "Prepare");
        if (balance) {
            ops.Balance(Request());
        } else {
            ops.Prepare(Request());
        }
        ASSERT_TRUE(sink.Errors.empty()) << sink.Errors.front();
        std::vector<unsigned char> result = FileBytes(flac.ResultFile);
        ASSERT_GT(result.size(), tag.size());
        EXPECT_TRUE(std::equal(tag.begin(), tag.end(), result.end() - ptrdiff_t(tag.size())));
        result.resize(result.size() - tag.size());
        WriteBytes(dir.File("untagged.flac"), result);
        std::vector<int32_t> decoded;
        ASSERT_TRUE(DecodeWithLibFlac(dir.File("untagged.flac"), decoded));
        EXPECT_EQ(decoded, WavResult(twin, 16));
    }
    EXPECT_NE(quiet.ResultFile, "");
}

// Cancel in the middle of the second file's write: the first result is whole, the second
// never takes its name and nothing else is left.
TEST_F(FlacRun, CancelLeavesOnlyWholeResults) {
    FlacShape shape = AlbumSpec(2, 16, 44100);
    AddFlac("a.flac", shape);
    shape.Scale = 0.2;
    AddFlac("b.flac", shape);
    host.Choice = ReferenceChoice::Preset;
    host.PresetLevel = 3000.0;
    host.AnswerYes = true;
    sink.OnPump = [&] {
        if (sink.FileNames.back() == "b.flac" && sink.Labels.back() != "Scanning:" &&
            sink.Calls[sink.Calls.size() - 2] == "PassProgress 40") {
            ops.Cancel();
        }
    };

    ops.PrepareAndBalance(Request());

    std::vector<int32_t> decoded;
    EXPECT_TRUE(DecodeWithLibFlac(dir.File("a_tralux.flac"), decoded));
    EXPECT_EQ(decoded.size(), size_t(2 * shape.Frames));
    EXPECT_FALSE(std::filesystem::exists(dir.File("b_tralux.flac")));
    EXPECT_EQ(Leftovers({"a.flac", "b.flac", "a_tralux.flac"}), std::vector<std::string>{});
}

// A Balance after a Prepare rewrites each FLAC result from itself, and the level asked for
// is the one the result is encoded at.
TEST_F(FlacRun, BalanceAfterPrepareRewritesFlacResultsAtTheChosenLevel) {
    FlacShape shape = AlbumSpec(2, 16, 44100);
    shape.Level = 8;
    FileData& a = AddFlac("a.flac", shape);
    shape.Scale = 0.3;
    FileData& b = AddFlac("b.flac", shape);
    FileData& wa = AddTwinWav("a.wav", AlbumSpec(2, 16, 44100));
    FileData& wb = AddTwinWav("b.wav", shape);
    options.flaclevel = 0;
    ops.Prepare(Request());
    ASSERT_TRUE(sink.Errors.empty()) << sink.Errors.front();
    EXPECT_EQ(a.FlacLevel, 8);
    ops.Balance(Request());
    ASSERT_TRUE(sink.Errors.empty()) << sink.Errors.front();

    for (const auto& [flac, wav] : {std::pair{&a, &wa}, std::pair{&b, &wb}}) {
        std::vector<int32_t> decoded;
        ASSERT_TRUE(DecodeWithLibFlac(flac->ResultFile, decoded));
        EXPECT_EQ(decoded, WavResult(*wav, 16));
        EXPECT_DOUBLE_EQ(flac->Loudness, wav->Loudness);
    }
    // Level 0 stores no LPC subframes; the source's level 8 does.
    const auto result = PosixFileAccess().OpenExisting(a.ResultFile);
    FlacReader reader(*result, a.ResultFile);
    ASSERT_TRUE(reader.Open()) << reader.Error();
    std::vector<int32_t> all(size_t(2 * shape.Frames) + 2);
    reader.Read(all.data(), shape.Frames + 1);
    EXPECT_TRUE(reader.Finished());
    EXPECT_EQ(reader.Traits().MaxLpcOrder, 0u);
    EXPECT_EQ(GuessFlacLevel(reader.Traits(), 2), 0);
}

}  // namespace
}  // namespace tralux::test
