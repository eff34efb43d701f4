#include "BinlogReplay.h"

#include "BinlogServer.h"
#include "Common.h"
#include "FileDescriptor.h"
#include "Globals.h"
#include "Process.h"
#include "ReplayFilter.h"
#include "StopRequest.h"
#include "Text.h"
#include "WaitHook.h"
#include "clsDataBase.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace zenta {

namespace {

std::string BaseName(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// mariadb-binlog reading the files into a pipe of this program's, and the client reading
// another: the text passes through ReplayFilter between them.
class ReplaySession {
  public:
    ReplaySession(const std::vector<std::string>& files, std::string target,
                  const std::function<void(const std::string&)>& say)
        : files_(files), target_(std::move(target)), filter_(target_), say_(say) {}
    ~ReplaySession() {
        // A client that ends early must not end this program with SIGPIPE.
        if (ignoring_)
            ::sigaction(SIGPIPE, &previous_, nullptr);
    }
    Result<Done> Start(long long start, long long stop, const std::string& settings);
    // Passes the text on until the reader ends; false when the client stopped taking it.
    bool Pump(long long transactions);
    Result<Done> Finish(bool written);

  private:
    bool Send(std::string& ready);
    void Progress(long long transactions);

    std::vector<std::string> files_;
    std::string target_;
    ReplayFilter filter_;
    std::function<void(const std::string&)> say_;
    std::string errors_ = Globals::AppPath + "Temp/replay-output.txt";
    int reader_ = -1, writer_ = -1;
    FileDescriptor fromReader_, toWriter_;
    bool ignoring_ = false;
    struct sigaction previous_ {};
    size_t shownFile_ = static_cast<size_t>(-1);
    std::chrono::steady_clock::time_point shownAt_ = std::chrono::steady_clock::now();
};

Result<Done> ReplaySession::Start(long long start, long long stop, const std::string& settings) {
    std::remove(errors_.c_str());
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ignoring_ = ::sigaction(SIGPIPE, &ignore, &previous_) == 0;
    std::vector<std::string> reader = {
        BinlogProgram(), "--skip-gtid-strict-mode", "--start-position=" + std::to_string(start),
        "--stop-position=" + std::to_string(stop),
        "--rewrite-db=" + std::string(clsDataBase::kDefaultDatabase) + "->" + target_};
    reader.insert(reader.end(), files_.begin(), files_.end());
    const std::vector<std::string> writer = {"mariadb", "--defaults-extra-file=" + settings,
                                             "--binary-mode", "--init-command=SET sql_log_bin=0",
                                             target_};
    int fromReader[2], toWriter[2];
    if (::pipe2(fromReader, O_CLOEXEC) != 0)
        return Result<Done>::Failure(std::string("no pipe: ") + std::strerror(errno));
    if (::pipe2(toWriter, O_CLOEXEC) != 0) {
        ::close(fromReader[0]);
        ::close(fromReader[1]);
        return Result<Done>::Failure(std::string("no pipe: ") + std::strerror(errno));
    }
    const LowPriorityPrograms low(HelpersRunLow());
    reader_ = StartInPipeline(reader, -1, fromReader[1], errors_);
    const std::string readerError = ProgramStartError();
    writer_ = StartInPipeline(writer, toWriter[0], -1, errors_);
    const std::string writerError = ProgramStartError();
    ::close(fromReader[1]);
    ::close(toWriter[0]);
    fromReader_ = FileDescriptor(fromReader[0]);
    toWriter_ = FileDescriptor(toWriter[1]);
    if (reader_ < 0 || writer_ < 0)
        return Result<Done>::Failure(reader_ < 0 ? readerError : writerError);
    return Done{};
}

bool ReplaySession::Send(std::string& ready) {
    for (size_t done = 0; done < ready.size();) {
        const ssize_t n = ::write(toWriter_.get(), ready.data() + done, ready.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false; // the client ended: its error says why
        done += static_cast<size_t>(n);
    }
    ready.clear();
    return true;
}

void ReplaySession::Progress(long long transactions) {
    const auto now = std::chrono::steady_clock::now();
    const size_t file = std::min(filter_.file(), files_.size() - 1);
    if (!say_ || (file == shownFile_ && now - shownAt_ < std::chrono::seconds(5)))
        return;
    shownFile_ = file;
    shownAt_ = now;
    say_("  replaying " + BaseName(files_[file]) + " (" + std::to_string(file + 1) + " of " +
         std::to_string(files_.size()) + " files): " + std::to_string(filter_.transactions()) +
         " of " + std::to_string(transactions) + " transactions");
}

bool ReplaySession::Pump(long long transactions) {
    std::string carry, ready;
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t n = ::read(fromReader_.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        carry.append(buffer.data(), static_cast<size_t>(n));
        size_t from = 0;
        for (size_t end; (end = carry.find('\n', from)) != std::string::npos; from = end + 1)
            filter_.Line(std::string_view(carry).substr(from, end - from), ready);
        carry.erase(0, from);
        if (!Send(ready) || StopRequested())
            return false;
        CallWaitHook();
        Progress(transactions);
    }
    if (!carry.empty())
        filter_.Line(carry, ready);
    filter_.Finish(ready);
    return Send(ready);
}

Result<Done> ReplaySession::Finish(bool written) {
    toWriter_.Close();
    fromReader_.Close(); // a reader still writing ends on its own
    std::string readerHow, writerHow;
    const int readerStatus = WaitForExit(reader_, &readerHow);
    const int writerStatus = WaitForExit(writer_, &writerHow);
    std::string output = TrimSpaces(ReadWholeFile(errors_).value_or(""));
    std::remove(errors_.c_str());
    if (StopRequested())
        return Result<Done>::Failure("stopped, the program is ending");
    if (readerStatus == 0 && writerStatus == 0 && written)
        return Done{};
    if (output.size() > 600)
        output = "..." + output.substr(output.size() - 600);
    auto how = [](int status, const std::string& signal) {
        return status == -1 ? signal : "exit status " + std::to_string(status);
    };
    std::string why;
    if (writerStatus != 0)
        why = "the client (mariadb) failed: " + how(writerStatus, writerHow);
    else if (readerStatus != 0)
        why = BinlogProgram() + " failed: " + how(readerStatus, readerHow);
    else
        why = "the client stopped taking statements";
    return Result<Done>::Failure(why + (output.empty() ? std::string() : ": " + output));
}

} // namespace

Result<Done> ReplayBinlog(const std::vector<std::string>& files, long long start, long long stop,
                          long long transactions, const std::string& target,
                          const std::function<void(const std::string&)>& say) {
    if (files.empty())
        return Done{};
    const auto settings = WriteClientSettings("replay-client.cnf");
    if (!settings)
        return Result<Done>::Failure(settings.error());
    ReplaySession session(files, target, say);
    auto started = session.Start(start, stop, *settings);
    const bool written = started && session.Pump(transactions);
    auto finished = session.Finish(written);
    std::remove(settings->c_str());
    if (!started)
        return started;
    return finished;
}

} // namespace zenta
