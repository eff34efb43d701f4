#pragma once

// What the benchmarks share: a result written as a line "name value" appended to the file the
// environment variable `outVariable` names (standard output without it), and a percentile.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace zenta::test {

inline void PutResult(const char* outVariable, const std::string& name, double value) {
    const char* out = std::getenv(outVariable);
    std::FILE* f = std::fopen(out ? out : "/dev/stdout", "a");
    if (!f)
        return;
    std::fprintf(f, "%s %.3f\n", name.c_str(), value);
    std::fclose(f);
}

// The value below which `share` of them lie; -1 for none.
inline double Percentile(std::vector<double> values, double share) {
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(share * values.size()))];
}

} // namespace zenta::test
