#pragma once
// Runs a program as a child process with chosen standard streams, collects its stdout
// and stderr on a background thread, and waits for it with a deadline.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace velomar::testing {

struct ExitStatus {
    bool exited = false;  // true: ended by exit with code; false: killed by signal
    int code = -1;
    int signal = 0;

    bool exitedWith(int expected) const { return exited && code == expected; }
    std::string describe() const;
};

enum class StdStream {
    pipe,     // connected to this object (write stdin, read stdout/stderr)
    devNull,  // /dev/null
    closed,   // the child starts with the descriptor closed
    inherit,  // whatever the test process has
};

struct SpawnOptions {
    StdStream in = StdStream::pipe;
    StdStream out = StdStream::pipe;
    StdStream err = StdStream::pipe;
    int outFd = -1;    // when >= 0 the child's stdout is a copy of this descriptor
    std::string cwd;   // empty: the test's working directory
};

class ChildProcess {
public:
    // argv[0] is the program path. Throws std::runtime_error when the spawn fails.
    // The test process ignores SIGPIPE from then on (a child that exits must not kill
    // the test through a write to its stdin); the child starts with default dispositions.
    explicit ChildProcess(std::vector<std::string> argv, SpawnOptions options = {});
    // A child still running is killed with SIGKILL and reaped.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }

    // False when stdin is not a pipe or the child no longer reads.
    bool writeStdin(std::string_view bytes);
    void closeStdin();
    void sendSignal(int signalNumber);

    // Reaps the child; nullopt when it is still running at the deadline.
    std::optional<ExitStatus> wait(std::chrono::milliseconds timeout);
    bool running();

    // Output read so far (all of it once wait() has returned a status).
    std::string stdoutText() const;
    std::string stderrText() const;
    // Waits until predicate(stdout so far) holds; false at the deadline.
    bool waitForStdout(const std::function<bool(const std::string&)>& predicate,
                       std::chrono::milliseconds timeout);

private:
    void readOutput(int outFd, int errFd);
    void finishReader();

    pid_t pid_ = -1;
    int stdin_ = -1;
    std::optional<ExitStatus> status_;
    std::thread reader_;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::string out_;
    std::string err_;
    bool readerDone_ = false;
};

struct RunResult {
    std::optional<ExitStatus> status;  // nullopt: killed after the timeout
    std::string out;
    std::string err;
};

// Runs argv to its end: writes stdinText, closes stdin, waits (killing it after timeout).
RunResult runProcess(std::vector<std::string> argv, std::string_view stdinText = {},
                     std::chrono::milliseconds timeout = std::chrono::seconds(30),
                     SpawnOptions options = {});

}  // namespace velomar::testing
