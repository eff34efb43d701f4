#pragma once

#include <string>

namespace zenta {

// Whether a file name matches a pattern under the classic DOS rules: letter case ignored;
// "*" any run; "?" one character, but a run of "?" also matches fewer characters where the
// name reaches a period or its end ("2?????????" matches "2x" and "2012-05-31" but not
// "2012.old"); a period before a wildcard or at the end of the pattern also matches the end
// of the name; "*.*" matches everything.
[[nodiscard]] bool WildcardMatch(const std::string& pattern, const std::string& name);

} // namespace zenta
