#pragma once

#include <cstdint>
#include <string>

namespace zenta {

// The table of running front-end programs (ordenadorejecutando). Creating an instance
// registers the running program when it is one of the suite's three front ends; destroying it
// deregisters it. The monitor itself is none of them and only reads.
class clsOrdenadorEjecutando {
  public:
    // `executableName` without extension; by default the running executable's.
    explicit clsOrdenadorEjecutando(const std::string& executableName = "");
    ~clsOrdenadorEjecutando();
    clsOrdenadorEjecutando(const clsOrdenadorEjecutando&) = delete;
    clsOrdenadorEjecutando& operator=(const clsOrdenadorEjecutando&) = delete;

    std::int32_t Count();
    std::int32_t MainCount();
    std::int32_t PriAdvCount();
    std::int32_t LocalMainCount();
    std::string List();
    std::string ListWithoutLocal();
    bool IsWorking(const std::string& ordenadorNombre);
    // Removes the rows whose database connection no longer exists.
    void ActualizarOrdenadoresEjecutandos();

  private:
    bool IsFrontEnd() const;
    std::int32_t RowCount(const std::string& sql);
    std::string Names(bool withoutLocal);

    std::string sql_;
    std::string executableName_;
    std::string programFileName_;
};

} // namespace zenta
