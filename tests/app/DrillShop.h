#pragma once

// What the drills share: a shop with its master data and a day of history, backed up daily (the
// ticket lines as the tills write theirs, three to a ticket), and the wall clock the tills' sales
// are stamped with.
#include <chrono>
#include <string>

namespace zenta::test {

inline const std::string kShop =
    "INSERT INTO opcion (ID, IntegerValor) VALUES ('AutoBackupOpcion', 1), ('MaxBackupFile', 3);"
    "INSERT INTO articulo (ArticuloID, NombreES, NombreCN, Precio) SELECT CONCAT('A', seq), "
    "CONCAT('Articulo ', seq), '商品', 1.50 FROM seq_0_to_499;"
    "INSERT INTO ticket (TicketNo, Fecha, Cajero, Total) SELECT 1000000 + seq, NOW(), 'caja0', "
    "3 FROM seq_1_to_300;"
    "INSERT INTO ticketarticulo (TicketNo, ArticuloID, Cantidad, Precio) SELECT 1000000 + a.seq, "
    "CONCAT('A', b.seq), 1, 1 FROM seq_1_to_300 a, seq_1_to_3 b;";

inline double WallNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace zenta::test
