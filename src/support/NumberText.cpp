#include "support/NumberText.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace zorvel {

std::string shortestFloatText(float value) {
    if (std::isnan(value))
        return "nan";
    if (std::isinf(value))
        return value < 0 ? "-inf" : "inf";
    if (value == 0.0F)
        return std::signbit(value) ? "-0.0" : "0.0";

    // Shortest round-trip digits in scientific form, e.g. "1.5e-05" or "2.16e-01".
    char buffer[64];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    const std::string scientific(buffer, end);
    const auto ePosition = scientific.find('e');
    std::string mantissa = scientific.substr(0, ePosition);
    const int exponent = std::atoi(scientific.c_str() + ePosition + 1);
    const bool negative = mantissa.front() == '-';
    if (negative)
        mantissa.erase(0, 1);
    std::string digits;
    for (char c : mantissa)
        if (c != '.')
            digits += c;

    std::string text = negative ? "-" : "";
    const float magnitude = std::fabs(value);
    if (magnitude < 1e-4F || magnitude >= 16777216.0F) {
        text += digits.substr(0, 1);
        if (digits.size() > 1)
            text += "." + digits.substr(1);
        const int shown = std::abs(exponent);
        text += exponent < 0 ? "e-" : "e+";
        if (shown < 10)
            text += "0";
        text += std::to_string(shown);
        return text;
    }
    if (exponent < 0) {
        text += "0." + std::string(static_cast<size_t>(-exponent - 1), '0') + digits;
    } else {
        const auto integerDigits = static_cast<size_t>(exponent) + 1;
        if (digits.size() <= integerDigits)
            text += digits + std::string(integerDigits - digits.size(), '0') + ".0";
        else
            text += digits.substr(0, integerDigits) + "." + digits.substr(integerDigits);
    }
    return text;
}

std::string fixedText(double value, int fractionDigits) {
    char buffer[400];
    const auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, fractionDigits);
    if (error != std::errc())
        return "nan";
    return {buffer, end};
}

} // namespace zorvel
