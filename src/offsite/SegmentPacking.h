#pragma once

// A segment of the binary log as it goes into the repository with a password: packed by 7-Zip
// with the archives' password (their own encryption, the names inside encrypted too), in a
// folder of the caller's (`temp`, ending in "/", open to its owner only).
#include "Result.h"

#include <string>
#include <vector>

namespace zenta {

Result<std::string> PackSegment(const std::string& bytes, const std::string& password,
                                const std::string& temp);
// The bytes back; a failure when the password does not open it or it is no segment.
Result<std::string> UnpackSegment(const std::string& packed, const std::string& password,
                                  const std::string& temp);

// Many at once, by one run of 7-Zip (a restore opens thousands): each one's bytes, or why not.
std::vector<Result<std::string>> UnpackSegments(const std::vector<std::string>& packed,
                                                const std::string& password,
                                                const std::string& temp);

} // namespace zenta
