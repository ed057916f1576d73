#pragma once
#include "platform/platform.h"

namespace velomar {

// First thing in main(): reopen any closed fd 0-2 onto /dev/null (so the output file can
// never become stdout) and make SIGPIPE/SIGXFSZ harmless.
void protectStandardDescriptors();

// The program: parse, answer --help / --list-devices, create the writer, mixer and
// capturer, install the stop sources, start an engine and serve the main queue. Only
// returns through exitProcess (or, in tests that replace it, with the exit status).
int runFrontEnd(int argc, char** argv, platform::Platform& platform);

}  // namespace velomar
