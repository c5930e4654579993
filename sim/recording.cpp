// Reading a frame log back. Every line is checked, so that a file cut short,
// damaged or written by a newer simulator is refused with its line number
// rather than replayed wrongly. The file is read a block at a time, and each
// line is taken apart in place.
#include "recording.h"

#include <cerrno>
#include <charconv>
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
// A session's reply buffer larger than this is given back once the reply is stored.
constexpr std::size_t kept_buffer = 64 * 1024;

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

bool is_kind(std::string_view word) {
    return word == "rx" || word == "tx" || word == "bad" || word == "drop" || word == "lost";
}

// Seven bits at a time, low first; the top bit says that more follow.
void put_varint(std::vector<std::uint8_t>& out, std::uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<std::uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<std::uint8_t>(value));
}

std::uint64_t get_varint(const std::uint8_t*& at) {
    std::uint64_t value = 0;
    for (unsigned shift = 0;; shift += 7) {
        const std::uint8_t byte = *at++;
        value |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
        if (!(byte & 0x80)) return value;
    }
}

// The words of `text`, split at single blanks, into `found`; false for two
// blanks in a row or one at the start, which the simulator never writes (one
// at the end, which an editor may leave, is taken).
bool split_words(std::string_view text, std::vector<std::string_view>& found) {
    found.clear();
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t end = text.find(' ', begin);
        if (end == std::string_view::npos) end = text.size();
        if (end == begin) return false;
        found.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return true;
}

}  // namespace

// Takes the lines of a log one at a time into a Recording.
class RecordingReader {
public:
    RecordingReader(Recording& recording, const std::string& path) : recording_(recording), path_(path) {}

    [[noreturn]] void fail(const std::string& reason, unsigned long line_number) const {
        throw BadRecording(path_ + ":" + std::to_string(line_number) + ": " + reason);
    }
    [[noreturn]] void fail(const std::string& reason) const { fail(reason, line_number_); }

    // One line, without its line end.
    void line(std::string_view text) {
        const bool first = line_number_++ == 0;
        // A log edited by hand, or checked out on Windows, may hold blank
        // lines and carriage returns before each line's end.
        if (text.ends_with('\r')) text.remove_suffix(1);
        if (first && !text.starts_with(log_version_line)) {
            fail("not a tolvan-sim log: its first line is not '" + std::string(log_version_line) +
                 std::to_string(log_version) + "'");
        }
        if (!first && text.find_first_not_of(' ') == std::string_view::npos) return;
        if (text.starts_with("#")) {
            if (!version_line(text) && !begin_session(text)) comment(text);
            return;
        }
        // Format 2: the name of the session first. A line whose first word is
        // a kind has none (format 1).
        const std::string_view first_word = text.substr(0, text.find(' '));
        if (!is_kind(first_word)) {
            if (const auto found = named_.find(first_word); found != named_.end()) {
                const std::string_view rest = text.substr(std::min(first_word.size() + 1, text.size()));
                if (rest.starts_with("#")) {
                    comment(rest);
                } else {
                    frame(found->second, rest, text);
                }
                return;
            }
            if (valid_session_name(first_word) && first_word.size() < text.size()) {
                fail("the session " + quoted(first_word) + " did not begin before this line (no '" +
                     std::string(session_line) + std::string(first_word) + " pid ...' line)");
            }
        }
        if (!plain_open_) {
            if (is_kind(first_word)) fail("a frame line without the name of its session, in a format 2 log");
            fail("unknown kind of line " + quoted(first_word));
        }
        frame(plain_, text, text);
    }

    // After the last line; `cut_short`: the file ends within a line.
    void finish(bool cut_short) {
        if (line_number_ == 0 && !cut_short) fail("empty file, not a tolvan-sim log", 1);
        if (cut_short) fail("cut short: the last line does not end", line_number_ + 1);
        close(plain_);
        for (auto& [name, session] : named_) close(session);
        // A replay of it would answer nothing: most likely the wrong file.
        if (recording_.requests_.empty()) {
            fail("no request recorded (no \"rx\" line): nothing to replay; was the script run against "
                 "the relay's port?");
        }
    }

private:
    // The reply being read, to the last request of one session.
    struct Session {
        Recording::Replies* replies = nullptr;  // null: no request yet
        std::size_t index = 0;                  // of the reply in replies->recorded
        std::vector<std::uint8_t> packed;       // its pieces so far, packed
        std::uint32_t pieces = 0;
        std::uint32_t bytes = 0;
    };

    // The reply read so far goes to the recording, its pieces together.
    void close(Session& session) {
        if (session.replies != nullptr) {
            Reply& reply = session.replies->recorded[session.index];
            reply = {static_cast<std::uint32_t>(recording_.packed_.size()), session.pieces, session.bytes};
            recording_.packed_.insert(recording_.packed_.end(), session.packed.begin(), session.packed.end());
        }
        session.replies = nullptr;
        session.pieces = session.bytes = 0;
        session.packed.clear();
        if (session.packed.capacity() > kept_buffer) std::vector<std::uint8_t>().swap(session.packed);
    }

    // "# tolvan-sim log N": after checking that this simulator reads N, a
    // session of format 1 begins (lines without a name follow), or the lines
    // of format 2 do.
    bool version_line(std::string_view text) {
        if (!text.starts_with(log_version_line)) return false;
        const std::string_view number = text.substr(log_version_line.size());
        unsigned version = 0;
        const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), version);
        if (number.empty() || error != std::errc() || end != number.data() + number.size()) {
            fail("bad version line " + quoted(text));
        }
        if (version > log_version) {
            fail("written in log format " + std::to_string(version) + ", newer than this tolvan-sim reads (" +
                 std::to_string(log_version) + "): replay it with a newer tolvan-sim");
        }
        // Replies in a later session answer none of the earlier one's requests.
        close(plain_);
        plain_open_ = version < 2;
        return true;
    }

    // "# session NAME pid PID": the session NAME begins; its lines follow.
    bool begin_session(std::string_view text) {
        if (!text.starts_with(session_line)) return false;
        if (!split_words(text.substr(session_line.size()), words_) || words_.size() != 3 ||
            !valid_session_name(words_[0]) || words_[1] != "pid" ||
            words_[2].find_first_not_of("0123456789") != std::string_view::npos) {
            fail("bad session line " + quoted(text));
        }
        // A name used again (by chance, or given again): a new session.
        auto found = named_.find(words_[0]);
        if (found == named_.end()) found = named_.emplace(std::string(words_[0]), Session{}).first;
        close(found->second);
        return true;
    }

    void comment(std::string_view text) const {
        // Replies would go to the wrong requests: where the lines went is unknown.
        if (text.ends_with(dropped_lines_note)) {
            fail("lines are missing here (the log's reader did not keep up): record again with --log to a file");
        }
    }

    // "KIND HEX... TIME[ # NOTE]", from the line `whole`.
    void frame(Session& session, std::string_view text, std::string_view whole) {
        const std::size_t note = text.find(" # ");
        if (!split_words(text.substr(0, note), words_) || words_.size() < 3) {
            fail("neither a frame nor a comment: " + quoted(whole));
        }
        const std::string_view kind = words_.front();
        const bool request = kind == "rx";
        const bool at_start = request || kind == "bad";
        if (!at_start && kind != "tx" && kind != "drop" && kind != "lost") fail("unknown kind of line " + quoted(kind));
        const auto after = time(words_.back(), at_start ? '@' : '+');
        read_bytes();
        if (request) {
            close(session);
            Recording::Replies& replies = recording_.requests_[bytes_];
            session.replies = &replies;
            session.index = replies.recorded.size();
            replies.recorded.emplace_back();
        } else if (kind == "tx" && session.replies != nullptr) {
            // Sent before any request of its session: nothing asked for it, nothing to replay.
            put_varint(session.packed, static_cast<std::uint64_t>(after.count()));
            put_varint(session.packed, bytes_.size());
            session.packed.insert(session.packed.end(), bytes_.begin(), bytes_.end());
            ++session.pieces;
            session.bytes += static_cast<std::uint32_t>(bytes_.size());
        }
    }

    // The bytes between the kind and the time, into bytes_.
    void read_bytes() {
        bytes_.clear();
        for (std::size_t index = 1; index + 1 < words_.size(); ++index) {
            const std::string_view word = words_[index];
            unsigned value = 0;
            const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value, 16);
            if (word.size() != 2 || error != std::errc() || end != word.data() + word.size()) {
                fail(quoted(word) + " is not a byte in two hex digits");
            }
            bytes_.push_back(static_cast<std::uint8_t>(value));
        }
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

    Recording& recording_;
    const std::string& path_;
    unsigned long line_number_ = 0;
    bool plain_open_ = false;  // in a session of format 1, whose lines carry no name
    Session plain_;
    std::map<std::string, Session, std::less<>> named_;
    std::vector<std::string_view> words_;  // of the line being read
    Bytes bytes_;                          // of the frame being read
};

Recording::Recording(const std::string& path, bool (*stopped)()) {
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) throw BadRecording("cannot read " + path + ": " + std::strerror(errno));
    // A device that never ends (/dev/zero) would take all memory and time.
    const auto too_large = [&path] {
        return BadRecording("cannot read " + path + ": larger than " + std::to_string(largest_recording >> 20) +
                            " MiB, more than a recording holds");
    };
    struct stat info {};
    if (fstat(file.get(), &info) == 0 && static_cast<std::uintmax_t>(info.st_size) > largest_recording) {
        throw too_large();
    }
    RecordingReader reader(*this, path);
    std::string text;  // what was read and not yet taken: part of a line
    std::size_t total = 0;
    std::vector<char> block(65536);
    while (true) {
        const ssize_t got = ::read(file.get(), block.data(), block.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw BadRecording("cannot read " + path + ": " + std::strerror(errno));
        if (got == 0) break;
        if (stopped()) return;
        total += static_cast<std::size_t>(got);
        if (total > largest_recording) throw too_large();
        text.append(block.data(), static_cast<std::size_t>(got));
        std::size_t begin = 0;
        for (std::size_t end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1) {
            reader.line(std::string_view(text).substr(begin, end - begin));
        }
        text.erase(0, begin);
    }
    reader.finish(!text.empty());
}

const Reply* Recording::next(const Bytes& request) {
    auto found = requests_.find(request);
    if (found == requests_.end()) return nullptr;
    Replies& replies = found->second;
    const Reply* reply = &replies.recorded[replies.given];
    if (replies.given + 1 < replies.recorded.size()) ++replies.given;
    return reply;
}

Recording::Cursor::Cursor(const Recording& recording, const Reply& reply)
    : at_(recording.packed_.data() + reply.offset), left_(reply.pieces), bytes_left_(reply.bytes) {
    if (left_ != 0) decode();
}

void Recording::Cursor::advance() {
    bytes_left_ -= piece_.bytes.size();
    if (--left_ != 0) decode();
}

void Recording::Cursor::decode() {
    piece_.after = std::chrono::microseconds(static_cast<std::chrono::microseconds::rep>(get_varint(at_)));
    const std::size_t size = get_varint(at_);
    piece_.bytes = std::span<const std::uint8_t>(at_, size);
    at_ += size;
}

}  // namespace tolvan_sim
