#include "Pair.h"

#include "GlobalDatabase.h"

namespace zenta {

bool ConnectToServer(clsDataBase& db, const std::string& host, long port, long readSeconds) {
    db.ConnectionString(clsDataBase::BuildConnectionString(clsDataBase::kDriver17, host, port, "",
                                                           kBackOfficeUser, kBackOfficePassword) +
                        ";CONN_TIMEOUT=3;READ_TIMEOUT=" + std::to_string(readSeconds) +
                        ";WRITE_TIMEOUT=" + std::to_string(readSeconds));
    return db.ConnectionStatus();
}

bool ConnectToOwnServer(clsDataBase& db, long readSeconds) {
    return ConnectToServer(db, ConfiguredMySQLHost(), ConfiguredMySQLPort(), readSeconds);
}

ServerView LookAtServer(clsDataBase& db, const std::string& address, bool connected) {
    ServerView view;
    view.address = address;
    if (!connected) {
        view.why = "cannot be reached: " + db.LastError().Text();
        return view;
    }
    const auto side = ReadServerSide(db);
    if (!side) {
        view.why = side.error();
        return view;
    }
    view.side = *side;
    const auto record = ReadPairRecord(db);
    if (!record) {
        view.why = record.error();
        return view;
    }
    view.record = *record;
    view.reached = true;
    return view;
}

namespace {

constexpr std::pair<PairRole, const char*> kRoleWords[] = {
    {PairRole::Primary, "primary"},        {PairRole::Fenced, "fenced"},
    {PairRole::OldPrimary, "old primary"}, {PairRole::Standby, "standby"},
    {PairRole::NotPaired, "not paired"},   {PairRole::Unknown, "unknown"},
};

} // namespace

std::string RoleText(PairRole role) {
    for (const auto& [r, words] : kRoleWords)
        if (r == role)
            return words;
    return "unknown";
}

std::optional<PairRole> ParseRole(const std::string& text) {
    for (const auto& [r, words] : kRoleWords)
        if (text == words)
            return r;
    return std::nullopt;
}

PairRole PairView::Role() const {
    if (!self.reached)
        return PairRole::Unknown;
    if (!self.record)
        return PairRole::NotPaired;
    if (self.RecordedPrimary()) {
        if (PartnerPromotedSince())
            return PairRole::OldPrimary;
        return self.side.readOnly ? PairRole::Fenced : PairRole::Primary;
    }
    return PairRole::Standby;
}

std::string PairView::FencedWhy() const {
    if (Role() != PairRole::Fenced)
        return {};
    if (!partner.reached)
        return "the other server (" + partner.address + ") " + partner.why +
               ": it might have been promoted; a person opens this one (standby open)";
    if (!partner.side.readOnly)
        return "the other server (" + partner.address + ") is open for sales too";
    if (!partner.record)
        return "the other server (" + partner.address + ") has no record of the pair";
    return "the other server's record names server_id " +
           std::to_string(partner.record->primaryServerId) + " the primary, not this one";
}

bool PairView::PartnerPromotedSince() const {
    return self.reached && partner.reached && partner.RecordedPrimary() && self.record &&
           partner.record->promotedAt > self.record->promotedAt;
}

const ServerView* PairView::Primary() const {
    const PairRole role = Role();
    if (role == PairRole::Primary || role == PairRole::Fenced)
        return &self;
    if (partner.reached && partner.RecordedPrimary())
        return &partner;
    return nullptr;
}

const ServerView* PairView::Standby() const {
    const ServerView* primary = Primary();
    if (!primary)
        return Role() == PairRole::Standby ? &self : nullptr;
    return primary == &self ? &partner : &self;
}

std::optional<std::uint64_t> PairView::TransactionsBehind() const {
    const ServerView* primary = Primary();
    const ServerView* standby = Standby();
    if (!primary || !standby || !primary->reached || !standby->reached)
        return std::nullopt;
    const auto ahead = ParseGtidPosition(primary->side.binlogPos);
    // What the standby holds: applied as a replica, or written itself (an old primary).
    const auto behind = ParseGtidPosition(standby->side.currentPos);
    if (!ahead || !behind)
        return std::nullopt;
    return zenta::TransactionsBehind(*ahead, *behind);
}

bool PairView::SemiSyncOn() const {
    const ServerView* primary = Primary();
    return primary && primary->reached && primary->side.semiSyncMasterOn &&
           primary->side.semiSyncClients > 0;
}

std::string PairView::StandbyProblem() const {
    const ServerView* standby = Standby();
    if (!standby)
        return "no standby is known (its record, or `standby seed`, is missing)";
    if (!standby->reached)
        return "the standby (" + standby->address + ") " + standby->why;
    const ReplicaState& r = standby->side.replica;
    if (!r.configured && standby == &self && Role() == PairRole::OldPrimary)
        return "this server is the old primary and does not follow the new one (standby seed "
               "--replace here makes it the standby again)";
    if (!r.configured)
        return "the standby does not replicate (run standby seed on the standby computer)";
    // An error of the applying stops it; one of the receiving counts while it does not receive
    // (it stays said after a reconnection).
    if (r.sqlErrno != 0)
        return "the standby's replication " + ReplicationError(r);
    if (!r.sqlRunning)
        return "the standby's replication does not apply (its SQL thread is stopped)";
    if (!r.ioRunning)
        return std::string(r.ioConnecting
                               ? "the standby cannot reach the primary (connecting)"
                               : "the standby's replication does not receive (stopped)") +
               (r.ioErrno != 0 ? ": " + r.ioError : std::string());
    return {};
}

std::vector<AccountProblem> PairAccountProblems(clsDataBase& db) {
    std::vector<AccountProblem> problems;
    for (const char* host : {"%", "localhost"}) {
        const std::string suite = std::string("'") + clsDataBase::kDefaultUser + "'@'" + host + "'";
        const auto tills = ReadAccountPrivileges(db, clsDataBase::kDefaultUser, host);
        if (!tills) {
            problems.push_back({tills.error(), ""});
            return problems;
        }
        if (tills->exists && (tills->readOnlyAdmin || tills->super))
            problems.push_back({suite + " holds " +
                                    (tills->all ? "ALL PRIVILEGES" : "READ ONLY ADMIN or SUPER") +
                                    ": a read-only server would still take its sales",
                                "REVOKE ALL PRIVILEGES, GRANT OPTION FROM " + suite + "; GRANT " +
                                    kSuiteAccountPrivileges + " ON *.* TO " + suite + ";"});
        const std::string back = std::string("'") + kBackOfficeUser + "'@'" + host + "'";
        const auto office = ReadAccountPrivileges(db, kBackOfficeUser, host);
        if (office && office->exists && !(office->readOnlyAdmin && office->replication))
            problems.push_back(
                {back + " cannot open the primary or replicate",
                 "GRANT " + std::string(kBackOfficePairPrivileges) + " ON *.* TO " + back + ";"});
    }
    return problems;
}

bool MayOpen(const PairView& view) {
    return view.Role() == PairRole::Fenced && view.partner.reached && view.partner.side.readOnly &&
           view.partner.record && view.partner.record->primaryServerId == view.self.side.serverId;
}

} // namespace zenta
