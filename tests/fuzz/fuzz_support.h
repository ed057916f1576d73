#pragma once
// Shared pieces of the fuzz harnesses: the check that rejects an input, a reader that
// turns the fuzzer's bytes into structured choices, and the reference UTF-8 repair that
// event strings are held to.
//
// The harnesses are also compiled into the unit tests (VELOMAR_FUZZ_REPLAY), where every
// corpus and regression file is replayed; there a broken invariant throws instead of
// aborting so that the test can name the file.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

#ifndef VELOMAR_FUZZ_REPLAY
#include <cstdio>
#include <cstdlib>
#endif

namespace velomar::fuzz {

class InvariantBroken : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void fail(const std::string& what) {
#ifdef VELOMAR_FUZZ_REPLAY
    throw InvariantBroken(what);
#else
    // libFuzzer keeps the input of any crash; the message says which invariant broke.
    std::fprintf(stderr, "invariant broken: %s\n", what.c_str());
    std::abort();
#endif
}

#define VELOMAR_FUZZ_CHECK(condition, detail)                                                   \
    do {                                                                                        \
        if (!(condition)) ::velomar::fuzz::fail(std::string(#condition) + " -- " + (detail));   \
    } while (0)

// Reads choices off the front of the input; an exhausted input reads as zeros.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return at_ >= size_; }
    std::size_t remaining() const { return size_ - at_; }

    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }

    template <typename T>
    T integer() {
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) v |= std::uint64_t(byte()) << (8 * i);
        T out{};
        std::memcpy(&out, &v, sizeof(T));
        return out;
    }

    double float64() {
        const auto bits = integer<std::uint64_t>();
        double d = 0;
        std::memcpy(&d, &bits, sizeof d);
        return d;
    }

    // A string of up to maxLength bytes, its length taken from the input first.
    std::string text(std::size_t maxLength) {
        const std::size_t length = std::size_t(byte()) % (maxLength + 1);
        return take(length);
    }

    std::string take(std::size_t length) {
        const std::size_t n = length < remaining() ? length : remaining();
        std::string out(reinterpret_cast<const char*>(data_ + at_), n);
        at_ += n;
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// Replaces every ill-formed UTF-8 sequence with U+FFFD, one replacement per maximal
// subpart (the decoder of the WHATWG Encoding standard); well-formed text is unchanged.
inline std::string repairUtf8(std::string_view s) {
    static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
    std::string out;
    std::size_t needed = 0, seen = 0, start = 0;
    unsigned lower = 0x80, upper = 0xBF;
    std::size_t i = 0;
    while (i < s.size()) {
        const unsigned b = static_cast<unsigned char>(s[i]);
        if (needed == 0) {
            if (b <= 0x7F) {
                out += char(b);
            } else if (b >= 0xC2 && b <= 0xDF) {
                needed = 1;
            } else if (b >= 0xE0 && b <= 0xEF) {
                if (b == 0xE0) lower = 0xA0;
                if (b == 0xED) upper = 0x9F;
                needed = 2;
            } else if (b >= 0xF0 && b <= 0xF4) {
                if (b == 0xF0) lower = 0x90;
                if (b == 0xF4) upper = 0x8F;
                needed = 3;
            } else {
                out += kReplacement;
            }
            start = i++;
            continue;
        }
        if (b < lower || b > upper) {
            // The sequence ends here; this byte starts afresh.
            needed = seen = 0;
            lower = 0x80;
            upper = 0xBF;
            out += kReplacement;
            continue;
        }
        lower = 0x80;
        upper = 0xBF;
        ++i;
        if (++seen == needed) {
            out.append(s.substr(start, needed + 1));
            needed = seen = 0;
        }
    }
    if (needed != 0) out += kReplacement;
    return out;
}

// True when the line holds no raw control character (the serialiser must escape them all).
inline bool hasNoControlBytes(std::string_view line) {
    for (const char c : line) {
        if (static_cast<unsigned char>(c) < 0x20) return false;
    }
    return true;
}

}  // namespace velomar::fuzz
