#include "web/LineFeed.h"

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>

#include "ledger/LedgerSettings.h"
#include "web/LineJson.h"

namespace ts::web {

struct LineFeed::Task {
    Job job;
    LedgerResult result;
    std::string text;
    bool done = false;
    bool abandoned = false;
};

LineFeed::LineFeed(std::string location, int refreshMs, Clock clock, Opener opener)
    : location_(std::move(location)),
      refreshMs_(refreshMs),
      clock_(std::move(clock)),
      opener_(std::move(opener)) {
    if (!opener_) opener_ = &LineView::Open;
    describe_ = IsSharedLedger(location_) ? LedgerDisplayName(location_) : location_;
}

LineFeed::~LineFeed() { Stop(); }

void LineFeed::Start() {
    refresher_ = std::thread([this] { RefreshLoop(); });
    asker_ = std::thread([this] { AskLoop(); });
}

void LineFeed::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_);
        stop_ = true;
    }
    cv_.notify_all();
    if (refresher_.joinable()) refresher_.join();
    if (asker_.joinable()) asker_.join();
}

std::string LineFeed::Current() const {
    std::string state;
    std::string message;
    std::string data;
    int64_t dataMs = 0;
    int64_t tryMs = 0;
    bool reading = false;
    {
        std::lock_guard<std::mutex> lock(m_);
        state = state_;
        message = message_;
        data = data_;
        dataMs = dataMs_;
        tryMs = tryMs_;
        reading = reading_;
    }
    const int64_t now = clock_();
    // A read that takes far longer than a refresh: the server is slow or
    // stopped, whatever the last read said.
    if (reading && now - tryMs > 3 * static_cast<int64_t>(refreshMs_) + 2000) {
        state = "slow";
        message = "ledger " + describe_ + ": no answer for " +
                  std::to_string((now - tryMs) / 1000) + " s";
    }
    nlohmann::json head = {{"ledger", describe_},
                           {"state", state},
                           {"message", message},
                           {"nowMs", now},
                           {"dataMs", dataMs ? nlohmann::json(dataMs) : nlohmann::json(nullptr)},
                           {"refreshMs", refreshMs_}};
    std::string out = head.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    out.pop_back();  // the closing brace: the figures follow
    out += ",\"data\":";
    out += data.empty() ? "null" : data;
    out += '}';
    return out;
}

LedgerResult LineFeed::Ask(Job job, int waitMs, std::string* out) {
    auto task = std::make_shared<Task>();
    task->job = std::move(job);
    std::unique_lock<std::mutex> lock(m_);
    const LedgerResult busy = LedgerResult::Fail(
        LedgerStatus::Busy, "ledger " + describe_ + ": no answer within " +
                                std::to_string(waitMs / 1000) + " s (it is busy or slow)");
    if (queue_.size() >= kQueueLimit || stop_) return busy;
    queue_.push_back(task);
    cv_.notify_all();
    if (cv_.wait_for(lock, std::chrono::milliseconds(waitMs), [&] { return task->done; })) {
        *out = std::move(task->text);
        return task->result;
    }
    task->abandoned = true;
    return busy;
}

void LineFeed::Refresh() {
    {
        std::lock_guard<std::mutex> lock(m_);
        reading_ = true;
        tryMs_ = clock_();
    }
    LedgerResult r;
    if (!figuresView_) r = opener_(location_, &figuresView_);
    LineSnapshot snap;
    if (r.ok()) r = figuresView_->Snapshot(clock_(), &snap);
    std::string data = r.ok() ? SnapshotJson(snap) : std::string();
    // A view whose server went away is opened anew next time.
    if (!r.ok() && r.status != LedgerStatus::Busy) figuresView_.reset();
    std::lock_guard<std::mutex> lock(m_);
    reading_ = false;
    if (r.ok()) {
        state_ = "ok";
        message_.clear();
        data_ = std::move(data);
        dataMs_ = snap.nowMs;
    } else {
        state_ = FailureKind(r.status);
        message_ = r.message;
    }
}

void LineFeed::RefreshLoop() {
    for (;;) {
        const auto t0 = std::chrono::steady_clock::now();
        Refresh();
        // At least the refresh, and the ledger left alone at least as long as
        // a read took: a big ledger is read less often, never without pause.
        const auto took = std::chrono::steady_clock::now() - t0;
        const auto next = std::chrono::steady_clock::now() +
                          std::max<std::chrono::steady_clock::duration>(
                              std::chrono::milliseconds(refreshMs_) - took, took);
        std::unique_lock<std::mutex> lock(m_);
        if (cv_.wait_until(lock, next, [&] { return stop_; })) return;
    }
}

void LineFeed::AskLoop() {
    for (;;) {
        std::shared_ptr<Task> task;
        {
            std::unique_lock<std::mutex> lock(m_);
            cv_.wait(lock, [&] { return stop_ || !queue_.empty(); });
            if (stop_) {
                for (auto& t : queue_) t->abandoned = true;
                queue_.clear();
                return;
            }
            task = queue_.front();
            queue_.pop_front();
            if (task->abandoned) continue;
        }
        LedgerResult r;
        if (!askView_) r = opener_(location_, &askView_);
        std::string text;
        if (r.ok()) r = task->job(*askView_, &text);
        if (!r.ok() && r.status == LedgerStatus::Offline) askView_.reset();
        {
            std::lock_guard<std::mutex> lock(m_);
            task->result = r;
            task->text = std::move(text);
            task->done = true;
        }
        cv_.notify_all();
    }
}

}  // namespace ts::web
