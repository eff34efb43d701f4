#pragma once

#include <string>
#include <utility>
#include <vector>

namespace zenta {

// Private-profile files in the suite's code page, read and written the way the suite's other
// programs do: section and key matched without regard to case (first match wins), blanks
// around keys and values ignored, one pair of matching quotes around a value removed, values
// cut at 254 bytes of the code page. A write changes only the one line it concerns (or
// appends it), so every other byte of the file stays as it was; the file and the section are
// created when missing. Texts passed in and returned are UTF-8.
class IniFile {
  public:
    static constexpr size_t kMaxValueBytes = 254;

    // The value, or "" when the file, section or key is missing.
    static std::string Read(const std::string& path, const std::string& section,
                            const std::string& key);
    // False when the file could not be written (missing folder, no permission).
    static bool Write(const std::string& path, const std::string& section, const std::string& key,
                      const std::string& value);

    // Several keys of one section in one write.
    static bool WriteMany(const std::string& path, const std::string& section,
                          const std::vector<std::pair<std::string, std::string>>& values);

    // Removes whole sections (their header and every line up to the next section). False when
    // the file could not be written.
    static bool RemoveSections(const std::string& path, const std::vector<std::string>& sections);

    // Appends `key=value` at the end of the file when the file's last section is `section`
    // and that section has no such key yet, reading only the end of the file: the cost does
    // not grow with the file. The common write of a log.
    enum class Append { Done, KeyExists, NotLastSection, Failed };
    static Append AppendToLastSection(const std::string& path, const std::string& section,
                                      const std::string& key, const std::string& value);

    // The same two operations on file contents, for callers (and fuzzers) that hold the bytes.
    static std::string ReadFrom(const std::string& contents, const std::string& section,
                                const std::string& key);
    static std::string WriteTo(const std::string& contents, const std::string& section,
                               const std::string& key, const std::string& value);
};

} // namespace zenta
