#pragma once
// The standard-input stop source: a line reading "stop" (after trimming horizontal
// whitespace) asks for a stop. Lines longer than kMaxLineBytes are discarded while they
// are read, so no input can make the reader's memory grow.

#include <cstddef>
#include <string>
#include <string_view>

namespace velomar {

// True when a line (without its line feed) is the stop command: one trailing carriage
// return is dropped, then spaces, tabs and other horizontal whitespace at both ends.
bool isStopLine(std::string_view line);

class StopLineScanner {
public:
    static constexpr std::size_t kMaxLineBytes = 4096;

    StopLineScanner();
    // Consumes the next bytes of input; true as soon as a stop line is complete.
    bool feed(std::string_view bytes);
    // End of input: the last line counts even without its line feed.
    bool finish();

    // Memory held for the line being read; reserved once, it never grows.
    std::size_t bufferCapacity() const { return line_.capacity(); }

private:
    std::string line_;
    bool overlong_ = false;
};

// Reads fd until a stop line (true) or end of input or a read error (false).
bool waitForStopLine(int fd);

}  // namespace velomar
