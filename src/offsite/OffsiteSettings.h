#pragma once

// The [Offsite] settings of zentamarket.ini: where the shop's repository is (an S3-compatible
// bucket and the branch's prefix in it), the key the shop writes with (in a credentials file
// open to its owner only), how often the binary log goes, and when the tray warns. Off while
// Endpoint is empty.
#include "Result.h"
#include "S3Client.h"
#include "clsDataBase.h"

#include <string>

namespace zenta {

struct OffsiteSettings {
    S3Config storage;
    // The branch's part of the bucket: every name the shop writes begins with it and "/".
    std::string prefix;
    long logSeconds = 10;  // how often the binary log goes
    long warnMinutes = 10; // the tray warns once the copy is behind this long
    std::string credentialsFile;
};

// Whether the settings turn the off-site copy on (Endpoint set).
bool OffsiteConfigured();
// The settings, the keys read from the credentials file and, without [Offsite] Prefix, the
// branch's prefix from the chain's company and branch numbers (opcion CadenaID and
// SubTiendaID, read through `db`); why not, in a technician's words, when they cannot be used.
Result<OffsiteSettings> ReadOffsiteSettings(clsDataBase& db);
// The same without the branch's numbers (head office, a new computer): the prefix only when
// [Offsite] Prefix sets it; the keys from `credentialsFile` when given instead of the setting's.
Result<OffsiteSettings> ReadOffsiteStorage(const std::string& credentialsFile = "");

// The branch's prefix the shop's numbers give: "zentamarket-<company>-<branch>"; "" when the
// shop is not part of a chain.
std::string BranchPrefix(const std::string& company, const std::string& branch);

} // namespace zenta
