#include "Report.h"

#include <cstdio>

namespace zorvel::bench {

// Formats through snprintf with a literal format, so that the compiler checks it; a function would
// take the format as a variable, which the compiler cannot check.
// NOLINTNEXTLINE(cppcoreguidelines-macro-usage)
#define ZORVEL_PRINTED(format, value)                                                                   \
    ([&] {                                                                                              \
        char text[64];                                                                                  \
        std::snprintf(text, sizeof text, format, value);                                                \
        return std::string(text);                                                                       \
    }())

std::string seconds(double value) {
    if (value < 1.0)
        return ZORVEL_PRINTED("%.1f ms", value * 1000.0);
    if (value < 10.0)
        return ZORVEL_PRINTED("%.2f s", value);
    return ZORVEL_PRINTED("%.1f s", value);
}

std::string mebibytes(double kib) { return ZORVEL_PRINTED("%.1f MiB", kib / 1024.0); }

std::string times(double ratio) {
    if (ratio < 10.0)
        return ZORVEL_PRINTED("%.2f×", ratio);
    return ZORVEL_PRINTED("%.0f×", ratio);
}

std::string percent(double fraction) {
    if (fraction < 0.1)
        return ZORVEL_PRINTED("%.1f %%", 100.0 * fraction);
    return ZORVEL_PRINTED("%.0f %%", 100.0 * fraction);
}

std::string signedPercent(double fraction) { return ZORVEL_PRINTED("%+.1f %%", 100.0 * fraction); }

std::string yesNo(bool met) { return met ? "yes" : "**no**"; }

std::string markdown(const std::vector<Table>& tables) {
    std::string out;
    for (const auto& table : tables) {
        out += "### " + table.title + "\n\n|";
        for (const auto& cell : table.header)
            out += " " + cell + " |";
        out += "\n|";
        for (size_t i = 0; i < table.header.size(); ++i)
            out += "---|";
        out += "\n";
        for (const auto& row : table.rows) {
            out += "|";
            for (const auto& cell : row)
                out += " " + cell + " |";
            out += "\n";
        }
        if (!table.notes.empty())
            out += "\n";
        for (const auto& note : table.notes)
            out += note + "\n";
        out += "\n";
    }
    return out;
}

} // namespace zorvel::bench
