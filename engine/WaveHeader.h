#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tralux {

enum class WaveCheckResult { Valid, NotSupported, CannotOpen };

// What the header check found. The three values are meaningful only when Result is Valid.
struct WaveHeaderInfo {
    WaveCheckResult Result = WaveCheckResult::NotSupported;
    int64_t HeaderSize = 0;  // offset of the first sample frame
    int32_t FrameCount = 0;
    int32_t TailBytes = 0;
    // The data chunk claims more than the file holds (a recording cut off, a size left at
    // 0x7FFFFFFF by a program writing to a pipe): FrameCount and TailBytes count only the
    // bytes present.
    bool ShorterThanHeader = false;
};

// Checks that the file is integer PCM, 2 channels, 44100 Hz, 16 bits, and finds its sample
// data. Opens the file with an exclusive lock and changes nothing; a path that is not a
// regular file, or a file another process holds locked, is CannotOpen.
WaveHeaderInfo ReadWaveHeader(const std::string& path);

// What the user is told when a file offered to the list is refused; empty for a valid file.
std::string RefusedFileMessage(WaveCheckResult result, const std::string& path);

// What the user is told once per intake about the files added that are shorter than their
// headers say: the window's one box listing them, and the terminal's line for each.
std::string ShorterThanHeaderMessage(const std::vector<std::string>& paths);
std::string ShorterThanHeaderLine(const std::string& path);

}  // namespace tralux
