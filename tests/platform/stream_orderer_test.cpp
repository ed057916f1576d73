// Cross-stream ordering of captured chunks: who waits for whom, and when not.
#include "platform/stream_orderer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace velomar {
namespace {

using platform::CapturedChunk;
using platform::StreamOrderer;

CapturedChunk chunk(double hostSeconds) {
    CapturedChunk c;
    c.samples.assign(10, 0.0f);
    c.frames = 10;
    c.channels = 1;
    c.rate = 1000;
    c.hostSeconds = hostSeconds;
    return c;
}

// `lane` got data now and posts a chunk captured at `t`.
void post(StreamOrderer::Lane& lane, double t) {
    lane.noteData();
    lane.release();
    lane.post(chunk(t));
}

// Two streams, "a" and "b", of 10 ms chunks at 1 kHz; every chunk handed over is logged
// as its stream's name and its host time in milliseconds.
struct Streams {
    Streams() {
        orderer.attach(a);
        orderer.attach(b);
        a.setLive(true);
        b.setLive(true);
    }
    StreamOrderer::Handler logger(const char* name) {
        return [this, name](CapturedChunk&& c) {
            log.push_back(std::string(name) + "@" + std::to_string(static_cast<int>(c.hostSeconds * 1000 + 0.5)));
        };
    }

    // Both streams hand over a first chunk at host time 10 s, serviced at 100 s; the log starts empty.
    void startTogether() {
        post(a, 10.0);
        post(b, 10.0);
        orderer.deliver(100.0);
        log.clear();
    }

    // Host time in milliseconds of each logged chunk.
    std::vector<int> times() const {
        std::vector<int> out;
        for (auto& entry : log) out.push_back(std::stoi(entry.substr(2)));
        return out;
    }

    std::vector<std::string> log;
    StreamOrderer orderer;
    StreamOrderer::Lane a{logger("a")};
    StreamOrderer::Lane b{logger("b")};
};

TEST(StreamOrdererTest, EarliestChunkGoesFirstAndAStreamRunningAheadWaits) {
    Streams s;
    auto& [log, orderer, a, b] = s;
    post(a, 10.0);
    post(b, 10.0);
    orderer.deliver(100.0);
    // Both at 10.01 now; a runs on alone within the lead, then beyond it.
    EXPECT_EQ(log, (std::vector<std::string>{"a@10000", "b@10000"}));
    post(a, 10.1);
    post(a, 10.3);
    orderer.deliver(100.01);
    EXPECT_EQ(log.back(), "a@10100") << "within the lead a chunk goes at once";
    EXPECT_EQ(log.size(), 3u) << "beyond the lead it waits for b";
    post(b, 10.01);
    post(b, 10.2);
    orderer.deliver(100.02);
    EXPECT_EQ(log, (std::vector<std::string>{"a@10000", "b@10000", "a@10100", "b@10010", "b@10200", "a@10300"}));
}

TEST(StreamOrdererTest, BurstsAfterAFreezeInterleaveInCaptureOrder) {
    Streams s;
    auto& [log, orderer, a, b] = s;
    s.startTogether();
    // The whole process froze for five seconds; a's backlog is read before b's arrives.
    for (int i = 1; i <= 50; ++i) post(a, 10.0 + i * 0.1);
    orderer.deliver(105.0);
    ASSERT_EQ(log.size(), 2u) << "b is not silent after a freeze of everyone: a waits";
    for (int i = 1; i <= 50; ++i) post(b, 10.0 + i * 0.1 + 0.05);
    orderer.deliver(105.01);
    ASSERT_EQ(log.size(), 100u);
    // Out of order by no more than the lead: the mixer holds that much back.
    const auto t = s.times();
    int latest = 0;
    for (std::size_t i = 0; i < t.size(); ++i) {
        latest = std::max(latest, t[i]);
        EXPECT_LE(latest - t[i], StreamOrderer::kLeadSeconds * 1000) << ::testing::PrintToString(log);
    }
    EXPECT_FALSE(std::is_sorted(t.begin(), t.end())) << "within the lead, nobody waits";
}

TEST(StreamOrdererTest, WhoIsNotWaitedFor) {
    struct Case {
        const char* name;
        void (*setUpB)(Streams&);
        bool aWaits;
    };
    const Case cases[] = {
        {"b lags beyond the lead", [](Streams&) {}, true},
        {"b is not live (failed or not yet recording)", [](Streams& t) { t.b.setLive(false); }, false},
        {"b went silent for longer than the silence limit",
         [](Streams& t) {
             for (int i = 1; i <= 6; ++i) t.orderer.deliver(100.0 + i * 0.1);
         },
         false},
        {"b was detached", [](Streams& t) { t.orderer.detach(t.b); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Streams t;
        post(t.a, 9.0);
        post(t.b, 9.0);
        t.orderer.deliver(100.0);
        t.log.clear();
        c.setUpB(t);
        t.a.noteData();
        t.a.post(chunk(10.0));
        t.orderer.deliver(100.65);
        EXPECT_EQ(t.log.empty(), c.aWaits);
    }
}

TEST(StreamOrdererTest, AHoldingStreamIsWaitedForUntilReleased) {
    StreamOrderer orderer2;
    std::vector<std::string> got;
    StreamOrderer::Lane x([&](CapturedChunk&&) { got.push_back("x"); });
    StreamOrderer::Lane y([&](CapturedChunk&&) { got.push_back("y"); });
    orderer2.attach(x);
    orderer2.attach(y);
    x.setLive(true);
    y.setLive(true);
    y.noteData();  // data came, but y waits for its timeline
    post(x, 10.0);
    orderer2.deliver(1.0);
    EXPECT_TRUE(got.empty());
    post(y, 9.99);
    orderer2.deliver(1.01);
    EXPECT_EQ(got, (std::vector<std::string>{"y", "x"}));
}

TEST(StreamOrdererTest, AFlushedLaneHandsOverWhatWaitedInItsOwnOrder) {
    Streams s;
    auto& [log, orderer, a, b] = s;
    s.startTogether();
    // At a stop a's tail is collected while b lags beyond the lead: it goes all the same.
    post(a, 10.3);
    post(a, 10.4);
    orderer.deliver(100.01);
    ASSERT_TRUE(log.empty());
    a.flush();
    EXPECT_EQ(log, (std::vector<std::string>{"a@10300", "a@10400"}));
    a.flush();
    EXPECT_EQ(log.size(), 2u) << "nothing is handed over twice";
    post(b, 10.01);
    orderer.deliver(100.02);
    EXPECT_EQ(log.back(), "b@10010") << "b is then not held back by what a already handed over";
}

}  // namespace
}  // namespace velomar
