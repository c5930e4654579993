// Frame log lines, flushed one by one so that a reader sees them at once.
#include "wire_log.h"

#include <cerrno>
#include <system_error>

namespace tolvan_sim {

WireLog::WireLog(const std::string& path) {
    if (path.empty()) return;
    if (path == "-") {
        file_ = stderr;
        return;
    }
    file_ = std::fopen(path.c_str(), "a");
    if (!file_) throw std::system_error(errno, std::generic_category(), "cannot open log " + path);
    owned_ = true;
}

WireLog::~WireLog() {
    if (owned_) std::fclose(file_);
}

void WireLog::frame(std::string_view direction, const Bytes& bytes, std::string_view note) {
    if (!file_) return;
    std::string line(direction);
    line += ' ';
    line += to_hex(bytes);
    if (!note.empty()) {
        line += " # ";
        line += note;
    }
    write_line(line);
}

void WireLog::comment(std::string_view text) {
    if (!file_) return;
    write_line("# " + std::string(text));
}

void WireLog::write_line(const std::string& line) {
    std::fputs(line.c_str(), file_);
    std::fputc('\n', file_);
    std::fflush(file_);
}

}  // namespace tolvan_sim
