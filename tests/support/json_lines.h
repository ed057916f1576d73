#pragma once
// Reads event lines back: every line must be one JSON object.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/event_schema.h"

namespace velomar::testing {

// Splits text at line feeds (the text must end with one) and parses each line; a line
// that is not a JSON object is a test failure.
inline std::vector<nlohmann::json> parseJsonLines(const std::string& text) {
    std::vector<nlohmann::json> events;
    if (!text.empty()) {
        EXPECT_EQ(text.back(), '\n') << "last line not terminated: " << text;
    }
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        auto parsed = nlohmann::json::parse(line, nullptr, false);
        if (parsed.is_discarded() || !parsed.is_object()) {
            ADD_FAILURE() << "not a JSON object line: " << line;
        } else {
            events.push_back(std::move(parsed));
        }
        start = end + 1;
    }
    return events;
}

// The same for the program's own output: every line must also pass the event schema.
inline std::vector<nlohmann::json> parseEventLines(const std::string& text) {
    expectEventTextMatchesSchema(text);
    return parseJsonLines(text);
}

}  // namespace velomar::testing
