#pragma once

// The database computer's services that run beside the job cycle, without Qt: the continuous
// copy of the server's binary log, the look at the pair of servers, and the off-site copy. The
// window's timers only drive them and show what they say.
#include "BinlogCopy.h"
#include "OffsiteCopy.h"
#include "StandbyWatch.h"

namespace zenta {

class DatabaseServices {
  public:
    // How often the window drives Look and Finish.
    static constexpr int kIntervalMs = 2000;

    // On the database computer, once its server answers.
    void Start();
    void Stop();

    // What the window does after a look: update the tray's words; run a job cycle now (the
    // database computer's jobs came to this computer).
    struct After {
        bool healthChanged = false;
        bool runCycle = false;
    };
    // The copy's look and the pair's news. A look at the copy that has been down for a while
    // says so without waiting for a cycle (every 30 looks the tray looks again).
    After Look();
    // The finishing of copied files (checked, packed, onto the drive); the window calls it on a
    // timer of its own when no job runs, so that the looks go on while it packs.
    void Finish();

  private:
    BinlogCopier binlog_;
    StandbyWatch standby_;
    OffsiteCopy offsite_;
    long looks_ = 0;
};

} // namespace zenta
