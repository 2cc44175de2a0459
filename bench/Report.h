#pragma once

#include <string>
#include <vector>

namespace zorvel::bench {

// A titled Markdown table with free-form notes under it.
struct Table {
    std::string title;
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> notes;
};

std::string seconds(double value);      // "0.152 s", "25.1 s", "12.3 ms"
std::string mebibytes(double kib);      // "21.4 MiB"
std::string times(double ratio);        // "165×"
std::string percent(double fraction);       // "42 %"
std::string signedPercent(double fraction); // "+3.5 %"
std::string yesNo(bool met);

std::string markdown(const std::vector<Table>& tables);

} // namespace zorvel::bench
