#include "SevenZip.h"

#include "Common.h"
#include "ErrorMode.h"
#include "Process.h"

#include <cstdio>
#include <cstdlib>
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
    int status = RunProgramAndWait(SevenZipProgram(), args, "", output);
    if (status != 0) {
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

} // namespace zenta
