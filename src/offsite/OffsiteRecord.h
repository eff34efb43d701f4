#pragma once

// The off-site repository as the monitor last sent to it: the section Repository of the job
// record, kept here and only here. status, the panel, the tray, doctor and the metrics read it.
// (The post-backup command keeps its own section, OffsiteCopy.)
#include <ctime>
#include <string>

namespace zenta {

enum class RepositoryState {
    NotStarted, // never tried (not configured, or not the database computer)
    Current,    // everything the local copy holds whole is in the repository
    Behind,     // the repository answers, and what is not there yet is on its way
    Down,       // the repository cannot be written: why
    Off,        // the settings turn it off, or cannot be used: why
};
std::string RepositoryStateText(RepositoryState state);
RepositoryState ParseRepositoryState(const std::string& text);

struct OffsiteOutcome {
    std::string checked; // when the monitor last tried ("" never)
    RepositoryState state = RepositoryState::NotStarted;
    std::string since;           // in that state since
    std::string why;             // why it is down, behind or off
    std::string where;           // endpoint, bucket and prefix
    std::string reach;           // when the last transaction the repository holds was committed
    long long lagSeconds = -1;   // how far that is behind the local copy's reach
    long long pendingBytes = -1; // bytes of the local copy not in the repository yet
    std::string lastArchive, lastArchiveTime;
    bool encrypted = false;
    std::string conflict; // a name found taken by bytes that are not the shop's (an alert)
    // The two senders' own words, from which state and why follow: the log's state and why,
    // and why the last archive could not be sent ("" when it was).
    RepositoryState logState = RepositoryState::NotStarted;
    std::string logWhy, archiveWhy;
    std::string logRound; // when the round of the log's sender that found logState began
    // State and why from the senders' words: down when either is, else the log's.
    void Combine();

    static OffsiteOutcome Read();
    void Record() const;
    // Written by a monitor that still sends (within the last two minutes).
    bool Fresh(std::time_t now) const;
    // "current", "behind since T: why", "down since T: why", "off: why", as of `now`.
    std::string Text(std::time_t now) const;
    // Why the tray warns ("" when it does not): behind or down for `warnMinutes`, a conflict,
    // the shop's data leaving the shop unencrypted.
    std::string Warning(std::time_t now, long warnMinutes) const;
    // The repository's part of the metrics file (nothing while never started).
    std::string MetricsText(std::time_t now) const;
};

} // namespace zenta
