#pragma once
// The narrow seams between the core and whatever shows it: the log box, the
// message boxes and the clock. The GUI implements them with widgets, the CLI
// with its output, tests with scripts.
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace ts {

// The log box's text. AppendLog reads it whole, appends, caps, writes back.
class LogView {
public:
    virtual ~LogView() = default;
    virtual std::u16string GetText() = 0;
    virtual void SetText(const std::u16string& text) = 0;
    virtual void ScrollToEnd() {}
    // Told of each line as it is appended (after the text was set).
    virtual void LineAppended(const std::u16string& line) { (void)line; }
};

// A log kept in memory (CLI, tests); `onLine` sees each appended line.
class MemoryLogView : public LogView {
public:
    std::u16string text;
    std::function<void(const std::u16string&)> onLine;
    std::u16string GetText() override { return text; }
    void SetText(const std::u16string& t) override { text = t; }
    void LineAppended(const std::u16string& line) override {
        if (onLine) onLine(line);
    }
};

enum class MsgButtons { Ok, YesNo };
enum class MsgIcon { None, Error, Question, Information };
enum class MsgAnswer { Ok, Yes, No, Cancel };

struct MessageRequest {
    std::u16string text;
    std::u16string caption;
    MsgButtons buttons = MsgButtons::Ok;
    MsgIcon icon = MsgIcon::None;
};

class MessageBoxer {
public:
    virtual ~MessageBoxer() = default;
    virtual MsgAnswer Show(const MessageRequest& request) = 0;
};

// Answers from a script, in order; records every box shown. With the script
// empty, OK boxes answer Ok and Yes/No boxes answer `fallback`.
class ScriptedMessageBoxer : public MessageBoxer {
public:
    std::deque<MsgAnswer> answers;
    MsgAnswer fallback = MsgAnswer::No;
    std::vector<MessageRequest> shown;
    MsgAnswer Show(const MessageRequest& r) override {
        shown.push_back(r);
        if (!answers.empty()) {
            MsgAnswer a = answers.front();
            answers.pop_front();
            return a;
        }
        return r.buttons == MsgButtons::Ok ? MsgAnswer::Ok : fallback;
    }
};

// Pauses of the flows; tests and benchmarks replace it so they do not sleep.
class Clock {
public:
    virtual ~Clock() = default;
    virtual void Sleep(uint32_t ms) = 0;
    // A wait the operator may end (automatic writing waiting for its
    // ledger's server): up to `ms`, the window's controls working meanwhile
    // but no device event handled. False as soon as `goOn` answers false or
    // the front end is ending; otherwise what `goOn` says at the end.
    virtual bool Pause(uint32_t ms, const std::function<bool()>& goOn) {
        Sleep(ms);
        return goOn();
    }
};

class RealClock : public Clock {
public:
    void Sleep(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};

// Records the pauses instead of sleeping.
class FakeClock : public Clock {
public:
    std::vector<uint32_t> sleeps;
    uint64_t total = 0;
    void Sleep(uint32_t ms) override {
        sleeps.push_back(ms);
        total += ms;
    }
};

}  // namespace ts
