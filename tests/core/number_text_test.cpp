#include "core/number_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <utility>

namespace velomar {
namespace {

TEST(DecimalWithFraction, ShortestRoundTripWithAFraction) {
    const std::pair<double, const char*> cases[] = {
        {0.0, "0.0"},          {48000.0, "48000.0"}, {44100.5, "44100.5"}, {0.1, "0.1"},
        {-1.0, "-1.0"},        {-0.0, "-0.0"},       {1.0 / 3.0, "0.3333333333333333"},
        {std::nan(""), "nan"}, {1e300, "1e+300"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(decimalWithFraction(value), text) << value;
}

}  // namespace
}  // namespace velomar
