// The frame log: one line per frame that crossed the line or was ignored.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "frame.h"

namespace tolvan_sim {

class WireLog {
public:
    // Empty path: no log. "-": standard error. Otherwise the file, appended
    // to. Throws std::system_error when the file cannot be opened.
    explicit WireLog(const std::string& path);
    ~WireLog();
    WireLog(const WireLog&) = delete;
    WireLog& operator=(const WireLog&) = delete;

    // "<direction> <hex bytes>[ # note]"
    void frame(std::string_view direction, const Bytes& bytes, std::string_view note = {});
    // "# <text>": events that are not frames.
    void comment(std::string_view text);

private:
    void write_line(const std::string& line);

    std::FILE* file_ = nullptr;
    bool owned_ = false;
};

}  // namespace tolvan_sim
