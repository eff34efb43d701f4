// Any pattern against any name: no crash, and a pattern without wildcards matches exactly the
// names equal to it without regard to case.
#include "Wildcard.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    size_t cut = text.find('\n');
    std::string pattern = text.substr(0, cut);
    std::string name = cut == std::string::npos ? std::string() : text.substr(cut + 1);
    bool m = zenta::WildcardMatch(pattern, name);
    if (pattern.find_first_of("*?") == std::string::npos && !pattern.empty() &&
        pattern.back() != '.') {
        std::string a = pattern, b = name;
        for (auto& c : a)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        for (auto& c : b)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        if (m != (a == b))
            std::abort();
    }
    if (!zenta::WildcardMatch("*", name))
        std::abort();
    return 0;
}
