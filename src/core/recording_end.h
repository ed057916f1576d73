#pragma once
// The end of every recording, whichever engine ran it.

#include <optional>
#include <string>

#include "core/mixer.h"

namespace velomar {

// The mixer's final flush and the file's finalisation, then "stopped" with the output
// path, the whole seconds written, the mixer's counters and the reason (when given),
// then exit status 0.
void finalizeRecording(Mixer& mixer, const std::string& out, const std::optional<std::string>& reason);

}  // namespace velomar
