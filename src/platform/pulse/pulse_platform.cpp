#include "platform/pulse/pulse_platform.h"

#include <cstdlib>

#include "platform/pulse/pulse_hardware.h"
#include "platform/pulse/pulse_stream_capture.h"

namespace velomar::pulse {

namespace {

class PulsePlatformImpl : public PulsePlatform {
public:
    PulsePlatformImpl()
        : registry_(std::make_shared<NameRegistry>()),
          hardware_(std::make_shared<PulseHardware>(registry_)),
          streamCapture_(registry_) {}

    platform::Platform platform() override {
        return platform::Platform{*hardware_, *hardware_, *hardware_, streamCapture_};
    }

private:
    std::shared_ptr<NameRegistry> registry_;
    std::shared_ptr<PulseHardware> hardware_;
    PulseStreamCapture streamCapture_;
};

}  // namespace

std::unique_ptr<PulsePlatform> PulsePlatform::make() {
    // libpulse logs to stderr (a file-size limit makes its shared-memory set-up complain,
    // and PULSE_LOG in the caller's environment makes it chatty), but stderr must stay
    // silent: send its log to syslog. Set before the first libpulse call, while the
    // process still has one thread.
    ::setenv("PULSE_LOG_SYSLOG", "1", 1);
    return std::make_unique<PulsePlatformImpl>();
}

}  // namespace velomar::pulse
