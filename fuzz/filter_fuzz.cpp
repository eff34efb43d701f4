// Any criteria text: compiling either fails with a reason or gives a filter that evaluates.
#include "RecordsetFilter.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 512)
        return 0;
    std::string text(reinterpret_cast<const char*>(data), size);
    zenta::RecordsetFilter f;
    std::string error;
    static const std::vector<std::string> cols = {"ID", "Name", "Fecha"};
    if (!f.Compile(text, cols, error)) {
        if (error.empty())
            std::abort();
        return 0;
    }
    std::vector<zenta::Variant> row = {zenta::Variant(1), zenta::Variant("abc"),
                                       zenta::Variant(zenta::Null{})};
    (void)f.Matches(row);
    return 0;
}
