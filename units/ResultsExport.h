#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "files/SameFile.h"

namespace tralux {

// The broadcast measures of one side of a file, when they were taken: integrated loudness
// (LUFS), true peak (dBTP) and loudness range (LU), each empty when the meter gives none (a
// silent file, a range of a file under 3 s).
struct ExportMeasures {
    bool measured = false;
    std::optional<double> lufs;
    std::optional<double> truePeakDb;
    std::optional<double> rangeLu;
};

// One listed file as the export writes it. Paths are written in full; loudness values are
// levels on the 16-bit sample scale, 0 when not yet measured.
struct ExportRow {
    std::string sourceFile;
    double scanLoudness = 0.0;
    std::string resultFile;  // empty until the output check has named it
    double loudness = 0.0;
    ExportMeasures source = {};
    ExportMeasures result = {};
};

// The export's whole text: the header line "Source File,Source Loudness,Result File,Result
// Loudness", then one line per row, every field in double quotes joined by "," with no blanks;
// loudness values by LoudnessText in the given unit; a double quote inside a field is doubled,
// as CSV readers expect. Every line ends in CR LF. When any row has broadcast measures, every
// line gains six fields after those four: "Source LUFS,Source True Peak dBTP,Source LRA LU,
// Result LUFS,Result True Peak dBTP,Result LRA LU", each value with one decimal (FixedPointText),
// empty when not measured or not given; without them the text is the four columns alone.
std::string ResultsText(const std::vector<ExportRow>& rows, int32_t unit,
                        const std::string& decimalSeparator);
std::string ResultsText(const std::vector<ExportRow>& rows, int32_t unit);

// The message shown for a failed file operation with this errno value: "File not found",
// "Invalid filename", "Too many open files", "File access denied", "Disk full", or
// "I/O error <n>".
std::string IoErrorText(int errorNumber);

// The files an export must never replace: the listed sources and results, in any spelling
// of their paths (relative parts, links, hard links, letter case), by the same-file rule for
// what is written.
class ExportGuard {
public:
    ExportGuard() = default;
    // Every non-empty source and result path of the rows.
    explicit ExportGuard(const std::vector<ExportRow>& rows);
    void Protect(const std::string& path);
    // Whether an export to path would replace one of the protected files.
    bool Covers(const std::string& path) const;

private:
    SameFileIndex protected_{SameFileRule::Writing};
    size_t count_ = 0;
};

// "Data not saved: <path> is one of the listed source or result files".
std::string RefusedExportMessage(const std::string& path);

// Why an export to path cannot be written, in a few words ("it is a folder"); nullopt when it
// can be tried. Asked before a run, so that no result is written for an export that cannot be:
// a folder, device, FIFO or socket at path, a link there that does not lead to a regular file
// (such as /dev/stdout, whose replacement would take it from the whole system), a folder that
// is missing or cannot be written.
std::optional<std::string> ExportTargetProblem(const std::string& path);

// Writes ResultsText to a temporary file beside path and renames it over path, so the file
// at path is either the old one or the whole export. Refused with RefusedExportMessage when
// path names a source or result of the rows or anything guard covers, checked before the
// write and again before the rename; a link at path is replaced only when it leads to a
// regular file ("Invalid filename" otherwise). Returns nullopt on success, otherwise the message;
// for a failed write the IoErrorText of its cause (a write the file system does not take whole
// counts as "Disk full"), with that cause in errorNumber when it is given.
std::optional<std::string> WriteResultsFile(const std::string& path,
                                            const std::vector<ExportRow>& rows, int32_t unit,
                                            const std::string& decimalSeparator,
                                            const ExportGuard& guard = ExportGuard(),
                                            int* errorNumber = nullptr);
std::optional<std::string> WriteResultsFile(const std::string& path,
                                            const std::vector<ExportRow>& rows, int32_t unit);

}  // namespace tralux
