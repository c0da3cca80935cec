#include "operations/Intake.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "files/WaveHeader.h"

namespace tralux {
namespace {

// Why a file the header check could not open was refused, in the user's terms: gone, not a
// file, or the system's reason; a file that opens now was held by another program.
std::string CannotOpenMessage(const std::string& path) {
    const std::string quoted = "\"" + path + "\"";
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return quoted + " does not exist";
        }
        return "Cannot open file " + quoted + ": " + std::strerror(errno);
    }
    if (S_ISDIR(status.st_mode)) {
        return quoted + " is a folder, not a WAV file";
    }
    if (!S_ISREG(status.st_mode)) {
        return quoted + " is a device or a pipe, not a WAV file";
    }
    // Read only and without waiting: this opening changes nothing.
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (descriptor < 0) {
        return "Cannot open file " + quoted + ": " + std::strerror(errno);
    }
    ::close(descriptor);
    return RefusedFileMessage(WaveCheckResult::CannotOpen, path);
}

}  // namespace

Intake TakeIn(const std::string& path, const SameFileIndex& listed, UngroupedNumbers& numbers,
              const IntakeStop& shouldStop) {
    Intake intake;
    if (const std::optional<size_t> same = listed.Find(path)) {
        intake.outcome = Intake::Outcome::Listed;
        intake.listedAt = same;
        return intake;
    }
    const WaveHeaderInfo header = ReadWaveHeader(path, shouldStop);
    if (header.Result == WaveCheckResult::Stopped) {
        intake.outcome = Intake::Outcome::Stopped;
        return intake;
    }
    if (header.Result != WaveCheckResult::Valid) {
        intake.outcome = Intake::Outcome::Refused;
        intake.refusal = header.Result == WaveCheckResult::CannotOpen
                             ? CannotOpenMessage(path)
                             : RefusedFileMessage(header, path);
        return intake;
    }
    intake.outcome = Intake::Outcome::Added;
    intake.record = std::make_unique<FileData>(path, header, numbers);
    intake.shorterThanHeader = header.ShorterThanHeader;
    return intake;
}

}  // namespace tralux
