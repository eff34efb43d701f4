#include "IniFile.h"
#include "CodePage.h"
#include "ErrorMode.h"
#include "Globals.h"
#include "Settings.h"
#include "TestSupport.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>

using namespace zenta;
using zenta::test::ReadFile;
using zenta::test::TempDir;
using zenta::test::WriteFile;
namespace fs = std::filesystem;

TEST(IniRead, MatchesSectionAndKeyWithoutRegardToCaseAndTrimsBlanks) {
    const std::string text = "[MySQL]\r\n  mysqlhost  =  shop-server  \r\nMySQLPort=3307\r\n";
    EXPECT_EQ(IniFile::ReadFrom(text, "mysql", "MySQLHost"), "shop-server");
    EXPECT_EQ(IniFile::ReadFrom(text, "MYSQL", "mysqlport"), "3307");
    EXPECT_EQ(IniFile::ReadFrom(text, "MySQL", "Missing"), "");
    EXPECT_EQ(IniFile::ReadFrom(text, "Other", "MySQLHost"), "");
}

TEST(IniRead, FirstDuplicateWinsAndKeysStayInTheirSection) {
    const std::string text = "[A]\nk=1\nk=2\n[B]\nk=3\n[a]\nk=4\nonly=5\n";
    EXPECT_EQ(IniFile::ReadFrom(text, "A", "k"), "1");
    EXPECT_EQ(IniFile::ReadFrom(text, "B", "k"), "3");
    // Like the suite's other programs, only the first section of a name is consulted.
    EXPECT_EQ(IniFile::ReadFrom(text, "a", "only"), "");
}

TEST(IniRead, CommentsQuotesNulsAndMissingFinalLineBreak) {
    const std::string text =
        std::string("[S]\n;k=comment\nq=\"quoted value\"\nn=a") + '\0' + "b\nlast=end";
    EXPECT_EQ(IniFile::ReadFrom(text, "S", ";k"), "");
    EXPECT_EQ(IniFile::ReadFrom(text, "S", "q"), "quoted value");
    EXPECT_EQ(IniFile::ReadFrom(text, "S", "n"), "a b");
    EXPECT_EQ(IniFile::ReadFrom(text, "S", "last"), "end");
}

TEST(IniRead, ValuesAreCutAt254BytesOfTheCodePage) {
    const std::string text = "[S]\nv=" + std::string(300, 'x') + "\n";
    EXPECT_EQ(IniFile::ReadFrom(text, "S", "v"), std::string(254, 'x'));
    // A double-byte character cut in half at the limit is dropped, not turned into garbage.
    const std::string gbkWord = ToAnsi("中");
    ASSERT_EQ(gbkWord.size(), 2u);
    const std::string cut = "[S]\nv=" + std::string(253, 'y') + gbkWord + "\n";
    EXPECT_EQ(IniFile::ReadFrom(cut, "S", "v"), std::string(253, 'y'));
}

TEST(IniRead, ChineseTextIsReadFromTheSuitesCodePage) {
    const std::string text = ToAnsi("[分店]\r\n名称=泽川超市\r\n");
    EXPECT_EQ(IniFile::ReadFrom(text, "分店", "名称"), "泽川超市");
}

TEST(IniWrite, ReplacesOnlyTheValueAndKeepsEveryOtherByte) {
    const std::string text = "; shop settings\r\n[MySQL]\r\nMySQLHost = old\r\n# odd line\r\n"
                             "garbage \xff\xfe\x80\r\n[Debug]\r\nReleaseVersion=1";
    const std::string out = IniFile::WriteTo(text, "mysql", "mysqlhost", "new-host");
    EXPECT_EQ(out, "; shop settings\r\n[MySQL]\r\nMySQLHost=new-host\r\n# odd line\r\n"
                   "garbage \xff\xfe\x80\r\n[Debug]\r\nReleaseVersion=1");
}

TEST(IniWrite, AddsMissingKeyAtTheEndOfItsSectionAndMissingSectionAtTheEnd) {
    const std::string text = "[A]\nx=1\n\n[B]\ny=2";
    std::string out = IniFile::WriteTo(text, "A", "z", "3");
    EXPECT_EQ(out, "[A]\nx=1\nz=3\n\n[B]\ny=2");
    out = IniFile::WriteTo(out, "B", "w", "4");
    EXPECT_EQ(out, "[A]\nx=1\nz=3\n\n[B]\ny=2\nw=4\n");
    out = IniFile::WriteTo(out, "C", "v", "5");
    EXPECT_EQ(IniFile::ReadFrom(out, "C", "v"), "5");
    EXPECT_EQ(IniFile::ReadFrom(out, "A", "x"), "1");
    EXPECT_EQ(IniFile::ReadFrom(out, "B", "y"), "2");
}

TEST(IniWrite, LineBreaksInAValueCannotBreakTheFile) {
    std::string out =
        IniFile::WriteTo("", "Log", "2024-01-01 10:00:00", "INSERT INTO t\r\nVALUES (1);");
    EXPECT_EQ(IniFile::ReadFrom(out, "Log", "2024-01-01 10:00:00"), "INSERT INTO t  VALUES (1);");
    out = IniFile::WriteTo(out, "Log", "k2", "[Fake]\nx=1");
    EXPECT_EQ(IniFile::ReadFrom(out, "Fake", "x"), "");
}

TEST(IniWrite, BinaryGarbageFileKeepsItsBytesAndGainsTheValue) {
    std::string garbage;
    for (int i = 0; i < 4096; ++i)
        garbage += static_cast<char>((i * 7919) & 0xff);
    std::string out = IniFile::WriteTo(garbage, "S", "k", "v");
    EXPECT_EQ(out.substr(0, garbage.size()), garbage);
    EXPECT_EQ(IniFile::ReadFrom(out, "S", "k"), "v");
}

TEST(IniFileOnDisk, CreatesFileAndFolderlessWriteFailsWithoutCrash) {
    TempDir dir;
    const std::string path = dir.path() + "new.ini";
    EXPECT_TRUE(IniFile::Write(path, "S", "k", "值"));
    EXPECT_EQ(ReadFile(path), "[S]\r\nk=" + ToAnsi("值") + "\r\n");
    EXPECT_FALSE(IniFile::Write(dir.path() + "missing/x.ini", "S", "k", "v"));
    EXPECT_EQ(IniFile::Read(dir.path() + "missing/x.ini", "S", "k"), "");
}

// The installed settings live under /etc/opt and the program folder links to them: a write
// through the link changes the file and keeps the link.
TEST(IniFileOnDisk, AWriteThroughALinkKeepsTheLink) {
    TempDir dir;
    fs::create_directories(dir.path() + "etc");
    WriteFile(dir.path() + "etc/zentamarket.ini", "[MySQL]\r\nMySQLPort=3306\r\n");
    fs::create_symlink(dir.path() + "etc/zentamarket.ini", dir.path() + "zentamarket.ini");
    EXPECT_TRUE(IniFile::Write(dir.path() + "zentamarket.ini", "Monitor", "Once", "1"));
    EXPECT_TRUE(fs::is_symlink(dir.path() + "zentamarket.ini"));
    EXPECT_EQ(ReadFile(dir.path() + "etc/zentamarket.ini"),
              "[MySQL]\r\nMySQLPort=3306\r\n\r\n[Monitor]\r\nOnce=1\r\n");
}

TEST(Settings, FileNameResolutionDefaultsAndTrimming) {
    TempDir dir;
    Globals::AppPath = dir.path();
    WriteFile(dir.path() + "zentamarket.ini",
              "[MySQL]\r\nMySQLHost=\r\nMySQLPort=  3307  \r\n[Debug]\r\nReleaseVersion=abc\r\n");
    std::string file = "ZENTAMARKET.INI";
    EXPECT_EQ(GetINIValue("MySQL", "MySQLHost", "localhost", file), "localhost");
    EXPECT_EQ(file, dir.path() + "ZENTAMARKET.INI");
    file = "zentamarket.ini";
    EXPECT_EQ(GetINIValue("MySQL", "MySQLPort", "", file), "3307");
    // A full path ending in the same name is used as given.
    std::string other = dir.path() + "sub/zentamarket.ini";
    EXPECT_EQ(GetINIValue("MySQL", "MySQLPort", "dflt", other), "dflt");
    EXPECT_EQ(other, dir.path() + "sub/zentamarket.ini");
    EXPECT_TRUE(GetSettingBool("Debug", "ReleaseVersion", "1", true));
    EXPECT_FALSE(GetSettingBool("Debug", "ReleaseVersion", "1", false));
    SetSetting("MySQL", "MySQLVersion", "10.11");
    EXPECT_EQ(GetSetting("mysql", "mysqlversion", ""), "10.11");
    EXPECT_EQ(GetSetting("MySQL", "MySQLPort", ""), "3307");
}

namespace {

// Bytes this process has read through read(2) and its kin so far.
long long BytesRead() {
    const std::string io = ReadFile("/proc/self/io");
    const size_t p = io.find("rchar: ");
    return p == std::string::npos ? -1 : std::stoll(io.substr(p + 7));
}

std::string LastLine(const std::string& text) {
    size_t end = text.size() - 2; // before the final CR LF
    size_t begin = text.rfind("\r\n", end - 1);
    return text.substr(begin == std::string::npos ? 0 : begin + 2, end - begin - 2);
}

} // namespace

TEST(IniLog, AnEntryCostsTheSameWhateverTheLogsSize) {
    TempDir dir;
    const std::string path = dir.path() + "big.log";
    std::string text = "[3.12]\r\n";
    for (int i = 0; text.size() < (24u << 20); ++i)
        text += "2020-01-01 00:00:" + std::to_string(100000 + i) +
                "=INSERT INTO ticket VALUES (1, 'some failed statement of ordinary length');\r\n";
    WriteFile(path, text);
    const long long limit = LogSizeLimit();
    SetLogSizeLimit(1LL << 40);
    for (int round = 0; round < 3; ++round) {
        const long long before = BytesRead();
        WriteIniLogEntry(path, "3.12",
                         "UPDATE stock SET Stock = 1; -- round " + std::to_string(round));
        // The first entry reads back to the section's header at most; later ones only the end.
        EXPECT_LT(BytesRead() - before, round == 0 ? (25LL << 20) : (256LL << 10)) << round;
    }
    SetLogSizeLimit(limit);
    const std::string after = ReadFile(path);
    EXPECT_EQ(after.compare(0, text.size(), text), 0); // every earlier byte as it was
    EXPECT_NE(LastLine(after).find("=UPDATE stock SET Stock = 1; -- round 2"), std::string::npos);
    const std::string key = LastLine(after).substr(0, LastLine(after).find('='));
    EXPECT_EQ(IniFile::Read(path, "3.12", key), "UPDATE stock SET Stock = 1; -- round 2");
    // Three entries in (most likely) one second: three distinct keys.
    EXPECT_EQ(std::count(after.begin() + static_cast<long>(text.size()), after.end(), '\n'), 3);
}

TEST(IniLog, EntriesGoToTheirSectionWhenAnotherWriterAddedOneAfterIt) {
    TempDir dir;
    const std::string path = dir.path() + "x.log";
    WriteIniLogEntry(path, "IPUpdate", "first");
    WriteIniLogEntry(path, "IPUpdate", "second");
    // Another program of the suite writes a section of its own after ours.
    WriteFile(path, ReadFile(path) + "[Other]\r\nk=v\r\n");
    WriteIniLogEntry(path, "IPUpdate", "third");
    const std::string text = ReadFile(path);
    EXPECT_LT(text.find("=third"), text.find("[Other]"));
    EXPECT_EQ(text.substr(text.find("[Other]")), "[Other]\r\nk=v\r\n");
    // A file without a final line break still gets whole lines.
    WriteFile(path, "[IPUpdate]\r\nold=1");
    WriteIniLogEntry(path, "IPUpdate", "fourth");
    EXPECT_EQ(ReadFile(path).substr(0, 21), "[IPUpdate]\r\nold=1\r\n20");
    EXPECT_EQ(IniFile::Read(path, "IPUpdate", "old"), "1");
    WriteFile(path, "[IPUpdate]");
    WriteIniLogEntry(path, "IPUpdate", "fifth");
    EXPECT_EQ(ReadFile(path).substr(0, 14), "[IPUpdate]\r\n20");
}

TEST(IniLog, ALogThatReachedItsLimitIsSetAsideAndANewOneBegun) {
    TempDir dir;
    Globals::AppPath = dir.path();
    Globals::ExecutableName = "ZentaMarketMonitor";
    std::filesystem::create_directories(dir.path() + "Log");
    const std::string path = dir.path() + "Log/IPUpdate.log";
    const std::string old = "[IPUpdate]\r\n" + std::string(300000, 'x') + "=1\r\n";
    WriteFile(path, old);
    const long long limit = LogSizeLimit();
    SetLogSizeLimit(200000);
    WriteIniLogEntry(path, "IPUpdate", "after the limit");
    WriteFile(ProgramLogPath(), std::string(250000, 'y') + "\n");
    WriteProgramLog("a line after the limit");
    SetLogSizeLimit(limit);
    EXPECT_EQ(ReadFile(path + ".1"), old);
    EXPECT_EQ(ReadFile(path).rfind("[IPUpdate]\r\n20", 0), 0u);
    EXPECT_NE(ReadFile(path).find("=after the limit\r\n"), std::string::npos);
    EXPECT_EQ(ReadFile(ProgramLogPath() + ".1").size(), 250001u);
    EXPECT_NE(ReadFile(ProgramLogPath()).find("a line after the limit"), std::string::npos);
    EXPECT_LT(ReadFile(ProgramLogPath()).size(), 100u);
}
