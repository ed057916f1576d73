#pragma once
// Simulated stream capture. (Starting point: a machine with no display.)

#include "platform/stream_capture.h"

namespace velomar::sim {

class SimStreamCapture : public platform::StreamCapture {
public:
    void getShareableContent(
        bool excludeDesktopWindows, bool onScreenWindowsOnly,
        std::function<void(std::optional<platform::ShareableContent>, std::optional<platform::StreamError>)>
            completion) override;
    std::shared_ptr<platform::Stream> makeStream(const platform::ContentFilter& filter,
                                                 const platform::StreamConfiguration& config,
                                                 std::weak_ptr<platform::StreamDelegate> delegate) override;
};

}  // namespace velomar::sim
