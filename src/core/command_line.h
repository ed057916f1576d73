#pragma once
// The command line: options are read left to right, the last occurrence wins, --help
// stops at once and anything unrecognised is an error.

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/channel_layout.h"

namespace velomar {

inline constexpr std::string_view kUsageText =
    "Usage: VelomarCapture --out <path.wav> [--engine tap|sck] [--mic-device <uid>]\n"
    "       VelomarCapture --list-devices\n"
    "Captures system audio + microphone to a 16 kHz mono WAV.\n"
    "Send 'stop' on stdin (or SIGTERM) to finalize the file.\n";

struct Options {
    std::optional<std::string> outPath;
    std::string preferredEngine = "tap";
    std::optional<std::string> micDeviceUID;
    bool listDevices = false;
    // --channels 1 (the mix) or 2 (microphone and system audio apart).
    ChannelLayout layout = ChannelLayout::mix;
};

struct ParsedCommandLine {
    enum class Action {
        run,    // options are complete; the caller checks --list-devices and --out
        help,   // print the usage text, exit 0
        version,  // print versionLine(), exit 0
        error,  // emit "error" with errorMessage, exit 1
    };
    Action action = Action::run;
    Options options;
    std::string errorMessage;
};

// "VelomarCapture <version>" and a line feed, the version being the build's project version.
std::string versionLine();

// args: the process arguments without the program path.
ParsedCommandLine parseCommandLine(std::span<const std::string> args);

// The arguments after the program path (argv[0] may be missing when argc is 0).
std::vector<std::string> argumentsOf(int argc, char** argv);

}  // namespace velomar
