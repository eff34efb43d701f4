#include "Seed.h"
#include "StandbySteps.h"

#include "BinaryLog.h"
#include "BinlogServer.h"
#include "Common.h"
#include "DatabaseTools.h"
#include "ErrorMode.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "Process.h"
#include "Text.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace zenta {

namespace {

using Clock = std::chrono::steady_clock;

// The databases a standby holds for the shop: all but the server's own and the program's record.
Result<std::vector<std::string>> ShopDatabases(clsDataBase& db) {
    const auto rows =
        db.Select("SELECT SCHEMA_NAME FROM information_schema.SCHEMATA WHERE SCHEMA_NAME NOT "
                  "IN ('mysql', 'information_schema', 'performance_schema', 'sys', '" +
                  std::string(kPairRecordDatabase) + "') ORDER BY SCHEMA_NAME;");
    if (!rows)
        return Result<std::vector<std::string>>::Failure("the databases cannot be listed: " +
                                                         rows.error());
    std::vector<std::string> names;
    for (long r = 0; r < (*rows)->Count(1); ++r)
        names.push_back((*rows)->Value(r, 0).ToString());
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
    if (view.Role() == PairRole::Fenced && !replace)
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
            if (const auto dropped = self.Execute("DROP DATABASE " + QuotedName(name) + ";");
                !dropped)
                return Result<Done>::Failure("the database " + name +
                                             " cannot be dropped: " + dropped.error());
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
    const int status = WaitForProgram(
        pid,
        [&] { say("copying the primary's databases: " + Megabytes(FileLength(files.dump)), true); },
        [&] { return FileLength(files.dump); });
    if (status != 0)
        return Position::Failure(ProgramEnded("mariadb-dump", status) + ": " +
                                 TrimWhitespace(FileTail(files.errors, 600)));
    // The snapshot's position is given near the end, commented out.
    const std::string tail = FileTail(files.dump, 1 << 16);
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
    const int status = WaitForProgram(
        pid,
        [&] {
            say("loading the copy into the standby: " + Megabytes(BytesReadBy(pid)) + " of " +
                    Megabytes(total),
                true);
        },
        [&] { return BytesReadBy(pid); });
    if (status != 0)
        return Result<Done>::Failure("loading the copy failed: " + ProgramEnded("mariadb", status) +
                                     ": " + TrimWhitespace(FileTail(files.errors, 600)));
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
        return "this server is not the open primary (it is " + RoleText(pair.view.Role()) + ")";
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

} // namespace zenta
