#include "StandbyCommands.h"
#include "StandbySteps.h"

#include "BinaryLog.h"
#include "BinlogServer.h"
#include "Common.h"
#include "ComputerIdentity.h"
#include "DatabaseTools.h"
#include "ErrorMode.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "LocalTime.h"
#include "Pair.h"
#include "Process.h"
#include "Settings.h"
#include "StandbyWatch.h"
#include "Text.h"
#include "TodoSobreMySQLServer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace zenta {

StandbyReport Report(StandbyResult result, const std::string& text) {
    return {result, text};
}

std::string Address(const std::string& host, long port) {
    return host + ":" + std::to_string(port);
}

bool PairConnections::Look(long readSeconds) {
    const auto configured = ConfiguredPartner();
    if (!configured)
        return false;
    partner = *configured;
    view.self = LookAtServer(self, Address(ConfiguredMySQLHost(), ConfiguredMySQLPort()),
                             ConnectToOwnServer(self, readSeconds));
    view.partner = LookAtServer(other, Address(partner.host, partner.port),
                                ConnectToServer(other, partner.host, partner.port));
    for (clsDataBase* db : {&self, &other})
        if (db->ConnectionStatus())
            HoldPairCommandLock(*db);
    return true;
}

const char* const kNoPair = "This computer is not in a pair: set [Standby] Host (and Port) in "
                            "zentamarket.ini to the other computer's server.";

std::string TillsReach(const std::string& host, long port) {
    const std::string floating = TrimBlanks(GetSetting("Standby", "FloatingAddress", ""));
    if (!floating.empty())
        return "The tills reach it by the shop's floating address " + floating +
               ": keepalived moves it to that computer once its check (ZentaMarketMonitor "
               "standby check) says healthy.";
    return "No floating address is set ([Standby] FloatingAddress), so the tills do not follow "
           "by themselves: on every computer of the shop but the pair's two, set in "
           "zentamarket.ini [MySQL] MySQLHost=" +
           host + " and MySQLPort=" + std::to_string(port) +
           ", then start the suite's programs again.";
}

namespace {

using Clock = std::chrono::steady_clock;

// A program of a pipeline that moves no byte for this long is stuck (a server that froze under
// it): it is ended and said.
constexpr int kProgramStallSeconds = 600;
constexpr int kStalled = -2;

// Waits for a program of a pipeline, telling `tick` every half second; `progress` counts what
// it did so far (bytes written or read). Its exit status, -1 when it did not end normally,
// kStalled when it did nothing for kProgramStallSeconds (then it was killed).
int WaitShowing(int pid, const std::function<void()>& tick,
                const std::function<long long()>& progress) {
    long long last = -1;
    auto moved = Clock::now();
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (done < 0 && errno != EINTR)
            return -1;
        if (const long long now = progress(); now != last) {
            last = now;
            moved = Clock::now();
        } else if (Clock::now() - moved > std::chrono::seconds(kProgramStallSeconds)) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return kStalled;
        }
        tick();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
}

// The words for a program's end that was not a success.
std::string Ended(const std::string& program, int status) {
    if (status == kStalled)
        return program + " did nothing for " + std::to_string(kProgramStallSeconds) +
               " s and was stopped";
    return program + " failed (exit status " + std::to_string(status) + ")";
}

std::string Tail(const std::string& path, size_t bytes) {
    const std::string text = ReadWholeFile(path).value_or("");
    return text.size() > bytes ? text.substr(text.size() - bytes) : text;
}

// The databases a standby holds for the shop: all but the server's own and the program's record.
Result<std::vector<std::string>> ShopDatabases(clsDataBase& db) {
    db.CreatDatasArray("SELECT SCHEMA_NAME FROM information_schema.SCHEMATA WHERE SCHEMA_NAME NOT "
                       "IN ('mysql', 'information_schema', 'performance_schema', 'sys', '" +
                       std::string(kPairRecordDatabase) + "') ORDER BY SCHEMA_NAME;");
    if (!db.ConnectionStatus())
        return Result<std::vector<std::string>>::Failure("the databases cannot be listed: " +
                                                         db.LastError().Text());
    std::vector<std::string> names;
    for (long r = 0; r < db.DatasArray()->Count(1); ++r)
        names.push_back(db.DatasArrayValue(r, 0, true).ToString());
    return names;
}

// The first table of the shop's databases that holds a row ("" when none does).
std::string FirstTableWithRows(clsDataBase& db) {
    db.CreatDatasArray("SELECT TABLE_SCHEMA, TABLE_NAME FROM information_schema.TABLES WHERE "
                       "TABLE_TYPE = 'BASE TABLE' AND TABLE_SCHEMA NOT IN ('mysql', "
                       "'information_schema', 'performance_schema', 'sys', '" +
                       std::string(kPairRecordDatabase) + "');");
    if (!db.ConnectionStatus())
        return "(the tables cannot be listed: " + db.LastError().Text() + ")";
    std::vector<std::string> tables;
    for (long r = 0; r < db.DatasArray()->Count(1); ++r)
        tables.push_back(QuotedName(db.DatasArrayValue(r, 0, true).ToString()) + "." +
                         QuotedName(db.DatasArrayValue(r, 1, true).ToString()));
    for (const auto& t : tables) {
        db.CreatDatasArray("SELECT 1 FROM " + t + " LIMIT 1;");
        if (db.ConnectionStatus() && db.DatasArray()->Count(1) > 0)
            return t;
    }
    return {};
}

// Why a seed must not run here ("" when it may).
std::string SeedRefusal(const PairView& view, bool replace, clsDataBase& self) {
    if (view.self.OpenPrimary())
        return "this server is the shop's primary, open for sales; standby seed runs on the "
               "standby computer";
    if (view.Role() == "fenced" && !replace)
        return "this server's record names it the primary; seeding it from the other server "
               "would replace it (give --replace when that is meant)";
    if (!view.partner.OpenPrimary() && !(!view.partner.record && !view.partner.side.readOnly))
        return "the other server (" + view.partner.address + ") is not the open primary: " +
               (view.partner.side.readOnly ? "it is read-only" : "its record names another");
    const auto settings = ReadPairServerSettings(self);
    if (!settings)
        return settings.error();
    if (const auto problems = settings->Problems(); !problems.empty())
        return "this server is not set for a pair: " + JoinedReasons(problems);
    if (!replace)
        if (const std::string table = FirstTableWithRows(self); !table.empty())
            return "this server holds data (" + table +
                   " has rows); give --replace to replace everything on it with the primary's";
    return {};
}

// This server emptied of the shop's databases, replication and its own binary log.
Result<Done> ClearStandby(clsDataBase& self) {
    // Without its record the monitor here leaves the server's replication alone until the seed
    // is done and writes it again.
    if (auto forgot = ForgetPairRecord(self); !forgot)
        return forgot;
    self.SQLExecute("STOP SLAVE;");
    self.SQLExecute("RESET SLAVE ALL;");
    const auto names = ShopDatabases(self);
    if (!names)
        return Result<Done>::Failure(names.error());
    {
        UnloggedSession unlogged(self);
        for (const auto& name : *names) {
            self.SQLExecute("DROP DATABASE " + QuotedName(name) + ";");
            if (!self.ConnectionStatus())
                return Result<Done>::Failure("the database " + name +
                                             " cannot be dropped: " + self.LastError().Text());
        }
    }
    // Its own log's history is not the pair's: the primary's transactions follow.
    self.SQLExecute("RESET MASTER;");
    if (!self.ConnectionStatus())
        return Result<Done>::Failure("RESET MASTER failed: " + self.LastError().Text());
    return Done{};
}

// Who a seed copies from and into: the standby is emptied, loaded with a copy of the primary's
// databases and then follows the primary. Run on either computer.
struct SeedRoute {
    clsDataBase& standby;
    clsDataBase& primary;
    const ServerView& primaryView;
    // How this computer's programs reach each (no host: this computer's own server).
    PartnerAddress standbyClient, primaryClient;
    PartnerAddress primaryForStandby; // the primary as the standby reaches it
};

struct SeedFiles {
    std::string dump, errors, standby, primary;
    ~SeedFiles() {
        for (const auto* f : {&dump, &standby, &primary})
            if (!f->empty())
                std::remove(f->c_str());
    }
};

// The primary's databases into files.dump; the GTID position of its snapshot.
Result<std::string> DumpPrimary(clsDataBase& primary, SeedFiles& files, const Say& say) {
    using Position = Result<std::string>;
    const auto names = ShopDatabases(primary);
    if (!names)
        return Position::Failure(names.error());
    std::vector<std::string> argv = {"mariadb-dump",
                                     "--defaults-extra-file=" + files.primary,
                                     "--single-transaction",
                                     "--gtid",
                                     "--master-data=2",
                                     "--routines",
                                     "--events",
                                     "--triggers",
                                     "--hex-blob",
                                     "--add-drop-database",
                                     "--max-allowed-packet=1G",
                                     "--databases"};
    argv.insert(argv.end(), names->begin(), names->end());
    const int out = ::open(files.dump.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0)
        return Position::Failure("cannot write " + files.dump + ": " + std::strerror(errno));
    const int pid = StartInPipeline(argv, -1, out, files.errors);
    ::close(out);
    if (pid < 0)
        return Position::Failure("mariadb-dump could not be started: " + ProgramStartError());
    const int status = WaitShowing(
        pid,
        [&] { say("copying the primary's databases: " + Megabytes(FileLength(files.dump)), true); },
        [&] { return FileLength(files.dump); });
    if (status != 0)
        return Position::Failure(Ended("mariadb-dump", status) + ": " +
                                 TrimWhitespace(Tail(files.errors, 600)));
    // The snapshot's position is given near the end, commented out.
    const std::string tail = Tail(files.dump, 1 << 16);
    const std::string key = "SET GLOBAL gtid_slave_pos='";
    const size_t at = tail.rfind(key);
    const size_t end = at == std::string::npos ? at : tail.find('\'', at + key.size());
    if (end == std::string::npos)
        return Position::Failure("the copy names no GTID position (was the primary's binary log "
                                 "on?)");
    return tail.substr(at + key.size(), end - at - key.size());
}

Result<Done> LoadCopy(SeedFiles& files, const Say& say) {
    const int in = ::open(files.dump.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return Result<Done>::Failure("cannot read " + files.dump + ": " + std::strerror(errno));
    const long long total = FileLength(files.dump);
    const int pid = StartInPipeline({"mariadb", "--defaults-extra-file=" + files.standby,
                                     "--init-command=SET SESSION sql_log_bin = 0",
                                     "--skip-reconnect", "--max-allowed-packet=1G"},
                                    in, -1, files.errors);
    ::close(in);
    if (pid < 0)
        return Result<Done>::Failure("mariadb could not be started: " + ProgramStartError());
    const int status = WaitShowing(
        pid,
        [&] {
            say("loading the copy into the standby: " + Megabytes(BytesReadBy(pid)) + " of " +
                    Megabytes(total),
                true);
        },
        [&] { return BytesReadBy(pid); });
    if (status != 0)
        return Result<Done>::Failure("loading the copy failed: " + Ended("mariadb", status) + ": " +
                                     TrimWhitespace(Tail(files.errors, 600)));
    return Done{};
}

// Replication from `position` on, and both records naming the primary.
Result<Done> JoinPair(SeedRoute& route, const std::string& position) {
    clsDataBase& standby = route.standby;
    standby.SQLExecute("SET GLOBAL gtid_slave_pos = '" + SQLEscape(position) + "';");
    if (!standby.ConnectionStatus())
        return Result<Done>::Failure("gtid_slave_pos cannot be set: " + standby.LastError().Text());
    if (auto pointed =
            PointReplicaAt(standby, route.primaryForStandby.host, route.primaryForStandby.port);
        !pointed)
        return pointed;
    if (!StartReplica(standby)) {
        const std::string why = standby.LastError().Text();
        const auto side = ReadServerSide(standby);
        if (!side || !(side->replica.ioRunning || side->replica.ioConnecting))
            return Result<Done>::Failure("START SLAVE failed: " + why);
    }
    PairRecord record;
    if (route.primaryView.record)
        record = *route.primaryView.record;
    record.primaryServerId = route.primaryView.side.serverId;
    if (auto written = WritePairRecord(route.primary, record); !written)
        return written;
    return WritePairRecord(standby, record);
}

// Waits until `standby` holds what `primary`'s log holds now; the report's text is that
// position. Gives up when the standby applied nothing for `stallSeconds`.
StandbyReport WaitCaughtUp(clsDataBase& standby, clsDataBase& primary, long stallSeconds,
                           const Say& say) {
    const auto target = ReadServerSide(primary);
    if (!target)
        return Report(StandbyResult::CouldNotRun, target.error());
    const std::string goal = target->binlogPos;
    const std::string shown = goal.empty() ? "(nothing)" : goal;
    std::uint64_t fewest = UINT64_MAX;
    auto progressed = Clock::now();
    for (;;) {
        const auto wait = WaitUntilHolds(standby, goal, 2);
        if (!wait)
            return Report(StandbyResult::CouldNotRun, wait.error());
        if (wait->reached)
            return Report(StandbyResult::Done, goal);
        if (!wait->stopped.empty())
            return Report(StandbyResult::CouldNotRun,
                          "the replication stopped before it held " + shown + ": " + wait->stopped);
        if (wait->behind < fewest) {
            fewest = wait->behind;
            progressed = Clock::now();
        } else if (Clock::now() - progressed >= std::chrono::seconds(stallSeconds)) {
            return Report(StandbyResult::CouldNotRun,
                          "waited for the standby to hold the primary's last transactions (" +
                              shown + "), but it applied nothing for " +
                              std::to_string(stallSeconds) + " s: " + wait->Said() + ", " +
                              std::to_string(wait->behind) + " transactions short");
        }
        say("catching up: " + std::to_string(wait->behind) + " transactions to apply", true);
    }
}

// The seed itself: the standby emptied, loaded and following, then waited for until in step.
// Done with the position it is in step at; else why not, the seed's words first.
StandbyReport Seed(SeedRoute& route, const Say& say) {
    SeedFiles files;
    const std::string temp = Globals::AppPath + "Temp/";
    files.dump = temp + "standby-seed.sql";
    files.errors = temp + "standby-seed-errors.txt";
    std::remove(files.errors.c_str());
    auto settings = [](const char* name, const PartnerAddress& server) {
        return server.host.empty() ? WriteClientSettings(name)
                                   : WriteClientSettings(name, server.host, server.port);
    };
    const auto standby = settings("standby-standby.cnf", route.standbyClient);
    const auto primary = settings("standby-primary.cnf", route.primaryClient);
    if (!standby || !primary)
        return Report(StandbyResult::CouldNotRun, !standby ? standby.error() : primary.error());
    files.standby = *standby;
    files.primary = *primary;
    if (auto cleared = ClearStandby(route.standby); !cleared)
        return Report(StandbyResult::CouldNotRun, "Not seeded: " + cleared.error());
    const auto position = DumpPrimary(route.primary, files, say);
    if (!position)
        return Report(StandbyResult::CouldNotRun, "Not seeded: " + position.error());
    say("copied the primary's databases (" + Megabytes(FileLength(files.dump)) +
            ") at its position " + *position,
        false);
    if (auto loaded = LoadCopy(files, say); !loaded)
        return Report(StandbyResult::CouldNotRun, "Not seeded: " + loaded.error());
    say("loaded the copy into the standby; replication starts from " + *position, false);
    if (auto joined = JoinPair(route, *position); !joined)
        return Report(StandbyResult::CouldNotRun, "Not seeded: " + joined.error());
    const StandbyReport caught =
        WaitCaughtUp(route.standby, route.primary, kCatchUpStallSeconds, say);
    if (caught.result != StandbyResult::Done)
        return Report(caught.result, "Seeded, but not in step: " + caught.text);
    return caught;
}

} // namespace

StandbyReport WaitCaughtUp(PairConnections& pair, long stallSeconds, const Say& say) {
    return WaitCaughtUp(pair.self, pair.other, stallSeconds, say);
}

StandbyReport SeedStandby(bool replace, const Say& say) {
    PairConnections pair;
    if (!pair.Look())
        return Report(StandbyResult::CouldNotRun, kNoPair);
    if (!pair.view.self.reached)
        return Report(StandbyResult::CouldNotRun, "This computer's server (" +
                                                      pair.view.self.address + ") " +
                                                      pair.view.self.why);
    if (!pair.view.partner.reached)
        return Report(StandbyResult::CouldNotRun,
                      "The primary (" + pair.view.partner.address + ") " + pair.view.partner.why);
    if (const std::string why = SeedRefusal(pair.view, replace, pair.self); !why.empty())
        return Report(StandbyResult::Refused, "Not seeded: " + why + ".");
    const auto started = Clock::now();
    SeedRoute route{pair.self, pair.other, pair.view.partner, {"", 0}, pair.partner, pair.partner};
    const StandbyReport caught = Seed(route, say);
    if (caught.result != StandbyResult::Done)
        return caught;
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - started).count();
    WriteProgramLog("standby: seeded from " + pair.view.partner.address + ", in step at " +
                    caught.text);
    return Report(StandbyResult::Done,
                  "The standby is in step with the primary (" + pair.view.partner.address +
                      "): it holds everything the primary had when replication began (" +
                      caught.text + "), and follows it. Took " + std::to_string(seconds) + " s.");
}

namespace {

// Why the standby cannot be seeded again from this computer ("" when it can); `pair` looked.
std::string ReseedRefusal(PairConnections& pair) {
    const ServerView& self = pair.view.self;
    const ServerView& other = pair.view.partner;
    if (!self.reached)
        return "this computer's server (" + self.address + ") " + self.why;
    if (!self.OpenPrimary())
        return "this server is not the open primary (it is " + pair.view.Role() + ")";
    if (!other.reached)
        return "the standby (" + other.address + ") " + other.why;
    if (!other.record || other.record->primaryServerId != self.side.serverId ||
        !other.side.replica.configured)
        return "the other server (" + other.address +
               ") is not this one's standby, replicating (standby seed on it first)";
    return {};
}

} // namespace

std::string StandbyReseedRefusal() {
    PairConnections pair;
    if (!pair.Look())
        return kNoPair;
    return ReseedRefusal(pair);
}

StandbyReport ReseedStandbyFromHere(const Say& say) {
    PairConnections pair;
    if (!pair.Look())
        return Report(StandbyResult::CouldNotRun, kNoPair);
    if (const std::string why = ReseedRefusal(pair); !why.empty())
        return Report(StandbyResult::Refused, "The standby was not seeded again: " + why + ".");
    // The standby reaches this server as its replication does now.
    const ReplicaState& replica = pair.view.partner.side.replica;
    SeedRoute route{pair.other,   pair.self, pair.view.self,
                    pair.partner, {"", 0},   {replica.masterHost, replica.masterPort}};
    say("seeding the standby (" + pair.view.partner.address +
            ") again from this server; sales are not protected until it is in step",
        false);
    const StandbyReport caught = Seed(route, say);
    if (caught.result != StandbyResult::Done)
        return caught;
    WriteProgramLog("standby: " + pair.view.partner.address +
                    " seeded again from this server, in step at " + caught.text);
    return Report(StandbyResult::Done, "The standby (" + pair.view.partner.address +
                                           ") was seeded again from this server and is in step "
                                           "with it (" +
                                           caught.text + ").");
}

namespace {

// What the standby received from the primary, applied; or the report that ends the promotion
// (not applied in time: refused, the standby as it was).
struct ReceivedAndApplied {
    std::string position;
    std::optional<StandbyReport> end;
};
ReceivedAndApplied ApplyReceived(PairConnections& pair, bool force, long waitSeconds,
                                 const Say& say) {
    ReceivedAndApplied r;
    if (!StopReplicaReceiving(pair.self)) {
        r.end = Report(StandbyResult::CouldNotRun,
                       "STOP SLAVE IO_THREAD failed: " + pair.self.LastError().Text());
        return r;
    }
    const auto stopped = ReadServerSide(pair.self);
    if (!stopped) {
        r.end = Report(StandbyResult::CouldNotRun, stopped.error());
        return r;
    }
    r.position = stopped->replica.received;
    say("applying what was received from the primary (" + r.position + ")", false);
    // With --force over a stopped applying nothing more will be applied: not waited for.
    if (!stopped->replica.sqlRunning && force)
        return r;
    const auto applied = WaitUntilHolds(pair.self, r.position, waitSeconds);
    if (!applied || !applied->reached) {
        StartReplica(pair.self); // back as it was: a standby
        r.end = Report(applied ? StandbyResult::Refused : StandbyResult::CouldNotRun,
                       applied ? "Not promoted: not everything received (" + r.position +
                                     ") was applied within " + std::to_string(waitSeconds) +
                                     " s (" + applied->Said() + "); give a longer --wait."
                               : applied.error());
    }
    return r;
}

} // namespace

Result<Promoted> OpenPromoted(clsDataBase& db) {
    if (auto forgot = ForgetMaster(db); !forgot)
        return Result<Promoted>::Failure(forgot.error());
    const auto point = ReadServerSide(db);
    if (!point)
        return Result<Promoted>::Failure(point.error());
    Promoted p;
    p.record.primaryServerId = point->serverId;
    p.record.promotionGtid = point->currentPos;
    p.record.promotedAt = LocalStampText(std::time(nullptr));
    p.applied = point->slavePos;
    // Recorded first: an open server whose record names another is closed again by its monitor.
    if (auto written = WritePairRecord(db, p.record); !written)
        return Result<Promoted>::Failure("the promotion cannot be recorded, so the server was "
                                         "not opened: " +
                                         written.error());
    if (!SetReadOnly(db, false))
        return Result<Promoted>::Failure("read_only could not be turned off: " +
                                         db.LastError().Text());
    return p;
}

StandbyReport PromoteStandby(bool force, long waitSeconds, const Say& say) {
    const auto started = Clock::now();
    PairConnections pair;
    if (!pair.Look(waitSeconds + 60))
        return Report(StandbyResult::CouldNotRun, kNoPair);
    const ServerView& self = pair.view.self;
    if (!self.reached)
        return Report(StandbyResult::CouldNotRun,
                      "This computer's server (" + self.address + ") " + self.why);
    if (self.OpenPrimary())
        return Report(StandbyResult::Done, "This server is already the primary.");
    const ReplicaState& replica = self.side.replica;
    if (!replica.configured)
        return Report(StandbyResult::Refused,
                      "Not promoted: this server is not a standby (it replicates from nothing).");
    if (pair.view.partner.reached)
        return Report(StandbyResult::Refused,
                      "Not promoted: the primary (" + pair.view.partner.address +
                          ") still answers. Promoting now would make two primaries; a planned "
                          "move of the primary is a switchover.");
    const std::string error = ReplicationError(replica);
    if (replica.sqlErrno != 0 && !force)
        return Report(StandbyResult::Refused,
                      "Not promoted: the standby's replication stopped on an error, so it may "
                      "lack sales: " +
                          error + "\nGive --force to promote it as it is.");
    const auto before = ParseGtidPosition(self.side.slavePos);
    const ReceivedAndApplied received = ApplyReceived(pair, force, waitSeconds, say);
    if (received.end)
        return *received.end;
    const auto opened = OpenPromoted(pair.self);
    if (!opened)
        return Report(StandbyResult::CouldNotRun,
                      "The promotion stopped half-way (this server no longer replicates and is "
                      "still read-only): " +
                          opened.error());
    const PairRecord& record = opened->record;
    const auto after = ParseGtidPosition(opened->applied);
    const auto got = ParseGtidPosition(received.position);
    if (got && after)
        if (const auto dropped = TransactionsBehind(*got, *after); dropped > 0)
            say("Warning: " + std::to_string(dropped) +
                    " transactions received from the primary were not applied (promoted by "
                    "--force over: " +
                    error + ")",
                false);
    const long long appliedCount =
        before && after ? static_cast<long long>(TransactionsBehind(*after, *before)) : -1;
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    // Forced over only what --force lets through: a receiving error after a power cut is the
    // dead primary itself.
    WriteProgramLog(
        "standby: promoted to primary at " + record.promotionGtid +
        (force && replica.sqlErrno != 0 ? " (forced over: " + error + ")" : std::string()));
    char took[32];
    std::snprintf(took, sizeof took, "%.1f", seconds);
    return Report(StandbyResult::Done,
                  "Promoted in " + std::string(took) + " s: this server (" + self.address +
                      ", server_id " + std::to_string(self.side.serverId) +
                      ") is the primary, open for sales, at " + record.promotionGtid + "; " +
                      (appliedCount >= 0 ? std::to_string(appliedCount) : std::string("?")) +
                      " transactions were applied while promoting. " +
                      TillsReach(IsMySQLServerLocal(ConfiguredMySQLHost()) ? GetLocalIP()
                                                                           : ConfiguredMySQLHost(),
                                 ConfiguredMySQLPort()));
}

namespace {

// What the old primary holds that the new one lacks, in the words of mariadb-binlog, into a file
// of Log/ for a person: the path, or why it could not be written.
Result<std::string> WriteTransactionsAfter(PairConnections& pair, const std::string& point) {
    using Path = Result<std::string>;
    const auto files = ServerLogFiles(pair.self);
    if (!files)
        return Path::Failure(files.error());
    const auto own = WriteClientSettings("standby-own.cnf");
    if (!own)
        return Path::Failure(own.error());
    const std::string path =
        Globals::AppPath + "Log/standby-not-on-the-primary-" +
        ReplaceAll(ReplaceAll(LocalStampText(std::time(nullptr)), " ", "-"), ":", "") + ".sql";
    std::vector<std::string> argv = {"mariadb-binlog",
                                     "--defaults-extra-file=" + *own,
                                     "--read-from-remote-server",
                                     "--start-position=" + point,
                                     "--base64-output=DECODE-ROWS",
                                     "--verbose"};
    for (const auto& f : *files)
        argv.push_back(f.name);
    const int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
    if (out < 0)
        return Path::Failure("cannot write " + path + ": " + std::strerror(errno));
    const std::string errors = Globals::AppPath + "Temp/standby-rejoin-errors.txt";
    std::remove(errors.c_str());
    const int pid = StartInPipeline(argv, -1, out, errors);
    ::close(out);
    const int status = pid < 0 ? -1
                               : WaitShowing(
                                     pid, [] {}, [&] { return FileLength(path); });
    std::remove(own->c_str());
    if (pid < 0)
        return Path::Failure("mariadb-binlog could not be started: " + ProgramStartError());
    if (status != 0)
        return Path::Failure(Ended("mariadb-binlog", status) + ": " +
                             TrimWhitespace(Tail(errors, 600)));
    return path;
}

} // namespace

// How many transactions a server whose log ends at `mine` holds that the history up to `point`
// does not: by domain, those numbered after the point, and the last one itself when it has the
// point's number but another server's (two histories that went apart at the same number).
Result<std::uint64_t> TransactionsAfterPoint(const std::string& mine, const std::string& point) {
    auto compact = [](std::string text) {
        text.erase(std::remove_if(text.begin(), text.end(),
                                  [](char c) { return c == ' ' || c == '\n' || c == '\r'; }),
                   text.end());
        return text;
    };
    const auto held = ParseGtidState(compact(mine));
    const auto at = ParseGtidState(compact(point));
    if (!held || !at)
        return Result<std::uint64_t>::Failure("The positions cannot be read (" + mine + ", " +
                                              point + ").");
    std::uint64_t extra = 0;
    for (const auto& [key, sequence] : *held) {
        std::uint64_t pointSequence = 0;
        std::uint32_t pointServer = 0;
        for (const auto& [p, s] : *at)
            if (p.first == key.first && s >= pointSequence) {
                pointSequence = s;
                pointServer = p.second;
            }
        if (sequence > pointSequence)
            extra += sequence - pointSequence;
        else if (sequence == pointSequence && key.second != pointServer)
            extra += 1;
    }
    return extra;
}

// Replication from the new primary where this server's own log ends; a server whose history
// went another way is told by the new primary at once (1236): then it replicates from nothing.
Result<Done> FollowNewPrimary(PairConnections& pair) {
    clsDataBase& self = pair.self;
    self.SQLExecute("CHANGE MASTER TO MASTER_HOST = '" + SQLEscape(pair.partner.host) +
                    "', MASTER_PORT = " + std::to_string(pair.partner.port) + ", MASTER_USER = '" +
                    kBackOfficeUser + "', MASTER_PASSWORD = '" + kBackOfficePassword +
                    "', MASTER_CONNECT_RETRY = 1, MASTER_USE_GTID = "
                    "current_pos;");
    if (!self.ConnectionStatus())
        return Result<Done>::Failure("CHANGE MASTER failed: " + self.LastError().Text());
    if (!StartReplica(self))
        return Result<Done>::Failure("START SLAVE failed: " + self.LastError().Text());
    for (int i = 0; i < 50; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const auto side = ReadServerSide(self);
        if (!side)
            return Result<Done>::Failure(side.error());
        if (side->replica.ioErrno != 0 || side->replica.sqlErrno != 0) {
            const std::string why = ReplicationError(side->replica);
            const auto forgot = ForgetMaster(self);
            return Result<Done>::Failure("the new primary refused this server's history: " + why +
                                         (forgot ? std::string() : "; " + forgot.error()));
        }
        if (side->replica.ioRunning && side->replica.sqlRunning && i >= 5)
            return Done{};
    }
    return Done{};
}

namespace {

// Why the old primary must not follow the new one (nothing when it may): it holds transactions
// after the promotion point `point`, or wrote some since it came back; either way they are
// listed for a person.
std::optional<StandbyReport> RejoinRefusal(PairConnections& pair, const std::string& point) {
    const ServerView& self = pair.view.self;
    const auto extraOrFailure = TransactionsAfterPoint(self.side.binlogPos, point);
    if (!extraOrFailure)
        return Report(StandbyResult::CouldNotRun, extraOrFailure.error());
    if (const auto extra = *extraOrFailure; extra > 0) {
        const auto listed = WriteTransactionsAfter(pair, point);
        return Report(StandbyResult::Refused,
                      "Not rejoined: this server holds " + std::to_string(extra) +
                          " transactions written after the promotion point " + point +
                          " (its log ends at " + self.side.binlogPos +
                          "): nobody was told of them, or they were taken while it was not "
                          "fenced. " +
                          (listed ? "They are listed in " + *listed + " for a person to look at. "
                                  : "They could not be listed: " + listed.error() + ". ") +
                          "After a power cut these are usually what it wrote but never sent (no "
                          "till was told of them): start its server once with "
                          "--init-rpl-role=SLAVE, which removes them, then rejoin. Else standby "
                          "seed --replace here makes it the standby with the new primary's data "
                          "(those transactions are then gone from it).");
    }
    // Written since it came back (its server begins a new file at every start): nobody else
    // holds those, whatever their numbers (after a crash the server drops what it never sent,
    // and a new transaction may then take a number the new primary gave another).
    const auto files = ServerLogFiles(pair.self);
    const auto begins =
        files && !files->empty() ? ServerFileBegins(pair.self, files->back().name) : std::nullopt;
    if (!begins)
        return Report(StandbyResult::CouldNotRun,
                      "This server's binary log cannot be read to see what it wrote since its "
                      "start.");
    // One transaction for each domain, the last (as a start position takes it).
    GtidState last;
    for (const auto& [key, sequence] : *begins) {
        auto same = std::find_if(last.begin(), last.end(),
                                 [&](const auto& e) { return e.first.first == key.first; });
        if (same == last.end() || same->second < sequence) {
            if (same != last.end())
                last.erase(same);
            last[key] = sequence;
        }
    }
    const std::string since = GtidStateText(last);
    if (const auto written = TransactionsAfterPoint(self.side.binlogPos, since);
        !written || *written > 0) {
        const auto listed = WriteTransactionsAfter(pair, since);
        return Report(StandbyResult::Refused,
                      "Not rejoined: this server took " +
                          (written ? std::to_string(*written) : std::string("some")) +
                          " transactions since it came back (its log went on from " + since +
                          " to " + self.side.binlogPos +
                          "), which the new primary does not hold. " +
                          (listed ? "They are listed in " + *listed + " for a person to look at. "
                                  : "They could not be listed: " + listed.error() + ". ") +
                          "standby seed --replace here makes it the standby with the new "
                          "primary's data.");
    }
    return std::nullopt;
}

} // namespace

StandbyReport RejoinOldPrimary(const Say& say) {
    PairConnections pair;
    if (!pair.Look())
        return Report(StandbyResult::CouldNotRun, kNoPair);
    const ServerView& self = pair.view.self;
    const ServerView& other = pair.view.partner;
    if (!self.reached)
        return Report(StandbyResult::CouldNotRun,
                      "This computer's server (" + self.address + ") " + self.why);
    if (!other.reached)
        return Report(StandbyResult::CouldNotRun,
                      "The new primary (" + other.address + ") " + other.why);
    if (pair.view.Role() == "standby" && self.side.replica.configured)
        return Report(StandbyResult::Done, "This server is the standby already.");
    if (!other.OpenPrimary() || other.record->promotionGtid.empty())
        return Report(StandbyResult::Refused,
                      "Not rejoined: the other server (" + other.address +
                          ") is not a primary made by a promotion (its record names no "
                          "promotion point); standby seed --replace makes this one its standby.");
    if (!self.side.readOnly)
        return Report(StandbyResult::Refused,
                      "Not rejoined: this server is open for sales (read_only is OFF).");
    if (auto refused = RejoinRefusal(pair, other.record->promotionGtid))
        return *refused;
    say("following the new primary (" + other.address + ") from " +
            (self.side.binlogPos.empty() ? std::string("the start") : self.side.binlogPos),
        false);
    if (auto followed = FollowNewPrimary(pair); !followed)
        return Report(StandbyResult::Refused, "Not rejoined: " + followed.error());
    if (auto written = WritePairRecord(pair.self, *other.record); !written)
        return Report(StandbyResult::CouldNotRun, written.error());
    const StandbyReport caught = WaitCaughtUp(pair, kCatchUpStallSeconds, say);
    if (caught.result != StandbyResult::Done)
        return Report(caught.result, "Rejoined, but not in step: " + caught.text);
    WriteProgramLog("standby: the old primary rejoined as the standby of " + other.address);
    return Report(StandbyResult::Done, "This server is the standby of the new primary (" +
                                           other.address + ") and in step with it (" + caught.text +
                                           ").");
}

StandbyReport DescribePair(const Say& say) {
    PairConnections pair;
    if (!pair.Look())
        return Report(StandbyResult::CouldNotRun, kNoPair);
    const PairView& v = pair.view;
    auto server = [&](const char* label, const ServerView& s) {
        if (!s.reached) {
            say(std::string(label) + s.address + ", " + s.why, false);
            return;
        }
        std::string line = std::string(label) + s.address + ", server_id " +
                           std::to_string(s.side.serverId) + ", " +
                           (s.side.readOnly ? "read-only" : "open for sales") + ", position " +
                           (s.side.currentPos.empty() ? "(empty)" : s.side.currentPos);
        say(line, false);
        const ReplicaState& r = s.side.replica;
        if (r.configured)
            say(std::string("  replicates from ") + r.masterHost + ":" +
                    std::to_string(r.masterPort) + ": receiving " +
                    (r.ioRunning      ? "yes"
                     : r.ioConnecting ? "connecting"
                                      : "NO") +
                    ", applying " + (r.sqlRunning ? "yes" : "NO") + ", applied " + s.side.slavePos +
                    (ReplicationError(r).empty() ? std::string()
                                                 : "; last error: " + ReplicationError(r)),
                false);
    };
    server("This server:  ", v.self);
    server("Other server: ", v.partner);
    say("Role here:    " + v.Role() +
            (v.FencedWhy().empty() ? std::string() : " (read-only: " + v.FencedWhy() + ")"),
        false);
    if (const auto behind = v.TransactionsBehind()) {
        const PairState measured = PairState::Read();
        say("Standby lag:  " + std::to_string(*behind) + " transactions" +
                (measured.Fresh(std::time(nullptr)) && measured.behindSeconds >= 0
                     ? ", " + std::to_string(measured.behindSeconds) + " s as the monitor measured"
                     : std::string()),
            false);
    }
    const std::string problem = v.StandbyProblem();
    say(std::string("Sales protected: ") +
            (v.SemiSyncOn() && problem.empty()
                 ? "yes (semi-synchronous: a sale is acknowledged once the standby holds it)"
                 : "NO: " + (problem.empty() ? std::string("semi-synchronous replication is off "
                                                           "(no standby acknowledges)")
                                             : problem)),
        false);
    if (!v.self.reached)
        return Report(StandbyResult::CouldNotRun, "");
    return Report(StandbyResult::Done, "");
}

} // namespace zenta
