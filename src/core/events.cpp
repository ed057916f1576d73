#include "core/events.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <memory>
#include <mutex>

namespace velomar {
namespace {

// Never destroyed: queue threads may still emit while the process runs its exit path.
struct Output {
    std::mutex lock;
    std::shared_ptr<std::function<void(std::string_view)>> sink;
};

Output& output() {
    static Output* const instance = new Output;
    return *instance;
}

void appendReplacement(std::string& out) { out += "\xEF\xBF\xBD"; }

// Length of the well-formed UTF-8 sequence starting at s[i], or the length of its
// maximal valid prefix negated (at least 1) when it is ill-formed.
int utf8Sequence(std::string_view s, std::size_t i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    int length = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        if (b0 == 0xE0) lo = 0xA0;       // no overlong forms
        if (b0 == 0xED) hi = 0x9F;       // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;       // nothing above U+10FFFF
    } else {
        return -1;
    }
    for (int k = 1; k < length; ++k) {
        if (i + static_cast<std::size_t>(k) >= s.size()) return -k;
        const auto b = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
        const unsigned char min = k == 1 ? lo : 0x80, max = k == 1 ? hi : 0xBF;
        if (b < min || b > max) return -k;
    }
    return length;
}

// Appends the character that starts at s[i] as it is when well-formed, else one
// replacement character for its ill-formed bytes; returns how many bytes it took.
std::size_t appendReadableSequence(std::string& out, std::string_view s, std::size_t i) {
    const int n = static_cast<unsigned char>(s[i]) < 0x80 ? 1 : utf8Sequence(s, i);
    if (n > 0) {
        out.append(s.substr(i, static_cast<std::size_t>(n)));
        return static_cast<std::size_t>(n);
    }
    appendReplacement(out);
    return static_cast<std::size_t>(-n);
}

void appendString(std::string& out, std::string_view s) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) {
            i += appendReadableSequence(out, s, i);
            continue;
        }
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '/': out += "\\/"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 0xF];
                } else {
                    out += static_cast<char>(c);
                }
        }
        ++i;
    }
    out += '"';
}

// A key as a reader sees it: ill-formed UTF-8 replaced as appendString does.
std::string readableKey(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) i += appendReadableSequence(out, s, i);
    return out;
}

using Members = std::vector<std::pair<std::string, const Value*>>;

void appendValue(std::string& out, const Value& value);

void appendObject(std::string& out, const Members& members) {
    out += '{';
    bool first = true;
    for (const auto& [key, value] : members) {
        if (!first) out += ',';
        first = false;
        appendString(out, key);
        out += ':';
        appendValue(out, *value);
    }
    out += '}';
}

// Merges duplicate keys: the first position is kept, the last value wins. Keys are
// compared as written, so two keys that differ only in ill-formed bytes are one member.
Members merged(Members members, const Fields& fields) {
    for (const auto& [rawKey, value] : fields) {
        std::string key = readableKey(rawKey);
        const auto same =
            std::find_if(members.begin(), members.end(), [&](const auto& member) { return member.first == key; });
        if (same != members.end()) same->second = &value;
        else members.emplace_back(std::move(key), &value);
    }
    return members;
}

void appendValue(std::string& out, const Value& value) {
    std::visit(
        [&out](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::string>) {
                appendString(out, v);
            } else if constexpr (std::is_same_v<T, bool>) {
                out += v ? "true" : "false";
            } else if constexpr (std::is_same_v<T, std::int64_t> || std::is_same_v<T, double>) {
                if constexpr (std::is_same_v<T, double>) {
                    // JSON has no form for these; the member stays, as null.
                    if (!std::isfinite(v)) {
                        out += "null";
                        return;
                    }
                }
                char buffer[64];
                const auto result = std::to_chars(buffer, buffer + sizeof buffer, v);
                out.append(buffer, result.ptr);
            } else {
                out += '[';
                bool first = true;
                for (const Fields& object : v) {
                    if (!first) out += ',';
                    first = false;
                    appendObject(out, merged({}, object));
                }
                out += ']';
            }
        },
        value.v);
}

void writeAll(int fd, std::string_view text) {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n > 0) {
            data += n;
            left -= static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A non-blocking stdout inherited from the parent: wait for room so the
            // line stays whole.
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, -1) < 0 && errno != EINTR) return;
        } else {
            return;  // EPIPE, closed descriptor, full disk: the line is dropped
        }
    }
}

}  // namespace

std::string eventLine(std::string_view name, const Fields& fields) {
    const Value nameValue{name};
    std::string out;
    out.reserve(64);
    appendObject(out, merged({{"event", &nameValue}}, fields));
    return out;
}

void emit(std::string_view name, const Fields& fields) {
    std::string line = eventLine(name, fields);
    line += '\n';
    Output& o = output();
    std::lock_guard<std::mutex> guard(o.lock);
    if (o.sink) {
        (*o.sink)(line);
    } else {
        writeAll(STDOUT_FILENO, line);
    }
}

void writeStdout(std::string_view text) {
    Output& o = output();
    std::lock_guard<std::mutex> guard(o.lock);
    writeAll(STDOUT_FILENO, text);
}

void setEventSink(std::function<void(std::string_view line)> sink) {
    Output& o = output();
    std::lock_guard<std::mutex> guard(o.lock);
    o.sink = sink ? std::make_shared<std::function<void(std::string_view)>>(std::move(sink)) : nullptr;
}

}  // namespace velomar
