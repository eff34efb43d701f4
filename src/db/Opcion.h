#pragma once

#include "clsDataBase.h"

#include <optional>
#include <string>

namespace zenta {

// One option row of the shop's table opcion, read the suite's way:
// "SELECT <column> From opcion Where ID = '<id>';" through the result array, row 0 column 0.
// Nothing when there is no row (or the query failed; see ConnectionStatus).
std::optional<Variant> ReadOpcion(clsDataBase& db, const std::string& id,
                                  const std::string& column = "IntegerValor");
// The row's IntegerValor as a number, or the default.
long OpcionInteger(clsDataBase& db, const std::string& id, long defaultValue);
// The row's IntegerValor read as Boolean (0 False, anything else True), or the default.
bool OpcionBool(clsDataBase& db, const std::string& id, bool defaultValue);
// The row's VarCharValor, or the default.
std::string OpcionText(clsDataBase& db, const std::string& id, const std::string& defaultValue);

} // namespace zenta
