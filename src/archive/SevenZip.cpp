#include "SevenZip.h"

#include "Common.h"
#include "ErrorMode.h"
#include "Process.h"
#include "Text.h"

#include <algorithm>
#include <array>
#include <chrono>
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

namespace {

bool IsUpdateCommand(const std::string& command) {
    return command == "a" || command == "u" || command == "d" || command == "rn";
}

} // namespace

bool SevenZipOutcome::WrongPassword() const {
    return output.find("Wrong password") != std::string::npos ||
           output.find("Can not open encrypted archive") != std::string::npos ||
           output.find("Cannot open encrypted archive") != std::string::npos;
}

SevenZipOutcome RunSevenZip(std::vector<std::string> args, const std::string& password, int asks) {
    SevenZipOutcome outcome;
    // No password switch from the caller stays: the password goes to the archiver's standard
    // input, where other users of the computer cannot read it (a command line is public).
    args.erase(std::remove_if(args.begin(), args.end(),
                              [](const std::string& a) { return a.rfind("-p", 0) == 0; }),
               args.end());
    const std::string command = args.empty() ? std::string() : AsciiLowerCase(args[0]);
    std::vector<std::string> added;
    if (IsUpdateCommand(command)) {
        if (!password.empty()) {
            added.push_back("-p"); // asks for it
            if (std::find(args.begin(), args.end(), "-t7z") != args.end())
                added.push_back("-mhe=on"); // the file names are encrypted too
        }
    } else if (password.empty()) {
        added.push_back("-p"); // an empty one: an encrypted archive fails at once
    }
    args.insert(args.begin() + (args.empty() ? 0 : 1), added.begin(), added.end());
    std::string shown;
    for (const auto& a : args)
        shown +=
            (shown.empty() ? "" : " ") + (a.find(' ') != std::string::npos ? "\"" + a + "\"" : a);

    const std::string program = SevenZipProgram();
    if (FindProgram(program).empty()) {
        WriteProgramLog("7-Zip program \"" + program +
                        "\" was not found (install the package 7zip, or name the program in "
                        "ZENTA_7ZIP)");
        outcome.output = "7-Zip program not found";
        return outcome;
    }
    // The archiver's own words, kept for the report when it fails.
    char tmpl[] = "/tmp/zenta-7zip-XXXXXX";
    const int fd = ::mkstemp(tmpl);
    const std::string output = fd >= 0 ? tmpl : "";
    if (fd >= 0)
        ::close(fd);
    // Asked once when packing and, by some versions, once more to confirm it; once per archive
    // when unpacking.
    std::string input;
    for (int i = 0; !password.empty() && i < std::max(2, asks); ++i)
        input += password + "\n";
    const LowPriorityPrograms low(HelpersRunLow());
    outcome.status = RunProgramAndWait(program, args, "", output, std::chrono::seconds(0), input);
    if (outcome.status == kStoppedByRequest) {
        WriteProgramLog("7-Zip was stopped: the program is ending");
    } else if (outcome.status != 0) {
        std::string text = output.empty() ? std::string() : ReadWholeFile(output).value_or("");
        if (text.size() > 2000)
            text = "…" + text.substr(text.size() - 2000);
        outcome.output = text;
        WriteProgramLog("7-Zip ended with status " + std::to_string(outcome.status) + " for \"" +
                        shown + "\": " + ReplaceAll(text, "\n", " | "));
    }
    if (!output.empty())
        std::remove(output.c_str());
    return outcome;
}

int SevenZip(const std::string& commandLine) {
    std::vector<std::string> args;
    std::string password;
    for (auto& a : SplitSevenZipCommandLine(commandLine)) {
        if (a == "-hide")
            continue;
        if (a.rfind("-p", 0) == 0)
            password = a.substr(2);
        args.push_back(a);
    }
    return RunSevenZip(args, password).status;
}

std::string SevenZipCompressCommand(std::string& archivePath, std::string& sourceFolder,
                                    bool format7z, std::string& password, short level) {
    sourceFolder = WithSlash(TrimSpaces(sourceFolder));
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
    destinationFolder = WithSlash(TrimSpaces(destinationFolder));
    std::string command = "x -y " + std::string(keepExisting ? " -aos " : " -aoa ");
    command += " -p" + QuoteIfSpaced(password) + " ";
    command +=
        "-o" + QuoteIfSpaced(destinationFolder) + " " + QuoteIfSpaced(archivePath) + " -hide";
    return command;
}

namespace {

// The line as the procedures build it, without the password (which goes to standard input).
std::vector<std::string> ArgumentsOf(const std::string& commandLine) {
    std::vector<std::string> args;
    for (auto& a : SplitSevenZipCommandLine(commandLine))
        if (a != "-hide")
            args.push_back(a);
    return args;
}

} // namespace

short SevenZipCompress(std::string& archivePath, std::string& sourceFolder, bool format7z,
                       std::string& password, short level) {
    // A failed packing must not leave an older archive under the new name.
    const std::string target = TrimSpaces(archivePath);
    if (FileExists(target))
        std::remove(target.c_str());
    password = TrimSpaces(password);
    std::string none;
    return static_cast<short>(RunSevenZip(ArgumentsOf(SevenZipCompressCommand(
                                              archivePath, sourceFolder, format7z, none, level)),
                                          password)
                                  .status);
}

short SevenZipExtract(std::string& archivePath, std::string& destinationFolder,
                      std::string& password, bool keepExisting) {
    password = TrimSpaces(password);
    std::string none;
    return static_cast<short>(RunSevenZip(ArgumentsOf(SevenZipExtractCommand(
                                              archivePath, destinationFolder, none, keepExisting)),
                                          password)
                                  .status);
}

short SevenZipTest(const std::string& archivePath, const std::string& password) {
    return static_cast<short>(RunSevenZip({"t", "-y", archivePath}, TrimSpaces(password)).status);
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
