#pragma once

#include "Variant.h"

#include <memory>
#include <string>
#include <vector>

namespace zenta {

// The criteria form of a recordset filter, applied to fetched rows:
//   clause   := field op value        field: a name or [a name with blanks]
//   op       := = | <> | < | > | <= | >= | LIKE
//   value    := 'text' ('' for a quote) | #date# | number | NULL
//   criteria := clauses joined by AND / OR, with parentheses; AND binds tighter.
// LIKE takes * or % for any run of characters. Text compares without regard to case.
class RecordsetFilter {
  public:
    RecordsetFilter();
    ~RecordsetFilter();
    RecordsetFilter(RecordsetFilter&&) noexcept;
    RecordsetFilter& operator=(RecordsetFilter&&) noexcept;

    // False, with the reason, when the text is no criteria this filter can read or names a
    // field that the result does not have.
    bool Compile(const std::string& criteria, const std::vector<std::string>& columnNames,
                 std::string& error);
    bool Matches(const std::vector<Variant>& row) const;

    struct Node;

  private:
    std::unique_ptr<Node> root_;
};

} // namespace zenta
