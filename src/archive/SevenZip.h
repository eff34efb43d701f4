#pragma once

#include <string>
#include <vector>

namespace zenta {

// Packs every file of a folder into an archive (7z or zip, level 0–9, optional password) and
// unpacks archives, through the 7-Zip command-line program (passwords reach it through its
// standard input). The command lines are those of the
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
[[nodiscard]] bool IsWhole7zArchive(const std::string& path);

// The entry point: a command line in the archiver library's syntax, split with 7-Zip's own
// quoting rules, "-hide" dropped, run as an argument vector (its -p password as RunSevenZip
// hands one over).
int SevenZip(const std::string& commandLine);

// What a run of the archiver came to: its status, and the end of its output when it failed.
struct SevenZipOutcome {
    int status = -1;
    std::string output;
    // The archive is encrypted and the password given was wrong or missing.
    bool WrongPassword() const;
};
// Runs the archiver with an argument vector. A password never goes onto the command line
// (which every user of the computer can read in the process list) nor into the log: it is
// written to the archiver's standard input. Packing into 7z with a password encrypts the file
// names too (-mhe=on); unpacking or testing without one gives an encrypted archive an empty
// password, so that it fails at once. Any -p switch in `args` is dropped.
// `asks`: how many times the archiver asks for it (once per archive a wildcard names).
[[nodiscard]] SevenZipOutcome RunSevenZip(std::vector<std::string> args,
                                          const std::string& password, int asks = 2);
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
