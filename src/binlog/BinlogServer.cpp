#include "BinlogServer.h"

#include "BackupFolders.h"
#include "Common.h"
#include "ErrorMode.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "Process.h"
#include "Settings.h"
#include "Text.h"

#include <cstdio>
#include <unistd.h>

namespace zenta {

namespace {

std::string Base64Decoded(const std::string& text) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z')
            return c - 'A';
        if (c >= 'a' && c <= 'z')
            return c - 'a' + 26;
        if (c >= '0' && c <= '9')
            return c - '0' + 52;
        if (c == '+')
            return 62;
        if (c == '/')
            return 63;
        return -1;
    };
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (const char c : text) {
        const int v = value(c);
        if (v < 0)
            continue; // line breaks, padding
        bits = (bits << 6) | static_cast<unsigned>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

} // namespace

std::string ClientHost() {
    const std::string host = ConfiguredMySQLHost();
    return AsciiLowerCase(host) == "localhost" ? "127.0.0.1" : host;
}

Result<std::string> WriteClientSettings(const std::string& name) {
    return WriteClientSettings(name, ClientHost(), ConfiguredMySQLPort());
}

Result<std::string> WriteClientSettings(const std::string& name, const std::string& host,
                                        long port) {
    const std::string path = Globals::AppPath + "Temp/" + name;
    CreateFolderPath(Globals::AppPath + "Temp/");
    const std::string text = "[client]\nuser=" + std::string(kBackOfficeUser) +
                             "\npassword=" + kBackOfficePassword + "\nhost=" + host +
                             "\nport=" + std::to_string(port) + "\n";
    if (auto written = ReplaceFileWhole(path, text, 0600); !written)
        return Result<std::string>::Failure(written.error());
    return path;
}

std::string BinlogProgram() {
    const std::string program = TrimBlanks(GetSetting("Monitor", "BinlogProgram", ""));
    return program.empty() ? "mariadb-binlog" : program;
}

Result<BinlogOpening> ServerFileOpening(const std::string& file) {
    using Opening = Result<BinlogOpening>;
    const auto settings = WriteClientSettings("binlog-opening.cnf");
    if (!settings)
        return Opening::Failure(settings.error());
    const std::string output =
        Globals::AppPath + "Temp/binlog-opening-" + std::to_string(::getpid()) + ".txt";
    // The text form of the first event only: the opening comes as a BINLOG statement, whose
    // base64 is the event's bytes.
    const int status =
        RunProgramAndWait(BinlogProgram(),
                          {"--defaults-extra-file=" + *settings, "--read-from-remote-server",
                           "--start-position=4", "--stop-position=5", file},
                          "", output, std::chrono::seconds(30));
    const std::string why = status == -1 ? ProgramStartError() : std::string();
    const std::string text = ReadWholeFile(output).value_or("");
    std::remove(output.c_str());
    if (status != 0) {
        std::string tail = TrimSpaces(text);
        if (tail.size() > 300)
            tail = tail.substr(tail.size() - 300);
        return Opening::Failure(
            "the server's " + file + " cannot be read by " + BinlogProgram() + " (" +
            (status == -1          ? why
             : status == kTimedOut ? std::string("no answer in 30 s")
                                   : "exit status " + std::to_string(status) + ": " + tail) +
            ")");
    }
    const size_t begin = text.find("BINLOG '");
    const size_t end = begin == std::string::npos ? begin : text.find('\'', begin + 8);
    if (end == std::string::npos)
        return Opening::Failure("the server's " + file + " shows no opening event");
    const auto opening = OpeningFromEvent(Base64Decoded(text.substr(begin + 8, end - begin - 8)));
    if (!opening)
        return Opening::Failure("the server's " + file + " opens with no format description");
    return *opening;
}

SnapshotRecord DescribeSnapshot(const BinaryLogPosition& position, const std::string& copyFolder) {
    SnapshotRecord s;
    s.file = position.file;
    s.position = position.position;
    s.gtid = position.gtid;
    s.gtidTrusted = !position.gtid.empty();
    s.taken = position.taken;
    if (!position.known())
        return s;
    const auto opening = ServerFileOpening(position.file);
    if (!opening) {
        WriteProgramLog("backup: the opening of the server's " + position.file +
                        " is not recorded with the snapshot: " + opening.error());
        return s;
    }
    s.fileOpening = opening->key;
    if (!copyFolder.empty())
        for (const auto& chain : BinlogChain::All(copyFolder))
            if (chain.Holds(position.file, opening->key))
                s.chain = chain.name();
    return s;
}

void NoteLiveDatabaseReplaced(clsDataBase& admin) {
    const std::string folder = BinlogFolder(BackupFolder());
    if (folder.empty())
        return;
    const auto position = ServerCurrentPosition(admin);
    if (!position)
        return;
    // The chain that holds the server's file being written; the one being written into when
    // the copy has not got that file yet.
    std::optional<BinlogChain> chain;
    if (const auto opening = ServerFileOpening(position->file))
        for (const auto& c : BinlogChain::All(folder))
            if (c.Holds(position->file, opening->key))
                chain = c;
    if (!chain)
        chain = BinlogChain::Current(folder);
    if (!chain)
        return;
    FlushBinaryLogs(admin);
    if (!chain->AddBreak(position->file))
        WriteProgramLog("binlog copy: the break cannot be written into " + chain->path() +
                        "BREAKS.txt");
    SayBinlogGap(*chain, "the live database was replaced by a restore after " + position->file +
                             "; the log before it cannot be replayed past it");
}

} // namespace zenta
