// The event writer against arbitrary names, keys and values: one line, no raw control
// byte, valid JSON whose members are the merged fields in order, each name once, and
// whose values read back as given (strings after U+FFFD repair, non-finite doubles null).

#include <nlohmann/json.hpp>

#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "core/events.h"
#include "fuzz/fuzz_support.h"

namespace {

using velomar::Fields;
using velomar::Value;
using velomar::fuzz::repairUtf8;
using Json = nlohmann::ordered_json;

Value decodeValue(velomar::fuzz::Input& in, int depth);

Fields decodeFields(velomar::fuzz::Input& in, int depth, std::size_t maxCount) {
    static const char* const kCommonKeys[] = {"event", "message", "out", "a", "\xFF", "\xFE"};
    Fields fields;
    const std::size_t count = in.byte() % (maxCount + 1);
    for (std::size_t i = 0; i < count && !in.empty(); ++i) {
        const std::uint8_t how = in.byte();
        std::string key = (how & 1) ? std::string(kCommonKeys[(how >> 1) % 6]) : in.text(12);
        fields.emplace_back(std::move(key), decodeValue(in, depth));
    }
    return fields;
}

Value decodeValue(velomar::fuzz::Input& in, int depth) {
    switch (in.byte() % 7) {
        case 0: return Value(in.text(40));
        case 1: return Value(in.integer<std::int64_t>());
        case 2: return Value(in.float64());
        case 3: return Value((in.byte() & 1) != 0);
        case 4: return Value(in.integer<float>());
        case 5: return Value(std::int64_t(std::int8_t(in.byte())));
        default: {
            Value::List list;
            if (depth < 3) {
                const std::size_t n = in.byte() % 4;
                for (std::size_t i = 0; i < n; ++i) list.push_back(decodeFields(in, depth + 1, 4));
            }
            return Value(std::move(list));
        }
    }
}

// What a reader should find: keys as repaired text, the first position and the last value.
std::vector<std::pair<std::string, const Value*>> expectedMembers(
    std::vector<std::pair<std::string, const Value*>> members, const Fields& fields) {
    for (const auto& [key, value] : fields) {
        const std::string name = repairUtf8(key);
        bool replaced = false;
        for (auto& member : members) {
            if (member.first == name) {
                member.second = &value;
                replaced = true;
                break;
            }
        }
        if (!replaced) members.emplace_back(name, &value);
    }
    return members;
}

void checkObject(const std::vector<std::pair<std::string, const Value*>>& members, const Json& json,
                 const std::string& line);

void checkValue(const Value& value, const Json& json, const std::string& line) {
    if (const auto* s = std::get_if<std::string>(&value.v)) {
        VELOMAR_FUZZ_CHECK(json.is_string() && json.get<std::string>() == repairUtf8(*s), line);
    } else if (const auto* i = std::get_if<std::int64_t>(&value.v)) {
        VELOMAR_FUZZ_CHECK(json.is_number_integer() && json.get<std::int64_t>() == *i, line);
    } else if (const auto* d = std::get_if<double>(&value.v)) {
        if (std::isfinite(*d)) {
            VELOMAR_FUZZ_CHECK(json.is_number() && json.get<double>() == *d, line);
        } else {
            VELOMAR_FUZZ_CHECK(json.is_null(), line);
        }
    } else if (const auto* b = std::get_if<bool>(&value.v)) {
        VELOMAR_FUZZ_CHECK(json.is_boolean() && json.get<bool>() == *b, line);
    } else {
        const auto& list = std::get<Value::List>(value.v);
        VELOMAR_FUZZ_CHECK(json.is_array() && json.size() == list.size(), line);
        for (std::size_t k = 0; k < list.size(); ++k) checkObject(expectedMembers({}, list[k]), json[k], line);
    }
}

void checkObject(const std::vector<std::pair<std::string, const Value*>>& members, const Json& json,
                 const std::string& line) {
    VELOMAR_FUZZ_CHECK(json.is_object() && json.size() == members.size(), line);
    std::size_t k = 0;
    for (auto it = json.begin(); it != json.end(); ++it, ++k) {
        VELOMAR_FUZZ_CHECK(it.key() == members[k].first, "member " + std::to_string(k) + " of " + line);
        checkValue(*members[k].second, it.value(), line);
    }
}

// A reader keeps one value per name; every name must appear once per object.
bool namesAreUnique(const std::string& line) {
    std::vector<std::set<std::string>> open;
    bool unique = true;
    const Json::parser_callback_t callback = [&](int, Json::parse_event_t event, Json& parsed) {
        if (event == Json::parse_event_t::object_start) {
            open.emplace_back();
        } else if (event == Json::parse_event_t::object_end) {
            open.pop_back();
        } else if (event == Json::parse_event_t::key && !open.back().insert(parsed.get<std::string>()).second) {
            unique = false;
        }
        return true;
    };
    const Json parsed = Json::parse(line, callback, false);
    return unique && !parsed.is_discarded();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velomar::fuzz::Input in(data, size);
    const std::string name = in.text(24);
    const Fields fields = decodeFields(in, 0, 8);

    std::vector<std::string> lines;
    velomar::setEventSink([&lines](std::string_view line) { lines.emplace_back(line); });
    velomar::emit(name, fields);
    velomar::setEventSink(nullptr);
    VELOMAR_FUZZ_CHECK(lines.size() == 1, "one emit, one sink call");
    const std::string& written = lines.front();
    VELOMAR_FUZZ_CHECK(!written.empty() && written.back() == '\n', written);

    const std::string line = velomar::eventLine(name, fields);
    VELOMAR_FUZZ_CHECK(written == line + "\n", written);
    VELOMAR_FUZZ_CHECK(velomar::fuzz::hasNoControlBytes(line), line);

    const Json json = Json::parse(line, nullptr, false);
    VELOMAR_FUZZ_CHECK(!json.is_discarded(), line);
    VELOMAR_FUZZ_CHECK(namesAreUnique(line), line);
    const Value nameValue{name};
    checkObject(expectedMembers({{"event", &nameValue}}, fields), json, line);
    return 0;
}
