#include "core/number_text.h"

#include <charconv>
#include <cmath>

namespace velomar {

std::string decimalWithFraction(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    char text[64];
    const double magnitude = std::fabs(value);
    // Fixed notation over the range where it stays readable, exponent form beyond.
    const bool fixed = magnitude == 0 || (magnitude >= 1e-4 && magnitude < 9007199254740992.0);
    auto result = std::to_chars(text, text + sizeof text, value,
                                fixed ? std::chars_format::fixed : std::chars_format::scientific);
    std::string out(text, result.ptr);
    if (fixed && out.find('.') == std::string::npos) out += ".0";
    return out;
}

}  // namespace velomar
