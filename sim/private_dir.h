// The folder a parent made for the simulator's log and state, removed when
// the parent has gone without doing so itself.
#pragma once

#include <string>
#include <vector>

namespace tolvan_sim {

// Removes those of `files` that lie directly in `dir`, then `dir` if that
// left it empty. What cannot be removed is reported on standard error.
void remove_private_dir(const std::string& dir, const std::vector<std::string>& files);

}  // namespace tolvan_sim
