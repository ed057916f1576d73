#pragma once
#include <cstdint>
#include <exception>
#include <string>

namespace velomar {

// The recorder's own error. Its text form is the message alone, for both kinds.
class CaptureError : public std::exception {
public:
    enum class Kind { io, capture };

    static CaptureError io(std::string message) { return {Kind::io, std::move(message)}; }
    static CaptureError capture(std::string message) { return {Kind::capture, std::move(message)}; }

    Kind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    CaptureError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    Kind kind_;
    std::string message_;
};

// A platform call that answered with a status: "{text} (OSStatus {status})".
inline CaptureError statusFailure(const std::string& text, std::int32_t status) {
    return CaptureError::capture(text + " (OSStatus " + std::to_string(status) + ")");
}

// Text of any error as it appears in an event: a CaptureError gives its message,
// anything else its own description.
inline std::string errorText(const std::exception& error) { return error.what(); }

}  // namespace velomar
