#include "Replication.h"

#include "Common.h"
#include "GlobalDatabase.h"
#include "Text.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace zenta {

std::vector<std::string> PairServerSettings::Problems() const {
    std::vector<std::string> p;
    auto need = [&](bool good, const std::string& what, const std::string& fix) {
        if (!good)
            p.push_back(what + ": " + fix);
    };
    need(serverId != 0, "server_id is 0", "server_id = 1 on one computer, 2 on the other");
    need(logBin, "the server keeps no binary log", "log_bin = shop-bin");
    need(AsciiUpperCase(binlogFormat) == "ROW", "binlog_format is " + binlogFormat,
         "binlog_format = ROW");
    need(logSlaveUpdates, "log_slave_updates is OFF", "log_slave_updates = ON");
    need(gtidStrictMode, "gtid_strict_mode is OFF", "gtid_strict_mode = ON");
    need(syncBinlog == 1, "sync_binlog is " + std::to_string(syncBinlog), "sync_binlog = 1");
    need(flushAtCommit == 1, "innodb_flush_log_at_trx_commit is " + std::to_string(flushAtCommit),
         "innodb_flush_log_at_trx_commit = 1");
    need(semiSyncMaster, "rpl_semi_sync_master_enabled is OFF",
         "rpl_semi_sync_master_enabled = ON");
    need(semiSyncSlave, "rpl_semi_sync_slave_enabled is OFF", "rpl_semi_sync_slave_enabled = ON");
    need(AsciiUpperCase(waitPoint) == "AFTER_SYNC",
         "rpl_semi_sync_master_wait_point is " + waitPoint,
         "rpl_semi_sync_master_wait_point = AFTER_SYNC");
    need(semiSyncTimeoutMs > 0 && semiSyncTimeoutMs <= 1000,
         "rpl_semi_sync_master_timeout is " + std::to_string(semiSyncTimeoutMs) + " ms",
         "rpl_semi_sync_master_timeout = 1000");
    need(!waitNoSlave,
         "rpl_semi_sync_master_wait_no_slave is ON (a dead standby would hold "
         "every sale for the whole timeout)",
         "rpl_semi_sync_master_wait_no_slave = OFF");
    need(!relayLog.empty(),
         "relay_log has no fixed name (it would change with the computer's name)",
         "relay_log = shop-relay-bin");
    return p;
}

namespace {

bool IsLoopback(const std::string& address) {
    return address.rfind("127.", 0) == 0 || address == "::1" ||
           AsciiLowerCase(address) == "localhost";
}

bool IsEveryAddress(const std::string& address) {
    return address.empty() || address == "*" || address == "0.0.0.0" || address == "::";
}

} // namespace

std::vector<std::string> PairServerSettings::ListenProblems(const std::string& partnerHost,
                                                            const std::string& floating) const {
    const std::string fix = "bind_address = 0.0.0.0 in 60-zentamarket-pair.cnf (Debian's own "
                            "50-server.cnf sets 127.0.0.1), then sudo systemctl restart mariadb";
    if (skipNetworking)
        return {"skip_networking is ON: the server takes no network connection, so the other "
                "computer cannot reach it: skip_networking = OFF"};
    std::vector<std::string> addresses;
    for (size_t at = 0;;) {
        const size_t comma = bindAddress.find(',', at);
        addresses.push_back(TrimWhitespace(bindAddress.substr(at, comma - at)));
        if (comma == std::string::npos)
            break;
        at = comma + 1;
    }
    if (std::any_of(addresses.begin(), addresses.end(), IsEveryAddress))
        return {};
    const bool loopbackOnly = std::all_of(addresses.begin(), addresses.end(), IsLoopback);
    std::vector<std::string> p;
    if (loopbackOnly && !IsLoopback(partnerHost))
        p.push_back("the server listens only on " + bindAddress +
                    " (bind_address): the other computer cannot reach it (its replication, "
                    "standby seed), nor can the tills at the floating address: " +
                    fix);
    else if (!floating.empty() &&
             std::find(addresses.begin(), addresses.end(), floating) == addresses.end())
        p.push_back("the server listens only on " + bindAddress +
                    " (bind_address): the tills' connections to the floating address " + floating +
                    " would be refused on this computer: " + fix);
    return p;
}

Result<PairServerSettings> ReadPairServerSettings(clsDataBase& db) {
    db.CreatDatasArray(
        "SELECT @@server_id, @@log_bin, @@binlog_format, @@log_slave_updates, @@gtid_strict_mode, "
        "@@sync_binlog, @@innodb_flush_log_at_trx_commit, @@rpl_semi_sync_master_enabled, "
        "@@rpl_semi_sync_slave_enabled, @@rpl_semi_sync_master_wait_point, "
        "@@rpl_semi_sync_master_timeout, @@rpl_semi_sync_master_wait_no_slave, @@relay_log, "
        "@@bind_address, @@skip_networking;");
    if (!db.ConnectionStatus() || db.DatasArray()->Count(1) == 0)
        return Result<PairServerSettings>::Failure("the server's replication settings cannot be "
                                                   "read: " +
                                                   db.LastError().Text());
    auto number = [&](long col) { return static_cast<long>(db.DatasArrayValue(0, col).ToInt64()); };
    PairServerSettings s;
    s.serverId = number(0);
    s.logBin = number(1) != 0;
    s.binlogFormat = db.DatasArrayValue(0, 2).ToString();
    s.logSlaveUpdates = number(3) != 0;
    s.gtidStrictMode = number(4) != 0;
    s.syncBinlog = number(5);
    s.flushAtCommit = number(6);
    s.semiSyncMaster = number(7) != 0;
    s.semiSyncSlave = number(8) != 0;
    s.waitPoint = db.DatasArrayValue(0, 9).ToString();
    s.semiSyncTimeoutMs = number(10);
    s.waitNoSlave = number(11) != 0;
    s.relayLog = db.DatasArrayValue(0, 12).ToString();
    s.bindAddress = db.DatasArrayValue(0, 13, true).ToString();
    s.skipNetworking = number(14) != 0;
    return s;
}

namespace {

bool ReadReplica(clsDataBase& db, ReplicaState& r) {
    db.CreatDatasArray("SHOW SLAVE STATUS;");
    if (!db.ConnectionStatus())
        return false;
    if (db.DatasArray()->Count(1) == 0)
        return true;
    auto field = [&](const char* name) {
        return db.DatasArrayValueByField(0, name, true).ToString();
    };
    auto number = [&](const char* name) {
        return static_cast<long>(db.DatasArrayValueByField(0, name).ToInt64());
    };
    r.configured = true;
    r.masterHost = field("Master_Host");
    r.masterPort = number("Master_Port");
    const std::string io = field("Slave_IO_Running");
    r.ioRunning = io == "Yes";
    r.ioConnecting = io == "Connecting";
    r.sqlRunning = field("Slave_SQL_Running") == "Yes";
    r.ioErrno = number("Last_IO_Errno");
    r.ioError = field("Last_IO_Error");
    r.sqlErrno = number("Last_SQL_Errno");
    r.sqlError = field("Last_SQL_Error");
    r.received = field("Gtid_IO_Pos");
    return true;
}

bool ReadSemiSync(clsDataBase& db, ServerSide& side) {
    db.CreatDatasArray("SHOW GLOBAL STATUS LIKE 'Rpl_semi_sync_%';");
    if (!db.ConnectionStatus())
        return false;
    const auto rows = db.DatasArray();
    for (long r = 0; r < rows->Count(1); ++r) {
        const std::string name = AsciiLowerCase(rows->Value(r, 0).ToString());
        const std::string value = AsciiUpperCase(rows->Value(r, 1).ToString());
        if (name == "rpl_semi_sync_master_status")
            side.semiSyncMasterOn = value == "ON";
        else if (name == "rpl_semi_sync_master_clients")
            side.semiSyncClients = std::atol(value.c_str());
        else if (name == "rpl_semi_sync_slave_status")
            side.semiSyncSlaveOn = value == "ON";
    }
    return true;
}

} // namespace

Result<ServerSide> ReadServerSide(clsDataBase& db) {
    db.CreatDatasArray("SELECT @@server_id, @@read_only, @@gtid_binlog_pos, @@gtid_slave_pos, "
                       "@@gtid_current_pos;");
    if (!db.ConnectionStatus() || db.DatasArray()->Count(1) == 0)
        return Result<ServerSide>::Failure("the server's replication state cannot be read: " +
                                           db.LastError().Text());
    ServerSide side;
    side.serverId = static_cast<long>(db.DatasArrayValue(0, 0).ToInt64());
    side.readOnly = db.DatasArrayValue(0, 1).ToInt64() != 0;
    side.binlogPos = db.DatasArrayValue(0, 2, true).ToString();
    side.slavePos = db.DatasArrayValue(0, 3, true).ToString();
    side.currentPos = db.DatasArrayValue(0, 4, true).ToString();
    if (!ReadSemiSync(db, side) || !ReadReplica(db, side.replica))
        return Result<ServerSide>::Failure("the server's replication state cannot be read: " +
                                           db.LastError().Text());
    return side;
}

bool SetReadOnly(clsDataBase& db, bool on) {
    db.SQLExecute(std::string("SET GLOBAL read_only = ") + (on ? "ON" : "OFF") + ";");
    return db.ConnectionStatus();
}

Result<Done> PointReplicaAt(clsDataBase& db, const std::string& host, long port,
                            ReplicaStart from) {
    db.SQLExecute("CHANGE MASTER TO MASTER_HOST = '" + SQLEscape(host) +
                  "', MASTER_PORT = " + std::to_string(port) + ", MASTER_USER = '" +
                  kBackOfficeUser + "', MASTER_PASSWORD = '" + kBackOfficePassword +
                  "', MASTER_CONNECT_RETRY = 1, MASTER_USE_GTID = " +
                  (from == ReplicaStart::Applied ? "slave_pos" : "current_pos") + ";");
    if (!db.ConnectionStatus())
        return Result<Done>::Failure("CHANGE MASTER failed: " + db.LastError().Text());
    return Done{};
}

bool StartReplica(clsDataBase& db) {
    db.SQLExecute("START SLAVE;");
    return db.ConnectionStatus();
}

bool StopReplicaReceiving(clsDataBase& db) {
    db.SQLExecute("STOP SLAVE IO_THREAD;");
    return db.ConnectionStatus();
}

Result<Done> ForgetMaster(clsDataBase& db) {
    for (const char* statement : {"STOP SLAVE;", "RESET SLAVE ALL;"})
        if (const auto done = db.Execute(statement); !done)
            return Result<Done>::Failure(std::string(statement) + " failed: " + done.error());
    return Done{};
}

Result<int> EndOtherSessions(clsDataBase& db) {
    const auto sessions =
        db.Select("SELECT ID FROM information_schema.PROCESSLIST WHERE ID <> CONNECTION_ID() "
                  "AND COMMAND NOT IN ('Binlog Dump', 'Daemon', 'Slave_IO', 'Slave_SQL', "
                  "'Slave_worker') AND USER NOT IN ('system user', 'event_scheduler');");
    if (!sessions)
        return Result<int>::Failure("the server's sessions cannot be listed: " + sessions.error());
    std::vector<std::string> ids;
    for (long r = 0; r < (*sessions)->Count(1); ++r)
        if (const std::string id = (*sessions)->Value(r, 0).ToString();
            !id.empty() && id.find_first_not_of("0123456789") == std::string::npos)
            ids.push_back(id);
    int ended = 0;
    for (const auto& id : ids) // one that ended meanwhile is not an error
        ended += db.Execute("KILL CONNECTION " + id + ";") ? 1 : 0;
    return ended;
}

std::string ReplicationError(const ReplicaState& r) {
    if (r.sqlErrno != 0)
        return "applying stopped with error " + std::to_string(r.sqlErrno) + ": " + r.sqlError;
    if (r.ioErrno != 0)
        return "receiving: error " + std::to_string(r.ioErrno) + ": " + r.ioError;
    return {};
}

GtidPosition HeldPosition(const ServerSide& side) {
    GtidPosition held = ParseGtidPosition(side.binlogPos).value_or(GtidPosition{});
    for (const auto& [domain, sequence] : ParseGtidPosition(side.slavePos).value_or(GtidPosition{}))
        held[domain] = std::max(held[domain], sequence);
    return held;
}

std::string HeldText(const ServerSide& side) {
    // The GTIDs themselves (server ids included), the later of the two per domain.
    GtidState held;
    for (const std::string* text : {&side.binlogPos, &side.slavePos}) {
        for (const auto& [key, sequence] : ParseGtidText(*text).value_or(GtidState{})) {
            auto same = std::find_if(held.begin(), held.end(),
                                     [&](const auto& e) { return e.first.first == key.first; });
            if (same != held.end() && same->second >= sequence)
                continue;
            if (same != held.end())
                held.erase(same);
            held[key] = sequence;
        }
    }
    return held.empty() ? "(nothing)" : GtidStateText(held);
}

std::string HoldWait::Said() const {
    return "it holds " + held +
           (stopped.empty() ? std::string() : "; its replication stopped: " + stopped);
}

Result<HoldWait> WaitUntilHolds(clsDataBase& db, const std::string& position, double seconds) {
    using Clock = std::chrono::steady_clock;
    const auto target = ParseGtidPosition(position);
    if (!target)
        return Result<HoldWait>::Failure("\"" + position + "\" is no GTID position");
    const auto deadline =
        Clock::now() + std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
    for (;;) {
        const auto side = ReadServerSide(db);
        if (!side)
            return Result<HoldWait>::Failure(side.error());
        HoldWait wait;
        wait.held = HeldText(*side);
        wait.behind = TransactionsBehind(*target, HeldPosition(*side));
        wait.reached = wait.behind == 0;
        const ReplicaState& r = side->replica;
        if (!wait.reached && r.configured && !r.sqlRunning && r.sqlErrno != 0)
            wait.stopped = ReplicationError(r);
        if (wait.reached || !wait.stopped.empty() || Clock::now() >= deadline)
            return wait;
        // Woken at once by what the replica applies; its own log is looked at between.
        const double slice =
            std::clamp(std::chrono::duration<double>(deadline - Clock::now()).count(), 0.0, 0.25);
        char timeout[32];
        std::snprintf(timeout, sizeof timeout, "%.3f", slice);
        if (const auto waited = db.Select("SELECT MASTER_GTID_WAIT('" + SQLEscape(position) +
                                          "', " + timeout + ");");
            !waited)
            return Result<HoldWait>::Failure("MASTER_GTID_WAIT failed: " + waited.error());
    }
}

void AddGrantLine(const std::string& line, AccountPrivileges& p) {
    const std::string upper = AsciiUpperCase(line);
    const size_t on = upper.find(" ON *.* ");
    if (upper.rfind("GRANT ", 0) != 0 || on == std::string::npos)
        return;
    const std::string privileges = upper.substr(6, on - 6);
    if (privileges.find("ALL PRIVILEGES") != std::string::npos) {
        p.all = p.readOnlyAdmin = p.super = p.replication = true;
        return;
    }
    size_t at = 0;
    while (at <= privileges.size()) {
        size_t end = privileges.find(',', at);
        if (end == std::string::npos)
            end = privileges.size();
        const std::string name = TrimSpaces(privileges.substr(at, end - at));
        at = end + 1;
        if (name == "READ ONLY ADMIN")
            p.readOnlyAdmin = true;
        else if (name == "SUPER")
            p.super = true;
        else if (name == "REPLICATION SLAVE")
            p.replication = true;
    }
}

Result<AccountPrivileges> ReadAccountPrivileges(clsDataBase& db, const std::string& user,
                                                const std::string& host) {
    AccountPrivileges p;
    db.CreatDatasArray("SELECT COUNT(*) FROM mysql.user WHERE User = '" + SQLEscape(user) +
                       "' AND Host = '" + SQLEscape(host) + "';");
    if (!db.ConnectionStatus() || db.DatasArray()->Count(1) == 0)
        return Result<AccountPrivileges>::Failure("the accounts cannot be read: " +
                                                  db.LastError().Text());
    if (db.DatasArrayValue(0, 0).ToInt64() == 0)
        return p;
    p.exists = true;
    const auto grants =
        db.Select("SHOW GRANTS FOR '" + SQLEscape(user) + "'@'" + SQLEscape(host) + "';");
    if (!grants)
        return Result<AccountPrivileges>::Failure("the grants of " + user + "@" + host +
                                                  " cannot be read: " + grants.error());
    for (long r = 0; r < (*grants)->Count(1); ++r)
        AddGrantLine((*grants)->Value(r, 0).ToString(), p);
    return p;
}

} // namespace zenta
