#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tralux {

// One listed file as the export writes it. Paths are written in full; loudness values are
// levels on the 16-bit sample scale, 0 when not yet measured.
struct ExportRow {
    std::string sourceFile;
    double scanLoudness = 0.0;
    std::string resultFile;  // empty until the output check has named it
    double loudness = 0.0;
};

// The export's whole text: the header line "Source File,Source Loudness,Result File,Result
// Loudness", then one line per row, every field in double quotes joined by "," with no blanks;
// loudness values by LoudnessText in the given unit. Every line ends in CR LF.
std::string ResultsText(const std::vector<ExportRow>& rows, int32_t unit,
                        const std::string& decimalSeparator);
std::string ResultsText(const std::vector<ExportRow>& rows, int32_t unit);

// The message shown for a failed file operation with this errno value: "File not found",
// "Invalid filename", "Too many open files", "File access denied", "Disk full", or
// "I/O error <n>".
std::string IoErrorText(int errorNumber);

// Creates (or replaces) the file at path and writes ResultsText into it. Returns nullopt on
// success, otherwise the IoErrorText of the failure; a write the file system does not take
// whole counts as "Disk full". The file may be left incomplete after a failure.
std::optional<std::string> WriteResultsFile(const std::string& path,
                                            const std::vector<ExportRow>& rows, int32_t unit,
                                            const std::string& decimalSeparator);
std::optional<std::string> WriteResultsFile(const std::string& path,
                                            const std::vector<ExportRow>& rows, int32_t unit);

}  // namespace tralux
