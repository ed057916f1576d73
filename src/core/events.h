#pragma once
// The event stream: every report is one compact JSON object per line on stdout.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace velomar {

struct Value;
// Ordered field map; a key given twice keeps its first position and its last value.
using Fields = std::vector<std::pair<std::string, Value>>;

struct Value {
    using List = std::vector<Fields>;
    std::variant<std::string, std::int64_t, double, bool, List> v;

    Value(std::string s) : v(std::move(s)) {}
    Value(const char* s) : v(std::string(s)) {}
    Value(std::string_view s) : v(std::string(s)) {}
    Value(bool b) : v(b) {}
    Value(double d) : v(d) {}
    Value(float f) : v(static_cast<double>(f)) {}
    template <typename I, std::enable_if_t<std::is_integral_v<I> && !std::is_same_v<I, bool>, int> = 0>
    Value(I i) : v(static_cast<std::int64_t>(i)) {}
    Value(List l) : v(std::move(l)) {}
};

// Serialises name + fields to one JSON line (without the trailing line feed).
std::string eventLine(std::string_view name, const Fields& fields);

// Writes the event line plus "\n" to stdout in one write, whole lines never interleave.
// Never fails towards the caller; a line that cannot be written is dropped.
void emit(std::string_view name, const Fields& fields = {});

// Writes plain text (the usage text) to stdout under the same lock, bypassing the sink.
void writeStdout(std::string_view text);

// Test hook: receive every line (with its line feed) instead of stdout. nullptr restores.
void setEventSink(std::function<void(std::string_view line)> sink);

}  // namespace velomar
