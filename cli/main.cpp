#include <clocale>
#include <filesystem>
#include <string>
#include <vector>

#include "Program.h"

namespace {

// The folder of the running executable, where the window program keeps its settings file.
std::string ExecutableFolder(const char* argv0) {
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        self = std::filesystem::absolute(argv0 != nullptr ? argv0 : "", error);
    }
    return self.parent_path().string();
}

}  // namespace

int main(int argc, char** argv) {
    // Numbers are shown with the user's decimal separator, as the window program shows them.
    std::setlocale(LC_ALL, "");
    std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    return tralux::cli::RunProgram(arguments, ExecutableFolder(argc > 0 ? argv[0] : nullptr));
}
