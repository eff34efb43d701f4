#include "ArchiveFigures.h"

#include <cstdlib>
#include <sstream>

namespace zenta {

namespace {

// "rows" or "rows,checksum"; false when the rows are not a number.
bool ReadValue(const std::string& value, TableFigures& f) {
    char* end = nullptr;
    f.rows = std::strtoll(value.c_str(), &end, 10);
    if (end == value.c_str() || (*end != '\0' && *end != ','))
        return false;
    if (*end == ',' && end[1] != '\0')
        f.checksum = std::strtoll(end + 1, nullptr, 10);
    return true;
}

} // namespace

std::map<std::string, TableFigures> ParseFigures(const std::string& text) {
    std::map<std::string, TableFigures> figures;
    std::istringstream in(text);
    std::string line;
    bool tables = true; // bare lines count; in a file of sections only [Tables]
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty() && line[0] == '[') {
            tables = line == "[Tables]";
            continue;
        }
        std::istringstream items(line);
        for (std::string item; std::getline(items, item, ';');) {
            const size_t eq = item.find('=');
            if (!tables || eq == std::string::npos || eq == 0)
                continue;
            TableFigures f;
            f.table = item.substr(0, eq);
            if (ReadValue(item.substr(eq + 1), f))
                figures[f.table] = f;
        }
    }
    return figures;
}

} // namespace zenta
