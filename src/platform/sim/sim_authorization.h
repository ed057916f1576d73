#pragma once
// Simulated microphone authorisation: any status, and a scripted answer to the
// one-time request, delivered on a thread of its own (held back on demand).

#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/audio_hardware.h"

namespace velomar::sim {

class SimAuthorization : public platform::MicrophoneAuthorization {
public:
    SimAuthorization() = default;
    // Joins the answer threads (they never wait for anything but their handler).
    ~SimAuthorization() override;
    SimAuthorization(const SimAuthorization&) = delete;
    SimAuthorization& operator=(const SimAuthorization&) = delete;

    std::int32_t status() override;
    // Records the request; the handler later runs on a new thread with the scripted
    // answer, which also settles a not-determined status (authorized or denied).
    void requestAccess(std::function<void(bool granted)> handler) override;

    void setStatus(std::int32_t status);  // any value, not only the four known ones
    void setAnswer(bool granted);         // default: granted
    // While held, answers wait for releaseAnswers().
    void holdAnswers(bool hold);
    void releaseAnswers();
    int requests() const;

private:
    void answer(std::function<void(bool)> handler);  // with mutex_ held

    mutable std::mutex mutex_;
    std::int32_t status_ = platform::authorization::authorized;
    bool answer_ = true;
    bool hold_ = false;
    int requests_ = 0;
    std::vector<std::function<void(bool)>> pending_;
    std::vector<std::thread> threads_;
};

}  // namespace velomar::sim
