#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "WavFormat.h"

namespace tralux {

// Stopped: the check was asked to stop before it could judge the file.
enum class WaveCheckResult { Valid, NotSupported, CannotOpen, Stopped };

// What the header check found. The three values are meaningful only when Result is Valid.
struct WaveHeaderInfo {
    WaveCheckResult Result = WaveCheckResult::NotSupported;
    int64_t HeaderSize = 0;  // offset of the first sample frame
    int64_t FrameCount = 0;  // 64 bits: an RF64 file holds more than 2^31 frames
    int32_t TailBytes = 0;
    // The data chunk claims more than the file holds (a recording cut off, a size left at
    // 0x7FFFFFFF by a program writing to a pipe): FrameCount and TailBytes count only the
    // bytes present.
    bool ShorterThanHeader = false;
    // What the header says whatever the verdict, so that a refusal can say what the file is;
    // NotWav after a stop.
    WavDescription File;
};

// Asked before each piece of the header is read; true ends the check with Stopped. A file of
// millions of empty chunks takes a while to walk, and Ctrl-C or Cancel must end it.
using HeaderStopQuery = std::function<bool()>;

// Reads up to size bytes at offset; returns how many were read (fewer only at the end of the
// file or on an error).
using HeaderReadAt = std::function<size_t(void* buffer, size_t size, int64_t offset)>;

// The bytes the header check asks for at once: chunk headers are walked inside such a piece.
constexpr size_t HeaderPieceSize = size_t{64} << 10;

// Whether the runs can take files of this format (RunsTake), and the words that say which
// ones they take, to follow "balances only".
bool RunsTake(const WavFormat& format);
extern const char* const FormatsTakenText;

// Reads what the file is (WavDescription) and checks that it is one the runs can take (see
// RunsTake), in a RIFF, RF64 or BW64 container, with its format tag or the extensible tag
// (whose header is copied byte for byte like any other); finds its sample data. Opens the file with
// an exclusive lock and changes nothing; a path that is not a regular file, or a file another
// process holds locked, is CannotOpen.
WaveHeaderInfo ReadWaveHeader(const std::string& path, const HeaderStopQuery& stop = {});

// The same check on bytes read through readAt; fileSize is the length the data chunk is
// measured against.
WaveHeaderInfo CheckWaveHeader(const HeaderReadAt& readAt, int64_t fileSize,
                               const HeaderStopQuery& stop = {});

// What the user is told when a file offered to the list is refused; empty for a valid file
// and for a stopped check, which the one who stopped it reports. The first form says what the
// file is when its header tells; the second gives the general refusal.
std::string RefusedFileMessage(const WaveHeaderInfo& header, const std::string& path);
std::string RefusedFileMessage(WaveCheckResult result, const std::string& path);

// What the user is told once per intake about the files added that are shorter than their
// headers say: the window's one box listing them, and the terminal's line for each.
std::string ShorterThanHeaderMessage(const std::vector<std::string>& paths);
std::string ShorterThanHeaderLine(const std::string& path);

}  // namespace tralux
