#include "core/stop_line_scanner.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

namespace velomar {
namespace {

TEST(StdinReaderTest, StopLineAfterTrimming) {
    const std::pair<std::string, bool> cases[] = {
        {"stop", true},
        {"stop\r", true},
        {"  stop\t", true},
        {"\t \tstop  \t", true},
        {"\xC2\xA0stop\xE3\x80\x80", true},  // no-break and ideographic space
        {"\xE2\x80\x83stop\xE2\x80\xAF", true},
        {"STOP", false},
        {"Stop", false},
        {"stop now", false},
        {"stopp", false},
        {"sto p", false},
        {"", false},
        {"stop\r\r", false},   // only the line break's own carriage return goes
        {"\rstop", false},
        {"stop\v", false},     // vertical whitespace is not trimmed
        {std::string("stop\0", 5), false},
        {"\xEF\xBB\xBFstop", false},  // a byte-order mark is not whitespace
    };
    for (const auto& [line, stop] : cases) EXPECT_EQ(isStopLine(line), stop) << "[" << line << "]";
}

// Feeds input in pieces of the given size; true when the scanner stops (finish at the end).
bool scan(std::string_view input, std::size_t piece) {
    StopLineScanner scanner;
    for (std::size_t at = 0; at < input.size(); at += piece) {
        if (scanner.feed(input.substr(at, piece))) return true;
    }
    return scanner.finish();
}

TEST(StdinReaderTest, AnyChunkingGivesTheSameAnswer) {
    const std::size_t limit = StopLineScanner::kMaxLineBytes;
    const std::pair<std::string, bool> cases[] = {
        {"stop\n", true},
        {"stop", true},  // last line without its line feed
        {"hello\nstop\r\nmore\n", true},
        {"  stop\t\n", true},
        {"hello\n", false},
        {"STOP\nstop now\n", false},
        {"", false},
        {"\n\n\n", false},
        {"st\nop\n", false},
        {std::string("\0\xFF\x01\x80stop\n", 9), false},
        {std::string("\0\xFF\n stop \n", 10), true},
        {std::string(limit - 4, ' ') + "stop\n", true},      // exactly at the limit
        {std::string(limit - 3, ' ') + "stop\nx\n", false},  // one byte over: discarded
        {std::string(limit * 3, 'a') + "stop\n", false},
        {std::string(limit * 3, 'a') + "\nstop\n", true},
        {std::string(limit * 3, 'a') + "\nstop", true},
        {std::string(limit * 3, 'a'), false},
    };
    for (const auto& [input, stop] : cases) {
        for (std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{7}, limit - 1,
                                  limit + 1, input.size() + 1}) {
            EXPECT_EQ(scan(input, piece), stop) << "piece " << piece << " input " << input.substr(0, 40);
        }
    }
}

// Writes the given blocks to a pipe from another thread and runs the reader on its end.
bool readThroughPipe(std::vector<std::string> blocks) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    std::thread writer([fd = fds[1], blocks = std::move(blocks)] {
        for (const std::string& block : blocks) {
            std::string_view left = block;
            while (!left.empty()) {
                const ssize_t n = ::write(fd, left.data(), left.size());
                if (n <= 0) break;
                left.remove_prefix(static_cast<std::size_t>(n));
            }
        }
        ::close(fd);
    });
    const bool stop = waitForStopLine(fds[0]);
    ::close(fds[0]);
    writer.join();
    return stop;
}

TEST(StdinReaderTest, TenMegabyteLineThenStopThroughAPipe) {
    std::vector<std::string> blocks(10, std::string(1 << 20, 'x'));
    blocks.emplace_back("\nstop\n");
    EXPECT_TRUE(readThroughPipe(std::move(blocks)));
}

TEST(StdinReaderTest, EndOfInputWithoutStop) {
    EXPECT_FALSE(readThroughPipe({"line one\n", "line two"}));
    EXPECT_FALSE(waitForStopLine(-1));  // an unreadable descriptor ends the reader too
}

}  // namespace
}  // namespace velomar
