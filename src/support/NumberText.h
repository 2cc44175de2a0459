#pragma once

#include <string>

namespace zorvel {

// The shortest decimal text that reads back as the same 32-bit float, always with a fraction
// part ("0.0", "0.0013", "1.0"); magnitudes below 0.0001 in exponent form with a signed exponent
// of at least two digits ("1.5e-05", "5e-05").
std::string shortestFloatText(float value);

// printf-style "%.Nf" that never depends on the process locale (a Russian locale would write
// a decimal comma).
std::string fixedText(double value, int fractionDigits);

} // namespace zorvel
