#include "units/ResultsExport.h"

#include <cerrno>

#include "engine/ReplacingFile.h"

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

}  // namespace

std::string ResultsText(const std::vector<ExportRow>& rows, int32_t unit,
                        const std::string& decimalSeparator) {
    static const std::string Separator = "\",\"";
    std::string text = "Source File,Source Loudness,Result File,Result Loudness\r\n";
    for (const ExportRow& row : rows) {
        text += '"';
        text += QuotedField(row.sourceFile);
        text += Separator;
        text += LoudnessText(row.scanLoudness, unit, decimalSeparator);
        text += Separator;
        text += QuotedField(row.resultFile);
        text += Separator;
        text += LoudnessText(row.loudness, unit, decimalSeparator);
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
    const std::string text = ResultsText(rows, unit, decimalSeparator);
    ReplacingFile file(path);
    if (!file.Write(text.data(), text.size())) {
        return failed(file.Error());
    }
    if (refused()) {
        return RefusedExportMessage(path);
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
