#include "core/process_exit.h"

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <mutex>

namespace velomar {
namespace {

struct ExitState {
    std::mutex lock;
    std::function<void(int)> handler;
};

ExitState& exitState() {
    static ExitState* const instance = new ExitState;  // outlives every thread
    return *instance;
}

}  // namespace

void exitProcess(int status) {
    std::function<void(int)> handler;
    {
        ExitState& state = exitState();
        std::lock_guard<std::mutex> guard(state.lock);
        handler = state.handler;
    }
    if (handler) {
        handler(status);
        return;
    }
    std::fflush(stdout);
    ::_exit(status);
}

void setExitHandler(std::function<void(int status)> handler) {
    ExitState& state = exitState();
    std::lock_guard<std::mutex> guard(state.lock);
    state.handler = std::move(handler);
}

}  // namespace velomar
