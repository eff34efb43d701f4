#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zenta {

// The text mariadb-binlog writes for a replay, made ready for the client on its way there:
// - the live database's name, where a statement (a CREATE TABLE, an ALTER, a DROP DATABASE)
//   names it itself, becomes the target's, as --rewrite-db does for the rows and the default
//   database; else such a statement would change the live database during a replay beside it;
// - the row events of one transaction go to the server as one BINLOG statement instead of one
//   per event (a sale of nine rows: one round trip instead of nine), in their order;
// - up to kGroup transactions in a row are committed together: the target is a database of
//   the replay's own until it is whole (a failure drops it), so each of them need not wait
//   for its own write to the disk; any other statement (a change of structure, the end of a
//   file) commits the group before it runs.
// - what concerns other databases or the server itself is left out: the rows of another
//   database's tables, statements run in another database (the reference database rebuilt, a
//   technician's work elsewhere) and accounts and privileges (GRANT, CREATE USER, FLUSH …): a
//   replay beside the live server changes the restore's own database and nothing else.
// It counts the transactions and the files it has seen go by.
class ReplayFilter {
  public:
    static constexpr int kGroup = 1000;
    explicit ReplayFilter(std::string target) : target_(std::move(target)) {}
    // One line without its end; what goes to the client is added to `out`.
    void Line(std::string_view line, std::string& out);
    // At the end: the row events held, and the group's commit.
    void Finish(std::string& out);
    long long transactions() const { return transactions_; }
    // Which of the files read the text is in (0 for the first).
    size_t file() const { return file_; }
    // The line with each mention of the live database as a database renamed to the target:
    // `zentasupermarket`.x, zentasupermarket.x, and the name after DATABASE or SCHEMA (IF
    // [NOT] EXISTS); never a longer name that begins with it.
    std::string Renamed(const std::string& line) const;

  private:
    bool Comment(std::string_view line);
    bool Kept(std::string_view line) const;
    bool GroupStatement(std::string_view line, std::string& out);
    void Flush(std::string& out);
    bool EndsStatement(std::string_view line) const;
    void Pass(std::string_view line, std::string& out) const;

    std::string target_;
    std::string pending_;
    bool inBlock_ = false;
    bool blockKept_ = true;     // the rows of the block being read are the target's
    std::string blockDatabase_; // the database of the block's table, from its comment
    std::string database_;      // the statements' default database (mariadb-binlog's "use")
    std::string delimiter_ = ";";
    bool inStatement_ = false; // a statement goes on on the next line
    bool dropping_ = false;    // the rest of a START TRANSACTION left out
    bool open_ = false;        // a group's transaction is open in the client's session
    int grouped_ = 0;
    long long position_ = 0;
    size_t file_ = 0;
    long long transactions_ = 0;
};

} // namespace zenta
