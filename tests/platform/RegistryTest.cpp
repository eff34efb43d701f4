#include "Registry.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace zenta;
using zenta::test::ReadFile;
using zenta::test::TempDir;
using zenta::test::WriteFile;

namespace {
clsRegistryRoutines Routines(const std::string& file, const std::string& root,
                             const std::string& sub = "") {
    clsRegistryRoutines r{RegistryStore(file)};
    r.hkey(HKEY_LOCAL_MACHINE);
    r.KeyRoot(root);
    r.Subkey(sub);
    return r;
}
} // namespace

TEST(Registry, ValuesOfEveryTypeRoundTrip) {
    TempDir dir;
    auto r = Routines(dir.path() + "reg", "SOFTWARE\\Zenta", "Test");
    EXPECT_FALSE(r.KeyExists());
    EXPECT_TRUE(r.SetRegistryValue("Text", std::string("a \"quoted\" \\ value"), REG_SZ));
    EXPECT_TRUE(r.SetRegistryValue("Count", 42, REG_DWORD));
    EXPECT_TRUE(r.SetRegistryValue("Negative", -1, REG_DWORD));
    EXPECT_TRUE(r.SetRegistryValue("Blob", Bytes{0, 1, 0xff}, REG_BINARY));
    EXPECT_TRUE(r.SetRegistryValue("List", std::string("first"), REG_MULTI_SZ));
    EXPECT_TRUE(r.KeyExists());
    EXPECT_EQ(r.GetRegistryValue("text").ToString(), "a \"quoted\" \\ value");
    EXPECT_EQ(r.GetRegistryValue("Count").ToInt64(), 42);
    EXPECT_EQ(r.GetRegistryValue("Negative").ToInt64(), -1);
    EXPECT_EQ(*r.GetRegistryValue("Blob").get<Bytes>(), (Bytes{0, 1, 0xff}));
    EXPECT_EQ(r.GetRegistryValue("List").ToString(), "first");
    const std::string longText(3000, 'L');
    EXPECT_TRUE(r.SetRegistryValue("Long", longText, REG_SZ));
    EXPECT_EQ(r.GetRegistryValue("Long").ToString(), longText);
}

TEST(Registry, MissingKeyOrValueGivesTheDefaultOrEmpty) {
    TempDir dir;
    auto r = Routines(dir.path() + "reg", "SOFTWARE\\Nothing");
    EXPECT_TRUE(r.GetRegistryValue("Version").IsEmpty());
    EXPECT_EQ(r.GetRegistryValue("Version", std::string("dflt")).ToString(), "dflt");
    EXPECT_EQ(r.DeleteValue("Version"), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(r.ReadRemoteRegistryValue("OTHERPC", HKEY_LOCAL_MACHINE, "Version").IsEmpty());
    EXPECT_FALSE(r.WriteRemoteRegistryValue("OTHERPC", HKEY_LOCAL_MACHINE, "V", 1, REG_DWORD));
}

TEST(Registry, MultiStringGivesOnlyItsFirstStringAndExpandStringExpands) {
    TempDir dir;
    setenv("ZENTA_REG_TEST", "expanded", 1);
    WriteFile(dir.path() + "reg", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n"
                                  "\"M\"=multi:\"one\",\"two\"\n"
                                  "\"E\"=expand:\"%ZENTA_REG_TEST%/x\"\n");
    auto r = Routines(dir.path() + "reg", "SOFTWARE\\X");
    EXPECT_EQ(r.GetRegistryValue("M").ToString(), "one");
    EXPECT_EQ(r.GetRegistryValue("E").ToString(), "expanded/x");
}

TEST(Registry, KeysCreateEnumerateAndDeleteRecursively) {
    TempDir dir;
    auto r = Routines(dir.path() + "reg", "SOFTWARE\\Shop", "Main");
    EXPECT_EQ(r.CreateKey(), "0");
    EXPECT_TRUE(r.KeyExists());
    EXPECT_EQ(r.CreateKey(std::string("Main\\Deep\\Deeper")), "0");
    EXPECT_EQ(r.CreateKey(std::string("Second")), "0");
    auto keys = r.EnumRegistryKeys(HKEY_LOCAL_MACHINE, "SOFTWARE\\Shop");
    EXPECT_EQ(keys, (std::vector<std::string>{"Main", "Second"}));
    EXPECT_NE(r.DeleteKey("Main"), ERROR_SUCCESS); // still has sub-keys
    EXPECT_EQ(r.DeleteMainKey("Main"), ERROR_SUCCESS);
    EXPECT_FALSE(r.KeyExists());
    EXPECT_EQ(r.EnumRegistryKeys(HKEY_LOCAL_MACHINE, "SOFTWARE\\Shop"),
              (std::vector<std::string>{"Second"}));
}

TEST(Registry, DamagedLinesReadAsMissingAndSurviveAWrite) {
    TempDir dir;
    const std::string file = dir.path() + "reg";
    WriteFile(file, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\MySQL AB\\Drv]\n"
                    "\"Version\"=dword:zz\n"
                    "\"Broken\"=\"unterminated\n"
                    "\x01\x02 binary junk\n"
                    "\"Good\"=\"yes\"\n");
    auto r = Routines(file, "SOFTWARE\\MySQL AB\\Drv");
    EXPECT_TRUE(r.GetRegistryValue("Version").IsEmpty());
    EXPECT_TRUE(r.GetRegistryValue("Broken").IsEmpty());
    EXPECT_EQ(r.GetRegistryValue("Good").ToString(), "yes");
    EXPECT_TRUE(r.SetRegistryValue("New", std::string("v"), REG_SZ));
    const std::string after = ReadFile(file);
    EXPECT_NE(after.find("\"Version\"=dword:zz"), std::string::npos);
    EXPECT_NE(after.find("\"Broken\"=\"unterminated"), std::string::npos);
    EXPECT_NE(after.find("\x01\x02 binary junk"), std::string::npos);
    EXPECT_EQ(r.GetRegistryValue("New").ToString(), "v");
    EXPECT_EQ(r.GetRegistryValue("Good").ToString(), "yes");
}

TEST(Registry, DriverVersionLookupUsesTheEnvironmentsStore) {
    TempDir dir;
    const std::string file = dir.path() + "reg";
    setenv("ZENTA_REGISTRY", file.c_str(), 1);
    EXPECT_EQ(GetMySQLVersionFromRegistry("MySQL ODBC Driver 3.51.28"), "");
    ASSERT_EQ(zenta::test::Shell(zenta::test::BinaryDir() +
                                 "/bin/zenta-regedit set 'HKEY_LOCAL_MACHINE\\SOFTWARE\\MySQL "
                                 "AB\\MySQL ODBC Driver 3.51.28' Version 3.1.15"),
              0);
    EXPECT_EQ(GetMySQLVersionFromRegistry("MySQL ODBC Driver 3.51.28"), "3.1.15");
    EXPECT_EQ(GetMySQLVersionFromRegistry("MySQL ODBC Driver 3.51.17"), "");
}
