// Removing the folder of a parent that has gone.
#include "private_dir.h"

#include <filesystem>
#include <system_error>

#include "wire_log.h"

namespace tolvan_sim {

void remove_private_dir(const std::string& dir, const std::vector<std::string>& files) {
    namespace fs = std::filesystem;
    std::error_code error;
    for (const std::string& file : files) {
        // Only what lies in the folder: a log the user keeps elsewhere stays.
        if (file.empty() || !fs::equivalent(fs::path(file).parent_path(), dir, error)) continue;
        if (!fs::remove(file, error) && error) {
            report("cannot remove " + file + ": " + error.message());
        }
    }
    if (!fs::remove(dir, error) && error) {
        report("cannot remove " + dir + ": " + error.message());
    }
}

}  // namespace tolvan_sim
