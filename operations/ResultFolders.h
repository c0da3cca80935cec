#pragma once

#include <string>
#include <vector>

namespace tralux {

class FileData;

// The listed files whose result exists as a file made read-only, each as "\r   SOURCE"; empty
// when there is none. A read-only file is one its owner asked to keep: it is not replaced.
std::string ReadOnlyResults(const std::vector<FileData*>& files);

namespace messages {
inline constexpr const char* ReadOnlyResults = "Result files exist and are read-only for:\r";
// The output folder's name led elsewhere by the end of the output check.
std::string OutputFolderMoved(const std::string& folder);
// Another run holds the output folder.
std::string OutputFolderBusy(const std::string& folder);
}  // namespace messages

}  // namespace tralux
