#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "settings/Options.h"

namespace tralux::cli {

// A command line that cannot be acted on; the program prints it and exits with status 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class Command { None, Analyse, Prepare, Balance };

// What --reference chose: the window's choices, the highlighted file named by its number
// and a preset by its name or its level.
struct ReferenceArgument {
    ReferenceChoice choice = ReferenceChoice::Quietest;
    int fileNumber = 0;           // Highlighted: counted from 1 over the FILE arguments
    std::string presetName;       // Preset: the preset of the settings file with this name...
    std::optional<double> level;  // ...or this loudness on the 16-bit sample-value scale
    std::optional<double> lufs;   // a target in LUFS (lufs:L), which balances by LUFS
};

// The parsed command line. Unset optionals leave the settings file's value in force.
struct CommandLine {
    Command command = Command::None;
    bool help = false;
    bool version = false;

    std::vector<std::string> files;  // as given
    ReferenceArgument reference;
    std::vector<std::vector<std::string>> groups;  // names as given, in group-number order
    std::optional<std::string> outputDir;
    bool besideSource = false;
    std::optional<std::string> suffix;
    bool noSuffix = false;
    std::optional<double> maxCompression;
    std::optional<double> warnCompression;
    std::optional<int16_t> finalLimit;
    std::optional<int32_t> flacLevel;  // FlacLevelAsTheSource or 0 to 8
    std::optional<int32_t> units;      // 0 percent, 1 decibels, 2 sample value
    std::optional<std::string> csvFile;
    std::optional<std::string> settingsFile;
    bool yes = false;
    bool quiet = false;
    // balance: measure and print the plan; no file is created, written, renamed or removed.
    bool dryRun = false;
    // The table also shows each source's and result's integrated loudness, true peak and
    // loudness range.
    bool broadcast = false;
    // One JSON object with every measure on standard output, in place of the table.
    bool json = false;
    // What balance brings the files to; unset: the settings file's choice, or LUFS when
    // --reference names a LUFS target.
    std::optional<BalanceMeasure> measure;
    std::optional<double> truePeakLimit;  // dBTP, at most 0
};

// Parses the arguments after the program name, GNU style: long options with "=VALUE" or a
// separate value, options before or after the files, "--" ending the options.
CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

// A number as typed by a user: "1.5" or, as some locales write it, "1,5". nullopt unless the
// whole text is one finite number.
std::optional<double> ParseNumber(const std::string& text);

std::string UsageText();
std::string HelpText();

}  // namespace tralux::cli
