#pragma once

// The repository read back from outside, as a restore reads it: the original (oldest) version
// of every segment's name, decrypted with the archives' password, joined file by file; and the
// sales its log holds, decoded by MariaDB's own reader.
#include "Repository.h"
#include "S3Client.h"
#include "SevenZip.h"
#include "TestSupport.h"
#include "Tills.h"

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace zenta::test {

inline const std::string kPassword = "a shop's archive password";

// What the repository holds of one copied file: its segments joined (the original of each name,
// as a restore reads them), and whether they join without a hole.
struct RepositoryFile {
    std::string bytes;
    bool joined = true;
    std::string why;
};

// A segment opened by 7-Zip with the archives' password.
inline std::string Unpacked(const std::string& packed) {
    TempDir dir;
    WriteFile(dir.path() + "s.7z", packed);
    const auto outcome =
        RunSevenZip({"x", "-y", "-o" + dir.path(), dir.path() + "s.7z"}, kPassword);
    EXPECT_EQ(outcome.status, 0) << outcome.output;
    return ReadFile(dir.path() + "segment");
}

// Every copied file as the repository holds it: the original version of each segment's
// name, decrypted, joined in order (a variant name counts only when it joins).
inline std::map<std::string, RepositoryFile> ReadRepository(S3Client& client,
                                                            const std::string& prefix) {
    std::map<std::string, RepositoryFile> files;
    const auto versions = client.ListVersions(prefix + "/log/");
    EXPECT_TRUE(versions) << versions.error();
    if (!versions)
        return files;
    // The oldest version of each name, in the order of the names (offsets are zero-padded).
    std::map<std::string, S3Object> originals;
    for (const auto& v : *versions)
        if (!v.deleteMarker && !originals.count(v.key))
            originals[v.key] = v;
    for (const auto& [key, object] : originals) {
        const auto name = repository::ParseSegmentKey(prefix, key);
        if (!name)
            continue;
        RepositoryFile& f = files[name->chain + "/" + name->file];
        if (static_cast<long long>(f.bytes.size()) != name->first) {
            if (name->variant == 1) {
                f.joined = false;
                f.why += key + " begins at " + std::to_string(name->first) + " after " +
                         std::to_string(f.bytes.size()) + " bytes; ";
            }
            continue;
        }
        const S3Answer got = client.Get(key, object.versionId);
        EXPECT_TRUE(got.Ok()) << client.Why(got);
        std::string bytes = got.body;
        if (name->encrypted)
            bytes = Unpacked(bytes);
        if (static_cast<long long>(bytes.size()) != name->end - name->first) {
            f.joined = false;
            f.why += key + " holds " + std::to_string(bytes.size()) + " bytes; ";
            continue;
        }
        f.bytes += bytes;
    }
    return files;
}
// The tickets the repository's log holds, as MariaDB's own reader decodes its rows.
inline std::set<long> TicketsIn(const std::map<std::string, RepositoryFile>& there) {
    TempDir dir;
    std::set<long> tickets;
    for (const auto& [name, file] : there) {
        const std::string path = dir.path() + "f.bin";
        WriteFile(path, file.bytes);
        Shell("mariadb-binlog --base64-output=DECODE-ROWS -v '" + path + "' > '" + dir.path() +
              "rows.txt' 2>/dev/null");
        std::istringstream in(ReadFile(dir.path() + "rows.txt"));
        bool ticket = false;
        for (std::string line; std::getline(in, line);) {
            if (line.find("### INSERT INTO `zentasupermarket`.`ticket`") == 0)
                ticket = true;
            else if (ticket && line.find("###   @1=") == 0) {
                tickets.insert(std::atol(line.c_str() + 9));
                ticket = false;
            }
        }
    }
    EXPECT_FALSE(tickets.empty()) << "no ticket decoded from " << there.size() << " files: "
                                  << ReadFile(dir.path() + "rows.txt").substr(0, 2000);
    return tickets;
}

// Sales the tills were told were made, against the tickets a log holds.
struct SalesThere {
    long acknowledged = 0, missing = 0;
};
inline SalesThere JudgeSales(const std::vector<Sale>& sales, const std::set<long>& tickets) {
    SalesThere j;
    for (const auto& s : sales)
        if (s.acknowledged > 0) {
            ++j.acknowledged;
            j.missing += !tickets.count(s.number);
        }
    return j;
}

} // namespace zenta::test
