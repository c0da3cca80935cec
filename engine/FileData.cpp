#include "FileData.h"

#include <utility>

namespace tralux {

FileData::FileData(std::string sourceFile, int64_t headerSize, int64_t frameCount,
                   int32_t tailBytes, UngroupedNumbers& numbers, const WavFormat& format)
    : SourceFile(std::move(sourceFile)),
      HeaderSize(headerSize),
      Format(format),
      FrameCount(frameCount),
      TailBytes(tailBytes),
      BlockFrames(BlockFramesFor(format.Channels)),
      // A file with no whole frame still gets one (empty) block here; the pass engine runs
      // no block for it.
      BlockCount((frameCount - 1) / BlockFrames + 1),
      LastBlockFrames(static_cast<int32_t>(frameCount % BlockFrames)),
      GroupNumber(numbers.Take()) {}

FileData::FileData(std::string sourceFile, const WaveHeaderInfo& header, UngroupedNumbers& numbers)
    : FileData(std::move(sourceFile), header.HeaderSize, header.FrameCount, header.TailBytes,
               numbers, header.File.Format) {
    ShorterThanHeader = header.ShorterThanHeader;
    DataSizeInDs64 = header.File.Data.DataSizeInDs64;
}

GroupData* FindGroup(const GroupList& groups, int32_t groupNumber) {
    for (const auto& group : groups) {
        if (group->GroupNumber == groupNumber) {
            return group.get();
        }
    }
    return nullptr;
}

std::string SourceFormatText(const FileData& file) {
    if (file.Flac) {
        return "FLAC " + FormatText(file.Format);
    }
    switch (file.Format.Container) {
        case WavContainer::Rf64:
            return FormatText(file.Format) + " RF64 WAV";
        case WavContainer::Bw64:
            return FormatText(file.Format) + " BW64 WAV";
        case WavContainer::Riff:
            break;
    }
    return FormatText(file.Format) + " WAV";
}

}  // namespace tralux
