#pragma once
// The real program as a controlling application sees it: spawned with pipes, its
// events read line by line (with arrival times), "stop" written to its standard
// input, its WAV file read back and checked against the bytes on disk.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/event_schema.h"

namespace velomar::testing {

inline double steadyNow() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Event {
    nlohmann::json json;
    double at = 0;  // steady-clock seconds of arrival
    std::string name() const { return json.value("event", ""); }
};

class RecorderProcess {
public:
    // extraEnv: "NAME=value" entries added to (or replacing) the environment.
    explicit RecorderProcess(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv = {}) {
        int in[2];
        int out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            const int devnull = open("/dev/null", O_WRONLY);
            dup2(devnull, 2);
            for (auto& e : extraEnv) putenv(const_cast<char*>(e.c_str()));
            std::vector<char*> argv;
            std::string binary = VELOMAR_BINARY;
            argv.push_back(binary.data());
            std::vector<std::string> copy = args;
            for (auto& a : copy) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(binary.c_str(), argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
        reader_ = std::thread([this] { readLoop(); });
    }

    ~RecorderProcess() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            wait(10);
        }
        if (stdin_ >= 0) close(stdin_);
        if (reader_.joinable()) reader_.join();
        if (stdout_ >= 0) close(stdout_);
        // After the join: every whole line the program wrote, JSON or not.
        expectEventLinesMatchSchema(lines_);
    }
    RecorderProcess(const RecorderProcess&) = delete;
    RecorderProcess& operator=(const RecorderProcess&) = delete;

    // The first event of that name (from `from` on), or nullopt after the time-out.
    std::optional<Event> waitFor(const std::string& name, double seconds, std::size_t from = 0) {
        std::unique_lock lk(mutex_);
        std::optional<Event> found;
        cv_.wait_for(lk, std::chrono::duration<double>(seconds), [&] {
            for (std::size_t i = from; i < events_.size(); ++i) {
                if (events_[i].name() == name) {
                    found = events_[i];
                    return true;
                }
            }
            return closed_;
        });
        if (!found) {
            for (std::size_t i = from; i < events_.size(); ++i) {
                if (events_[i].name() == name) found = events_[i];
            }
        }
        return found;
    }

    std::size_t eventCount() {
        std::lock_guard g(mutex_);
        return events_.size();
    }

    std::vector<Event> events() {
        std::lock_guard g(mutex_);
        return events_;
    }

    std::vector<Event> named(const std::string& name) {
        std::vector<Event> out;
        for (auto& e : events()) {
            if (e.name() == name) out.push_back(e);
        }
        return out;
    }

    std::string transcript() {
        std::string s;
        for (auto& e : events()) {
            if (e.name() != "levels") s += e.json.dump() + "\n";
        }
        return s;
    }

    // Sends "stop" and returns the steady time it was written.
    double sendStop() {
        const double t = steadyNow();
        const char line[] = "stop\n";
        [[maybe_unused]] auto n = write(stdin_, line, sizeof line - 1);
        return t;
    }

    void signal(int sig) { kill(pid_, sig); }

    // Exit status, or -1 when it did not exit in time.
    int wait(double seconds) {
        const double deadline = steadyNow() + seconds;
        while (steadyNow() < deadline) {
            int status = 0;
            const pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                exited_ = true;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return status_;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return exited_ ? status_ : -1;
    }

private:
    void readLoop() {
        std::string buffer;
        char chunk[4096];
        for (;;) {
            const ssize_t n = read(stdout_, chunk, sizeof chunk);
            if (n <= 0) break;
            const double at = steadyNow();
            buffer.append(chunk, static_cast<std::size_t>(n));
            std::size_t pos;
            while ((pos = buffer.find('\n')) != std::string::npos) {
                std::string line = buffer.substr(0, pos);
                buffer.erase(0, pos + 1);
                auto parsed = nlohmann::json::parse(line, nullptr, false);
                std::lock_guard g(mutex_);
                lines_.push_back(line);
                if (parsed.is_discarded() || !parsed.is_object()) {
                    badLines_.push_back(line);
                } else {
                    events_.push_back({parsed, at});
                }
                cv_.notify_all();
            }
        }
        std::lock_guard g(mutex_);
        closed_ = true;
        cv_.notify_all();
    }

    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    bool exited_ = false;
    int status_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Event> events_;
    std::vector<std::string> badLines_;
    std::vector<std::string> lines_;
    bool closed_ = false;
};

// A 16-bit mono WAV as written by the recorder, checked by Python's wave module.
struct Wav {
    int channels = 0;
    int sampleWidth = 0;
    int rate = 0;
    long frames = 0;          // from the header
    long long fileBytes = 0;  // on disk
    std::vector<float> samples;  // interleaved frames
    double seconds() const {
        return rate && channels ? static_cast<double>(samples.size()) / channels / rate : 0;
    }
    // Channel c (from 0) of the interleaved samples.
    std::vector<float> channel(int c) const {
        std::vector<float> out;
        for (std::size_t i = static_cast<std::size_t>(c); channels > 0 && i < samples.size();
             i += static_cast<std::size_t>(channels)) {
            out.push_back(samples[i]);
        }
        return out;
    }
};

inline std::optional<Wav> readWav(const std::string& path) {
    Wav w;
    const std::string cmd = "python3 -c \"import wave,sys; f=wave.open(sys.argv[1]); "
                            "print(f.getnchannels(), f.getsampwidth(), f.getframerate(), f.getnframes())\" '" +
                            path + "' 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return std::nullopt;
    const int n = std::fscanf(p, "%d %d %d %ld", &w.channels, &w.sampleWidth, &w.rate, &w.frames);
    pclose(p);
    if (n != 4) return std::nullopt;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return std::nullopt;
    w.fileBytes = st.st_size;
    std::ifstream f(path, std::ios::binary);
    f.seekg(44);
    std::vector<char> data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
        const auto lo = static_cast<std::uint8_t>(data[i]);
        const auto hi = static_cast<std::uint8_t>(data[i + 1]);
        const auto v = static_cast<std::int16_t>(static_cast<std::uint16_t>(lo | (hi << 8)));
        w.samples.push_back(static_cast<float>(v) / 32768.0f);
    }
    return w;
}

// Amplitude of the component at `frequency` over samples[begin, end) (Goertzel).
inline double toneAmplitude(const std::vector<float>& s, std::size_t begin, std::size_t end, double frequency,
                            double rate) {
    const double w = 2 * M_PI * frequency / rate;
    const double coeff = 2 * std::cos(w);
    double q1 = 0;
    double q2 = 0;
    for (std::size_t i = begin; i < end && i < s.size(); ++i) {
        const double q0 = coeff * q1 - q2 + s[i];
        q2 = q1;
        q1 = q0;
    }
    const double power = q1 * q1 + q2 * q2 - q1 * q2 * coeff;
    const double n = static_cast<double>(std::min(end, s.size()) - begin);
    return n > 0 ? 2 * std::sqrt(std::max(0.0, power)) / n : 0;
}

// A sine burst of `length` seconds under a Hann window, for placing one instant in a mix.
inline double burstShape(double t, double frequency, double length) {
    if (t < 0 || t >= length) return 0.0;
    return 0.3 * std::sin(2 * M_PI * frequency * t) * 0.5 * (1 - std::cos(2 * M_PI * t / length));
}

// Where in the 16 kHz samples [from, to) such a burst correlates best, to a fraction of a
// sample, and the correlation there.
inline std::pair<double, double> locateBurst(const std::vector<float>& s, double frequency, double length,
                                             std::size_t from, std::size_t to) {
    std::vector<double> tpl;
    for (int i = 0; i < static_cast<int>(length * 16000); ++i) tpl.push_back(burstShape(i / 16000.0, frequency, length));
    auto correlate = [&](std::size_t at) {
        double sum = 0;
        for (std::size_t k = 0; k < tpl.size() && at + k < s.size(); ++k) sum += tpl[k] * s[at + k];
        return sum;
    };
    from = std::max<std::size_t>(from, 1);
    std::size_t best = from;
    double bestValue = -1e9;
    for (std::size_t i = from; i < to; ++i) {
        const double c = correlate(i);
        if (c > bestValue) {
            bestValue = c;
            best = i;
        }
    }
    const double l = correlate(best - 1);
    const double r = correlate(best + 1);
    const double denom = l - 2 * bestValue + r;
    return {static_cast<double>(best) + (denom != 0 ? 0.5 * (l - r) / denom : 0), bestValue};
}

}  // namespace velomar::testing
