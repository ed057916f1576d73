#include "support/event_schema.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>

#include "support/process.h"

namespace velomar::testing {

void expectEventLinesMatchSchema(const std::vector<std::string>& lines) {
    if (lines.empty()) return;
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    // One checker run per batch: the interpreter's start costs more than the lines.
    const RunResult run = runProcess({VELOMAR_PYTHON, VELOMAR_EVENT_VALIDATOR, VELOMAR_EVENT_SCHEMA}, text,
                                     std::chrono::seconds(120));
    if (run.status && run.status->exitedWith(0)) return;
    if (!run.status || !run.status->exitedWith(1)) {
        ADD_FAILURE() << "the event schema checker did not run ("
                      << (run.status ? run.status->describe() : "timed out") << "): " << run.out << run.err;
        return;
    }
    std::istringstream report(run.out);
    for (std::string violation; std::getline(report, violation);) {
        ADD_FAILURE() << "event line against the schema, line " << violation;
    }
}

void expectEventTextMatchesSchema(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    expectEventLinesMatchSchema(lines);
}

}  // namespace velomar::testing
