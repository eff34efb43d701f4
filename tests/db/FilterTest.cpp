#include "RecordsetFilter.h"

#include <gtest/gtest.h>

using namespace zenta;

namespace {
const std::vector<std::string> kCols = {"ID", "Nombre", "Precio", "Fecha", "Nota Larga"};

std::vector<Variant> Row(int id, const std::string& name, double price, const std::string& date,
                         Variant note = Null{}) {
    return {Variant(id), Variant(name), Variant(Decimal{std::to_string(price)}),
            Variant(*DateTime::Parse(date)), note};
}

bool Match(const std::string& criteria, const std::vector<Variant>& row) {
    RecordsetFilter f;
    std::string error;
    EXPECT_TRUE(f.Compile(criteria, kCols, error)) << criteria << ": " << error;
    return f.Matches(row);
}
} // namespace

TEST(RecordsetFilter, ComparisonsOnNumbersTextAndDates) {
    auto r = Row(7, "Leche O'Brien", 12.5, "2024-03-15 10:30:00");
    EXPECT_TRUE(Match("ID = 7", r));
    EXPECT_FALSE(Match("ID <> 7", r));
    EXPECT_TRUE(Match("Precio >= 12.5", r));
    EXPECT_FALSE(Match("Precio > 12.5", r));
    EXPECT_TRUE(Match("Precio < 100", r)); // numeric, not text order
    EXPECT_TRUE(Match("Nombre = 'leche o''brien'", r));
    EXPECT_TRUE(Match("Fecha > #2024-03-15#", r));
    EXPECT_TRUE(Match("Fecha <= #2024-03-15 10:30:00#", r));
    EXPECT_FALSE(Match("Fecha < #2024-03-15 10:30:00#", r));
}

TEST(RecordsetFilter, LikeWithBothWildcardsAndNulls) {
    auto r = Row(1, "Arroz Largo", 1, "2024-01-01");
    EXPECT_TRUE(Match("Nombre LIKE 'arroz*'", r));
    EXPECT_TRUE(Match("Nombre like '%largo'", r));
    EXPECT_TRUE(Match("Nombre LIKE '*z L*'", r));
    EXPECT_FALSE(Match("Nombre LIKE 'Largo*'", r));
    EXPECT_TRUE(Match("[Nota Larga] = NULL", r));
    EXPECT_FALSE(Match("[Nota Larga] <> NULL", r));
    EXPECT_FALSE(Match("[Nota Larga] = 'x'", r)); // a null equals nothing
}

TEST(RecordsetFilter, AndBindsTighterThanOrAndParenthesesWin) {
    auto r = Row(1, "A", 5, "2024-01-01");
    EXPECT_TRUE(Match("ID = 2 AND Precio = 9 OR Nombre = 'A'", r));
    EXPECT_FALSE(Match("ID = 2 AND (Precio = 9 OR Nombre = 'A')", r));
    EXPECT_TRUE(Match("(ID = 1 OR ID = 2) AND (Nombre = 'A')", r));
}

TEST(RecordsetFilter, UnreadableCriteriaAreRejectedNotCrashed) {
    for (const char* bad :
         {"ID =", "ID 7", "Nombre = 'open", "(ID = 1", "ID = 1)", "Nope = 1", "ID = #notadate#",
          "Nombre LIKE 5", "[Nombre = 1", "ID = 1 AND", "ID == 1", "@", "ID = 1 OR OR ID = 2"}) {
        RecordsetFilter f;
        std::string error;
        EXPECT_FALSE(f.Compile(bad, kCols, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}
