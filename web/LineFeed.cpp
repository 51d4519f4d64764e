#include "web/LineFeed.h"

#include <chrono>
#include <nlohmann/json.hpp>

#include "ledger/LedgerSettings.h"
#include "web/LineJson.h"

namespace ts::web {

struct LineFeed::Task {
    Job job;
    LedgerResult result;
    std::string text;
    bool started = false;
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
    thread_ = std::thread([this] { Loop(); });
}

void LineFeed::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_);
        stop_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
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
    if (!view_) r = opener_(location_, &view_);
    LineSnapshot snap;
    if (r.ok()) r = view_->Snapshot(clock_(), &snap);
    std::string data = r.ok() ? SnapshotJson(snap) : std::string();
    // A view whose server went away is opened anew next time.
    if (!r.ok() && r.status != LedgerStatus::Busy) view_.reset();
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

void LineFeed::Loop() {
    auto next = std::chrono::steady_clock::now();
    for (;;) {
        std::shared_ptr<Task> task;
        {
            std::unique_lock<std::mutex> lock(m_);
            cv_.wait_until(lock, next, [&] { return stop_ || !queue_.empty(); });
            if (stop_) {
                for (auto& t : queue_) t->abandoned = true;
                queue_.clear();
                return;
            }
            if (!queue_.empty()) {
                task = queue_.front();
                queue_.pop_front();
                if (task->abandoned) continue;
                task->started = true;
            }
        }
        if (!task) {
            Refresh();
            next = std::chrono::steady_clock::now() + std::chrono::milliseconds(refreshMs_);
            continue;
        }
        LedgerResult r;
        if (!view_) r = opener_(location_, &view_);
        std::string text;
        if (r.ok()) r = task->job(*view_, &text);
        if (!r.ok() && r.status == LedgerStatus::Offline) view_.reset();
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
