#pragma once

#include "Gtid.h"
#include "Result.h"

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zenta {

// MariaDB's binary-log files as the copy, its checks, the windows and the replay read them: a
// 4-byte magic, then events, each a 19-byte header (when, type, server id, length, where the
// next one begins, flags), a body and, when the file's format description says so, a CRC32 of
// the event. The one reader of the program: nothing else walks events.

enum BinlogEventType : unsigned char {
    kQueryEvent = 2,
    kStopEvent = 3,
    kRotateEvent = 4,
    kFormatDescriptionEvent = 15,
    kXidEvent = 16,
    kBinlogCheckpointEvent = 161,
    kGtidEvent = 162, // MariaDB's: begins every transaction
    kGtidListEvent = 163,
};
constexpr long long kBinlogHeaderSize = 19;
constexpr long long kBinlogFirstEvent = 4; // after the magic

struct BinlogEvent {
    long long at = 0;       // where it begins in its file
    std::uint32_t when = 0; // seconds since 1970, as the session that wrote it saw them
    unsigned char type = 0;
    std::uint32_t serverId = 0;
    std::string_view bytes; // header, body and checksum; valid until the next read
    long long end() const { return at + static_cast<long long>(bytes.size()); }
};

// A file's opening event (its format description), which carries the moment the server opened
// the file: two servers set up alike both write a "binlog.000001", and their openings tell the
// two files apart.
struct BinlogOpening {
    std::uint32_t serverId = 0;
    std::time_t time = 0;
    // "<server id>-<time>-<CRC32 of the event, its "file in use" flag cleared>": the same for
    // the same file wherever it is read from (the server, a copy), another for any other.
    std::string key;
    bool operator==(const BinlogOpening& other) const { return key == other.key; }
};
// The opening from an event's bytes; nothing when it is no format description.
std::optional<BinlogOpening> OpeningFromEvent(std::string_view event);

// Reads a file's events in order, each whole and (when the file has checksums) with a good
// CRC32, and stops at the first that is not.
class BinlogReader {
  public:
    enum class Stop {
        None,     // still reading
        End,      // every byte was read as whole events
        CutShort, // the file ends inside an event (being written, or cut off)
        Damaged,  // an event fails its checksum, or bytes that are no event
    };
    explicit BinlogReader(const std::string& path);
    ~BinlogReader();
    BinlogReader(const BinlogReader&) = delete;
    BinlogReader& operator=(const BinlogReader&) = delete;

    bool IsBinaryLog() const { return opening_.has_value(); }
    bool Checksums() const { return checksums_; }
    const std::optional<BinlogOpening>& Opening() const { return opening_; }
    // Goes on from `position`, where an event begins (a backup's snapshot position).
    void Seek(long long position);
    // The next event; false once there is none whole and good (stop() says why).
    bool Next(BinlogEvent& event);
    // Just after the last event read.
    long long Position() const { return position_; }
    Stop stop() const { return stop_; }
    // Why reading stopped before the file's end, for people ("" when it did not).
    const std::string& Problem() const { return problem_; }

  private:
    // `count` bytes from `at` into the buffer, after its first `keep` bytes. Reading on from
    // where the last read ended does not seek: a file is read event after event, and a seek of
    // the stream is a system call each time.
    bool ReadAt(long long at, size_t count, size_t keep = 0);
    std::FILE* file_ = nullptr;
    long long streamAt_ = -1; // where the stream stands (-1: unknown)
    long long size_ = 0;
    long long position_ = kBinlogFirstEvent;
    bool checksums_ = false;
    std::optional<BinlogOpening> opening_;
    std::string buffer_;
    Stop stop_ = Stop::None;
    std::string problem_;
};

// What the events of one file say, read once.
struct BinlogFileFacts {
    bool binaryLog = false;
    long long size = 0;
    long long wholeEnd = 0;     // just after the last whole, good event
    long long lastEventAt = 0;  // where that event begins
    long long committedEnd = 0; // just after the last whole transaction (0: none)
    BinlogReader::Stop stop = BinlogReader::Stop::None;
    std::string problem; // from the reader
    bool closed = false; // its last event closes it (rotated, or the server stopped)
    bool hasGtidList = false;
    GtidState begins; // its Gtid_list: the transactions before it
    GtidState ends;   // after its last whole transaction
    std::optional<BinlogOpening> opening;
    std::time_t firstEvent = 0, lastEvent = 0; // 0: no event
    std::time_t lastCommitted = 0;             // 0: no whole transaction
    // Whether `next` continues this file: the transactions it begins after are exactly these.
    bool ContinuedBy(const BinlogFileFacts& next) const {
        return !hasGtidList || !next.hasGtidList || ends == next.begins;
    }
};
// Given what an earlier read of the same file found (`known`), only what follows its last
// whole transaction is read: a file being written is followed cheaply. Without it, a file that
// did not change since this process last read it (the same inode, size and time) is not read
// again: the open file of a dead server is asked about by every window and stretch.
BinlogFileFacts ReadBinlogFile(const std::string& path, const BinlogFileFacts* known = nullptr);

// Where a transaction ends: just after its last event (its COMMIT, its Xid, or a statement
// that stands alone) in the file `file` of those read, and when it was committed.
struct TransactionEnd {
    size_t file = 0;
    long long position = 0;
    std::time_t committed = 0;
};
// Every transaction that ends in `paths` (consecutive files), read from `startPosition` of the
// first (where a transaction begins, such as a backup's snapshot position) on. A file that ends
// inside an event ends at its last whole one; a failure when a file is no binary log, or one
// before the last is damaged.
Result<std::vector<TransactionEnd>> ReadTransactionEnds(const std::vector<std::string>& paths,
                                                        long long startPosition);

// The statement of a query event (its checksum, when the file has them, left out).
std::string QueryTextOf(const BinlogEvent& event, bool checksums);

// CRC32 as zlib computes it (the binary log's event checksum).
std::uint32_t Crc32(std::string_view bytes, std::uint32_t crc = 0);

} // namespace zenta
