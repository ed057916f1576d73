#pragma once
// Every event line a test reads from the real program passes the event schema that ships
// with the package (doc/events.schema.json), so the schema cannot drift from the program.

#include <string>
#include <vector>

namespace velomar::testing {

// One test failure per line the schema rejects, and one when the checker cannot run.
void expectEventLinesMatchSchema(const std::vector<std::string>& lines);

// The same for the whole lines of a program's stdout; a last line without its line feed
// (a process killed while writing) is left out.
void expectEventTextMatchesSchema(const std::string& text);

}  // namespace velomar::testing
