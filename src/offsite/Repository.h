#pragma once

// What the branch's part of the bucket holds, and the one place its names are made and read:
//   <prefix>/archives/<archive>              an archive as it was made (encrypted when the
//                                            archives have a password)
//   <prefix>/archives/<archive>.manifest     its snapshot's position, chain, GTID and moment,
//                                            its size and checksum (a restore chooses by these)
//   <prefix>/log/<chain>/chain.ini           the chain's opening (which server, which file)
//   <prefix>/log/<chain>/<file>/<first>-<end>[.7z]
//                                            a segment: the bytes first..end of a copied
//                                            binary-log file, whole events only; a file's
//                                            segments together are the file byte for byte
// Every name is written once. A name taken by other bytes (not the shop's) is never replaced:
// the shop's goes under the same name with "~2", "~3"... after it.
#include "BinlogChain.h"

#include <optional>
#include <string>

namespace zenta::repository {

std::string ArchiveKey(const std::string& prefix, const std::string& archive);
std::string ManifestKey(const std::string& prefix, const std::string& archive);
std::string ChainKey(const std::string& prefix, const std::string& chain);
std::string SegmentKey(const std::string& prefix, const std::string& chain, const std::string& file,
                       long long first, long long end, bool encrypted);
// Where the names of a file's segments that begin at `first` begin.
std::string SegmentsFrom(const std::string& prefix, const std::string& chain,
                         const std::string& file, long long first);
// The name's `n`th variant (n >= 2), for a name taken by other bytes.
std::string Variant(const std::string& key, int n);

// What a segment's name says.
struct SegmentName {
    std::string chain, file;
    long long first = 0, end = 0;
    bool encrypted = false;
    int variant = 1;
};
std::optional<SegmentName> ParseSegmentKey(const std::string& prefix, const std::string& key);

// An archive's manifest.
struct Manifest {
    std::string archive;
    long long size = 0;
    std::string sha256;
    bool encrypted = false;
    std::string made; // when the archive was made, this computer's clock
    SnapshotRecord snapshot;
};
std::string ManifestText(const Manifest& manifest);
std::optional<Manifest> ParseManifest(const std::string& text);

// A chain's opening as chain.ini says it.
std::string ChainText(const BinlogChain::Opening& opening, const std::string& chain);

} // namespace zenta::repository
