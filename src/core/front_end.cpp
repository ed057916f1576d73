#include "core/front_end.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <exception>
#include <memory>

#include "core/capture_error.h"
#include "core/command_line.h"
#include "core/events.h"
#include "core/process_exit.h"
#include "core/recording_startup.h"
#include "core/stop_line_scanner.h"
#include "platform/dispatch.h"

namespace velomar {
namespace {

int fail(const std::string& message) {
    emit("error", {{"message", message}});
    exitProcess(1);
    return 1;
}

// Lives until the process exits; queue threads and signal sources refer to it.
RecordingState& newRecordingState() {
    static RecordingState* state = nullptr;
    state = new RecordingState;
    return *state;
}

void requestStop(RecordingState& state, const char* reason) {
    if (state.stopHandler) state.stopHandler(reason);
}

}  // namespace

void protectStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free descriptor is fd itself, as every lower one is open by now.
        const int opened = ::open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
    std::signal(SIGPIPE, SIG_IGN);  // a vanished reader turns event writes into EPIPE
    std::signal(SIGXFSZ, SIG_IGN);  // a file-size limit becomes a write error
}

int runFrontEnd(int argc, char** argv, platform::Platform& platform) {
    const std::vector<std::string> args = argumentsOf(argc, argv);
    const ParsedCommandLine parsed = parseCommandLine(args);
    switch (parsed.action) {
        case ParsedCommandLine::Action::help:
            writeStdout(kUsageText);
            exitProcess(0);
            return 0;
        case ParsedCommandLine::Action::version:
            writeStdout(versionLine());
            exitProcess(0);
            return 0;
        case ParsedCommandLine::Action::error:
            return fail(parsed.errorMessage);
        case ParsedCommandLine::Action::run:
            break;
    }
    const Options& options = parsed.options;

    if (options.listDevices) {
        deviceReport(platform);
        exitProcess(0);
        return 0;
    }
    if (!options.outPath) return fail("--out <path.wav> is required");

    RecordingState& state = newRecordingState();
    state.options = options;
    const std::string& out = *state.options.outPath;

    try {
        state.writer = std::make_shared<WAVWriter>(out, Mixer::kRate, options.layout);
    } catch (const std::exception& error) {
        return fail(errorText(error));
    }

    createRecordingObjects(state);

    state.signalSources.clear();
    for (const int sig : {SIGINT, SIGTERM}) {
        std::signal(sig, SIG_IGN);
        auto source = dispatch::SignalSource::make(sig, dispatch::Queue::main(),
                                                   [&state] { requestStop(state, "signal"); });
        source->resume();
        state.signalSources.push_back(std::move(source));
    }

    // Never joined: it may still sit in read() when an engine ends the process.
    dispatch::Queue::global().async([&state] {
        if (waitForStopLine(STDIN_FILENO)) {
            dispatch::Queue::main().async([&state] { requestStop(state, "stdin"); });
        }
    });

    startCapture(state, platform, out);
    dispatch::dispatchMain();
}

}  // namespace velomar
