#include "SevenZip.h"

#include "Common.h"
#include "ErrorMode.h"
#include "Process.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace zenta {

std::string SevenZipProgram() {
    const char* p = std::getenv("ZENTA_7ZIP");
    return (p && *p) ? p : "7zz";
}

std::vector<std::string> SplitSevenZipCommandLine(const std::string& line) {
    std::vector<std::string> parts;
    std::string current;
    bool quoted = false, any = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (any || !current.empty())
                parts.push_back(current);
            current.clear();
            any = false;
        } else {
            current += c;
            any = true;
        }
    }
    if (any || !current.empty())
        parts.push_back(current);
    return parts;
}

int SevenZip(const std::string& commandLine) {
    std::vector<std::string> args;
    for (auto& a : SplitSevenZipCommandLine(commandLine))
        if (a != "-hide")
            args.push_back(a);
    // The archiver's own words, kept for the report when it fails.
    char tmpl[] = "/tmp/zenta-7zip-XXXXXX";
    int fd = ::mkstemp(tmpl);
    std::string output = fd >= 0 ? tmpl : "";
    if (fd >= 0)
        ::close(fd);
    const std::string program = SevenZipProgram();
    if (FindProgram(program).empty()) {
        WriteProgramLog("7-Zip program \"" + program +
                        "\" was not found (install the package 7zip, or name the program in "
                        "ZENTA_7ZIP)");
        if (!output.empty())
            std::remove(output.c_str());
        return -1;
    }
    int status = RunProgramAndWait(program, args, "", output);
    if (status == kStoppedByRequest) {
        WriteProgramLog("7-Zip was stopped: the program is ending");
    } else if (status != 0) {
        std::ifstream in(output);
        std::stringstream ss;
        ss << in.rdbuf();
        std::string text = ss.str();
        if (text.size() > 2000)
            text = "…" + text.substr(text.size() - 2000);
        WriteProgramLog("7-Zip ended with status " + std::to_string(status) + " for \"" +
                        commandLine + "\": " + ReplaceAll(text, "\n", " | "));
    }
    if (!output.empty())
        std::remove(output.c_str());
    return status;
}

std::string SevenZipCompressCommand(std::string& archivePath, std::string& sourceFolder,
                                    bool format7z, std::string& password, short level) {
    sourceFolder = WithSlash(Trim(sourceFolder));
    std::string command =
        "a -y " + std::string(format7z ? "-t7z" : "-tzip") + " -mx" + std::to_string(level) + " ";
    if (!password.empty())
        command += " -p" + QuoteIfSpaced(password) + " ";
    std::string source = sourceFolder + "*";
    command += QuoteIfSpaced(archivePath) + " " + QuoteIfSpaced(source) + " -hide";
    return command;
}

std::string SevenZipExtractCommand(std::string& archivePath, std::string& destinationFolder,
                                   std::string& password, bool keepExisting) {
    destinationFolder = WithSlash(Trim(destinationFolder));
    std::string command = "x -y " + std::string(keepExisting ? " -aos " : " -aoa ");
    command += " -p" + QuoteIfSpaced(password) + " ";
    command +=
        "-o" + QuoteIfSpaced(destinationFolder) + " " + QuoteIfSpaced(archivePath) + " -hide";
    return command;
}

short SevenZipCompress(std::string& archivePath, std::string& sourceFolder, bool format7z,
                       std::string& password, short level) {
    // A failed packing must not leave an older archive under the new name.
    const std::string target = Trim(archivePath);
    if (FileExists(target))
        std::remove(target.c_str());
    return static_cast<short>(
        SevenZip(SevenZipCompressCommand(archivePath, sourceFolder, format7z, password, level)));
}

short SevenZipExtract(std::string& archivePath, std::string& destinationFolder,
                      std::string& password, bool keepExisting) {
    return static_cast<short>(
        SevenZip(SevenZipExtractCommand(archivePath, destinationFolder, password, keepExisting)));
}

short SevenZipTest(const std::string& archivePath, const std::string& password) {
    std::string path = archivePath;
    std::string pw = password;
    return static_cast<short>(SevenZip("t -y -p" + QuoteIfSpaced(pw) + " " + QuoteIfSpaced(path)));
}

namespace {

std::uint32_t Crc32(const unsigned char* data, size_t size, std::uint32_t crc = 0) {
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (size_t i = 0; i < size; ++i)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

std::uint64_t LittleEndian(const unsigned char* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

} // namespace

bool IsWhole7zArchive(const std::string& path) {
    // The signature header names where the archive's end header lies, how long it is and its
    // checksum: a file cut short, or one that is not a 7z archive, fails here without reading
    // the packed data.
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    unsigned char head[32];
    if (!in.read(reinterpret_cast<char*>(head), sizeof head))
        return false;
    static const unsigned char signature[6] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
    if (std::memcmp(head, signature, 6) != 0)
        return false;
    if (Crc32(head + 12, 20) != LittleEndian(head + 8, 4))
        return false;
    const std::uint64_t offset = LittleEndian(head + 12, 8);
    const std::uint64_t size = LittleEndian(head + 20, 8);
    const std::uint32_t crc = static_cast<std::uint32_t>(LittleEndian(head + 28, 4));
    in.seekg(0, std::ios::end);
    const std::uint64_t fileSize = static_cast<std::uint64_t>(in.tellg());
    if (size == 0 || size > (64u << 20) || offset > fileSize || 32 + offset + size != fileSize)
        return false;
    std::vector<unsigned char> endHeader(size);
    in.seekg(static_cast<std::streamoff>(32 + offset));
    if (!in.read(reinterpret_cast<char*>(endHeader.data()), static_cast<std::streamsize>(size)))
        return false;
    return Crc32(endHeader.data(), endHeader.size()) == crc;
}

} // namespace zenta
