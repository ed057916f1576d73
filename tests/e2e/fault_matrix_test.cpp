// The real program under faults: stop sources racing each other, hostile standard
// input, standard output that goes away, output files that cannot grow or cannot be
// opened, a sound server that dies or stalls, a default microphone that vanishes, and
// the recorder itself frozen. One table; each row names the fault and the outcome it
// must end with. Every recording row ends with the process gone and the WAV read back
// by the small reader below, which trusts nothing the program says about the file.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/pulse/test_server.h"
#include "support/event_schema.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace velomar {
namespace {

using namespace std::chrono_literals;
using testing::Background;
using testing::ChildProcess;
using testing::SpawnOptions;
using testing::StdStream;
using testing::TestServer;

// ---- an independent WAV reader --------------------------------------------------------

std::uint32_t le32(const std::string& b, std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<std::uint8_t>(b[at])) |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(b[at + 1])) << 8 |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(b[at + 2])) << 16 |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(b[at + 3])) << 24;
}

std::uint16_t le16(const std::string& b, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<std::uint8_t>(b[at]) |
                                      static_cast<std::uint8_t>(b[at + 1]) << 8);
}

std::string readAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

struct WavFile {
    std::string error;  // empty: the file is a consistent 16 kHz mono 16-bit WAV
    std::uint32_t dataBytes = 0;
    std::size_t fileBytes = 0;
    bool holdsEventText = false;
    double seconds() const { return dataBytes / 32000.0; }
};

WavFile readWav(const std::string& path) {
    WavFile w;
    const std::string b = readAll(path);
    w.fileBytes = b.size();
    w.holdsEventText = b.find("\"event\"") != std::string::npos;
    auto fail = [&](const std::string& why) {
        w.error = why + " (" + std::to_string(b.size()) + " bytes on disk)";
        return w;
    };
    if (b.size() < 44) return fail("shorter than a header");
    if (b.compare(0, 4, "RIFF") != 0 || b.compare(8, 4, "WAVE") != 0) return fail("not RIFF/WAVE");
    if (b.compare(12, 4, "fmt ") != 0 || le32(b, 16) != 16) return fail("no 16-byte fmt chunk");
    if (le16(b, 20) != 1 || le16(b, 22) != 1 || le32(b, 24) != 16000 || le32(b, 28) != 32000 ||
        le16(b, 32) != 2 || le16(b, 34) != 16) {
        return fail("not 16 kHz mono 16-bit PCM");
    }
    if (b.compare(36, 4, "data") != 0) return fail("no data chunk at 36");
    w.dataBytes = le32(b, 40);
    if (le32(b, 4) != b.size() - 8) return fail("RIFF size " + std::to_string(le32(b, 4)) + " disagrees");
    if (w.dataBytes != b.size() - 44) return fail("data size " + std::to_string(w.dataBytes) + " disagrees");
    return w;
}

// ---- the program under test ------------------------------------------------------------

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

std::string marker(const std::string& event) { return "\"event\":\"" + event + "\""; }

// The last event of that name, parsed ({} when there is none).
nlohmann::json lastEvent(const std::string& out, const std::string& event) {
    nlohmann::json found = nlohmann::json::object();
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        auto j = nlohmann::json::parse(line, nullptr, false);
        if (j.is_object() && j.value("event", "") == event) found = j;
    }
    return found;
}

// Signals numbered 1..64 as bits of /proc/PID/status masks.
std::uint64_t statusMask(pid_t pid, const std::string& field) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(f, line);) {
        if (line.rfind(field + ":", 0) == 0) return std::stoull(line.substr(field.size() + 1), nullptr, 16);
    }
    return 0;
}

long vmHwmKiB(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(f, line);) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

struct Recording {
    testing::TempDir dir;
    std::string out = dir.file("out.wav");
    std::unique_ptr<ChildProcess> child;
    std::vector<std::string> figures;

    ~Recording() {
        if (child) testing::expectEventTextMatchesSchema(child->stdoutText());
    }

    void spawn(std::vector<std::string> args, SpawnOptions options = {}, std::vector<std::string> prefix = {}) {
        options.err = StdStream::pipe;
        std::vector<std::string> argv = std::move(prefix);
        argv.push_back(VELOMAR_BINARY);
        for (auto& a : args) argv.push_back(a);
        child = std::make_unique<ChildProcess>(argv, options);
    }
    void record(std::vector<std::string> extra = {}, SpawnOptions options = {}) {
        std::vector<std::string> args{"--out", out};
        args.insert(args.end(), extra.begin(), extra.end());
        spawn(args, options);
    }
    bool waitEvent(const std::string& event, std::chrono::milliseconds timeout = 15s, std::size_t atLeast = 1) {
        const std::string m = marker(event);
        return child->waitForStdout([&](const std::string& s) { return count(s, m) >= atLeast; }, timeout);
    }
    std::size_t events(const std::string& event) const { return count(child->stdoutText(), marker(event)); }
    // Stop sources are in place once both signals have a handler.
    bool waitStopSourcesInstalled() {
        const std::uint64_t both = (1ull << (SIGINT - 1)) | (1ull << (SIGTERM - 1));
        return testing::waitUntil([&] { return (statusMask(child->pid(), "SigCgt") & both) == both; }, 15);
    }
    void stop() { child->writeStdin("stop\n"); }
    std::size_t bytesOnDisk() const {
        struct stat st {};
        return ::stat(out.c_str(), &st) == 0 ? static_cast<std::size_t>(st.st_size) : 0;
    }
    // The file grows by `bytes` within the time-out: audio is reaching it. The
    // streams take a moment after "started" before their first data on a busy machine.
    bool fileGrows(std::size_t bytes, double seconds = 15) {
        const std::size_t from = bytesOnDisk();
        return testing::waitUntil([&] { return bytesOnDisk() >= from + bytes; }, seconds);
    }
    std::string transcript() const {
        std::string t;
        std::istringstream lines(child->stdoutText());
        for (std::string line; std::getline(lines, line);) {
            if (line.find(marker("levels")) == std::string::npos) t += line + "\n";
        }
        return t + (child->stderrText().empty() ? "" : "stderr: " + child->stderrText());
    }
    // The orderly end every recording row shares: gone, status 0, one "stopped", a
    // WAV whose header matches the bytes on disk.
    WavFile expectCleanStop(bool readEvents = true) {
        const auto status = child->wait(20s);
        EXPECT_TRUE(status) << "still running 20 s after the stop\n" << transcript();
        if (!status) return {};
        EXPECT_TRUE(status->exitedWith(0)) << status->describe() << "\n" << transcript();
        if (readEvents) {
            EXPECT_EQ(events("stopped"), 1u) << transcript();
        }
        EXPECT_EQ(child->stderrText(), "");
        const WavFile wav = readWav(out);
        EXPECT_EQ(wav.error, "") << transcript();
        EXPECT_FALSE(wav.holdsEventText) << "event text inside the WAV";
        return wav;
    }
    void expectCannotOpen(const std::string& path) {
        const auto status = child->wait(10s);
        ASSERT_TRUE(status) << "hangs on " << path;
        EXPECT_TRUE(status->exitedWith(1)) << status->describe();
        const auto error = lastEvent(child->stdoutText(), "error");
        EXPECT_EQ(error.value("message", ""), "cannot open " + path + " for writing") << child->stdoutText();
        EXPECT_EQ(events("started"), 0u);
    }
};

// ---- the rows -----------------------------------------------------------------------------

enum class When { startup, recording };
enum class How { stdinStop, sigint, sigterm, stopAndSigterm };

void stopRow(Recording& r, How how, When when) {
    r.record();
    if (when == When::startup) {
        ASSERT_TRUE(r.waitStopSourcesInstalled()) << r.transcript();
    } else {
        ASSERT_TRUE(r.waitEvent("started")) << r.transcript();
        std::this_thread::sleep_for(1s);
    }
    switch (how) {
        case How::stdinStop: r.stop(); break;
        case How::sigint: r.child->sendSignal(SIGINT); break;
        case How::sigterm: r.child->sendSignal(SIGTERM); break;
        case How::stopAndSigterm:
            r.stop();
            r.child->sendSignal(SIGTERM);
            break;
    }
    r.expectCleanStop();
    const auto stopped = lastEvent(r.child->stdoutText(), "stopped");
    const std::string expected = how == How::stdinStop ? "stdin" : how == How::stopAndSigterm ? "" : "signal";
    if (!expected.empty()) {
        EXPECT_EQ(stopped.value("reason", ""), expected);
    }
}

void garbageThenStop(Recording& r, const std::string& garbage) {
    r.record();
    ASSERT_TRUE(r.waitEvent("started")) << r.transcript();
    ASSERT_TRUE(r.child->writeStdin(garbage));
    std::this_thread::sleep_for(300ms);  // let the reader chew through it
    const long hwm = vmHwmKiB(r.child->pid());
    r.figures.push_back("VmHWM " + std::to_string(hwm / 1024) + " MiB after " +
                        std::to_string(garbage.size() / 1024) + " KiB of input");
    EXPECT_GT(hwm, 0);
    EXPECT_LT(hwm, 64 * 1024) << "memory grows with the input";
    r.child->writeStdin("\nstop\n");
    r.expectCleanStop();
    EXPECT_EQ(lastEvent(r.child->stdoutText(), "stopped").value("reason", ""), "stdin");
}

// True once a "levels" event after the first `levelsBefore` shows the system peak of
// the test tone: system audio reaches the mixer.
bool systemToneArrives(Recording& r, std::size_t levelsBefore) {
    return testing::waitUntil(
        [&] {
            const auto levels = lastEvent(r.child->stdoutText(), "levels");
            return r.events("levels") > levelsBefore && levels.value("system", 0.0) > 0.4;
        },
        10);
}

bool systemToneInLevels(Recording& r) {
    const std::size_t before = r.events("levels");
    Background tone(testing::toneCommand("velomar_speakers", 440, 0.5, 2, 10));
    return systemToneArrives(r, before);
}

// The longest quiet run, in seconds, between the first and the last loud sample of a
// tone in the file (-1: no tone at all): a sine is quiet only at its zero crossings.
double longestDropoutInTone(const std::string& path) {
    const std::string b = readAll(path);
    std::vector<int> x;
    for (std::size_t at = 44; at + 1 < b.size(); at += 2) x.push_back(static_cast<std::int16_t>(le16(b, at)));
    std::size_t first = x.size();
    std::size_t last = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (std::abs(x[i]) > 5000) {
            first = std::min(first, i);
            last = i;
        }
    }
    if (first > last) return -1;
    std::size_t longest = 0;
    std::size_t run = 0;
    for (std::size_t i = first; i < last; ++i) {
        run = std::abs(x[i]) < 1000 ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    return static_cast<double>(longest) / 16000.0;
}

// A sound server gone for a second: the tap engine keeps its file and picks the
// sources up again; the stream engine reports the interruption and its restart.
void serverRestartRow(Recording& r, bool streamEngine) {
    r.record(streamEngine ? std::vector<std::string>{"--engine", "sck"} : std::vector<std::string>{});
    ASSERT_TRUE(r.waitEvent("started")) << r.transcript();
    ASSERT_TRUE(r.fileGrows(44 + 16000)) << "no audio reaches the file";
    ASSERT_EQ(TestServer::ctl("kill"), 0);
    std::this_thread::sleep_for(1s);
    ASSERT_EQ(TestServer::ctl("start"), 0);
    if (streamEngine) {
        EXPECT_TRUE(r.waitEvent("interrupted", 10s)) << r.transcript();
        EXPECT_TRUE(r.waitEvent("restarted", 20s)) << r.transcript();
    } else {
        EXPECT_TRUE(systemToneInLevels(r)) << "system audio did not come back\n" << r.transcript();
    }
    EXPECT_TRUE(r.fileGrows(32000)) << "the file no longer grows after the restart";
    r.stop();
    const WavFile wav = r.expectCleanStop();
    r.figures.push_back("WAV " + std::to_string(wav.seconds()) + " s, " + lastEvent(r.child->stdoutText(), "stopped").dump());
}

// Runs the recorder inside its own mount namespace with a tmpfs of `options` at DIR,
// and copies the file out once it has exited (the mount goes with the namespace).
void tmpfsRun(Recording& r, const std::string& mountOptions, const std::string& inside) {
    const std::string mnt = r.dir.file("mnt");
    ::mkdir(mnt.c_str(), 0700);
    const std::string script = "mount -t tmpfs -o " + mountOptions + " none '" + mnt + "' || exit 99; '" +
                               std::string(VELOMAR_BINARY) + "' --out '" + mnt + "/" + inside +
                               "'; rc=$?; cp '" + mnt + "/" + inside + "' '" + r.out + "' 2>/dev/null; exit $rc";
    r.child = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/unshare", "--mount", "--propagation", "private", "sh", "-c", script});
}

// The recorder frozen for 5 s: the server keeps the audio meanwhile, so afterwards
// the file must still span the wall time, and the counters account for any gap. A
// freeze right after the start is compared with parecord frozen alongside instead:
// PulseAudio itself then delivers a second or two less than the wall time (measured),
// and the file must hold all that the server delivered.
void frozenRow(Recording& r, bool waitForAudio) {
    r.record();
    ASSERT_TRUE(r.waitEvent("started")) << r.transcript();
    std::unique_ptr<ChildProcess> reference;
    const std::string referenceFile = r.dir.file("reference.raw");
    if (waitForAudio) {
        ASSERT_TRUE(r.fileGrows(44 + 16000)) << "no audio reaches the file";
    } else {
        reference = std::make_unique<ChildProcess>(std::vector<std::string>{
            "/usr/bin/parecord", "--raw", "--latency-msec=25", "-d", "velomar_speakers.monitor", "--format=s16le",
            "--channels=1", "--rate=16000", referenceFile});
        std::this_thread::sleep_for(300ms);
    }
    const auto begin = std::chrono::steady_clock::now();
    const double before = static_cast<double>(r.bytesOnDisk() - 44) / 32000.0;
    r.child->sendSignal(SIGSTOP);
    if (reference) reference->sendSignal(SIGSTOP);
    std::this_thread::sleep_for(5s);
    r.child->sendSignal(SIGCONT);
    if (reference) reference->sendSignal(SIGCONT);
    std::this_thread::sleep_for(2s);
    r.stop();
    if (reference) reference->sendSignal(SIGINT);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    const WavFile wav = r.expectCleanStop();
    const auto stopped = lastEvent(r.child->stdoutText(), "stopped");
    const double gained = wav.seconds() - before;
    char line[200];
    std::snprintf(line, sizeof line, "%.2f s of wall time from the freeze on, %.2f s of it in the file; ", wall,
                  gained);
    r.figures.push_back(line + stopped.dump());
    EXPECT_EQ(stopped.value("samplesDropped", std::int64_t{-1}), 0) << "the recorder dropped audio it had";
    if (reference) {
        ASSERT_TRUE(reference->wait(10s)) << "parecord did not stop";
        struct stat st {};
        const double delivered = ::stat(referenceFile.c_str(), &st) == 0 ? static_cast<double>(st.st_size) / 32000.0 : 0;
        std::snprintf(line, sizeof line, "parecord frozen alongside got %.2f s, the file holds %.2f s", delivered,
                      wav.seconds());
        r.figures.push_back(line);
        EXPECT_GT(delivered, 1.0) << "the reference recorded nothing";
        EXPECT_GT(wav.seconds(), delivered - 0.5) << "the file lacks audio the server delivered";
        return;
    }
    // Everything the file lacks (beyond the half second the mixer holds back at the
    // moment of the freeze) must show in the counters as silence or a resync.
    const bool explained = stopped.value("silenceInsertedSamples", std::int64_t{0}) > 0 ||
                           stopped.value("resyncs", std::int64_t{0}) > 0;
    if (wall - gained > 1.0) {
        EXPECT_TRUE(explained) << "audio missing without a trace in the counters";
    }
    EXPECT_GT(gained, wall - 1.0) << "audio lost beyond the frozen stretch";
}

// Runs its action when the scope ends, failed assertions included: a row that takes
// the server away gives it back before the next row starts.
struct Restore {
    std::function<void()> action;
    ~Restore() { action(); }
};

// Signals the private server's whole process group (the daemons and their helpers).
bool signalServer(int signal) {
    std::ifstream f(TestServer::dir() + "/pgid");
    pid_t pgid = 0;
    return f >> pgid && pgid > 1 && ::kill(-pgid, signal) == 0;
}

// The stream engine loses its server for good: a stop while it waits to retry ends the
// recording at once with the stop's own reason, and no restart follows.
void stopDuringBackoffRow(Recording& r) {
    r.record({"--engine", "sck"});
    ASSERT_TRUE(r.waitEvent("started")) << r.transcript();
    ASSERT_TRUE(r.fileGrows(44 + 16000)) << "no audio reaches the file";
    Restore server{[] { TestServer::ctl("start"); }};
    ASSERT_EQ(TestServer::ctl("kill"), 0);
    ASSERT_TRUE(r.waitEvent("interrupted", 10s)) << r.transcript();
    std::this_thread::sleep_for(1200ms);  // inside the 2 s pause before the first retry
    r.stop();
    const WavFile wav = r.expectCleanStop();
    EXPECT_EQ(r.events("restarted"), 0u) << r.transcript();
    EXPECT_EQ(r.events("interrupted"), 1u) << r.transcript();
    const auto stopped = lastEvent(r.child->stdoutText(), "stopped");
    EXPECT_EQ(stopped.value("reason", ""), "stdin") << stopped.dump();
    r.figures.push_back("WAV " + std::to_string(wav.seconds()) + " s, " + stopped.dump());
}

// The server frozen for 5 s under a running tap engine: the recording goes on and
// afterwards accounts for the stretch, either as audio or in its counters.
void serverPausedRow(Recording& r) {
    constexpr double pause = 5.0;
    r.record();
    ASSERT_TRUE(r.waitEvent("started")) << r.transcript();
    ASSERT_TRUE(r.fileGrows(44 + 16000)) << "no audio reaches the file";
    const auto begin = std::chrono::steady_clock::now();
    const double before = static_cast<double>(r.bytesOnDisk() - 44) / 32000.0;
    {
        Restore resume{[] { signalServer(SIGCONT); }};
        ASSERT_TRUE(signalServer(SIGSTOP)) << "cannot signal the server's process group";
        std::this_thread::sleep_for(std::chrono::duration<double>(pause));
    }
    EXPECT_TRUE(r.child->running()) << r.transcript();
    // A tone from now until the stop must reach the file whole.
    Background tone(testing::toneCommand("velomar_speakers", 440, 0.5, 2, 30));
    EXPECT_TRUE(systemToneArrives(r, r.events("levels"))) << "system audio did not come back\n" << r.transcript();
    EXPECT_TRUE(r.fileGrows(2 * 32000)) << "the file no longer grows after the pause";
    r.stop();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    const WavFile wav = r.expectCleanStop();
    tone.stop();
    const double dropout = longestDropoutInTone(r.out);
    const auto stopped = lastEvent(r.child->stdoutText(), "stopped");
    const double gained = wav.seconds() - before;
    char line[256];
    std::snprintf(line, sizeof line,
                  "%.2f s of wall time from the pause on, %.2f s of it in the file, longest dropout in the "
                  "later tone %.3f s; ",
                  wall, gained, dropout);
    r.figures.push_back(line + stopped.dump());
    EXPECT_GE(dropout, 0.0) << "the tone played after the pause is not in the file";
    EXPECT_LT(dropout, 0.01) << "system audio after the pause reaches the file with holes";
    // A gap beyond the half second the mixer holds back must show in the counters, and
    // nothing may go missing beyond the stretch the server was gone.
    const bool explained = stopped.value("silenceInsertedSamples", std::int64_t{0}) > 0 ||
                           stopped.value("resyncs", std::int64_t{0}) > 0;
    if (wall - gained > 1.0) {
        EXPECT_TRUE(explained) << "audio missing without a trace in the counters";
    }
    EXPECT_GT(gained, wall - pause - 1.0) << "audio lost beyond the paused stretch";
    EXPECT_LT(gained, wall + 1.0) << "the file holds more time than passed";
}

// The default microphone disappears while the tap engine records: the engine follows
// the server's new default input and system audio goes on.
void defaultSourceRemovedRow(Recording& r) {
    r.record();
    ASSERT_TRUE(r.waitEvent("mic-format")) << r.transcript();
    ASSERT_TRUE(r.waitEvent("started")) << r.transcript();
    ASSERT_TRUE(r.fileGrows(44 + 16000)) << "no audio reaches the file";
    const std::string module = testing::firstLine(
        "pactl list short modules | awk '$2 == \"module-remap-source\" && /source_name=velomar_mic[ \\t]/ "
        "{print $1}'");
    ASSERT_NE(module, "") << "the microphone's module is not listed";
    Restore microphone{[] {
        auto present = [] {
            return testing::sh("pactl list short sources | awk '{print $2}' | grep -qx velomar_mic") == 0;
        };
        if (!present()) {
            testing::sh(R"(pactl load-module module-remap-source source_name=velomar_mic )"
                        R"(master=velomar_mic_feed.monitor channels=1 channel_map=mono )"
                        R"("source_properties=\"device.description='Test Microphone'\"")");
            testing::waitUntil(present, 5);
        }
        testing::setDefaults("velomar_speakers", "velomar_mic");
    }};
    ASSERT_EQ(testing::sh("pactl unload-module " + module), 0);
    std::string fallback;
    ASSERT_TRUE(testing::waitUntil(
        [&] {
            fallback = testing::firstLine("pactl get-default-source");
            return !fallback.empty() && fallback != "velomar_mic";
        },
        5))
        << "the server kept no default input";
    // The engine ends on the server's new default. PipeWire names none for a moment on the
    // way; should that last, it costs one "mic-rebind-failed" before the rebind.
    const bool rebound = testing::waitUntil(
        [&] {
            if (r.events("mic-rebound") == 0) return false;
            fallback = testing::firstLine("pactl get-default-source");
            return lastEvent(r.child->stdoutText(), "mic-format").value("deviceUID", "") == fallback;
        },
        10);
    EXPECT_TRUE(rebound) << "not reopened on " << fallback << "\n" << r.transcript();
    const std::string out = r.child->stdoutText();
    EXPECT_LT(out.rfind(marker("mic-format")), out.rfind(marker("mic-rebound"))) << r.transcript();
    const std::size_t failed = out.rfind(marker("mic-rebind-failed"));
    EXPECT_TRUE(failed == std::string::npos || failed < out.rfind(marker("mic-format"))) << r.transcript();
    const auto format = lastEvent(out, "mic-format");
    EXPECT_EQ(format.value("reason", ""), "route-change") << format.dump();
    EXPECT_EQ(format.value("pinned", true), false) << format.dump();
    EXPECT_EQ(lastEvent(out, "mic-rebound").value("device", ""), format.value("device", "?")) << r.transcript();
    EXPECT_TRUE(systemToneInLevels(r)) << "system audio stopped with the microphone\n" << r.transcript();
    EXPECT_TRUE(r.fileGrows(32000)) << "the file no longer grows without the microphone";
    r.stop();
    const WavFile wav = r.expectCleanStop();
    r.figures.push_back("WAV " + std::to_string(wav.seconds()) + " s, new default " + fallback + ", " +
                        std::to_string(r.events("mic-rebind-failed")) + " mic-rebind-failed, " + format.dump() +
                        ", " + lastEvent(r.child->stdoutText(), "stopped").dump());
}

struct Row {
    std::string name;
    std::string expect;
    std::function<void(Recording&)> run;
    bool needsServer = true;
};

std::vector<Row> rows() {
    std::vector<Row> table;
    const std::pair<How, std::string> hows[] = {{How::stdinStop, "Stdin"},
                                                {How::sigint, "Sigint"},
                                                {How::sigterm, "Sigterm"},
                                                {How::stopAndSigterm, "StopPlusSigterm"}};
    for (const auto& [how, howName] : hows) {
        for (When when : {When::startup, When::recording}) {
            table.push_back({howName + (when == When::startup ? "AtStartup" : "WhileRecording"),
                             "exactly one \"stopped\", exit 0, consistent WAV",
                             [how = how, when](Recording& r) { stopRow(r, how, when); }});
        }
    }
    table.push_back({"HundredSigintsInABurst", "one \"stopped\", exit 0, consistent WAV", [](Recording& r) {
                         r.record();
                         ASSERT_TRUE(r.waitEvent("started")) << r.transcript();
                         std::this_thread::sleep_for(500ms);
                         for (int i = 0; i < 100; ++i) r.child->sendSignal(SIGINT);
                         r.expectCleanStop();
                     }});
    table.push_back({"StdinClosedAtStartThenSigterm",
                     "end of input does not stop; SIGTERM does: one \"stopped\" (signal), exit 0", [](Recording& r) {
                         SpawnOptions o;
                         o.in = StdStream::closed;
                         r.record({}, o);
                         ASSERT_TRUE(r.waitEvent("started")) << r.transcript();
                         std::this_thread::sleep_for(1s);
                         EXPECT_TRUE(r.child->running()) << "closed stdin ended the recording";
                         r.child->sendSignal(SIGTERM);
                         r.expectCleanStop();
                         EXPECT_EQ(lastEvent(r.child->stdoutText(), "stopped").value("reason", ""), "signal");
                     }});
    table.push_back({"StdinEndsWhileRecordingThenSigterm",
                     "end of input does not stop; SIGTERM does: one \"stopped\" (signal), exit 0", [](Recording& r) {
                         r.record();
                         ASSERT_TRUE(r.waitEvent("started")) << r.transcript();
                         r.child->writeStdin("sto");
                         r.child->closeStdin();
                         std::this_thread::sleep_for(1s);
                         EXPECT_TRUE(r.child->running()) << "end of input ended the recording";
                         r.child->sendSignal(SIGTERM);
                         r.expectCleanStop();
                     }});
    table.push_back({"TenMegabyteLineThenStop", "memory bounded (VmHWM < 64 MiB), then \"stop\" works",
                     [](Recording& r) { garbageThenStop(r, std::string(10 << 20, 'x')); }});
    table.push_back({"OneMegabyteOfRandomBytesThenStop", "memory bounded, then \"stop\" works", [](Recording& r) {
                         std::mt19937 random(8);
                         std::string bytes(1 << 20, '\0');
                         for (char& c : bytes) c = static_cast<char>(random());
                         garbageThenStop(r, bytes);
                     }});
    table.push_back({"HundredThousandGarbageLinesThenStop", "memory bounded, then \"stop\" works", [](Recording& r) {
                         std::string lines;
                         for (int i = 0; i < 100000; ++i) lines += "  stop please " + std::to_string(i) + "\n";
                         garbageThenStop(r, lines);
                     }});
    table.push_back({"StdoutClosedAtStart",
                     "no event bytes in the WAV, \"stop\" still works: exit 0, consistent WAV", [](Recording& r) {
                         SpawnOptions o;
                         o.out = StdStream::closed;
                         r.record({}, o);
                         ASSERT_TRUE(r.fileGrows(44 + 16000)) << "no audio reaches the file";
                         r.stop();
                         const WavFile wav = r.expectCleanStop(false);
                         EXPECT_GT(wav.dataBytes, 0u);
                     }});
    table.push_back({"StdoutReaderGoesAway",
                     "not killed by SIGPIPE; no event bytes in the WAV; exit 0, consistent WAV", [](Recording& r) {
                         int fds[2];
                         ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
                         SpawnOptions o;
                         o.outFd = fds[1];
                         r.record({}, o);
                         ::close(fds[1]);
                         char buffer[256];
                         ASSERT_GT(::read(fds[0], buffer, sizeof buffer), 0);  // the program is talking
                         ::close(fds[0]);
                         // Levels now meet a closed pipe while the recording goes on.
                         EXPECT_TRUE(r.fileGrows(44 + 16000)) << "no audio reaches the file";
                         EXPECT_TRUE(r.child->running()) << "the vanished reader ended the program";
                         r.stop();
                         const WavFile wav = r.expectCleanStop(false);
                         EXPECT_GT(wav.dataBytes, 0u);
                     }});
    table.push_back({"TmpfsFillsMidRecording",
                     "64 KiB tmpfs full after ~2 s: keeps going, exit 0, header equals the bytes on disk, \"samplesNotWritten\" counts the rest",
                     [](Recording& r) {
                         tmpfsRun(r, "size=64k", "out.wav");
                         if (!r.waitEvent("started")) {
                             const auto status = r.child->wait(1s);
                             if (status && status->exitedWith(99)) GTEST_SKIP() << "tmpfs cannot be mounted here";
                             FAIL() << r.transcript();
                         }
                         // The file as seen inside the recorder's mount namespace.
                         const std::string inside =
                             "/proc/" + std::to_string(r.child->pid()) + "/root" + r.dir.file("mnt") + "/out.wav";
                         auto size = [&] {
                             struct stat st {};
                             return ::stat(inside.c_str(), &st) == 0 ? st.st_size : 0;
                         };
                         EXPECT_TRUE(testing::waitUntil([&] { return size() >= 60 * 1024; }, 15)) << "never filled";
                         std::this_thread::sleep_for(1s);  // writes now fail
                         r.stop();
                         const WavFile wav = r.expectCleanStop();
                         const auto stopped = lastEvent(r.child->stdoutText(), "stopped");
                         r.figures.push_back("kept " + std::to_string(wav.fileBytes) + " bytes, samplesNotWritten " +
                                             std::to_string(stopped.value("samplesNotWritten", -1)));
                         EXPECT_GE(wav.fileBytes, 60u * 1024);
                         EXPECT_LE(wav.fileBytes, 64u * 1024);
                         EXPECT_GT(stopped.value("samplesNotWritten", -1), 8000) << "a second of failed writes not counted";
                     }});
    table.push_back({"ReadOnlyMount", "\"cannot open {path} for writing\", exit 1", [](Recording& r) {
                         tmpfsRun(r, "ro,size=64k", "out.wav");
                         const auto status = r.child->wait(10s);
                         ASSERT_TRUE(status) << "hangs";
                         if (status->exitedWith(99)) GTEST_SKIP() << "tmpfs cannot be mounted here";
                         EXPECT_TRUE(status->exitedWith(1)) << status->describe();
                         EXPECT_EQ(lastEvent(r.child->stdoutText(), "error").value("message", ""),
                                   "cannot open " + r.dir.file("mnt") + "/out.wav for writing");
                     }});
    table.push_back({"DevFull",
                     "opens (a device), every write fails: no crash, \"stopped\" with 0 seconds and a \"samplesNotWritten\" count, exit 0",
                     [](Recording& r) {
                         r.out = "/dev/full";
                         r.record();
                         ASSERT_TRUE(r.waitEvent("started")) << r.transcript();
                         std::this_thread::sleep_for(1s);
                         r.stop();
                         const auto status = r.child->wait(20s);
                         ASSERT_TRUE(status) << r.transcript();
                         EXPECT_TRUE(status->exitedWith(0)) << status->describe();
                         EXPECT_EQ(r.events("stopped"), 1u);
                         const auto stopped = lastEvent(r.child->stdoutText(), "stopped");
                         EXPECT_EQ(stopped.value("seconds", -1), 0) << stopped.dump();
                         // 0 when no audio came within the second (PulseAudio may take longer).
                         EXPECT_GE(stopped.value("samplesNotWritten", -1), 0) << stopped.dump();
                     }});
    table.push_back({"FileSizeLimit",
                     "prlimit --fsize=40001: file cut at an even size, header equals the bytes, \"samplesNotWritten\" above 0, exit 0, stderr silent",
                     [](Recording& r) {
                         r.spawn({"--out", r.out}, {}, {"/usr/bin/prlimit", "--fsize=40001"});
                         ASSERT_TRUE(r.waitEvent("started")) << r.transcript();
                         EXPECT_TRUE(testing::waitUntil([&] { return r.bytesOnDisk() >= 40000; }, 15))
                             << "never reached the limit";
                         std::this_thread::sleep_for(500ms);  // writes now fail
                         r.stop();
                         const WavFile wav = r.expectCleanStop();
                         EXPECT_EQ(wav.fileBytes, 40000u) << "not cut to whole samples at the limit";
                         const auto stopped = lastEvent(r.child->stdoutText(), "stopped");
                         EXPECT_EQ(stopped.value("seconds", -1), 1) << stopped.dump();
                         EXPECT_GT(stopped.value("samplesNotWritten", -1), 0) << stopped.dump();
                     }});
    table.push_back({"MissingDirectory", "\"cannot open {path} for writing\", exit 1", [](Recording& r) {
                         const std::string path = r.dir.file("no/such/dir/out.wav");
                         r.spawn({"--out", path});
                         r.expectCannotOpen(path);
                     },
                     false});
    table.push_back({"PathIsADirectory", "\"cannot open {path} for writing\", exit 1", [](Recording& r) {
                         const std::string path = r.dir.path().string();
                         r.spawn({"--out", path});
                         r.expectCannotOpen(path);
                     },
                     false});
    table.push_back({"PathIsAFifoWithoutReader", "\"cannot open {path} for writing\", exit 1, no hang",
                     [](Recording& r) {
                         const std::string path = r.dir.file("fifo");
                         ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
                         r.spawn({"--out", path});
                         r.expectCannotOpen(path);
                     },
                     false});
    table.push_back({"ServerKilledAndRestartedTap",
                     "keeps recording; system audio flows again after the restart; exit 0, consistent WAV",
                     [](Recording& r) { serverRestartRow(r, false); }});
    table.push_back({"ServerKilledAndRestartedSck", "\"interrupted\" then \"restarted\"; exit 0, consistent WAV",
                     [](Recording& r) { serverRestartRow(r, true); }});
    table.push_back({"RecorderFrozenFiveSeconds",
                     "SIGSTOP 5 s while audio flows, SIGCONT: stops cleanly; the file spans the wall time",
                     [](Recording& r) { frozenRow(r, true); }});
    table.push_back({"RecorderFrozenRightAfterStart",
                     "SIGSTOP 5 s just after \"started\", SIGCONT: stops cleanly, nothing dropped; the file holds all "
                     "that parecord frozen alongside got",
                     [](Recording& r) { frozenRow(r, false); }});
    table.push_back({"StopDuringSckBackoffOnServer",
                     "server killed for good, \"stop\" in the retry pause: one \"interrupted\", no \"restarted\", "
                     "one \"stopped\" (stdin), exit 0, consistent WAV",
                     stopDuringBackoffRow});
    table.push_back({"ServerPausedFiveSeconds",
                     "server SIGSTOP 5 s, SIGCONT: recording goes on, a tone played after it reaches the file "
                     "whole; the file spans the wall time or the counters show the gap; exit 0, consistent WAV",
                     serverPausedRow});
    table.push_back({"DefaultSourceRemoved",
                     "default microphone unloaded: \"mic-format\" (route-change) on the new default, "
                     "\"mic-rebound\"; system audio goes on; exit 0, consistent WAV",
                     defaultSourceRemovedRow});
    return table;
}

// ---- the suite ------------------------------------------------------------------------------

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

class FaultMatrix : public ::testing::TestWithParam<Row> {};

TEST_P(FaultMatrix, Row) {
    const Row& row = GetParam();
    RecordProperty("expect", row.expect);
    if (row.needsServer) {
        VELOMAR_REQUIRE_SERVER();
        ASSERT_TRUE(testing::setDefaults("velomar_speakers", "velomar_mic"));
    }
    Recording run;
    row.run(run);
    for (const auto& f : run.figures) std::printf("[ figures  ] %s: %s\n", row.name.c_str(), f.c_str());
    if (HasFailure()) std::printf("[ expected ] %s: %s\n", row.name.c_str(), row.expect.c_str());
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultMatrix, ::testing::ValuesIn(rows()),
                         [](const ::testing::TestParamInfo<Row>& p) { return p.param.name; });

// The one line a reader of the log looks for.
class FaultMatrixSummary : public ::testing::Environment {
public:
    void TearDown() override {
        int passed = 0;
        int failed = 0;
        int skipped = 0;
        const auto* unit = ::testing::UnitTest::GetInstance();
        for (int s = 0; s < unit->total_test_suite_count(); ++s) {
            const auto* suite = unit->GetTestSuite(s);
            if (std::string(suite->name()) != "Rows/FaultMatrix") continue;
            for (int t = 0; t < suite->total_test_count(); ++t) {
                const auto* info = suite->GetTestInfo(t);
                if (!info->should_run()) continue;
                const auto* result = info->result();
                if (result->Skipped()) {
                    ++skipped;
                } else if (result->Failed()) {
                    ++failed;
                } else {
                    ++passed;
                }
            }
        }
        if (passed + failed + skipped == 0) return;
        std::printf("fault matrix: %d passed, %d failed\n", passed, failed);
        if (skipped > 0) std::printf("fault matrix: %d skipped\n", skipped);
    }
};

[[maybe_unused]] const auto* const kSummary = ::testing::AddGlobalTestEnvironment(new FaultMatrixSummary);

}  // namespace
}  // namespace velomar
