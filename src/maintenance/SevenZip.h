#pragma once

#include <string>
#include <vector>

namespace zenta {

// Packs every file of a folder into an archive (7z or zip, level 0–9, optional password) and
// unpacks archives, through the 7-Zip command-line program. The command lines are those of the
// suite's archiver library; the result is the archiver's status (0 = success, 1 = warning,
// 2 and above = failure, -1 = the archiver could not be run).
short SevenZipCompress(std::string& archivePath, std::string& sourceFolder, bool format7z,
                       std::string& password, short level);
short SevenZipExtract(std::string& archivePath, std::string& destinationFolder,
                      std::string& password, bool keepExisting);
// Tests an archive's integrity (every file decompressed and checked).
short SevenZipTest(const std::string& archivePath, const std::string& password = "");

// Whether a file is a whole 7z archive: its signature, and its end header where the signature
// header says it is, with the right checksum. Cheap (the packed data is not read): it tells an
// archive that was cut short (a killed packing, a full disk) from one that was written whole.
bool IsWhole7zArchive(const std::string& path);

// The entry point: a command line in the archiver library's syntax, split with 7-Zip's own
// quoting rules, "-hide" dropped, run as an argument vector.
int SevenZip(const std::string& commandLine);
std::vector<std::string> SplitSevenZipCommandLine(const std::string& commandLine);

// The command lines, as the two procedures build them (the caller's variables are trimmed
// and the folder gets its trailing "/").
std::string SevenZipCompressCommand(std::string& archivePath, std::string& sourceFolder,
                                    bool format7z, std::string& password, short level);
std::string SevenZipExtractCommand(std::string& archivePath, std::string& destinationFolder,
                                   std::string& password, bool keepExisting);

// The program that does the work; ZENTA_7ZIP overrides "7zz".
std::string SevenZipProgram();

} // namespace zenta
