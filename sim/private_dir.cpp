// Removing the folder of a parent that has gone.
#include "private_dir.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace tolvan_sim {

void remove_private_dir(const std::string& dir, const std::vector<std::string>& files) {
    namespace fs = std::filesystem;
    std::error_code error;
    for (const std::string& file : files) {
        // Only what lies in the folder: a log the user keeps elsewhere stays.
        if (file.empty() || !fs::equivalent(fs::path(file).parent_path(), dir, error)) continue;
        if (!fs::remove(file, error) && error) {
            std::fprintf(stderr, "tolvan-sim: cannot remove %s: %s\n", file.c_str(), error.message().c_str());
        }
    }
    if (!fs::remove(dir, error) && error) {
        std::fprintf(stderr, "tolvan-sim: cannot remove %s: %s\n", dir.c_str(), error.message().c_str());
    }
}

}  // namespace tolvan_sim
