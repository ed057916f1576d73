#include "core/stop_line_scanner.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velomar {
namespace {

// Tab and the Unicode space separators, in UTF-8.
constexpr std::string_view kHorizontalSpaces[] = {
    "\t",           " ",            "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81",
    "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87",
    "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80",
};

enum class End { front, back };

// Drops one horizontal space at that end of s; false when there is none.
bool trimOne(std::string_view& s, End end) {
    for (std::string_view space : kHorizontalSpaces) {
        if (end == End::front ? s.starts_with(space) : s.ends_with(space)) {
            if (end == End::front) s.remove_prefix(space.size());
            else s.remove_suffix(space.size());
            return true;
        }
    }
    return false;
}

}  // namespace

bool isStopLine(std::string_view line) {
    if (line.ends_with('\r')) line.remove_suffix(1);
    while (trimOne(line, End::front)) {
    }
    while (trimOne(line, End::back)) {
    }
    return line == "stop";
}

StopLineScanner::StopLineScanner() { line_.reserve(kMaxLineBytes); }

bool StopLineScanner::feed(std::string_view bytes) {
    while (!bytes.empty()) {
        const void* found = std::memchr(bytes.data(), '\n', bytes.size());
        const std::size_t end =
            found ? static_cast<std::size_t>(static_cast<const char*>(found) - bytes.data()) : bytes.size();
        const std::string_view piece = bytes.substr(0, end);
        if (!overlong_) {
            if (line_.size() + piece.size() > kMaxLineBytes) {
                overlong_ = true;  // no command is this long; skip to the next line feed
                line_.clear();
            } else {
                line_.append(piece);
            }
        }
        if (!found) return false;
        const bool stop = !overlong_ && isStopLine(line_);
        line_.clear();
        overlong_ = false;
        if (stop) return true;
        bytes.remove_prefix(end + 1);
    }
    return false;
}

bool StopLineScanner::finish() {
    const bool stop = !overlong_ && !line_.empty() && isStopLine(line_);
    line_.clear();
    overlong_ = false;
    return stop;
}

bool waitForStopLine(int fd) {
    StopLineScanner scanner;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            if (scanner.feed(std::string_view(buffer, static_cast<std::size_t>(n)))) return true;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return scanner.finish();  // end of input or an unreadable descriptor
        }
    }
}

}  // namespace velomar
