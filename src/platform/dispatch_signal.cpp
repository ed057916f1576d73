// Signal sources. The handler installed for a watched signal is async-signal-safe: it
// counts the arrival in a lock-free per-signal counter and writes one wake-up byte to
// a self-pipe; a watcher thread reads the pipe, takes the counters and submits the
// sources' handlers, once per counted arrival. Nothing is coalesced here; the kernel
// itself merges arrivals of a standard signal that are pending at the same moment, so
// a burst yields at least one delivery and usually one per signal.

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/dispatch.h"
#include "platform/dispatch_internal.h"
#include "platform/unique_fd.h"

namespace velomar::dispatch {

namespace {

constexpr int kSignalLimit = NSIG;

using Counter = std::atomic<std::uint32_t>;
static_assert(Counter::is_always_lock_free, "the signal handler needs lock-free counters");

std::array<Counter, kSignalLimit> gArrivals{};
std::atomic<int> gWakeFd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void onWatchedSignal(int signalNumber) {
    const int savedErrno = errno;
    if (signalNumber > 0 && signalNumber < kSignalLimit) {
        // Only the first arrival of a batch needs a wake-up byte: the watcher takes the
        // whole count after reading it, so the pipe never fills up.
        if (gArrivals[static_cast<std::size_t>(signalNumber)].fetch_add(1) == 0) {
            const int fd = gWakeFd.load();
            const unsigned char byte = 1;
            if (fd >= 0) {
                [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
            }
        }
    }
    errno = savedErrno;
}

struct SourceState {
    SourceState(int signal, Queue& queue, Work handler)
        : signalNumber(signal), core(queue, std::move(handler)) {}

    const int signalNumber;
    detail::SourceCore core;

    void deliver(const std::shared_ptr<SourceState>& self) {
        core.submit([self] { self->core.runHandler(); });
    }
};

// Process-wide: one pipe, one watcher, one installed handler per watched signal.
class SignalHub {
public:
    void add(const std::shared_ptr<SourceState>& source) {
        std::lock_guard lock(mutex_);
        startWatcher();
        const auto sig = static_cast<std::size_t>(source->signalNumber);
        if (sources_[sig].empty()) {
            struct sigaction action {};
            action.sa_handler = onWatchedSignal;
            action.sa_flags = SA_RESTART;
            sigemptyset(&action.sa_mask);
            if (::sigaction(source->signalNumber, &action, &previous_[sig]) != 0) {
                throw std::system_error(errno, std::generic_category(), "sigaction");
            }
        }
        sources_[sig].push_back(source);
    }

    void remove(const std::shared_ptr<SourceState>& source) {
        std::lock_guard lock(mutex_);
        const auto sig = static_cast<std::size_t>(source->signalNumber);
        auto& list = sources_[sig];
        const auto it = std::find(list.begin(), list.end(), source);
        if (it == list.end()) return;
        list.erase(it);
        // The last source gone: the disposition the caller had set comes back.
        if (list.empty()) ::sigaction(source->signalNumber, &previous_[sig], nullptr);
    }

private:
    void startWatcher() {
        if (readEnd_.valid()) return;
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            throw std::system_error(errno, std::generic_category(), "pipe2");
        }
        readEnd_.reset(fds[0]);
        writeEnd_.reset(fds[1]);
        // The handler must never block.
        const int flags = ::fcntl(fds[1], F_GETFL);
        ::fcntl(fds[1], F_SETFL, flags | O_NONBLOCK);
        gWakeFd.store(fds[1]);
        std::thread([this, fd = fds[0]] { watch(fd); }).detach();
    }

    void watch(int fd) {
        for (;;) {
            unsigned char buffer[64];
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return;  // cannot happen while the write end stays open
            for (int sig = 1; sig < kSignalLimit; ++sig) {
                const std::uint32_t arrivals = gArrivals[static_cast<std::size_t>(sig)].exchange(0);
                if (arrivals == 0) continue;
                std::vector<std::shared_ptr<SourceState>> targets;
                {
                    std::lock_guard lock(mutex_);
                    targets = sources_[static_cast<std::size_t>(sig)];
                }
                for (std::uint32_t i = 0; i < arrivals; ++i) {
                    for (const auto& source : targets) source->deliver(source);
                }
            }
        }
    }

    std::mutex mutex_;
    UniqueFd readEnd_;
    UniqueFd writeEnd_;
    std::array<std::vector<std::shared_ptr<SourceState>>, kSignalLimit> sources_;
    std::array<struct sigaction, kSignalLimit> previous_{};
};

SignalHub& signalHub() {
    static auto* hub = new SignalHub;
    return *hub;
}

class SignalSourceImpl final : public SignalSource {
public:
    explicit SignalSourceImpl(std::shared_ptr<SourceState> state) : state_(std::move(state)) {}
    // Nobody could cancel a source whose last handle is gone, so it stops with it.
    ~SignalSourceImpl() override { cancel(); }

    void resume() override {
        if (state_->core.markResumed()) signalHub().add(state_);
    }

    void cancel() override {
        if (state_->core.cancel()) signalHub().remove(state_);
    }

private:
    std::shared_ptr<SourceState> state_;
};

}  // namespace

std::shared_ptr<SignalSource> SignalSource::make(int signalNumber, Queue& queue, Work handler) {
    if (signalNumber <= 0 || signalNumber >= kSignalLimit || signalNumber == SIGKILL ||
        signalNumber == SIGSTOP) {
        throw std::invalid_argument("signal cannot be watched: " + std::to_string(signalNumber));
    }
    auto state = std::make_shared<SourceState>(signalNumber, queue, std::move(handler));
    return std::make_shared<SignalSourceImpl>(std::move(state));
}

}  // namespace velomar::dispatch
