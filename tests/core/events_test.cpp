#include "core/events.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "support/json_lines.h"

namespace velomar {
namespace {

using nlohmann::json;

struct FramingCase {
    const char* what;
    std::string name;
    Fields fields;
    std::string line;
};

TEST(EventsTest, LinesAreFramedByteForByte) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const FramingCase cases[] = {
        {"empty map: one member, no spaces", "stopped", {}, R"({"event":"stopped"})"},
        {"a field named event wins", "a", {{"event", "b"}}, R"({"event":"b"})"},
        {"caller order kept, last duplicate wins in first place", "e",
         {{"x", 1}, {"y", 2}, {"x", 3}}, R"({"event":"e","x":3,"y":2})"},
        {"line feed escaped", "error", {{"message", "one\ntwo"}}, R"({"event":"error","message":"one\ntwo"})"},
        {"every slash escaped", "started", {{"out", "/tmp/a.wav"}}, R"({"event":"started","out":"\/tmp\/a.wav"})"},
        {"booleans and integers", "e", {{"t", true}, {"f", false}, {"n", -42}, {"big", std::int64_t{1} << 40}},
         R"({"event":"e","t":true,"f":false,"n":-42,"big":1099511627776})"},
        {"control characters", "e", {{"m", std::string("\x01\b\f\r\t\x1f", 6)}},
         R"({"event":"e","m":"\u0001\b\f\r\t\u001f"})"},
        {"NUL inside a text", "e", {{"m", std::string("a\0b", 3)}}, R"({"event":"e","m":"a\u0000b"})"},
        {"quote and backslash", "e", {{"m", "say \"hi\" \\ bye"}}, R"({"event":"e","m":"say \"hi\" \\ bye"})"},
        {"non-ASCII stays UTF-8", "e", {{"m", "a\xE2\x80\x94z \xF0\x9F\x8E\xA4"}},
         "{\"event\":\"e\",\"m\":\"a\xE2\x80\x94z \xF0\x9F\x8E\xA4\"}"},
        {"fractions", "levels", {{"mic", 0.5}, {"system", 0.1}}, R"({"event":"levels","mic":0.5,"system":0.1})"},
        {"non-finite doubles become null", "levels", {{"mic", nan}, {"system", inf}, {"x", -inf}},
         R"({"event":"levels","mic":null,"system":null,"x":null})"},
        {"list of objects", "devices",
         {{"devices", Value::List{{{"uid", "u/1"}, {"isDefault", true}}, {}}}},
         R"({"event":"devices","devices":[{"uid":"u\/1","isDefault":true},{}]})"},
        {"escaped keys", "e", {{"a/b\n", 1}}, R"({"event":"e","a\/b\n":1})"},
        {"lone bad byte", "e", {{"m", "a\xFF" "b"}}, "{\"event\":\"e\",\"m\":\"a\xEF\xBF\xBD" "b\"}"},
        {"truncated sequence at the end is one replacement", "e", {{"m", "a\xE2\x80"}},
         "{\"event\":\"e\",\"m\":\"a\xEF\xBF\xBD\"}"},
        {"overlong form", "e", {{"m", "\xC0\xAF"}}, "{\"event\":\"e\",\"m\":\"\xEF\xBF\xBD\xEF\xBF\xBD\"}"},
        {"surrogate", "e", {{"m", "\xED\xA0\x80"}},
         "{\"event\":\"e\",\"m\":\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"}"},
        {"beyond U+10FFFF", "e", {{"m", "\xF4\x90\x80\x80"}},
         "{\"event\":\"e\",\"m\":\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"}"},
        {"bad byte in the event name", "\xFE", {}, "{\"event\":\"\xEF\xBF\xBD\"}"},
        {"keys equal once repaired are one member", "e", {{"\xFF", 1}, {"\xFE", 2}},
         "{\"event\":\"e\",\"\xEF\xBF\xBD\":2}"},
    };
    for (const FramingCase& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string line = eventLine(c.name, c.fields);
        EXPECT_EQ(line, c.line);
        EXPECT_FALSE(json::parse(line, nullptr, false).is_discarded()) << line;
    }
}

TEST(EventsTest, ReaderGetsTextsAndNumbersBackUnchanged) {
    const std::vector<std::string> texts = {"/tmp/dir/a b.wav", "x\ny\r\tz", "\"'\\/", "caf\xC3\xA9 \xE2\x80\x94",
                                            std::string("\x7f\x01", 2), ""};
    const std::vector<double> doubles = {0.1,     1.0 / 3,  48000.0, -0.0,   5e-324,
                                         1e-7,    1e21,     -2.5e10, 0.8999999761581421,
                                         std::numeric_limits<double>::max()};
    for (const std::string& text : texts) {
        const json j = json::parse(eventLine("e", {{"t", text}}));
        EXPECT_EQ(j.at("t").get<std::string>(), text);
    }
    for (const double d : doubles) {
        const std::string line = eventLine("e", {{"d", d}});
        const json j = json::parse(line);
        EXPECT_EQ(j.at("d").get<double>(), d) << line;
    }
    const json j = json::parse(eventLine("e", {{"min", std::numeric_limits<std::int64_t>::min()},
                                               {"max", std::numeric_limits<std::int64_t>::max()}}));
    EXPECT_EQ(j.at("min").get<std::int64_t>(), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(j.at("max").get<std::int64_t>(), std::numeric_limits<std::int64_t>::max());
}

TEST(EventsTest, SinkReceivesWholeLineWithLineFeed) {
    std::vector<std::string> lines;
    setEventSink([&](std::string_view line) { lines.emplace_back(line); });
    emit("stopped", {{"out", "/a"}});
    emit("x");
    setEventSink(nullptr);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "{\"event\":\"stopped\",\"out\":\"\\/a\"}\n");
    EXPECT_EQ(lines[1], "{\"event\":\"x\"}\n");
}

// Runs body with fd 1 redirected into a pipe; returns everything written to it.
std::string captureStdout(const std::function<void()>& body) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    const int saved = ::dup(STDOUT_FILENO);
    ::dup2(fds[1], STDOUT_FILENO);
    ::close(fds[1]);
    std::string captured;
    std::thread reader([&] {
        char buffer[65536];
        ssize_t n;
        while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) captured.append(buffer, static_cast<std::size_t>(n));
    });
    body();
    ::dup2(saved, STDOUT_FILENO);  // closes the last write end: the reader sees the end
    ::close(saved);
    reader.join();
    ::close(fds[0]);
    return captured;
}

TEST(EventsTest, ConcurrentLinesNeverInterleave) {
    // Lines far above the pipe's atomic size: without the lock, writes would mix.
    constexpr int kPerThread = 300;
    const std::string payload(20000, 'x');
    const std::string text = captureStdout([&] {
        auto worker = [&](int thread) {
            for (int i = 0; i < kPerThread; ++i) emit("t", {{"thread", thread}, {"seq", i}, {"pad", payload}});
        };
        std::thread a(worker, 0), b(worker, 1);
        a.join();
        b.join();
    });
    const auto events = testing::parseJsonLines(text);
    ASSERT_EQ(events.size(), 2u * kPerThread);
    std::map<int, int> next;
    for (const json& e : events) {
        const int thread = e.at("thread").get<int>();
        EXPECT_EQ(e.at("seq").get<int>(), next[thread]++);
        EXPECT_EQ(e.at("pad").get<std::string>().size(), payload.size());
    }
}

TEST(EventsTest, WriteToAVanishedReaderIsDroppedQuietly) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    const auto previous = ::signal(SIGPIPE, SIG_IGN);
    const int saved = ::dup(STDOUT_FILENO);
    ::dup2(fds[1], STDOUT_FILENO);
    ::close(fds[1]);
    emit("error", {{"message", "nobody listens"}});  // must return, not crash or hang
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    ::signal(SIGPIPE, previous);
}

}  // namespace
}  // namespace velomar
