#include "core/command_line.h"

#include <gtest/gtest.h>

namespace velomar {
namespace {

using Action = ParsedCommandLine::Action;

struct Case {
    std::vector<std::string> args;
    Action action;
    std::string error = {};
    std::optional<std::string> out = {};
    std::string engine = "tap";
    std::optional<std::string> mic = {};
    bool list = false;
    ChannelLayout layout = ChannelLayout::mix;
};

TEST(CommandLineTest, ParsesByTheOptionsTable) {
    const Case cases[] = {
        {{}, Action::run},
        {{"--out", "a.wav"}, Action::run, "", "a.wav"},
        {{"--out", "a.wav", "--out"}, Action::run},  // a bare last --out clears the path
        {{"--out", "a.wav", "--out", "b.wav"}, Action::run, "", "b.wav"},
        {{"--out", "--engine", "sck"}, Action::error, "unknown argument: sck"},
        {{"--out", "-h"}, Action::run, "", "-h"},  // a value is never an option
        {{"--engine", "sck"}, Action::run, "", {}, "sck"},
        {{"--engine", "sck", "--engine"}, Action::run, "", {}, "tap"},
        {{"--engine", "anything"}, Action::run, "", {}, "anything"},
        {{"--mic-device", "uid-1", "--mic-device", "uid-2"}, Action::run, "", {}, "tap", "uid-2"},
        {{"--mic-device", "uid-1", "--mic-device"}, Action::run},
        {{"--list-devices", "--list-devices"}, Action::run, "", {}, "tap", {}, true},
        {{"--list-devices", "--out", "x.wav"}, Action::run, "", "x.wav", "tap", {}, true},
        {{"--list-devices", "--bogus"}, Action::error, "unknown argument: --bogus"},
        {{"--help", "--bogus"}, Action::help},
        {{"-h"}, Action::help},
        {{"--bogus", "--help"}, Action::error, "unknown argument: --bogus"},
        {{"--version", "--bogus"}, Action::version},
        {{"--out", "a.wav", "--version", "--help"}, Action::version},
        {{"--bogus", "--version"}, Action::error, "unknown argument: --bogus"},
        {{"--out", "--version"}, Action::run, "", "--version"},
        {{"-v"}, Action::error, "unknown argument: -v"},
        {{"--out", "a.wav", ""}, Action::error, "unknown argument: "},
        {{"--OUT", "a.wav"}, Action::error, "unknown argument: --OUT"},
        {{"--out=a.wav"}, Action::error, "unknown argument: --out=a.wav"},
        {{"-help"}, Action::error, "unknown argument: -help"},
        {{std::string("--out\0x", 7)}, Action::error, std::string("unknown argument: --out\0x", 25)},
        // --channels: exactly "1" or "2"; anything else, or nothing, ends the parse.
        {{"--channels", "1"}, Action::run},
        {{"--channels", "2", "--out", "a.wav"}, Action::run, "", "a.wav", "tap", {}, false, ChannelLayout::split},
        {{"--channels", "1", "--channels", "2"}, Action::run, "", {}, "tap", {}, false, ChannelLayout::split},
        {{"--channels", "2", "--channels", "1"}, Action::run},
        {{"--channels", "3"}, Action::error, "invalid value for --channels: 3 (allowed: 1, 2)"},
        {{"--channels", "0"}, Action::error, "invalid value for --channels: 0 (allowed: 1, 2)"},
        {{"--channels", "02"}, Action::error, "invalid value for --channels: 02 (allowed: 1, 2)"},
        {{"--channels", " 2"}, Action::error, "invalid value for --channels:  2 (allowed: 1, 2)"},
        {{"--channels", "stereo"}, Action::error, "invalid value for --channels: stereo (allowed: 1, 2)"},
        {{"--channels", ""}, Action::error, "invalid value for --channels:  (allowed: 1, 2)"},
        {{"--channels", "--out", "a.wav"}, Action::error, "invalid value for --channels: --out (allowed: 1, 2)"},
        {{"--out", "a.wav", "--channels"}, Action::error, "missing value for --channels (allowed: 1, 2)"},
        {{"--channels", "2", "--channels"}, Action::error, "missing value for --channels (allowed: 1, 2)"},
        {{"--channels", "9", "--help"}, Action::error, "invalid value for --channels: 9 (allowed: 1, 2)"},
        {{"--help", "--channels", "9"}, Action::help},
        {{"--channels=2"}, Action::error, "unknown argument: --channels=2"},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const auto& a : c.args) joined += "[" + a + "]";
        SCOPED_TRACE(joined);
        const ParsedCommandLine parsed = parseCommandLine(c.args);
        EXPECT_EQ(parsed.action, c.action);
        EXPECT_EQ(parsed.errorMessage, c.error);
        if (c.action != Action::run) continue;
        EXPECT_EQ(parsed.options.outPath, c.out);
        EXPECT_EQ(parsed.options.preferredEngine, c.engine);
        EXPECT_EQ(parsed.options.micDeviceUID, c.mic);
        EXPECT_EQ(parsed.options.listDevices, c.list);
        EXPECT_EQ(parsed.options.layout, c.layout);
    }
}

TEST(CommandLineTest, ArgumentsSkipTheProgramPath) {
    char prog[] = "VelomarCapture", out[] = "--out", path[] = "a.wav";
    char* argv[] = {prog, out, path, nullptr};
    EXPECT_EQ(argumentsOf(3, argv), (std::vector<std::string>{"--out", "a.wav"}));
    EXPECT_TRUE(argumentsOf(0, argv + 3).empty());
}

TEST(CommandLineTest, UsageTextIsFourLines) {
    EXPECT_EQ(kUsageText,
              "Usage: VelomarCapture --out <path.wav> [--engine tap|sck] [--mic-device <uid>]\n"
              "       VelomarCapture --list-devices\n"
              "Captures system audio + microphone to a 16 kHz mono WAV.\n"
              "Send 'stop' on stdin (or SIGTERM) to finalize the file.\n");
}

}  // namespace
}  // namespace velomar
