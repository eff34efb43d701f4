#include "Opcion.h"

#include "Common.h"

namespace zenta {

std::optional<Variant> ReadOpcion(clsDataBase& db, const std::string& id,
                                  const std::string& column) {
    db.CreatDatasArray("SELECT " + column + " From opcion Where ID = '" + SQLEscape(id) + "';");
    if (!db.ConnectionStatus() || db.DatasArray()->Count(1) == 0)
        return std::nullopt;
    return db.DatasArrayValue(0, 0);
}

long OpcionInteger(clsDataBase& db, const std::string& id, long defaultValue) {
    auto v = ReadOpcion(db, id);
    return v ? static_cast<long>(v->ToInt64()) : defaultValue;
}

bool OpcionBool(clsDataBase& db, const std::string& id, bool defaultValue) {
    auto v = ReadOpcion(db, id);
    return v ? v->ToDouble() != 0 : defaultValue;
}

std::string OpcionText(clsDataBase& db, const std::string& id, const std::string& defaultValue) {
    auto v = ReadOpcion(db, id, "VarCharValor");
    return v ? v->ToString() : defaultValue;
}

} // namespace zenta
