// Reading a frame log back. Every line is checked, so that a file cut short,
// damaged or written by a newer simulator is refused with its line number
// rather than replayed wrongly.
#include "recording.h"

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file_descriptor.h"
#include "wire_log.h"

namespace tolvan_sim {

namespace {

// The longest time a line may carry: a day, in milliseconds.
constexpr long long longest_time_ms = 24LL * 3600 * 1000;
// The largest file replayed: days of requests.
constexpr std::size_t largest_recording = std::size_t{256} << 20;

// Text from the file, quoted for a message: control bytes (a NUL would cut the
// message short, an escape would reach the terminal) shown as \xNN, and a
// long line cut.
std::string quoted(std::string_view text) {
    constexpr std::size_t longest = 60;
    std::string shown = "'";
    for (const char byte : text.substr(0, longest)) {
        const auto code = static_cast<unsigned char>(byte);
        if (code >= 0x20 && code < 0x7f) {
            shown += byte;
        } else {
            static constexpr char digits[] = "0123456789ABCDEF";
            shown += {'\\', 'x', digits[code >> 4], digits[code & 0xf]};
        }
    }
    shown += text.size() > longest ? "'..." : "'";
    return shown;
}

class Reader {
public:
    Reader(const std::string& path) : path_(path) {}

    [[noreturn]] void fail(const std::string& reason) const {
        throw BadRecording(path_ + ":" + std::to_string(line_number_) + ": " + reason);
    }

    void next_line() { ++line_number_; }

    // "# tolvan-sim log N": the version it names, after checking that this
    // simulator reads it.
    bool version_line(std::string_view line) const {
        if (!line.starts_with(log_version_line)) return false;
        const std::string_view number = line.substr(log_version_line.size());
        unsigned version = 0;
        const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), version);
        if (number.empty() || error != std::errc() || end != number.data() + number.size()) {
            fail("bad version line " + quoted(line));
        }
        if (version > log_version) {
            fail("written in log format " + std::to_string(version) + ", newer than this tolvan-sim reads (" +
                 std::to_string(log_version) + "): replay it with a newer tolvan-sim");
        }
        return true;
    }

    Bytes bytes(const std::vector<std::string_view>& words) const {
        Bytes found;
        for (std::string_view word : words) {
            unsigned value = 0;
            const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value, 16);
            if (word.size() != 2 || error != std::errc() || end != word.data() + word.size()) {
                fail(quoted(word) + " is not a byte in two hex digits");
            }
            found.push_back(static_cast<std::uint8_t>(value));
        }
        if (found.empty()) fail("a frame line without bytes");
        return found;
    }

    // "@12.345" or "+12.345": milliseconds with up to three decimals.
    std::chrono::microseconds time(std::string_view word, char sign) const {
        if (word.size() < 2 || word[0] != sign) {
            fail("no time at the end of the frame (expected '" + std::string(1, sign) + "' and milliseconds)");
        }
        const std::string_view text = word.substr(1);
        const std::size_t point = text.find('.');
        const std::string_view whole = text.substr(0, point);
        std::string_view decimals = point == std::string_view::npos ? std::string_view{} : text.substr(point + 1);
        long long ms = 0, fraction = 0;
        const auto [end, error] = std::from_chars(whole.data(), whole.data() + whole.size(), ms);
        bool good = !whole.empty() && error == std::errc() && end == whole.data() + whole.size() && ms >= 0 &&
                    ms <= longest_time_ms && (point == std::string_view::npos || !decimals.empty()) &&
                    decimals.size() <= 3;
        for (char digit : decimals) {
            good = good && digit >= '0' && digit <= '9';
            if (good) fraction = fraction * 10 + (digit - '0');  // three digits at most: no overflow
        }
        if (!good) fail("bad time " + quoted(word));
        for (std::size_t i = decimals.size(); i < 3; ++i) fraction *= 10;
        return std::chrono::microseconds(ms * 1000 + fraction);
    }

private:
    const std::string& path_;
    unsigned long line_number_ = 0;
};

std::vector<std::string_view> words(std::string_view text) {
    std::vector<std::string_view> found;
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t end = text.find(' ', begin);
        if (end == std::string_view::npos) end = text.size();
        if (end == begin) return {};  // two blanks in a row: not a line the simulator writes
        found.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return found;
}

}  // namespace

Recording::Recording(const std::string& path, bool (*stopped)()) {
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) throw BadRecording("cannot read " + path + ": " + std::strerror(errno));
    // Read whole: a device that never ends (/dev/zero) would take all memory.
    const auto too_large = [&path] {
        return BadRecording("cannot read " + path + ": larger than " + std::to_string(largest_recording >> 20) +
                            " MiB, more than a recording holds");
    };
    struct stat info {};
    if (fstat(file.get(), &info) == 0 && static_cast<std::uintmax_t>(info.st_size) > largest_recording) {
        throw too_large();
    }
    std::string text;
    char block[65536];
    while (true) {
        const ssize_t got = ::read(file.get(), block, sizeof block);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw BadRecording("cannot read " + path + ": " + std::strerror(errno));
        if (got == 0) break;
        if (stopped()) return;
        if (text.size() + static_cast<std::size_t>(got) > largest_recording) throw too_large();
        text.append(block, static_cast<std::size_t>(got));
    }
    Reader reader(path);
    reader.next_line();
    if (text.empty()) reader.fail("empty file, not a tolvan-sim log");

    Reply* current = nullptr;  // the reply being read: to the last request
    std::size_t begin = 0;
    for (bool first = true; begin < text.size(); first = false) {
        const std::size_t end = text.find('\n', begin);
        if (!first) reader.next_line();
        if (end == std::string::npos) reader.fail("cut short: the last line does not end");
        std::string_view line(text.data() + begin, end - begin);
        begin = end + 1;
        // A log edited by hand, or checked out on Windows, may hold blank
        // lines and carriage returns before each line's end.
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (!first && line.find_first_not_of(' ') == std::string_view::npos) continue;

        if (first && !line.starts_with(log_version_line)) {
            reader.fail("not a tolvan-sim log: its first line is not '" + std::string(log_version_line) +
                        std::to_string(log_version) + "'");
        }
        if (line.starts_with("#")) {
            // Replies would go to the wrong requests: where the lines went is unknown.
            if (line.ends_with(dropped_lines_note)) {
                reader.fail("lines are missing here (the log's reader did not keep up): record again with "
                            "--log to a file");
            }
            // Logs appended to one file hold one session after another.
            if (reader.version_line(line)) current = nullptr;
            continue;
        }
        const std::size_t note = line.find(" # ");
        std::vector<std::string_view> fields = words(line.substr(0, note));
        if (fields.size() < 3) reader.fail("neither a frame nor a comment: " + quoted(line));
        const std::string_view kind = fields.front();
        const bool request = kind == "rx";
        const bool at_start = request || kind == "bad";
        if (!at_start && kind != "tx" && kind != "drop" && kind != "lost") {
            reader.fail("unknown kind of line " + quoted(kind));
        }
        const auto after = reader.time(fields.back(), at_start ? '@' : '+');
        Bytes bytes = reader.bytes({fields.begin() + 1, fields.end() - 1});
        if (request) {
            Replies& replies = requests_[bytes];
            current = &replies.recorded.emplace_back();
        } else if (kind == "tx" && current) {
            // Sent before any request: nothing asked for it, nothing to replay.
            current->push_back({after, std::move(bytes)});
        }
    }
    // A replay of it would answer nothing: most likely the wrong file.
    if (requests_.empty()) {
        reader.fail("no request recorded (no \"rx\" line): nothing to replay; was the script run against "
                    "the relay's port?");
    }
}

const Reply* Recording::next(const Bytes& request) {
    auto found = requests_.find(request);
    if (found == requests_.end()) return nullptr;
    Replies& replies = found->second;
    const Reply* reply = &replies.recorded[replies.given];
    if (replies.given + 1 < replies.recorded.size()) ++replies.given;
    return reply;
}

}  // namespace tolvan_sim
