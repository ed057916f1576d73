// The command line against arbitrary argument vectors (the input split at NUL bytes):
// the parse ends in a configuration, the usage text, or exactly one "error" line that
// any JSON reader takes back as the same message.

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

#include "core/command_line.h"
#include "core/events.h"
#include "fuzz/fuzz_support.h"

namespace {

using velomar::ParsedCommandLine;
using Action = ParsedCommandLine::Action;

// The option table, applied to a copy of the argument list that shrinks from the front.
ParsedCommandLine expectedParse(std::vector<std::string> args) {
    ParsedCommandLine expected;
    velomar::Options& o = expected.options;
    auto popFront = [&args]() -> std::optional<std::string> {
        if (args.empty()) return std::nullopt;
        std::string first = args.front();
        args.erase(args.begin());
        return first;
    };
    while (auto arg = popFront()) {
        if (*arg == "--out") {
            o.outPath = popFront();
        } else if (*arg == "--engine") {
            const auto value = popFront();
            o.preferredEngine = value ? *value : "tap";
        } else if (*arg == "--mic-device") {
            o.micDeviceUID = popFront();
        } else if (*arg == "--channels") {
            const auto value = popFront();
            if (value == "1" || value == "2") {
                o.layout = *value == "2" ? velomar::ChannelLayout::split : velomar::ChannelLayout::mix;
                continue;
            }
            expected.action = Action::error;
            expected.errorMessage = value ? "invalid value for --channels: " + *value + " (allowed: 1, 2)"
                                          : "missing value for --channels (allowed: 1, 2)";
            return expected;
        } else if (*arg == "--list-devices") {
            o.listDevices = true;
        } else if (*arg == "--help" || *arg == "-h") {
            expected.action = Action::help;
            return expected;
        } else if (*arg == "--version") {
            expected.action = Action::version;
            return expected;
        } else {
            expected.action = Action::error;
            expected.errorMessage = "unknown argument: " + *arg;
            return expected;
        }
    }
    return expected;
}

// The one line the front end emits for a failed command line.
void checkErrorLine(const std::string& message) {
    std::vector<std::string> lines;
    velomar::setEventSink([&lines](std::string_view line) { lines.emplace_back(line); });
    velomar::emit("error", {{"message", message}});
    velomar::setEventSink(nullptr);

    VELOMAR_FUZZ_CHECK(lines.size() == 1, "one emit, one sink call");
    const std::string& line = lines.front();
    VELOMAR_FUZZ_CHECK(!line.empty() && line.back() == '\n', line);
    const std::string body = line.substr(0, line.size() - 1);
    VELOMAR_FUZZ_CHECK(body == velomar::eventLine("error", {{"message", message}}), body);
    VELOMAR_FUZZ_CHECK(velomar::fuzz::hasNoControlBytes(body), body);

    const auto json = nlohmann::json::parse(body, nullptr, false);
    VELOMAR_FUZZ_CHECK(!json.is_discarded() && json.is_object(), body);
    VELOMAR_FUZZ_CHECK(json.size() == 2, body);
    VELOMAR_FUZZ_CHECK(json.contains("event") && json["event"] == "error", body);
    VELOMAR_FUZZ_CHECK(json.contains("message") && json["message"].is_string(), body);
    VELOMAR_FUZZ_CHECK(json["message"].get<std::string>() == velomar::fuzz::repairUtf8(message), body);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> args;
    if (size > 0) {
        const std::string_view all(reinterpret_cast<const char*>(data), size);
        std::size_t start = 0;
        for (;;) {
            const std::size_t end = all.find('\0', start);
            args.emplace_back(all.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
            if (end == std::string_view::npos) break;
            start = end + 1;
        }
    }

    const ParsedCommandLine parsed = velomar::parseCommandLine(args);
    const ParsedCommandLine expected = expectedParse(args);
    VELOMAR_FUZZ_CHECK(parsed.action == expected.action, "action");
    VELOMAR_FUZZ_CHECK(parsed.errorMessage == expected.errorMessage, parsed.errorMessage);
    if (parsed.action == Action::run) {
        const velomar::Options& got = parsed.options;
        const velomar::Options& want = expected.options;
        VELOMAR_FUZZ_CHECK(got.outPath == want.outPath, "--out");
        VELOMAR_FUZZ_CHECK(got.preferredEngine == want.preferredEngine, got.preferredEngine);
        VELOMAR_FUZZ_CHECK(got.micDeviceUID == want.micDeviceUID, "--mic-device");
        VELOMAR_FUZZ_CHECK(got.listDevices == want.listDevices, "--list-devices");
        VELOMAR_FUZZ_CHECK(got.layout == want.layout, "--channels");
    }

    switch (parsed.action) {
        case Action::error:
            checkErrorLine(parsed.errorMessage);
            break;
        case Action::run:
            if (!parsed.options.listDevices && !parsed.options.outPath) {
                checkErrorLine("--out <path.wav> is required");
            }
            break;
        case Action::help:
        case Action::version:
            break;
    }
    return 0;
}
