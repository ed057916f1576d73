#pragma once
#include <unistd.h>

#include <utility>

namespace velomar {

// Owns one file descriptor and closes it once.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    // Closes now; returns close()'s result (0 when nothing was open).
    int reset(int fd = -1) {
        int result = 0;
        if (fd_ >= 0) result = ::close(fd_);
        fd_ = fd;
        return result;
    }

private:
    int fd_ = -1;
};

}  // namespace velomar
