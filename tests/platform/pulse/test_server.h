#pragma once
// The private sound server that scripts/server-tests.sh starts for these tests, and
// small helpers to drive it: pactl, players in their own process group, restarts.
// Without such a server a test fails in CI and skips (visibly) elsewhere; it never
// falls back to the user's own server.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

namespace velomar::testing {

struct TestServer {
    static const char* env(const char* name) {
        const char* v = std::getenv(name);
        return v && *v ? v : nullptr;
    }
    // The server directory, set only together with an explicit PULSE_SERVER.
    static bool available() { return env("VELOMAR_TEST_SERVER_DIR") && env("PULSE_SERVER"); }
    static std::string kind() { return env("VELOMAR_TEST_SERVER_KIND") ? env("VELOMAR_TEST_SERVER_KIND") : ""; }
    static std::string dir() { return env("VELOMAR_TEST_SERVER_DIR") ? env("VELOMAR_TEST_SERVER_DIR") : ""; }
    static bool inCI() {
        const char* ci = env("CI");
        return ci && std::string(ci) == "true";
    }
    static std::string control() {
        return env("VELOMAR_TEST_SERVER_CTL") ? env("VELOMAR_TEST_SERVER_CTL") : "";
    }
    // Runs scripts/pulse-server.sh with a subcommand on this server: "kill", "stop", "start";
    // `variables` ("NAME=value ...") go into the script's environment.
    static int ctl(const std::string& command, const std::string& variables = "") {
        std::string cmd = (variables.empty() ? "" : "env " + variables + " ") + "bash '" + control() + "' " + command;
        if (command == "start") cmd += " " + kind();
        cmd += " '" + dir() + "' >>'" + dir() + "/control.log' 2>&1";
        return std::system(cmd.c_str());
    }
};

// Quiet shell command; returns the exit status.
inline int sh(const std::string& command) {
    const std::string cmd = command + " >/dev/null 2>&1";
    const int rc = std::system(cmd.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// First line of a command's output ("" when it fails).
inline std::string firstLine(const std::string& command) {
    std::string out;
    if (FILE* f = popen((command + " 2>/dev/null").c_str(), "r")) {
        char buf[512];
        if (fgets(buf, sizeof buf, f)) out = buf;
        pclose(f);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

inline bool waitUntil(const std::function<bool()>& predicate, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (predicate()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return predicate();
}

// Sets the server defaults and waits until they are in effect (on PipeWire the
// session manager applies them a moment later).
inline bool setDefaults(const std::string& sink, const std::string& source) {
    sh("pactl set-default-sink " + sink);
    sh("pactl set-default-source " + source);
    return waitUntil(
        [&] {
            return firstLine("pactl get-default-sink") == sink && firstLine("pactl get-default-source") == source;
        },
        5);
}

// A shell pipeline in its own process group, killed with the group when it goes.
class Background {
public:
    explicit Background(const std::string& command) {
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            execl("/bin/sh", "sh", "-c", ("exec >/dev/null 2>&1; " + command).c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        if (pid_ > 0) setpgid(pid_, pid_);
    }
    ~Background() { stop(); }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;
    // True once the command has ended by itself (polled every millisecond).
    bool waitExit(double seconds) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return pid_ <= 0;
    }
    void stop() {
        if (pid_ <= 0) return;
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
};

// Plays a sine into a sink: float32, 48 kHz, the sink's channel count, `seconds` long.
inline std::string toneCommand(const std::string& sink, double frequency, double amplitude, int channels,
                               double seconds = 60) {
    return "sox -q -n -t raw -r 48000 -e floating-point -b 32 -c " + std::to_string(channels) + " - synth " +
           std::to_string(seconds) + " sine " + std::to_string(frequency) + " vol " + std::to_string(amplitude) +
           " | pacat --raw --playback -d " + sink + " --rate=48000 --channels=" + std::to_string(channels) +
           " --format=float32le --latency-msec=100";
}

}  // namespace velomar::testing

// Fails in CI, skips elsewhere, when no private server was started for the tests.
#define VELOMAR_REQUIRE_SERVER()                                                                      \
    do {                                                                                             \
        if (!::velomar::testing::TestServer::available()) {                                          \
            if (::velomar::testing::TestServer::inCI()) {                                            \
                FAIL() << "no private sound server (run the tests through scripts/server-tests.sh)"; \
            }                                                                                        \
            GTEST_SKIP() << "no private sound server: run scripts/server-tests.sh BUILD_DIR";        \
        }                                                                                            \
    } while (0)
