#pragma once
#include <functional>

namespace velomar {

// The one way the process ends. The program flushes stdout and leaves with _exit (the
// file is already finalised; no static destructor may race the queues' threads).
// Tests install a handler that records the status instead, and then the call returns.
void exitProcess(int status);
void setExitHandler(std::function<void(int status)> handler);

}  // namespace velomar
