#include "units/ResultsExport.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "units/Loudness.h"
#include "units/NumberText.h"

namespace tralux {

std::string ResultsText(const std::vector<ExportRow>& rows, int32_t unit,
                        const std::string& decimalSeparator) {
    static const std::string Separator = "\",\"";
    std::string text = "Source File,Source Loudness,Result File,Result Loudness\r\n";
    for (const ExportRow& row : rows) {
        text += '"';
        text += row.sourceFile;
        text += Separator;
        text += LoudnessText(row.scanLoudness, unit, decimalSeparator);
        text += Separator;
        text += row.resultFile;
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

std::optional<std::string> WriteResultsFile(const std::string& path,
                                            const std::vector<ExportRow>& rows, int32_t unit,
                                            const std::string& decimalSeparator) {
    if (path.empty()) {
        return IoErrorText(ENOENT);
    }
    const std::string text = ResultsText(rows, unit, decimalSeparator);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return IoErrorText(errno);
    }
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            // A write that takes nothing without naming a cause means the medium is full.
            const int error = n < 0 ? errno : ENOSPC;
            ::close(fd);
            return IoErrorText(error);
        }
        written += static_cast<size_t>(n);
    }
    // Some file systems report a failed write only when the file is closed.
    if (::close(fd) != 0 && errno != EINTR) {
        return IoErrorText(errno);
    }
    return std::nullopt;
}

std::optional<std::string> WriteResultsFile(const std::string& path,
                                            const std::vector<ExportRow>& rows, int32_t unit) {
    return WriteResultsFile(path, rows, unit, LocaleDecimalSeparator());
}

}  // namespace tralux
