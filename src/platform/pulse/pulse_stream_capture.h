#pragma once
// Stream capture over the sound server: the "displays" are the output devices (sinks,
// the default first); a stream records the chosen sink's monitor and the default
// source on a connection of its own, and reports a lost server or device to its
// delegate as a stream that stopped by itself.

#include <memory>

#include "platform/pulse/name_registry.h"
#include "platform/stream_capture.h"

namespace velomar::pulse {

class PulseStreamCapture : public platform::StreamCapture {
public:
    explicit PulseStreamCapture(std::shared_ptr<NameRegistry> registry) : registry_(std::move(registry)) {}

    void getShareableContent(
        bool excludeDesktopWindows, bool onScreenWindowsOnly,
        std::function<void(std::optional<platform::ShareableContent>, std::optional<platform::StreamError>)>
            completion) override;
    std::shared_ptr<platform::Stream> makeStream(const platform::ContentFilter& filter,
                                                 const platform::StreamConfiguration& config,
                                                 std::weak_ptr<platform::StreamDelegate> delegate) override;

private:
    std::shared_ptr<NameRegistry> registry_;
};

// Text of a connection failure as the stream framework's error description.
std::string connectionErrorText(const std::string& serverError);

}  // namespace velomar::pulse
