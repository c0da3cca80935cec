#pragma once

#include <string>
#include <vector>

#include "engine/FileData.h"
#include "settings/Options.h"

namespace tralux::cli {

// What the printed reports know of one listed file's result.
enum class ResultKind {
    None,     // no result: analyse, or a silent file
    Written,  // written (and metered) by the run
    Planned,  // a dry run's: named and planned, not written
};

// The report of --json: {"measure": "rms" or "lufs", "files": [...]}, one object per file in list
// order with its source and result, their peak and loudness on the 16-bit scale and their broadcast
// measures; null for what a file has not. Numbers carry every digit of their double. Ends
// with a line break.
std::string JsonReport(const std::vector<const FileData*>& files,
                       const std::vector<ResultKind>& results,
                       BalanceMeasure measure = BalanceMeasure::Rms);

// A string as a JSON string literal, quotes included. Bytes that are not UTF-8 become U+FFFD.
std::string JsonString(const std::string& text);
// A number with every digit of its double (%.17g); null when not finite.
std::string JsonNumber(double value);

// The three broadcast columns of one side for --broadcast ("LUFS", "dBTP", "LRA"), each
// padded to its header; "-" for a value the side has not.
std::string BroadcastHeader(const std::string& side);
std::string BroadcastCells(const std::string& side, const BroadcastLoudness& measures);
// One line for each track group with a group loudness: "Group 1: source -18.2 LUFS, result
// -16.0 LUFS". Empty when there is none.
std::string GroupLines(const std::vector<const FileData*>& files);

}  // namespace tralux::cli
