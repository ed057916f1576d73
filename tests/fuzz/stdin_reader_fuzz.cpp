// The standard-input stop scanner against arbitrary bytes cut into arbitrary reads:
// whatever the chunking, the stop comes with the same line (the chunk that holds its line
// feed), end of input gives the same answer, and the line buffer never grows.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/stop_line_scanner.h"
#include "fuzz/fuzz_support.h"

namespace {

using velomar::StopLineScanner;

struct Outcome {
    std::optional<std::size_t> stopAt;  // offset of the line feed ending the stop line
    bool stopAtEnd = false;             // no stop line, but the unterminated last line is one
};

// Lines cut at line feeds; a line longer than the limit is never a command.
Outcome expectedOutcome(std::string_view input) {
    const auto isCommand = [](std::string_view line) {
        return line.size() <= StopLineScanner::kMaxLineBytes && velomar::isStopLine(line);
    };
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = input.find('\n', start);
        if (end == std::string_view::npos) break;
        if (isCommand(input.substr(start, end - start))) return {end, false};
        start = end + 1;
    }
    const std::string_view last = input.substr(start);
    return {std::nullopt, !last.empty() && isCommand(last)};
}

void checkChunking(std::string_view input, const std::vector<std::size_t>& cuts, const Outcome& expected) {
    StopLineScanner scanner;
    const std::size_t capacity = scanner.bufferCapacity();
    VELOMAR_FUZZ_CHECK(capacity >= StopLineScanner::kMaxLineBytes, "reserved up front");
    std::size_t start = 0;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
        const std::size_t end = i < cuts.size() ? cuts[i] : input.size();
        const bool stopped = scanner.feed(input.substr(start, end - start));
        VELOMAR_FUZZ_CHECK(scanner.bufferCapacity() == capacity, "line buffer grew");
        if (stopped) {
            VELOMAR_FUZZ_CHECK(expected.stopAt.has_value(), "stop without a stop line at " + std::to_string(end));
            VELOMAR_FUZZ_CHECK(*expected.stopAt >= start && *expected.stopAt < end,
                               "stop in chunk [" + std::to_string(start) + ", " + std::to_string(end) +
                                   "), expected at " + std::to_string(*expected.stopAt));
            return;
        }
        VELOMAR_FUZZ_CHECK(!expected.stopAt || *expected.stopAt >= end,
                           "missed the stop line ending at " + std::to_string(*expected.stopAt));
        start = end;
    }
    VELOMAR_FUZZ_CHECK(!expected.stopAt.has_value(), "no stop");
    VELOMAR_FUZZ_CHECK(scanner.finish() == expected.stopAtEnd, "end of input");
    VELOMAR_FUZZ_CHECK(scanner.bufferCapacity() == capacity, "line buffer grew");
}

}  // namespace

// The first byte seeds the chunk sizes; the rest is the input stream.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::uint32_t seed = 0x9E3779B9u ^ data[0];
    const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    const Outcome expected = expectedOutcome(input);

    std::vector<std::size_t> cuts;
    checkChunking(input, cuts, expected);  // one read

    for (std::size_t at = 1; at < input.size(); ++at) cuts.push_back(at);
    checkChunking(input, cuts, expected);  // one byte per read

    for (int round = 0; round < 4; ++round) {
        cuts.clear();
        // Mostly short reads, now and then one across a whole line limit.
        std::size_t at = 0;
        for (;;) {
            seed ^= seed << 13;
            seed ^= seed >> 17;
            seed ^= seed << 5;
            const std::size_t step = (seed & 7) == 0 ? seed % (2 * StopLineScanner::kMaxLineBytes) : seed % 17;
            at += step;
            if (at >= input.size()) break;
            cuts.push_back(at);  // a step of 0 makes an empty read
        }
        checkChunking(input, cuts, expected);
    }
    return 0;
}
