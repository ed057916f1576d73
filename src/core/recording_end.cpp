#include "core/recording_end.h"

#include "core/events.h"
#include "core/process_exit.h"

namespace velomar {

void finalizeRecording(Mixer& mixer, const std::string& out, const std::optional<std::string>& reason) {
    mixer.finish();
    // A key given twice keeps its first position and its last value, so the counters and
    // the reason could never displace "out" and "seconds".
    Fields fields{{"out", out}, {"seconds", mixer.writer().recordedSeconds()}};
    for (auto& entry : mixer.diagnostics()) fields.push_back(std::move(entry));
    if (reason) fields.emplace_back("reason", *reason);
    emit("stopped", fields);
    exitProcess(0);
}

}  // namespace velomar
