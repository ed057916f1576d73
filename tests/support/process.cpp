#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace velomar::testing {
namespace {

struct Pipe {
    int read = -1;
    int write = -1;
};

Pipe makePipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
    return {fds[0], fds[1]};
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

class FileActions {
public:
    FileActions() { posix_spawn_file_actions_init(&actions_); }
    ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
    posix_spawn_file_actions_t* get() { return &actions_; }

    // Sets up child descriptor target from the chosen mode; pipeEnd is the child's end.
    void stream(int target, StdStream mode, int pipeEnd) {
        switch (mode) {
            case StdStream::pipe: posix_spawn_file_actions_adddup2(&actions_, pipeEnd, target); break;
            case StdStream::devNull:
                posix_spawn_file_actions_addopen(&actions_, target, "/dev/null", O_RDWR, 0);
                break;
            case StdStream::closed: posix_spawn_file_actions_addclose(&actions_, target); break;
            case StdStream::inherit: break;
        }
    }

private:
    posix_spawn_file_actions_t actions_;
};

}  // namespace

std::string ExitStatus::describe() const {
    return exited ? "exit " + std::to_string(code) : "signal " + std::to_string(signal);
}

ChildProcess::ChildProcess(std::vector<std::string> argv, SpawnOptions options) {
    static const bool sigpipeIgnored = [] {
        ::signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    (void)sigpipeIgnored;
    if (argv.empty()) throw std::runtime_error("ChildProcess: empty argv");

    Pipe in, out, err;
    if (options.in == StdStream::pipe) in = makePipe();
    if (options.outFd < 0 && options.out == StdStream::pipe) out = makePipe();
    if (options.err == StdStream::pipe) err = makePipe();

    FileActions actions;
    actions.stream(0, options.in, in.read);
    if (options.outFd >= 0) {
        posix_spawn_file_actions_adddup2(actions.get(), options.outFd, 1);
    } else {
        actions.stream(1, options.out, out.write);
    }
    actions.stream(2, options.err, err.write);
    if (!options.cwd.empty()) posix_spawn_file_actions_addchdir_np(actions.get(), options.cwd.c_str());

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGXFSZ, SIGHUP, SIGQUIT, SIGCHLD, SIGUSR1, SIGUSR2, SIGALRM})
        sigaddset(&defaults, sig);
    sigset_t noMask;
    sigemptyset(&noMask);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &noMask);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<char*> args;
    for (std::string& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);

    const int result = ::posix_spawn(&pid_, args[0], actions.get(), &attributes, args.data(), environ);
    posix_spawnattr_destroy(&attributes);
    closeFd(in.read);
    closeFd(out.write);
    closeFd(err.write);
    if (result != 0) {
        closeFd(in.write);
        closeFd(out.read);
        closeFd(err.read);
        throw std::runtime_error("posix_spawn " + argv[0] + ": " + std::strerror(result));
    }
    stdin_ = in.write;
    reader_ = std::thread([this, outFd = out.read, errFd = err.read] { readOutput(outFd, errFd); });
}

ChildProcess::~ChildProcess() {
    closeStdin();
    if (!status_) {
        ::kill(pid_, SIGKILL);
        int raw = 0;
        while (::waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
        }
    }
    finishReader();
}

void ChildProcess::readOutput(int outFd, int errFd) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    std::string* targets[2] = {&out_, &err_};
    char buffer[65536];
    int open = (outFd >= 0) + (errFd >= 0);
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                std::lock_guard<std::mutex> guard(lock_);
                targets[i]->append(buffer, static_cast<std::size_t>(n));
                changed_.notify_all();
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto& p : fds) {
        if (p.fd >= 0) ::close(p.fd);
    }
    std::lock_guard<std::mutex> guard(lock_);
    readerDone_ = true;
    changed_.notify_all();
}

void ChildProcess::finishReader() {
    if (reader_.joinable()) reader_.join();
}

bool ChildProcess::writeStdin(std::string_view bytes) {
    while (!bytes.empty()) {
        if (stdin_ < 0) return false;
        const ssize_t n = ::write(stdin_, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

void ChildProcess::closeStdin() { closeFd(stdin_); }

void ChildProcess::sendSignal(int signalNumber) {
    if (!status_) ::kill(pid_, signalNumber);
}

std::optional<ExitStatus> ChildProcess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!status_) {
        int raw = 0;
        const pid_t r = ::waitpid(pid_, &raw, WNOHANG);
        if (r == pid_) {
            ExitStatus s;
            s.exited = WIFEXITED(raw);
            s.code = s.exited ? WEXITSTATUS(raw) : -1;
            s.signal = WIFSIGNALED(raw) ? WTERMSIG(raw) : 0;
            status_ = s;
            break;
        }
        if (r < 0 && errno != EINTR) throw std::runtime_error("waitpid failed");
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    // The pipes reach end of input once the child (and anything it spawned) is gone.
    finishReader();
    return status_;
}

bool ChildProcess::running() { return !wait(std::chrono::milliseconds(0)); }

std::string ChildProcess::stdoutText() const {
    std::lock_guard<std::mutex> guard(lock_);
    return out_;
}

std::string ChildProcess::stderrText() const {
    std::lock_guard<std::mutex> guard(lock_);
    return err_;
}

bool ChildProcess::waitForStdout(const std::function<bool(const std::string&)>& predicate,
                                 std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, timeout, [&] { return predicate(out_) || readerDone_; }) && predicate(out_);
}

RunResult runProcess(std::vector<std::string> argv, std::string_view stdinText,
                     std::chrono::milliseconds timeout, SpawnOptions options) {
    ChildProcess child(std::move(argv), options);
    if (!stdinText.empty()) child.writeStdin(stdinText);
    child.closeStdin();
    RunResult result;
    result.status = child.wait(timeout);
    if (!result.status) {
        child.sendSignal(SIGKILL);
        child.wait(std::chrono::seconds(10));
    }
    result.out = child.stdoutText();
    result.err = child.stderrText();
    return result;
}

}  // namespace velomar::testing
