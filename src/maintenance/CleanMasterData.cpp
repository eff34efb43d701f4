#include "CleanMasterData.h"

#include "GlobalDatabase.h"
#include "JobNotes.h"

namespace zenta {

void CleanMasterData() {
    clsDataBase& db = DataBase();
    for (const char* statement :
         {"Delete From articulo where ArticuloID = '' OR NombreES = '';",
          "Update articulo Set articulo.CantidadPorUnidad = 1 Where articulo.CantidadPorUnidad = "
          "0;",
          "Update articulo Set articulo.CantidadPorUnidad2 = 1 Where articulo.CantidadPorUnidad2 = "
          "0;",
          "Update articulo Set articulo.FechaCaducada = NULL Where articulo.FechaCaducada = "
          "'9999-12-31';",
          "Delete From cliente where NombreES = '';", "Delete From proveedor where NombreES = '';"})
        db.SQLExecute(statement);
    NoteJob("master-data clean-up", "ran");
}

} // namespace zenta
