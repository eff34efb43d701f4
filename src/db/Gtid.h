#pragma once

// MariaDB's global transaction ids as the program reads and compares them: a server's positions
// (gtid_binlog_pos, gtid_slave_pos, gtid_current_pos), a binary-log file's Gtid_list, the point
// of a promotion. One home for their text.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>

namespace zenta {

// The last transaction's sequence number of each (domain, server): what a file's Gtid_list
// says it begins after, and what follows from its own transactions.
using GtidState = std::map<std::pair<std::uint32_t, std::uint32_t>, std::uint64_t>;
// "0-1-845,1-2-7" (domain-server-sequence, as MariaDB writes GTID positions).
std::string GtidStateText(const GtidState& state);
// The state from that text; nothing when it is not one.
std::optional<GtidState> ParseGtidState(const std::string& text);

// A GTID state as a server gives it ("0-1-105,\n1-2-7": line breaks and spaces allowed);
// nothing when the text is none.
std::optional<GtidState> ParseGtidText(const std::string& text);
// A GTID position ("0-1-105,1-2-7") as the last sequence number of each replication domain.
using GtidPosition = std::map<std::uint32_t, std::uint64_t>;
// Read from a server's text; nothing when it is no position. "" is the empty position.
std::optional<GtidPosition> ParseGtidPosition(const std::string& text);
// How many transactions `behind` lacks of `ahead`, domain by domain.
std::uint64_t TransactionsBehind(const GtidPosition& ahead, const GtidPosition& behind);

} // namespace zenta
