#pragma once
// Numbers as they appear inside message texts.

#include <string>

namespace velomar {

// Shortest round-trip decimal that always shows a fraction: 0.0, 48000.0, 44100.5, nan.
std::string decimalWithFraction(double value);

}  // namespace velomar
