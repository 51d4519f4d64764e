#pragma once
// The two threads that talk to the ledger, each through a view of its own:
// one reads the page's figures every refresh, the other runs the requests'
// queries (an ID search, a CSV page), so neither waits for the other. A
// request waits for its answer a bounded time, so a slow or stopped database
// server never holds the HTTP server: the page shows the figures' age and
// why they are old.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "ledger/LineView.h"

namespace ts::web {

class LineFeed {
public:
    using Clock = std::function<int64_t()>;  // UTC milliseconds
    // Views of the ledger at `location`, opened again after a failure.
    using Opener =
        std::function<LedgerResult(const std::string& location, std::unique_ptr<LineView>*)>;

    LineFeed(std::string location, int refreshMs, Clock clock, Opener opener = nullptr);
    ~LineFeed();
    LineFeed(const LineFeed&) = delete;
    LineFeed& operator=(const LineFeed&) = delete;

    void Start();
    void Stop();

    // The envelope the page polls: the ledger, the database's state, the
    // figures (as last read) and their time.
    std::string Current() const;

    // Runs `job` on the ledger's thread and waits at most `waitMs` for its
    // result and the text it made (`out`). Busy when it did not run in time
    // (or too many wait already): the job is then dropped, or its result
    // ignored. The job may outlive the call: it keeps copies, no references.
    using Job = std::function<LedgerResult(LineView&, std::string* text)>;
    LedgerResult Ask(Job job, int waitMs, std::string* out);

    // Requests waiting at most.
    static constexpr size_t kQueueLimit = 8;

private:
    struct Task;
    void RefreshLoop();
    void AskLoop();
    void Refresh();

    std::string location_;
    int refreshMs_;
    Clock clock_;
    Opener opener_;
    std::unique_ptr<LineView> figuresView_;  // the refreshing thread's only
    std::unique_ptr<LineView> askView_;      // the asking thread's only

    mutable std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::shared_ptr<Task>> queue_;
    bool stop_ = false;
    std::string describe_;
    std::string state_ = "starting";  // "ok", "offline", "slow", "error"
    std::string message_;
    std::string data_;      // SnapshotJson of the last good read, or empty
    int64_t dataMs_ = 0;    // when it was read
    int64_t tryMs_ = 0;     // when the last read began
    bool reading_ = false;  // a read is under way
    std::thread refresher_;
    std::thread asker_;
};

}  // namespace ts::web
