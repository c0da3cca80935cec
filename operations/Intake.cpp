#include "operations/Intake.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>

#include "files/FileAccess.h"
#include "files/FlacMetadata.h"
#include "files/WavFormat.h"
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

// Whether the WAV check found the file to be native FLAC: it names such files in one way.
bool WavCheckFoundFlac(const WaveHeaderInfo& header) {
    static const std::string flacWhat =
        OtherFileType(reinterpret_cast<const unsigned char*>("fLaC"), 4);
    return header.File.Verdict == WavVerdict::Refused && header.File.What == flacWhat;
}

// The intake of a native FLAC file: its header read whole and its samples described as the WAV
// file of the same depth would hold them, which is how the passes work on them.
Intake TakeInFlac(const std::string& path, UngroupedNumbers& numbers) {
    Intake intake;
    const std::unique_ptr<PassFile> file = PosixFileAccess().OpenExisting(path);
    if (!file) {
        intake.refusal = CannotOpenMessage(path);
        return intake;
    }
    std::string error;
    const std::optional<FlacStream> stream = ReadFlacHeader(*file, path, error);
    if (!stream) {
        intake.refusal = error;
        return intake;
    }
    const FlacStreamInfo& info = stream->Info;
    const std::string quoted = "\"" + path + "\"";
    WavFormat format;
    format.Sample = SampleFormat{SampleCoding::Integer, int(info.BitsPerSample + 7) / 8,
                                 int(info.BitsPerSample)};
    format.Channels = info.Channels;
    format.SampleRate = info.SampleRate;
    if (!RunsTake(format)) {
        intake.refusal = quoted + " is " + WithArticle(FormatText(format)) +
                         " FLAC file; this version of Tralux balances only FLAC files of 8 to "
                         "32 bits";
        return intake;
    }
    // A stream written without its length (from a pipe) cannot be checked to its end.
    if (info.TotalFrames == 0 || info.TotalFrames > uint64_t{INT64_MAX}) {
        intake.refusal = quoted + " is a FLAC file whose header does not say its length";
        return intake;
    }
    intake.outcome = Intake::Outcome::Added;
    intake.record = std::make_unique<FileData>(path, stream->AudioOffset, int64_t(info.TotalFrames),
                                               0, numbers, format);
    intake.record->Flac = true;
    return intake;
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
    if (header.Result == WaveCheckResult::NotSupported && WavCheckFoundFlac(header)) {
        return TakeInFlac(path, numbers);
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
