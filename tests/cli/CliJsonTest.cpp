// tralux-cli's broadcast measures: the --json report parsed and checked against the files it
// names (and libebur128), the --broadcast table, and the --measure choice.

#include <ebur128.h>

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "CommandLine.h"
#include "TempDir.h"
#include "TestWav.h"
#include "files/WaveHeader.h"

namespace tralux::test {
namespace {

namespace fs = std::filesystem;

// A JSON value as a strict reader of RFC 8259 takes it; objects keep their keys in order.
struct Json {
    enum class Kind { Null, Bool, Number, String, Array, Object } kind = Kind::Null;
    bool boolean = false;
    double number = 0.0;
    std::string text;
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> members;

    const Json& operator[](const std::string& key) const {
        for (const auto& [name, value] : members) {
            if (name == key) {
                return value;
            }
        }
        throw std::out_of_range("no key " + key);
    }
    std::vector<std::string> Keys() const {
        std::vector<std::string> keys;
        for (const auto& member : members) {
            keys.push_back(member.first);
        }
        return keys;
    }
    bool IsNull() const { return kind == Kind::Null; }
};

class JsonReader {
public:
    explicit JsonReader(const std::string& text) : text_(text) {}

    // The whole text as one value; throws std::runtime_error at the first fault.
    Json Document() {
        Json value = Value();
        Blank();
        Expect(at_ == text_.size(), "text after the value");
        return value;
    }

private:
    void Expect(bool holds, const char* what) {
        if (!holds) {
            throw std::runtime_error(std::string(what) + " at " + std::to_string(at_));
        }
    }
    void Blank() {
        while (at_ < text_.size() && std::string(" \t\n\r").find(text_[at_]) != std::string::npos) {
            ++at_;
        }
    }
    bool Take(char c) {
        Blank();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool Word(const char* word) {
        const std::string w(word);
        if (text_.compare(at_, w.size(), w) == 0) {
            at_ += w.size();
            return true;
        }
        return false;
    }
    Json Value() {
        Blank();
        Expect(at_ < text_.size(), "no value");
        Json value;
        const char c = text_[at_];
        if (Word("null")) {
            return value;
        }
        if (Word("true") || Word("false")) {
            value.kind = Json::Kind::Bool;
            value.boolean = text_[at_ - 1] == 'e' && text_[at_ - 2] == 'u';
            return value;
        }
        if (c == '"') {
            value.kind = Json::Kind::String;
            value.text = String();
            return value;
        }
        if (c == '[') {
            ++at_;
            value.kind = Json::Kind::Array;
            if (Take(']')) {
                return value;
            }
            do {
                value.items.push_back(Value());
            } while (Take(','));
            Expect(Take(']'), "no ]");
            return value;
        }
        if (c == '{') {
            ++at_;
            value.kind = Json::Kind::Object;
            if (Take('}')) {
                return value;
            }
            do {
                Blank();
                std::string key = String();
                Expect(Take(':'), "no :");
                value.members.emplace_back(std::move(key), Value());
            } while (Take(','));
            Expect(Take('}'), "no }");
            return value;
        }
        value.kind = Json::Kind::Number;
        value.number = Number();
        return value;
    }
    double Number() {
        const size_t start = at_;
        auto digits = [this] {
            const size_t from = at_;
            while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_]))) {
                ++at_;
            }
            return at_ - from;
        };
        if (at_ < text_.size() && text_[at_] == '-') {
            ++at_;
        }
        const size_t first = at_;
        Expect(digits() > 0, "no digits");
        Expect(text_[first] != '0' || at_ - first == 1, "leading zero");
        if (at_ < text_.size() && text_[at_] == '.') {
            ++at_;
            Expect(digits() > 0, "no fraction digits");
        }
        if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
            ++at_;
            if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) {
                ++at_;
            }
            Expect(digits() > 0, "no exponent digits");
        }
        return std::stod(text_.substr(start, at_ - start));
    }
    void PutUtf8(std::string& out, unsigned code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    unsigned Hex4() {
        Expect(at_ + 4 <= text_.size(), "short \\u");
        const unsigned code = std::stoul(text_.substr(at_, 4), nullptr, 16);
        at_ += 4;
        return code;
    }
    std::string String() {
        Expect(at_ < text_.size() && text_[at_] == '"', "no string");
        ++at_;
        std::string out;
        while (true) {
            Expect(at_ < text_.size(), "unended string");
            const auto c = static_cast<unsigned char>(text_[at_++]);
            Expect(c >= 0x20, "raw control character");
            if (c == '"') {
                return out;
            }
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            Expect(at_ < text_.size(), "unended escape");
            const char e = text_[at_++];
            const std::string simple = "\"\\/bfnrt";
            const std::string meant = "\"\\/\b\f\n\r\t";
            if (simple.find(e) != std::string::npos) {
                out += meant[simple.find(e)];
            } else {
                Expect(e == 'u', "unknown escape");
                unsigned code = Hex4();
                Expect(code < 0xD800 || code > 0xDFFF, "lone surrogate");
                PutUtf8(out, code);
            }
        }
    }

    const std::string& text_;
    size_t at_ = 0;
};

Json Parse(const std::string& text) {
    return JsonReader(text).Document();
}

struct Reference {
    double Peak = 0.0;
    double Rms = 0.0;
    double Lufs = 0.0;
    double TruePeak = 0.0;
};

// The measures of a WAV file's samples, taken here: the peak and root mean square as the runs
// take them (-32768 counting as -32767) and libebur128's loudness and true peak.
Reference Measure(const std::string& path) {
    const WaveHeaderInfo info = ReadWaveHeader(path);
    const Samples samples = ReadSamples(path, info.HeaderSize, info.FrameCount);
    Reference reference;
    int64_t sum = 0;
    for (const int16_t s : samples) {
        const int64_t v = s == -32768 ? -32767 : s;
        sum += v * v;
        reference.Peak = std::max(reference.Peak, static_cast<double>(std::llabs(v)));
    }
    reference.Rms = std::sqrt(static_cast<double>(sum) / (2.0 * info.FrameCount));
    ebur128_state* state = ebur128_init(2, 44100, EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
    ebur128_add_frames_short(state, samples.data(), samples.size() / 2);
    double left = 0.0, right = 0.0;
    ebur128_loudness_global(state, &reference.Lufs);
    ebur128_true_peak(state, 0, &left);
    ebur128_true_peak(state, 1, &right);
    reference.TruePeak = 20.0 * std::log10(std::max(left, right));
    ebur128_destroy(&state);
    return reference;
}

const std::vector<std::string> Keys = {"source",
                                       "result",
                                       "source_peak",
                                       "source_rms",
                                       "source_lufs",
                                       "source_true_peak_dbtp",
                                       "source_lra",
                                       "result_peak",
                                       "result_rms",
                                       "result_lufs",
                                       "result_true_peak_dbtp",
                                       "result_lra"};

class CliJsonTest : public ::testing::Test {
protected:
    TempDir dir;
    fs::path root = fs::canonical(dir.Path());
    std::string settings = (root / "tralux.ini").string();

    void SetUp() override {
        WriteFile(settings, {});
        fs::create_directories(root / "out");
        // Four seconds each, so that each has a loudness range; "two" and "three" form a group.
        WriteWav((root / "one.wav").string(), Sine(4 * 44100, 12000.0, 441.0));
        Samples two = Noise(4 * 44100, 6000, 3);
        two[5] = -32768;
        WriteWav((root / "two.wav").string(), two);
        WriteWav((root / "three.wav").string(), Sine(4 * 44100, 3000.0, 1000.0));
        WriteWav((root / "silent.wav").string(), Constant(44100, 0, 0));
    }

    ProcessResult Run(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin() + 1, {"--settings", settings});
        ProcessSetup setup;
        setup.workingFolder = root.string();
        return RunCli(arguments, setup);
    }
};

TEST_F(CliJsonTest, TheReportHoldsEveryMeasureOfEveryFileInListOrder) {
    const ProcessResult run =
        Run({"balance", "--json", "--yes", "--output-dir", "out", "--group", "two.wav,three.wav",
             "one.wav", "two.wav", "silent.wav", "three.wav"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Json report = Parse(run.out);  // standard output holds the report alone
    EXPECT_EQ(report.Keys(), (std::vector<std::string>{"measure", "files"}));
    EXPECT_EQ(report["measure"].text, "rms");
    const auto& files = report["files"].items;
    ASSERT_EQ(files.size(), 4u);
    const std::vector<std::string> names = {"one", "two", "silent", "three"};
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(names[i]);
        const Json& file = files[i];
        EXPECT_EQ(file.Keys(), Keys);
        EXPECT_EQ(file["source"].text, (root / (names[i] + ".wav")).string());
        const Reference source = Measure(file["source"].text);
        // Peak and loudness to the last digit: the runs' own values, printed in full.
        EXPECT_EQ(file["source_peak"].number, source.Peak);
        EXPECT_EQ(file["source_rms"].number, source.Rms);
        if (names[i] == "silent") {
            EXPECT_TRUE(file["source_lufs"].IsNull());
            EXPECT_TRUE(file["source_true_peak_dbtp"].IsNull());
            EXPECT_TRUE(file["source_lra"].IsNull());
            for (const std::string& key : Keys) {
                if (key.starts_with("result")) {
                    EXPECT_TRUE(file[key].IsNull()) << key;  // no result of silence
                }
            }
            continue;
        }
        EXPECT_NEAR(file["source_lufs"].number, source.Lufs, 0.001);
        EXPECT_NEAR(file["source_true_peak_dbtp"].number, source.TruePeak, 0.001);
        EXPECT_EQ(file["source_lra"].kind, Json::Kind::Number);
        EXPECT_EQ(file["result"].text, (root / "out" / (names[i] + "_tralux.wav")).string());
        const Reference result = Measure(file["result"].text);
        EXPECT_EQ(file["result_peak"].number, result.Peak);
        EXPECT_EQ(file["result_rms"].number, result.Rms);
        EXPECT_NEAR(file["result_lufs"].number, result.Lufs, 0.001);
        EXPECT_NEAR(file["result_true_peak_dbtp"].number, result.TruePeak, 0.001);
        EXPECT_EQ(file["result_lra"].kind, Json::Kind::Number);
    }
}

TEST_F(CliJsonTest, AnalyseReportsNoResultAndNamesAreEscaped) {
    // A quote, a backslash, a control character and a byte that is no UTF-8 in one name.
    const std::string odd = std::string("o\"d\\d\x01") + "\xff" + ".wav";
    fs::copy_file(root / "one.wav", root / odd);
    WriteFile((root / "not-a-wav.wav").string(), {'x', 'y'});
    const ProcessResult run = Run({"analyse", "--json", "one.wav", odd, "not-a-wav.wav"});
    EXPECT_EQ(run.status, 1);  // a refused file, told on standard error
    EXPECT_NE(run.err.find("not-a-wav.wav"), std::string::npos) << run.err;
    const Json report = Parse(run.out);
    const auto& files = report["files"].items;
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[1]["source"].text, (root / "o\"d\\d\x01").string() + "\xef\xbf\xbd.wav");
    for (const Json& file : files) {
        EXPECT_TRUE(file["result"].IsNull());
        EXPECT_TRUE(file["result_rms"].IsNull());
        EXPECT_TRUE(file["result_lufs"].IsNull());
    }
    // The same file under two names measures the same.
    EXPECT_EQ(files[0]["source_lufs"].number, files[1]["source_lufs"].number);
    EXPECT_EQ(files[0]["source_lra"].number, files[1]["source_lra"].number);
}

TEST_F(CliJsonTest, ADryRunReportsThePlanWithNothingMeasuredOfResults) {
    const ProcessResult dry =
        Run({"balance", "--json", "--dry-run", "--output-dir", "out", "one.wav", "three.wav"});
    ASSERT_EQ(dry.status, 0) << dry.err;
    const Json planned = Parse(dry.out);
    EXPECT_TRUE(fs::is_empty(root / "out"));
    const ProcessResult done =
        Run({"balance", "--json", "--output-dir", "out", "one.wav", "three.wav"});
    ASSERT_EQ(done.status, 0) << done.err;
    const Json written = Parse(done.out);
    for (size_t i = 0; i < 2; ++i) {
        const Json& plan = planned["files"].items[i];
        EXPECT_EQ(plan["result"].text, written["files"].items[i]["result"].text);
        EXPECT_EQ(plan["result_rms"].number, written["files"].items[i]["result_rms"].number);
        EXPECT_TRUE(plan["result_peak"].IsNull());
        EXPECT_TRUE(plan["result_lufs"].IsNull());
        EXPECT_EQ(plan["source_lufs"].number, written["files"].items[i]["source_lufs"].number);
    }
}

TEST_F(CliJsonTest, ADryRunByLufsReportsWhatTheRunThenWrites) {
    const std::vector<std::string> args = {"balance",      "--json",  "--yes",
                                           "--output-dir", "out",     "--reference",
                                           "lufs:-20",     "--group", "two.wav,three.wav",
                                           "one.wav",      "two.wav", "three.wav"};
    std::vector<std::string> dryArgs = args;
    dryArgs.push_back("--dry-run");
    const ProcessResult dry = Run(dryArgs);
    ASSERT_EQ(dry.status, 0) << dry.err;
    EXPECT_TRUE(fs::is_empty(root / "out"));
    const Json planned = Parse(dry.out);
    EXPECT_EQ(planned["measure"].text, "lufs");
    const ProcessResult done = Run(args);
    ASSERT_EQ(done.status, 0) << done.err;
    const Json written = Parse(done.out);
    for (size_t i = 0; i < 3; ++i) {
        const Json& plan = planned["files"].items[i];
        const Json& result = written["files"].items[i];
        EXPECT_EQ(plan["result"].text, result["result"].text);
        EXPECT_EQ(plan["result_rms"].number, result["result_rms"].number);
        EXPECT_NEAR(plan["result_lufs"].number, result["result_lufs"].number, 0.02);
        EXPECT_NEAR(plan["result_true_peak_dbtp"].number, result["result_true_peak_dbtp"].number,
                    0.05);
        EXPECT_TRUE(plan["result_lra"].IsNull());
    }
}

// The fields of one CSV line whose every field is quoted, line end dropped.
std::vector<std::string> CsvFields(const std::string& line) {
    std::vector<std::string> fields;
    const std::string body = line.substr(1, line.size() - 3);  // the outer quotes and CR
    for (size_t at = 0;;) {
        const size_t next = body.find("\",\"", at);
        fields.push_back(body.substr(at, next - at));
        if (next == std::string::npos) {
            return fields;
        }
        at = next + 3;
    }
}

TEST_F(CliJsonTest, TheExportCarriesTheBroadcastMeasuresOfARunThatTookThem) {
    const ProcessResult run = Run({"balance", "--json", "--yes", "--output-dir", "out", "--csv",
                                   "lufs.csv", "--reference", "lufs:-20", "one.wav", "silent.wav"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Json report = Parse(run.out);
    std::ifstream in(root / "lufs.csv");
    std::string header, one, silent;
    std::getline(in, header);
    std::getline(in, one);
    std::getline(in, silent);
    EXPECT_EQ(header,
              "Source File,Source Loudness,Result File,Result Loudness,Source LUFS,Source True "
              "Peak dBTP,Source LRA LU,Result LUFS,Result True Peak dBTP,Result LRA LU\r");
    const std::vector<std::string> fields = CsvFields(one);
    ASSERT_EQ(fields.size(), 10u) << one;
    const Json& measured = report["files"].items[0];
    const char* keys[] = {"source_lufs", "source_true_peak_dbtp", "source_lra",
                          "result_lufs", "result_true_peak_dbtp", "result_lra"};
    for (size_t k = 0; k < 6; ++k) {
        EXPECT_NEAR(std::stod(fields[4 + k]), measured[keys[k]].number, 0.05 + 1e-9) << keys[k];
    }
    EXPECT_NEAR(std::stod(fields[7]), -20.0, 0.15);
    // A silent file has no measures to give.
    const std::vector<std::string> none = CsvFields(silent);
    ASSERT_EQ(none.size(), 10u) << silent;
    for (size_t k = 4; k < 10; ++k) {
        EXPECT_EQ(none[k], "") << k;
    }
}

TEST_F(CliJsonTest, TheBroadcastTableShowsLufsTruePeakRangeAndTheGroup) {
    const ProcessResult run = Run({"balance", "--broadcast", "--output-dir", "out", "--group",
                                   "two.wav,three.wav", "one.wav", "two.wav", "three.wav"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("Source LUFS  Source dBTP  Source LRA  Result Loudness  Result LUFS"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\nGroup 1: source -"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("LUFS, result -"), std::string::npos) << run.out;
    const ProcessResult plain = Run({"analyse", "one.wav"});
    EXPECT_EQ(plain.out.find("LUFS"), std::string::npos) << plain.out;
}

TEST_F(CliJsonTest, BalanceByLufsBringsEveryResultToTheTargetUnderTheCeiling) {
    const ProcessResult run = Run({"balance", "--json", "--yes", "--output-dir", "out",
                                   "--reference", "lufs:-20", "--true-peak-limit", "-2", "--group",
                                   "two.wav,three.wav", "one.wav", "two.wav", "three.wav"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Json report = Parse(run.out);
    EXPECT_EQ(report["measure"].text, "lufs");
    const auto& files = report["files"].items;
    ASSERT_EQ(files.size(), 3u);
    std::vector<Reference> sources, results;
    for (const Json& file : files) {
        sources.push_back(Measure(file["source"].text));
        results.push_back(Measure(file["result"].text));
        EXPECT_LE(file["result_true_peak_dbtp"].number, -2.0);
        EXPECT_LE(results.back().TruePeak, -2.0 + 0.2);
        EXPECT_NEAR(file["result_lufs"].number, results.back().Lufs, 0.001);
    }
    EXPECT_NEAR(results[0].Lufs, -20.0, 0.1);
    // The group moved as one: one gain, its members as far apart as before.
    EXPECT_NEAR(results[1].Lufs - results[2].Lufs, sources[1].Lufs - sources[2].Lufs, 0.1);
    EXPECT_GT(results[1].Lufs, -20.0);
    EXPECT_LT(results[2].Lufs, -20.0);
}

TEST_F(CliJsonTest, ByLufsAPresetIsALufsPresetAndTheMeasureComesFromTheSettings) {
    WriteFile(settings, {});
    std::ofstream(settings) << "[Options]\nmeasure=1\n";
    const ProcessResult run = Run({"balance", "--json", "--output-dir", "out", "--reference",
                                   "preset:Podcast (-16 LUFS)", "one.wav"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Json report = Parse(run.out);
    EXPECT_EQ(report["measure"].text, "lufs");
    EXPECT_NEAR(Measure(report["files"].items[0]["result"].text).Lufs, -16.0, 0.1);
    // --measure rms overrides the file; its RMS presets hold no such name.
    const ProcessResult byRms = Run({"balance", "--measure", "rms", "--output-dir", "out",
                                     "--reference", "preset:Podcast (-16 LUFS)", "one.wav"});
    EXPECT_EQ(byRms.status, 2);
    EXPECT_NE(byRms.err.find("no preset named 'Podcast (-16 LUFS)'"), std::string::npos)
        << byRms.err;
}

TEST_F(CliJsonTest, TheMeasureOptionsAreCheckedAndJsonExcludesAnExportToStandardOutput) {
    const ProcessResult rms = Run({"analyse", "--measure", "rms", "one.wav"});
    EXPECT_EQ(rms.status, 0) << rms.err;
    EXPECT_EQ(Run({"analyse", "--measure", "peak", "one.wav"}).status, 2);
    const ProcessResult above = Run({"balance", "--true-peak-limit", "0.5", "one.wav"});
    EXPECT_EQ(above.status, 2);
    EXPECT_NE(above.err.find("--true-peak-limit"), std::string::npos) << above.err;
    EXPECT_EQ(Run({"balance", "--measure", "rms", "--reference", "lufs:-16", "one.wav"}).status, 2);
    EXPECT_EQ(Run({"balance", "--measure", "lufs", "--reference", "level:3000", "one.wav"}).status,
              2);
    EXPECT_EQ(Run({"balance", "--reference", "lufs:3", "one.wav"}).status, 2);
    EXPECT_EQ(Run({"analyse", "--json", "--csv", "-", "one.wav"}).status, 2);
    const cli::CommandLine line = cli::ParseCommandLine(
        {"balance", "--true-peak-limit", "-3,5", "--reference", "lufs:-23", "a"});
    EXPECT_EQ(line.truePeakLimit, -3.5);
    EXPECT_EQ(line.reference.lufs, -23.0);
    EXPECT_FALSE(line.measure);  // the target implies LUFS when the run is asked for
}

}  // namespace
}  // namespace tralux::test
