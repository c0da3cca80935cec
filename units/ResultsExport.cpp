#include "units/ResultsExport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "files/ReplacingFile.h"

#include "units/Loudness.h"
#include "units/NumberText.h"

namespace tralux {
namespace {

std::string QuotedField(const std::string& text) {
    std::string field;
    field.reserve(text.size() + 2);
    for (const char c : text) {
        field += c;
        if (c == '"') {
            field += '"';
        }
    }
    return field;
}

// Whether the link at path leads, one name after another, to a regular file. A link into
// /proc (as /dev/stdout is, through /proc/self/fd/1) names an open file rather than a place,
// and never counts; nor does a link to nothing.
bool LinkLeadsToRegularFile(std::string path) {
    namespace fs = std::filesystem;
    for (int hop = 0; hop < 40; ++hop) {
        std::error_code error;
        fs::path target = fs::read_symlink(path, error);
        if (error) {
            return false;
        }
        if (target.is_relative()) {
            const fs::path folder = fs::canonical(fs::absolute(path, error).parent_path(), error);
            if (error) {
                return false;
            }
            target = folder / target;
        }
        path = target.lexically_normal().string();
        if (path == "/proc" || path.rfind("/proc/", 0) == 0) {
            return false;
        }
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 ||
            !(S_ISREG(info.st_mode) || S_ISLNK(info.st_mode))) {
            return false;
        }
        if (S_ISREG(info.st_mode)) {
            return true;
        }
    }
    return false;
}

// Whatever stands at path may be replaced by a file: nothing, a file, or a link to a file.
bool ReplaceableByFile(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return true;
    }
    return S_ISLNK(info.st_mode) ? LinkLeadsToRegularFile(path) : S_ISREG(info.st_mode);
}

}  // namespace

std::optional<std::string> ExportTargetProblem(const std::string& path) {
    namespace fs = std::filesystem;
    if (path.empty()) {
        return "it names no file";
    }
    struct stat info {};
    if (path.back() == '/' || (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))) {
        return "it is a folder";
    }
    if (::lstat(path.c_str(), &info) == 0 && !ReplaceableByFile(path)) {
        return S_ISLNK(info.st_mode) ? "it is a link to something other than a file"
                                     : "it is not a file";
    }
    std::error_code error;
    const fs::path full = fs::absolute(path, error);
    const std::string folder = error ? std::string(".") : full.parent_path().string();
    if (::stat(folder.c_str(), &info) != 0) {
        return "its folder " + folder + " does not exist";
    }
    if (!S_ISDIR(info.st_mode)) {
        return "its folder " + folder + " is not a folder";
    }
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        return "its folder " + folder + " cannot be written";
    }
    return std::nullopt;
}

std::string ResultsText(const std::vector<ExportRow>& rows, int32_t unit,
                        const std::string& decimalSeparator) {
    static const std::string Separator = "\",\"";
    // The broadcast columns come only with measures to fill them: an export by RMS alone is
    // the file it always was.
    const bool broadcast = std::any_of(rows.begin(), rows.end(), [](const ExportRow& row) {
        return row.source.measured || row.result.measured;
    });
    std::string text = "Source File,Source Loudness,Result File,Result Loudness";
    if (broadcast) {
        text +=
            ",Source LUFS,Source True Peak dBTP,Source LRA LU,Result LUFS,Result True Peak "
            "dBTP,Result LRA LU";
    }
    text += "\r\n";
    const auto measures = [&](const ExportMeasures& side) {
        std::string fields;
        for (const std::optional<double>& value : {side.lufs, side.truePeakDb, side.rangeLu}) {
            fields += Separator;
            if (side.measured && value) {
                fields += FixedPointText(*value, decimalSeparator);
            }
        }
        return fields;
    };
    for (const ExportRow& row : rows) {
        text += '"';
        text += QuotedField(row.sourceFile);
        text += Separator;
        text += LoudnessText(row.scanLoudness, unit, decimalSeparator);
        text += Separator;
        text += QuotedField(row.resultFile);
        text += Separator;
        text += LoudnessText(row.loudness, unit, decimalSeparator);
        if (broadcast) {
            text += measures(row.source);
            text += measures(row.result);
        }
        text += "\"\r\n";
    }
    return text;
}

std::string ResultsText(const std::vector<ExportRow>& rows, int32_t unit) {
    return ResultsText(rows, unit, LocaleDecimalSeparator());
}

std::string IoErrorText(int errorNumber) {
    switch (errorNumber) {
        case ENOENT:
            return "File not found";
        case ENOTDIR:
        case ENAMETOOLONG:
        case EINVAL:
        case ELOOP:
            return "Invalid filename";
        case EMFILE:
        case ENFILE:
            return "Too many open files";
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
        case ETXTBSY:
            return "File access denied";
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return "Disk full";
        default:
            return "I/O error " + std::to_string(errorNumber);
    }
}

ExportGuard::ExportGuard(const std::vector<ExportRow>& rows) {
    for (const ExportRow& row : rows) {
        Protect(row.sourceFile);
        Protect(row.resultFile);
    }
}

void ExportGuard::Protect(const std::string& path) {
    if (!path.empty()) {
        protected_.Add(path, count_++);
    }
}

bool ExportGuard::Covers(const std::string& path) const {
    return protected_.Find(path).has_value();
}

std::string RefusedExportMessage(const std::string& path) {
    return "Data not saved: " + path + " is one of the listed source or result files";
}

std::optional<std::string> WriteResultsFile(const std::string& path,
                                            const std::vector<ExportRow>& rows, int32_t unit,
                                            const std::string& decimalSeparator,
                                            const ExportGuard& guard, int* errorNumber) {
    auto failed = [errorNumber](int error) {
        if (errorNumber != nullptr) {
            *errorNumber = error;
        }
        return IoErrorText(error);
    };
    if (path.empty()) {
        return failed(ENOENT);
    }
    // Checked again once the export is written: a file can be swapped in meanwhile.
    const ExportGuard listed(rows);
    auto refused = [&] { return listed.Covers(path) || guard.Covers(path); };
    if (refused()) {
        return RefusedExportMessage(path);
    }
    // A link is replaced, never written through; one that does not lead to a file is left.
    if (!ReplaceableByFile(path)) {
        struct stat info {};
        return failed(::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
    }
    const std::string text = ResultsText(rows, unit, decimalSeparator);
    ReplacingFile file(path);
    if (!file.Write(text.data(), text.size())) {
        return failed(file.Error());
    }
    if (refused()) {
        return RefusedExportMessage(path);
    }
    if (!ReplaceableByFile(path)) {
        return failed(EINVAL);
    }
    if (!file.Commit()) {
        return failed(file.Error());
    }
    return std::nullopt;
}

std::optional<std::string> WriteResultsFile(const std::string& path,
                                            const std::vector<ExportRow>& rows, int32_t unit) {
    return WriteResultsFile(path, rows, unit, LocaleDecimalSeparator(), ExportGuard());
}

}  // namespace tralux
