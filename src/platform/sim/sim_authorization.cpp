#include "platform/sim/sim_authorization.h"

namespace velomar::sim {
using namespace platform;

SimAuthorization::~SimAuthorization() {
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        threads.swap(threads_);
    }
    for (auto& t : threads) t.join();
}

std::int32_t SimAuthorization::status() {
    std::lock_guard lock(mutex_);
    return status_;
}

void SimAuthorization::requestAccess(std::function<void(bool)> handler) {
    std::lock_guard lock(mutex_);
    ++requests_;
    if (hold_) {
        pending_.push_back(std::move(handler));
        return;
    }
    answer(std::move(handler));
}

void SimAuthorization::answer(std::function<void(bool)> handler) {
    bool granted = answer_;
    if (status_ == authorization::notDetermined) {
        status_ = granted ? authorization::authorized : authorization::denied;
    }
    threads_.emplace_back([h = std::move(handler), granted] {
        if (h) h(granted);
    });
}

void SimAuthorization::setStatus(std::int32_t status) {
    std::lock_guard lock(mutex_);
    status_ = status;
}

void SimAuthorization::setAnswer(bool granted) {
    std::lock_guard lock(mutex_);
    answer_ = granted;
}

void SimAuthorization::holdAnswers(bool hold) {
    std::lock_guard lock(mutex_);
    hold_ = hold;
}

void SimAuthorization::releaseAnswers() {
    std::lock_guard lock(mutex_);
    for (auto& h : pending_) answer(std::move(h));
    pending_.clear();
}

int SimAuthorization::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

}  // namespace velomar::sim
