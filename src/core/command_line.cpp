#include "core/command_line.h"

namespace velomar {
namespace {

std::optional<ChannelLayout> layoutNamed(const std::string& value) {
    if (value == "1") return ChannelLayout::mix;
    if (value == "2") return ChannelLayout::split;
    return std::nullopt;
}

}  // namespace

ParsedCommandLine parseCommandLine(std::span<const std::string> args) {
    ParsedCommandLine result;
    Options& options = result.options;
    std::size_t i = 0;
    // An option's value is the next argument, whatever it looks like.
    auto takeValue = [&]() -> std::optional<std::string> {
        if (i < args.size()) return args[i++];
        return std::nullopt;
    };
    while (i < args.size()) {
        const std::string& arg = args[i++];
        if (arg == "--out") {
            options.outPath = takeValue();
        } else if (arg == "--engine") {
            options.preferredEngine = takeValue().value_or("tap");
        } else if (arg == "--mic-device") {
            options.micDeviceUID = takeValue();
        } else if (arg == "--channels") {
            const std::optional<std::string> value = takeValue();
            const std::optional<ChannelLayout> layout = value ? layoutNamed(*value) : std::nullopt;
            if (!layout) {
                result.action = ParsedCommandLine::Action::error;
                result.errorMessage = value ? "invalid value for --channels: " + *value + " (allowed: 1, 2)"
                                            : "missing value for --channels (allowed: 1, 2)";
                return result;
            }
            options.layout = *layout;
        } else if (arg == "--list-devices") {
            options.listDevices = true;
        } else if (arg == "--help" || arg == "-h") {
            result.action = ParsedCommandLine::Action::help;
            return result;
        } else if (arg == "--version") {
            result.action = ParsedCommandLine::Action::version;
            return result;
        } else {
            result.action = ParsedCommandLine::Action::error;
            result.errorMessage = "unknown argument: " + arg;
            return result;
        }
    }
    return result;
}

std::string versionLine() { return "VelomarCapture " VELOMAR_VERSION "\n"; }

std::vector<std::string> argumentsOf(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i] ? argv[i] : "");
    return args;
}

}  // namespace velomar
