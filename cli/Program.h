#pragma once

#include <string>
#include <vector>

namespace tralux::cli {

// Exit statuses of tralux-cli.
inline constexpr int ExitDone = 0;
inline constexpr int ExitFailed = 1;  // refused, failed or cancelled
inline constexpr int ExitUsage = 2;

// The whole program after the process is set up: arguments without the program name, the
// folder of the executable (where the settings file lives). Returns the exit status.
int RunProgram(const std::vector<std::string>& arguments, const std::string& executableFolder);

// path made absolute against the current folder, with "." segments and doubled separators
// dropped. ".." stays: through a link it does not mean the textual parent.
std::string AbsolutePath(const std::string& path);

}  // namespace tralux::cli
