#include "Repository.h"

#include "IniFile.h"
#include "Text.h"

#include <cstdio>
#include <cstdlib>

namespace zenta::repository {

namespace {

std::string Offset(long long n) {
    char text[32];
    std::snprintf(text, sizeof text, "%012lld", n);
    return text;
}

} // namespace

std::string ArchiveKey(const std::string& prefix, const std::string& archive) {
    return prefix + "/archives/" + archive;
}

std::string ManifestKey(const std::string& prefix, const std::string& archive) {
    return ArchiveKey(prefix, archive) + ".manifest";
}

std::string ChainKey(const std::string& prefix, const std::string& chain) {
    return prefix + "/log/" + chain + "/chain.ini";
}

std::string SegmentKey(const std::string& prefix, const std::string& chain, const std::string& file,
                       long long first, long long end, bool encrypted) {
    return prefix + "/log/" + chain + "/" + file + "/" + Offset(first) + "-" + Offset(end) +
           (encrypted ? ".7z" : "");
}

std::string SegmentsFrom(const std::string& prefix, const std::string& chain,
                         const std::string& file, long long first) {
    return prefix + "/log/" + chain + "/" + file + "/" + Offset(first) + "-";
}

std::string Variant(const std::string& key, int n) {
    return n <= 1 ? key : key + "~" + std::to_string(n);
}

std::optional<SegmentName> ParseSegmentKey(const std::string& prefix, const std::string& key) {
    const std::string head = prefix + "/log/";
    if (key.rfind(head, 0) != 0)
        return std::nullopt;
    std::string rest = key.substr(head.size());
    SegmentName s;
    if (const size_t tilde = rest.rfind('~'); tilde != std::string::npos) {
        s.variant = std::atoi(rest.c_str() + tilde + 1);
        if (s.variant < 2)
            return std::nullopt;
        rest.resize(tilde);
    }
    if (rest.size() > 3 && rest.compare(rest.size() - 3, 3, ".7z") == 0) {
        s.encrypted = true;
        rest.resize(rest.size() - 3);
    }
    const size_t slash1 = rest.find('/');
    const size_t slash2 = slash1 == std::string::npos ? slash1 : rest.find('/', slash1 + 1);
    if (slash2 == std::string::npos || rest.find('/', slash2 + 1) != std::string::npos)
        return std::nullopt;
    s.chain = rest.substr(0, slash1);
    s.file = rest.substr(slash1 + 1, slash2 - slash1 - 1);
    const std::string range = rest.substr(slash2 + 1);
    long long first = 0, end = 0;
    int used = 0;
    if (std::sscanf(range.c_str(), "%12lld-%12lld%n", &first, &end, &used) != 2 ||
        used != static_cast<int>(range.size()) || range.size() != 25 || end <= first)
        return std::nullopt;
    s.first = first;
    s.end = end;
    return s;
}

std::string ManifestText(const Manifest& m) {
    std::string text = "[Archive]\r\nName=" + m.archive + "\r\nSize=" + std::to_string(m.size) +
                       "\r\nSha256=" + m.sha256 + "\r\nEncrypted=" + (m.encrypted ? "1" : "0") +
                       "\r\nMade=" + m.made + "\r\n[Binlog]\r\n";
    for (const auto& [key, value] : SnapshotValues(m.snapshot))
        text += key + "=" + value + "\r\n";
    return text;
}

std::optional<Manifest> ParseManifest(const std::string& text) {
    Manifest m;
    m.archive = IniFile::ReadFrom(text, "Archive", "Name");
    if (m.archive.empty())
        return std::nullopt;
    m.size = std::atoll(IniFile::ReadFrom(text, "Archive", "Size").c_str());
    m.sha256 = IniFile::ReadFrom(text, "Archive", "Sha256");
    m.encrypted = IniFile::ReadFrom(text, "Archive", "Encrypted") == "1";
    m.made = IniFile::ReadFrom(text, "Archive", "Made");
    m.snapshot = SnapshotFromIni(text, "Binlog", m.archive);
    return m;
}

std::string ChainText(const BinlogChain::Opening& opening, const std::string& chain) {
    return "[Chain]\r\nName=" + chain + "\r\nFirstFile=" + opening.firstFile +
           "\r\nServerId=" + std::to_string(opening.serverId) +
           "\r\nOpened=" + std::to_string(static_cast<long long>(opening.time)) + "\r\n";
}

} // namespace zenta::repository
