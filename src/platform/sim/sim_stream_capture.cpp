#include "platform/sim/sim_stream_capture.h"

namespace velomar::sim {

void SimStreamCapture::getShareableContent(
    bool, bool,
    std::function<void(std::optional<platform::ShareableContent>, std::optional<platform::StreamError>)> completion) {
    completion(platform::ShareableContent{}, std::nullopt);
}

std::shared_ptr<platform::Stream> SimStreamCapture::makeStream(const platform::ContentFilter&,
                                                               const platform::StreamConfiguration&,
                                                               std::weak_ptr<platform::StreamDelegate>) {
    return nullptr;
}

}  // namespace velomar::sim
