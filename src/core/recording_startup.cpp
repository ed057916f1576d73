// TEMPORARY: the smallest recording start-up that lets the program link and run. The
// device report lists nothing, no mixer or capturer is created and startCapture starts
// no engine, so a recording never starts and only a kill ends the process. Replaced by
// the real engine selection.
#include "core/recording_startup.h"

#include "core/events.h"
#include "core/process_exit.h"

namespace velomar {

void deviceReport(platform::Platform&) {
    emit("devices", {{"devices", Value::List{}}});
    exitProcess(0);
}

void createRecordingObjects(RecordingState& state, platform::Platform&) {
    state.stopHandler = nullptr;
}

void startCapture(RecordingState&, platform::Platform&, const std::string&) {}

}  // namespace velomar
