#pragma once

#include "clsDataBase.h"

#include <string>

namespace zenta {

// A transaction on one connection that cannot be left open by mistake: begun by the
// constructor, rolled back by the destructor unless Commit() or Rollback() ended it first.
class Transaction {
  public:
    enum class Kind {
        Writing,           // autocommit off, START TRANSACTION (the suite's StartTrans)
        ConsistentSnapshot // START TRANSACTION WITH CONSISTENT SNAPSHOT, for reading only
    };
    explicit Transaction(clsDataBase& db, Kind kind = Kind::Writing);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    // Whether the server began it.
    [[nodiscard]] bool Started() const { return open_; }
    // True once the server committed it.
    [[nodiscard]] bool Commit();
    void Rollback();

  private:
    clsDataBase& db_;
    Kind kind_;
    bool open_ = false;
};

// The connection's default database switched for the life of the object (USE), then back to
// the one named at construction.
class DefaultDatabase {
  public:
    DefaultDatabase(clsDataBase& db, const std::string& database, std::string restore);
    ~DefaultDatabase();
    DefaultDatabase(const DefaultDatabase&) = delete;
    DefaultDatabase& operator=(const DefaultDatabase&) = delete;

  private:
    clsDataBase& db_;
    std::string restore_;
};

} // namespace zenta
