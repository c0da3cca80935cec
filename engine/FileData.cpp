#include "FileData.h"

#include <utility>

namespace tralux {

FileData::FileData(std::string sourceFile, int64_t headerSize, int32_t frameCount,
                   int32_t tailBytes, UngroupedNumbers& numbers)
    : SourceFile(std::move(sourceFile)),
      HeaderSize(headerSize),
      FrameCount(frameCount),
      TailBytes(tailBytes),
      // A file with no whole frame still gets one (empty) block here; the pass engine runs
      // no block for it.
      BlockCount((frameCount - 1) / FramesPerBlock + 1),
      LastBlockFrames(frameCount % FramesPerBlock),
      GroupNumber(numbers.Take()) {}

FileData::FileData(std::string sourceFile, const WaveHeaderInfo& header, UngroupedNumbers& numbers)
    : FileData(std::move(sourceFile), header.HeaderSize, header.FrameCount, header.TailBytes,
               numbers) {
    ShorterThanHeader = header.ShorterThanHeader;
}

GroupData* FindGroup(const GroupList& groups, int32_t groupNumber) {
    for (const auto& group : groups) {
        if (group->GroupNumber == groupNumber) {
            return group.get();
        }
    }
    return nullptr;
}

}  // namespace tralux
