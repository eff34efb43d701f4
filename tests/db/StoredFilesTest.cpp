#include "DbFixture.h"

#include "Globals.h"
#include "IniFile.h"

#include <filesystem>
#include <random>

using namespace zenta;
using namespace zenta::test;

class StoredFiles : public DbTest {};

namespace {
std::string RandomBytes(size_t n, unsigned start) {
    std::mt19937 rng(start);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(rng() & 0xff);
    return s;
}
} // namespace

TEST_F(StoredFiles, AnyFileMakesAByteExactRoundTripThroughABlobColumn) {
    auto db = Connected();
    TempDir dir;
    const std::string original = RandomBytes(6 * 1024 * 1024 + 123, 1);
    WriteFile(dir.path() + "in.bin", original);
    std::string id = "  PIC'1\\  ";
    db->WriteFileToDB("articulodibujo", "Dibujo", "ArticuloID", id, dir.path() + "in.bin");
    EXPECT_EQ(id, "PIC'1\\"); // trimmed in the caller's variable
    EXPECT_EQ(Sql("SELECT LENGTH(Dibujo) FROM articulodibujo WHERE ArticuloID = 'PIC\\'1\\\\';"),
              std::to_string(original.size()) + "\n");
    db->ReadFileFromDB("articulodibujo", "Dibujo", "ArticuloID", id, dir.path() + "out.bin");
    EXPECT_TRUE(ReadFile(dir.path() + "out.bin") == original);

    // No file name: the column becomes null, and reading writes nothing.
    db->WriteFileToDB("articulodibujo", "Dibujo", "ArticuloID", id, "");
    EXPECT_EQ(Sql("SELECT Dibujo IS NULL FROM articulodibujo WHERE ArticuloID = 'PIC\\'1\\\\';"),
              "1\n");
    db->ReadFileFromDB("articulodibujo", "Dibujo", "ArticuloID", id, dir.path() + "none.bin");
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "none.bin"));
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM articulodibujo;"), "1\n");
}

TEST_F(StoredFiles, ReportTemplatesAreStoredReplacedAndWrittenOut) {
    auto db = Connected();
    TempDir dir;
    WriteFile(dir.path() + "v1.rpt", RandomBytes(4000, 2));
    db->PutInRegFile("Ventas O'Día", "Diario", dir.path() + "v1.rpt");
    db->GetOutReportFile("Ventas O'Día", dir.path() + "out.rpt");
    EXPECT_EQ(ReadFile(dir.path() + "out.rpt"), ReadFile(dir.path() + "v1.rpt"));

    WriteFile(dir.path() + "v2.rpt", RandomBytes(100, 3));
    db->PutInReportFile("Ventas O'Día", "Mensual", dir.path() + "v2.rpt");
    EXPECT_EQ(Sql("SELECT Familia, LENGTH(ArchivoRPT) FROM informeespecial;"), "Mensual\t100\n");
    db->GetOutReportFile("Ventas O'Día", dir.path() + "out.rpt");
    EXPECT_EQ(ReadFile(dir.path() + "out.rpt"), ReadFile(dir.path() + "v2.rpt"));

    // No stored template: the old output file goes and none is written.
    db->PutInRegFile("Vacio", "Diario", dir.path() + "missing.rpt");
    db->GetOutReportFile("Vacio", dir.path() + "out.rpt");
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "out.rpt"));
}

TEST_F(StoredFiles, PrintLogosAreExportedAndStampedWithTheServersTime) {
    std::filesystem::create_directories(AppPath() + "FTP/Other");
    WriteFile(AppPath() + "FTP/Other/TicketLogo.jpg", "stale");
    Sql("INSERT INTO opcion (ID, VarCharValor, BlobValor) VALUES ('InformeLogo', 'old', "
        "0xFFD8FFE0), "
        "('TicketLogo', 'old', NULL);");
    auto db = Connected();
    db->UpdatePrintLogo();
    EXPECT_EQ(ReadFile(AppPath() + "FTP/Other/InformeLogo.jpg"), "\xFF\xD8\xFF\xE0");
    EXPECT_FALSE(std::filesystem::exists(AppPath() + "FTP/Other/TicketLogo.jpg"));
    EXPECT_EQ(Sql("SELECT ID, VarCharValor = '' FROM opcion WHERE ID LIKE '%Logo' ORDER BY ID;"),
              "InformeLogo\t0\nTicketLogo\t1\n");
    EXPECT_EQ(Sql("SELECT ABS(TIMESTAMPDIFF(SECOND, VarCharValor, NOW())) < 60 FROM opcion WHERE "
                  "ID = 'InformeLogo';"),
              "1\n");
}

TEST_F(StoredFiles, ArticleIsWrittenAsAnIniFile) {
    Sql("INSERT INTO articulo (ArticuloID, NombreES, NombreCN, Precio, PrecioCosto, PrecioMayor) "
        "VALUES "
        "('A''1', 'Leche', '牛奶', 12.5, 7, NULL);");
    auto db = Connected();
    TempDir dir;
    const std::string ini = dir.path() + "art.ini";
    db->Articulo2INI("A'1", ini);
    EXPECT_EQ(IniFile::Read(ini, "Articulo", "Precio"), "12.50");
    EXPECT_EQ(IniFile::Read(ini, "Articulo", "PrecioCosto"), "7.00");
    EXPECT_EQ(IniFile::Read(ini, "Articulo", "NombreCN"), "牛奶");
    EXPECT_EQ(IniFile::Read(ini, "Articulo", "NombreESCN"), "Leche 牛奶");
    EXPECT_EQ(IniFile::Read(ini, "Articulo", "NombreCNES"), "牛奶 Leche");
    EXPECT_EQ(ReadFile(ini).find("PrecioMayor"), std::string::npos); // null: skipped
    const std::string before = ReadFile(ini);
    db->Articulo2INI("missing", ini);
    EXPECT_EQ(ReadFile(ini), before);
}
