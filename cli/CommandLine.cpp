#include "CommandLine.h"

#include <charconv>
#include <cmath>
#include <set>

#include "settings/Options.h"

namespace tralux::cli {
namespace {

// Which commands an option means something to; elsewhere it would be silently ignored, so
// it is refused instead.
enum Applies { Any = 7, Runs = 6, BalanceOnly = 4 };

constexpr int Bit(Command command) {
    return command == Command::Analyse ? 1 : command == Command::Prepare ? 2 : 4;
}

struct OptionInfo {
    const char* name;
    bool takesValue;
    Applies applies;
};

constexpr OptionInfo Known[] = {
    {"help", false, Any},
    {"version", false, Any},
    {"reference", true, BalanceOnly},
    {"group", true, Runs},
    {"output-dir", true, Runs},
    {"beside-source", false, Runs},
    {"suffix", true, Runs},
    {"no-suffix", false, Runs},
    {"max-compression", true, BalanceOnly},
    {"warn-compression", true, BalanceOnly},
    {"final-limit", true, BalanceOnly},
    {"flac-level", true, Runs},
    {"units", true, Any},
    {"csv", true, Any},
    {"settings", true, Any},
    {"yes", false, Runs},
    {"dry-run", false, BalanceOnly},
    {"quiet", false, Any},
    {"measure", true, Any},
    {"true-peak-limit", true, BalanceOnly},
    {"broadcast", false, Any},
    {"json", false, Any},
};

const OptionInfo* FindOption(const std::string& name) {
    for (const auto& option : Known) {
        if (name == option.name) {
            return &option;
        }
    }
    return nullptr;
}

std::string ShortToLong(char letter) {
    switch (letter) {
        case 'h':
            return "help";
        case 'V':
            return "version";
        case 'y':
            return "yes";
        case 'n':
            return "dry-run";
        case 'q':
            return "quiet";
        default:
            return {};
    }
}

double Factor(const std::string& option, const std::string& value) {
    const auto number = ParseNumber(value);
    if (!number || *number < MinCompressionFactor - 1e-9 || *number > MaxCompressionFactor + 1e-9) {
        throw UsageError("--" + option + " needs a factor from 1.1 to 4.0, not '" + value + "'");
    }
    return *number;
}

int32_t WholeNumber(const std::string& option, const std::string& value, int32_t low,
                    int32_t high) {
    int32_t number = 0;
    const char* end = value.data() + value.size();
    const auto [last, error] = std::from_chars(value.data(), end, number);
    if (value.empty() || error != std::errc() || last != end || number < low || number > high) {
        throw UsageError("--" + option + " needs a whole number from " + std::to_string(low) +
                         " to " + std::to_string(high) + ", not '" + value + "'");
    }
    return number;
}

ReferenceArgument Reference(const std::string& value) {
    ReferenceArgument reference;
    const auto colon = value.find(':');
    const std::string kind = value.substr(0, colon);
    const std::string rest = colon == std::string::npos ? std::string() : value.substr(colon + 1);
    if (value == "quietest") {
        reference.choice = ReferenceChoice::Quietest;
    } else if (value == "loudest") {
        reference.choice = ReferenceChoice::Loudest;
    } else if (kind == "file" && colon != std::string::npos) {
        reference.choice = ReferenceChoice::Highlighted;
        reference.fileNumber = WholeNumber("reference file:N", rest, 1, 1000000000);
    } else if (kind == "preset" && !rest.empty()) {
        reference.choice = ReferenceChoice::Preset;
        reference.presetName = rest;
    } else if (kind == "lufs" && colon != std::string::npos) {
        reference.choice = ReferenceChoice::Preset;
        const auto lufs = ParseNumber(rest);
        if (!lufs || *lufs < -70.0 || *lufs > 0.0) {
            throw UsageError("--reference lufs:L needs a loudness from -70 to 0 LUFS, not '" +
                             rest + "'");
        }
        reference.lufs = *lufs;
    } else if (kind == "level" && colon != std::string::npos) {
        reference.choice = ReferenceChoice::Preset;
        const auto level = ParseNumber(rest);
        if (!level || *level <= 0.0 || *level > 32767.0) {
            throw UsageError(
                "--reference level:L needs a loudness above 0 and at most 32767, not '" + rest +
                "'");
        }
        reference.level = *level;
    } else {
        throw UsageError(
            "--reference must be quietest, loudest, file:N, preset:NAME, level:L or lufs:L, not '" +
            value + "'");
    }
    return reference;
}

std::vector<std::string> SplitGroup(const std::string& value) {
    std::vector<std::string> names;
    size_t start = 0;
    while (true) {
        const auto comma = value.find(',', start);
        names.push_back(value.substr(start, comma - start));
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    for (const auto& name : names) {
        if (name.empty()) {
            throw UsageError("--group holds an empty file name: '" + value + "'");
        }
    }
    if (names.size() < 2) {
        throw UsageError("--group needs at least two files separated by commas, not '" + value +
                         "'");
    }
    return names;
}

void Apply(CommandLine& line, const std::string& name, const std::string& value) {
    if (name == "help") {
        line.help = true;
    } else if (name == "version") {
        line.version = true;
    } else if (name == "reference") {
        line.reference = Reference(value);
    } else if (name == "group") {
        line.groups.push_back(SplitGroup(value));
    } else if (name == "output-dir") {
        if (value.empty()) {
            throw UsageError("--output-dir needs a folder");
        }
        line.outputDir = value;
    } else if (name == "beside-source") {
        line.besideSource = true;
    } else if (name == "suffix") {
        if (!IsUsableNamePart(value)) {
            throw UsageError(
                "--suffix must not hold a folder separator (/ or \\) or be made "
                "only of dots, not '" +
                value + "'");
        }
        line.suffix = value;
    } else if (name == "no-suffix") {
        line.noSuffix = true;
    } else if (name == "max-compression") {
        line.maxCompression = Factor(name, value);
    } else if (name == "warn-compression") {
        line.warnCompression = Factor(name, value);
    } else if (name == "final-limit") {
        line.finalLimit =
            static_cast<int16_t>(WholeNumber(name, value, LowestFinalLimit, HighestFinalLimit));
    } else if (name == "flac-level") {
        line.flacLevel = value == "source"
                             ? FlacLevelAsTheSource
                             : static_cast<int32_t>(WholeNumber(name, value, 0, HighestFlacLevel));
    } else if (name == "units") {
        if (value == "percent") {
            line.units = 0;
        } else if (value == "db") {
            line.units = 1;
        } else if (value == "sample") {
            line.units = 2;
        } else {
            throw UsageError("--units must be percent, db or sample, not '" + value + "'");
        }
    } else if (name == "csv") {
        if (value.empty()) {
            throw UsageError("--csv needs a file name");
        }
        line.csvFile = value;
    } else if (name == "settings") {
        if (value.empty()) {
            throw UsageError("--settings needs a file name");
        }
        line.settingsFile = value;
    } else if (name == "yes") {
        line.yes = true;
    } else if (name == "dry-run") {
        line.dryRun = true;
    } else if (name == "quiet") {
        line.quiet = true;
    } else if (name == "measure") {
        if (value == "rms") {
            line.measure = BalanceMeasure::Rms;
        } else if (value == "lufs") {
            line.measure = BalanceMeasure::Lufs;
        } else {
            throw UsageError("--measure must be rms or lufs, not '" + value + "'");
        }
    } else if (name == "true-peak-limit") {
        const auto limit = ParseNumber(value);
        if (!limit || *limit > HighestTruePeakLimit || *limit < LowestTruePeakLimit) {
            throw UsageError("--true-peak-limit needs a ceiling from -20 to 0 dBTP, not '" + value +
                             "'");
        }
        line.truePeakLimit = *limit;
    } else if (name == "broadcast") {
        line.broadcast = true;
    } else if (name == "json") {
        line.json = true;
    }
}

Command CommandNamed(const std::string& word) {
    if (word == "analyse" || word == "analyze") {
        return Command::Analyse;
    }
    if (word == "prepare") {
        return Command::Prepare;
    }
    if (word == "balance") {
        return Command::Balance;
    }
    throw UsageError("unknown command '" + word + "'");
}

void CheckConsistency(const CommandLine& line, const std::vector<std::string>& used) {
    if (line.command == Command::None) {
        throw UsageError("no command given");
    }
    if (line.files.empty()) {
        throw UsageError("no FILE given");
    }
    for (const auto& name : used) {
        if ((FindOption(name)->applies & Bit(line.command)) == 0) {
            throw UsageError("--" + name + " does not apply to " +
                             (line.command == Command::Analyse ? "analyse" : "prepare"));
        }
    }
    if (line.json && line.csvFile && *line.csvFile == "-") {
        throw UsageError("--json and --csv - both print to standard output; choose one");
    }
    if (line.measure == BalanceMeasure::Rms && line.reference.lufs) {
        throw UsageError("--reference lufs:L balances by LUFS, not by --measure rms");
    }
    if (line.measure == BalanceMeasure::Lufs && line.reference.level) {
        throw UsageError(
            "--reference level:L is an RMS level; by --measure lufs give lufs:L instead");
    }
    if (line.suffix && line.noSuffix) {
        throw UsageError("--suffix and --no-suffix exclude each other");
    }
    if (line.outputDir && line.besideSource) {
        throw UsageError("--output-dir and --beside-source exclude each other");
    }
    if (line.maxCompression && line.warnCompression &&
        *line.warnCompression > *line.maxCompression) {
        throw UsageError("--warn-compression must not exceed --max-compression");
    }
    if (line.reference.choice == ReferenceChoice::Highlighted &&
        line.reference.fileNumber > static_cast<int>(line.files.size())) {
        throw UsageError("--reference file:" + std::to_string(line.reference.fileNumber) +
                         " names no FILE: there are " + std::to_string(line.files.size()));
    }
    std::set<std::string> grouped;
    for (const auto& group : line.groups) {
        for (const auto& name : group) {
            bool listed = false;
            for (const auto& file : line.files) {
                listed = listed || file == name;
            }
            if (!listed) {
                throw UsageError("--group names '" + name + "', which is not among the FILEs");
            }
            if (!grouped.insert(name).second) {
                throw UsageError("'" + name + "' is named in --group more than once");
            }
        }
    }
}

}  // namespace

std::optional<double> ParseNumber(const std::string& text) {
    std::string plain = text;
    for (auto& c : plain) {
        if (c == ',') {
            c = '.';
        }
    }
    double number = 0.0;
    const char* begin = plain.data();
    const char* end = begin + plain.size();
    if (begin != end && *begin == '+') {
        ++begin;
    }
    const auto [last, error] = std::from_chars(begin, end, number, std::chars_format::fixed);
    if (plain.empty() || error != std::errc() || last != end || !std::isfinite(number)) {
        return std::nullopt;
    }
    return number;
}

CommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
    CommandLine line;
    std::vector<std::string> used;
    bool optionsEnded = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (!optionsEnded && argument == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name;
        std::optional<std::string> value;
        if (!optionsEnded && argument.size() > 2 && argument.starts_with("--")) {
            const auto equals = argument.find('=');
            name = argument.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
            if (equals != std::string::npos) {
                value = argument.substr(equals + 1);
            }
        } else if (!optionsEnded && argument.size() == 2 && argument[0] == '-' &&
                   argument[1] != '-') {
            name = ShortToLong(argument[1]);
            if (name.empty()) {
                throw UsageError("unknown option '" + argument + "'");
            }
        } else if (!optionsEnded && argument.size() > 1 && argument[0] == '-') {
            throw UsageError("unknown option '" + argument + "'");
        } else {
            if (line.command == Command::None) {
                line.command = CommandNamed(argument);
            } else {
                line.files.push_back(argument);
            }
            continue;
        }
        const OptionInfo* option = FindOption(name);
        if (option == nullptr) {
            throw UsageError("unknown option '--" + name + "'");
        }
        if (option->takesValue && !value) {
            if (i + 1 >= arguments.size()) {
                throw UsageError("--" + name + " needs a value");
            }
            value = arguments[++i];
        } else if (!option->takesValue && value) {
            throw UsageError("--" + name + " takes no value");
        }
        Apply(line, name, value.value_or(std::string()));
        used.push_back(name);
    }
    if (line.help || line.version) {
        return line;
    }
    CheckConsistency(line, used);
    return line;
}

std::string UsageText() {
    return "Usage: tralux-cli analyse [OPTIONS] FILE...\n"
           "       tralux-cli prepare [OPTIONS] FILE...\n"
           "       tralux-cli balance [OPTIONS] FILE...\n"
           "Try 'tralux-cli --help' for more information.\n";
}

std::string HelpText() {
    return "Usage: tralux-cli COMMAND [OPTIONS] FILE...\n"
           "Balance the loudness of WAV files (8, 16, 24 and 32-bit integer PCM, 32 and\n"
           "64-bit float, any channels and rate, RF64 and BW64 included) and FLAC files\n"
           "(8 to 32 bits). Source files are never written: results are new files in the\n"
           "source's format, with its chunks or tags, beside the sources or in another\n"
           "folder.\n"
           "\n"
           "Commands:\n"
           "  analyse FILE...            scan only: peak and loudness of each source\n"
           "  prepare [OPTIONS] FILE...  Prepare: write a normalised copy of each file\n"
           "  balance [OPTIONS] FILE...  Prepare & Balance: bring the copies to one loudness\n"
           "\n"
           "Options:\n"
           "  --reference quietest|loudest|file:N|preset:NAME|level:L|lufs:L\n"
           "                          the reference loudness for balance (default quietest;\n"
           "                          file:N is the N-th FILE, from 1; preset:NAME a preset of\n"
           "                          the settings file; level:L a loudness from 1 to 32767 on\n"
           "                          the sample-value scale; lufs:L an integrated loudness\n"
           "                          from -70 to 0 LUFS, which balances by LUFS)\n"
           "  --group FILE,FILE[,...] join these files into one track group (repeatable;\n"
           "                          groups are numbered 1, 2, ... in the order given)\n"
           "  --output-dir DIR        results into DIR\n"
           "  --beside-source         results beside their sources\n"
           "  --suffix TEXT           the name part added to result names\n"
           "  --no-suffix             add no name part\n"
           "  --max-compression F     compression factor never exceeded (1.1 to 4.0)\n"
           "  --warn-compression F    compression factor above which to ask (1.1 to 4.0)\n"
           "  --final-limit LEVEL     finally limit every result's peak to LEVEL (1024 to\n"
           "                          32767 on the sample-value scale; 32767: no limiting)\n"
           "  --flac-level N|source   the compression level of FLAC results, 0 to 8, or that\n"
           "                          of each source (the default); REPLAYGAIN_* tags are\n"
           "                          left out of FLAC results: they describe the old audio\n"
           "  --units percent|db|sample  the unit of every loudness printed\n"
           "  --csv FILE              write the results export (the window program's format);\n"
           "                          - writes it to standard output, in place of the table\n"
           "  --settings FILE         read defaults from this settings file; it is never written\n"
           "  -y, --yes               answer Yes to the overwrite and compression questions\n"
           "  -n, --dry-run           balance: print the planned results; write no file\n"
           "  --measure rms|lufs      the measure balance brings the files to: rms, the root\n"
           "                          mean square of all samples, or lufs, the integrated\n"
           "                          loudness under a true-peak ceiling\n"
           "  --true-peak-limit DB    by LUFS, the true peak no result exceeds (-20 to 0 dBTP;\n"
           "                          default -1)\n"
           "  --broadcast             the table also shows LUFS (integrated loudness, EBU\n"
           "                          R128 / ITU-R BS.1770), dBTP (true peak) and LRA\n"
           "                          (loudness range, LU) of each source and result, and\n"
           "                          each track group's loudness\n"
           "  --json                  print one JSON object with every measure of every\n"
           "                          file on standard output, in place of the table\n"
           "  -q, --quiet             no progress display\n"
           "  -h, --help              show this help and exit\n"
           "  -V, --version           show the version and exit\n"
           "\n"
           "Unless given here, every option takes the value of the settings file, so that\n"
           "tralux-cli and the window program agree. Without --yes the questions are asked on\n"
           "the terminal, and answered No when standard input is not a terminal.\n"
           "\n"
           "Two measures. RMS, the root mean square of all samples, is shown on the 16-bit\n"
           "sample scale (0 to 32767) or in the --units chosen; balancing by it gives the\n"
           "results Tralux has always given. LUFS is the integrated loudness broadcasters use\n"
           "(EBU R128 / ITU-R BS.1770: K-weighted and gated), with the true peak in dBTP and the\n"
           "loudness range in LU; --broadcast and --json show them. Balancing by LUFS\n"
           "(--measure lufs, or --reference lufs:-16) brings each file, or each track group as\n"
           "one, to the target: a file louder than it by an exact gain, a quieter one by gain\n"
           "while its true peak stays under --true-peak-limit, then by gentle compression, each\n"
           "pass measured anew. The references compare the loudness each file reaches by gain\n"
           "alone, its true peak on the ceiling: quietest compresses nothing. Presets by LUFS\n"
           "are the settings file's LUFS presets (EBU R128 (-23 LUFS), Podcast (-16 LUFS),\n"
           "Streaming (-14 LUFS), ReplayGain 2.0 (-18 LUFS) built in). A silent file has no LUFS.\n"
           "\n"
           "Exit status: 0 done, 1 refused, failed or cancelled (Ctrl-C), 2 bad usage.\n";
}

}  // namespace tralux::cli
