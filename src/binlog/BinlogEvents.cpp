#include "BinlogEvents.h"

#include "Text.h"

#include <array>
#include <deque>
#include <mutex>
#include <optional>
#include <sys/stat.h>

namespace zenta {

namespace {

constexpr unsigned char kGtidStandalone = 1; // a statement that is its own transaction (DDL)
constexpr unsigned char kFileInUse = 1;      // the opening event's flag while the server writes
constexpr long long kFlagsAt = 17;           // the header's flags
constexpr long long kLargestEvent = 1LL << 30;

std::uint64_t Little(const unsigned char* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

const unsigned char* Bytes(std::string_view s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

// The opening event's checksum is taken with its "in use" flag cleared (the server clears the
// flag when it closes the file, without writing the checksum again).
std::string WithoutInUseFlag(std::string_view event) {
    std::string copy(event);
    if (copy.size() > kFlagsAt)
        copy[kFlagsAt] = static_cast<char>(static_cast<unsigned char>(copy[kFlagsAt]) &
                                           static_cast<unsigned char>(~kFileInUse));
    return copy;
}

bool ChecksumGood(std::string_view event) {
    if (event.size() < kBinlogHeaderSize + 4)
        return false;
    const std::uint32_t stored =
        static_cast<std::uint32_t>(Little(Bytes(event) + event.size() - 4, 4));
    if (static_cast<unsigned char>(event[4]) == kFormatDescriptionEvent) {
        const std::string cleared = WithoutInUseFlag(event);
        return Crc32(std::string_view(cleared).substr(0, cleared.size() - 4)) == stored;
    }
    return Crc32(event.substr(0, event.size() - 4)) == stored;
}

// The checksum algorithm a format description announces: 1 is CRC32.
bool AnnouncesChecksums(std::string_view event) {
    return event.size() >= kBinlogHeaderSize + 5 &&
           static_cast<unsigned char>(event[event.size() - 5]) == 1;
}

std::optional<GtidState> GtidListOf(const BinlogEvent& e, bool checksums) {
    const long long body = kBinlogHeaderSize;
    const long long size = static_cast<long long>(e.bytes.size()) - (checksums ? 4 : 0);
    if (size < body + 4)
        return std::nullopt;
    const unsigned char* p = Bytes(e.bytes);
    const std::uint64_t count = Little(p + body, 4) & ((1u << 28) - 1);
    if (body + 4 + static_cast<long long>(count) * 16 > size)
        return std::nullopt;
    GtidState state;
    for (std::uint64_t i = 0; i < count; ++i) {
        const unsigned char* entry = p + body + 4 + i * 16;
        state[{static_cast<std::uint32_t>(Little(entry, 4)),
               static_cast<std::uint32_t>(Little(entry + 4, 4))}] = Little(entry + 8, 8);
    }
    return state;
}

struct GtidOfEvent {
    std::uint32_t domain = 0;
    std::uint64_t sequence = 0;
    bool standalone = false;
};
std::optional<GtidOfEvent> GtidOf(const BinlogEvent& e) {
    if (e.bytes.size() < static_cast<size_t>(kBinlogHeaderSize) + 13)
        return std::nullopt;
    const unsigned char* body = Bytes(e.bytes) + kBinlogHeaderSize;
    return GtidOfEvent{static_cast<std::uint32_t>(Little(body + 8, 4)), Little(body, 8),
                       (body[12] & kGtidStandalone) != 0};
}

// Follows the transactions of a file event by event: where each ends and what it leaves the
// GTID state at.
class TransactionTracker {
  public:
    explicit TransactionTracker(bool checksums) : checksums_(checksums) {}
    // Whether the event ends a transaction.
    bool Ends(const BinlogEvent& e, GtidState& state) {
        bool closes = false;
        if (e.type == kGtidEvent) {
            const auto gtid = GtidOf(e);
            open_ = gtid.has_value();
            if (gtid) {
                pending_ = {{gtid->domain, e.serverId}, gtid->sequence};
                standalone_ = gtid->standalone;
            }
            return false;
        }
        if (!open_)
            return false;
        if (e.type == kXidEvent) {
            closes = true;
        } else if (e.type == kQueryEvent) {
            const std::string query = AsciiUpperCase(TrimSpaces(QueryTextOf(e, checksums_)));
            closes = standalone_ || query == "COMMIT" || query == "ROLLBACK";
        }
        if (closes) {
            open_ = standalone_ = false;
            state[pending_.first] = pending_.second;
        }
        return closes;
    }

  private:
    bool checksums_;
    bool open_ = false, standalone_ = false;
    std::pair<std::pair<std::uint32_t, std::uint32_t>, std::uint64_t> pending_;
};

} // namespace

std::uint32_t Crc32(std::string_view bytes, std::uint32_t crc) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (const char ch : bytes)
        crc = table[(crc ^ static_cast<unsigned char>(ch)) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

std::optional<BinlogOpening> OpeningFromEvent(std::string_view event) {
    if (event.size() < static_cast<size_t>(kBinlogHeaderSize) + 57 ||
        static_cast<unsigned char>(event[4]) != kFormatDescriptionEvent)
        return std::nullopt;
    BinlogOpening o;
    o.time = static_cast<std::time_t>(Little(Bytes(event), 4));
    o.serverId = static_cast<std::uint32_t>(Little(Bytes(event) + 5, 4));
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08x", Crc32(WithoutInUseFlag(event)));
    o.key = std::to_string(o.serverId) + "-" + std::to_string(static_cast<long long>(o.time)) +
            "-" + crc;
    return o;
}

BinlogReader::BinlogReader(const std::string& path) {
    file_ = std::fopen(path.c_str(), "rb");
    struct stat st {};
    if (!file_ || ::fstat(::fileno(file_), &st) != 0) {
        stop_ = Stop::Damaged;
        problem_ = path + " cannot be read";
        return;
    }
    size_ = static_cast<long long>(st.st_size);
    if (!ReadAt(0, 4) ||
        buffer_ != std::string("\xfe"
                               "bin",
                               4) ||
        !ReadAt(kBinlogFirstEvent, kBinlogHeaderSize)) {
        stop_ = Stop::Damaged;
        problem_ = path + " is not a binary log";
        return;
    }
    const long long length = static_cast<long long>(Little(Bytes(buffer_) + 9, 4));
    if (static_cast<unsigned char>(buffer_[4]) != kFormatDescriptionEvent ||
        length < kBinlogHeaderSize || kBinlogFirstEvent + length > size_ ||
        !ReadAt(kBinlogFirstEvent, static_cast<size_t>(length))) {
        stop_ = Stop::Damaged;
        problem_ = path + " is not a binary log (no whole opening event)";
        return;
    }
    checksums_ = AnnouncesChecksums(buffer_);
    if (checksums_ && !ChecksumGood(buffer_)) {
        stop_ = Stop::Damaged;
        problem_ = path + ": its opening event fails its checksum";
        return;
    }
    opening_ = OpeningFromEvent(buffer_);
}

BinlogReader::~BinlogReader() {
    if (file_)
        std::fclose(file_);
}

bool BinlogReader::ReadAt(long long at, size_t count, size_t keep) {
    buffer_.resize(keep + count);
    if (at != streamAt_ && ::fseeko(file_, at, SEEK_SET) != 0) {
        streamAt_ = -1;
        return false;
    }
    const size_t got = std::fread(buffer_.data() + keep, 1, count, file_);
    streamAt_ = got == count ? at + static_cast<long long>(count) : -1;
    return got == count;
}

void BinlogReader::Seek(long long position) {
    if (stop_ != Stop::Damaged || IsBinaryLog()) {
        position_ = position;
        stop_ = Stop::None;
        problem_.clear();
    }
}

bool BinlogReader::Next(BinlogEvent& event) {
    if (stop_ != Stop::None)
        return false;
    auto where = [&] { return " at " + std::to_string(position_); };
    if (position_ + kBinlogHeaderSize > size_) {
        stop_ = position_ == size_ ? Stop::End : Stop::CutShort;
        if (stop_ == Stop::CutShort)
            problem_ = "the file ends inside an event" + where();
        return false;
    }
    if (!ReadAt(position_, kBinlogHeaderSize)) {
        stop_ = Stop::Damaged;
        problem_ = "the file cannot be read" + where();
        return false;
    }
    const long long length = static_cast<long long>(Little(Bytes(buffer_) + 9, 4));
    const long long next = static_cast<long long>(Little(Bytes(buffer_) + 13, 4));
    // Where the next event begins is in every event's header: bytes that are no event (a
    // stretch the disk never got, then later events) do not agree with it.
    const bool plausible = length >= kBinlogHeaderSize && length <= kLargestEvent &&
                           (next == 0 || next == position_ + length);
    if (!plausible) {
        stop_ = Stop::Damaged;
        problem_ = "bytes that are no event" + where();
        return false;
    }
    if (position_ + length > size_) {
        stop_ = Stop::CutShort;
        problem_ = "the file ends inside an event" + where();
        return false;
    }
    // The rest of the event, after the header just read.
    if (!ReadAt(position_ + kBinlogHeaderSize, static_cast<size_t>(length - kBinlogHeaderSize),
                kBinlogHeaderSize)) {
        stop_ = Stop::Damaged;
        problem_ = "the file cannot be read" + where();
        return false;
    }
    if (checksums_ && !ChecksumGood(buffer_)) {
        stop_ = Stop::Damaged;
        problem_ = "an event fails its checksum" + where();
        return false;
    }
    event.at = position_;
    event.when = static_cast<std::uint32_t>(Little(Bytes(buffer_), 4));
    event.type = static_cast<unsigned char>(buffer_[4]);
    event.serverId = static_cast<std::uint32_t>(Little(Bytes(buffer_) + 5, 4));
    event.bytes = buffer_;
    position_ += length;
    return true;
}

std::string QueryTextOf(const BinlogEvent& event, bool checksums) {
    const size_t size = event.bytes.size();
    if (size < static_cast<size_t>(kBinlogHeaderSize) + 13)
        return {};
    const unsigned char* body = Bytes(event.bytes) + kBinlogHeaderSize;
    const size_t dbLength = body[8];
    const size_t statusLength = static_cast<size_t>(Little(body + 11, 2));
    const size_t start = static_cast<size_t>(kBinlogHeaderSize) + 13 + statusLength + dbLength + 1;
    const size_t end = size - (checksums ? 4 : 0);
    if (start >= end)
        return {};
    return std::string(event.bytes.substr(start, end - start));
}

namespace {

// A file as the system last saw it: the same identity means the same bytes (a log file only
// grows, or is replaced by another).
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    std::int64_t modified = 0; // nanoseconds
    bool operator==(const FileIdentity&) const = default;
};

std::optional<FileIdentity> IdentityOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return FileIdentity{st.st_dev, st.st_ino, st.st_size,
                        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 +
                            st.st_mtim.tv_nsec};
}

// What the last files read said, so that a file nobody writes (the open file of a dead server,
// a copy cut short) is read once however many windows and stretches ask about it.
struct ReadFacts {
    std::string path;
    FileIdentity identity;
    BinlogFileFacts facts;
};
std::mutex readLock;
std::deque<ReadFacts> read;

BinlogFileFacts ReadAnew(const std::string& path, const BinlogFileFacts* known);

} // namespace

BinlogFileFacts ReadBinlogFile(const std::string& path, const BinlogFileFacts* known) {
    if (known)
        return ReadAnew(path, known);
    const auto before = IdentityOf(path);
    if (before) {
        std::lock_guard<std::mutex> hold(readLock);
        for (const auto& r : read)
            if (r.path == path && r.identity == *before)
                return r.facts;
    }
    BinlogFileFacts facts = ReadAnew(path, nullptr);
    // Kept only when the file did not change while it was read.
    if (before && IdentityOf(path) == before) {
        std::lock_guard<std::mutex> hold(readLock);
        std::erase_if(read, [&](const ReadFacts& r) { return r.path == path; });
        read.push_front({path, *before, facts});
        if (read.size() > 16)
            read.pop_back();
    }
    return facts;
}

namespace {

BinlogFileFacts ReadAnew(const std::string& path, const BinlogFileFacts* known) {
    BinlogFileFacts facts;
    BinlogReader reader(path);
    struct stat st {};
    const long long size = ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
    bool listSeen = false;
    if (known && known->binaryLog && known->committedEnd > 0 && size >= known->committedEnd &&
        reader.Opening() && known->opening && *reader.Opening() == *known->opening) {
        facts = *known;
        listSeen = true;
        reader.Seek(known->committedEnd);
    }
    facts.size = size;
    facts.binaryLog = reader.IsBinaryLog();
    facts.opening = reader.Opening();
    TransactionTracker transactions(reader.Checksums());
    unsigned char lastType = 0;
    for (BinlogEvent e; reader.Next(e);) {
        if (facts.firstEvent == 0)
            facts.firstEvent = e.when;
        facts.lastEvent = e.when;
        facts.lastEventAt = e.at;
        lastType = e.type;
        if (e.type == kGtidListEvent && !listSeen) {
            listSeen = true;
            if (const auto list = GtidListOf(e, reader.Checksums())) {
                facts.hasGtidList = true;
                facts.begins = *list;
                facts.ends = *list;
            }
            continue;
        }
        if (transactions.Ends(e, facts.ends)) {
            facts.committedEnd = e.end();
            facts.lastCommitted = e.when;
        }
    }
    facts.wholeEnd = reader.Position();
    facts.stop = reader.stop();
    facts.problem = reader.Problem();
    if (lastType != 0)
        facts.closed = lastType == kRotateEvent || lastType == kStopEvent;
    return facts;
}

} // namespace

Result<std::vector<TransactionEnd>> ReadTransactionEnds(const std::vector<std::string>& paths,
                                                        long long startPosition) {
    using Ends = Result<std::vector<TransactionEnd>>;
    std::vector<TransactionEnd> ends;
    for (size_t i = 0; i < paths.size(); ++i) {
        BinlogReader reader(paths[i]);
        if (!reader.IsBinaryLog())
            return Ends::Failure(reader.Problem().empty() ? paths[i] + " is not a binary log"
                                                          : reader.Problem());
        if (i == 0)
            reader.Seek(startPosition);
        TransactionTracker transactions(reader.Checksums());
        GtidState ignored;
        for (BinlogEvent e; reader.Next(e);)
            if (transactions.Ends(e, ignored))
                ends.push_back({i, e.end(), static_cast<std::time_t>(e.when)});
        if (reader.stop() == BinlogReader::Stop::Damaged && i + 1 < paths.size())
            return Ends::Failure(paths[i] + " is damaged: " + reader.Problem());
    }
    return ends;
}

} // namespace zenta
