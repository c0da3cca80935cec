#include "operations/Intake.h"

#include "files/WaveHeader.h"

namespace tralux {

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
        intake.refusal = RefusedFileMessage(header, path);
        return intake;
    }
    intake.outcome = Intake::Outcome::Added;
    intake.record = std::make_unique<FileData>(path, header, numbers);
    intake.shorterThanHeader = header.ShorterThanHeader;
    return intake;
}

}  // namespace tralux
