#include "deviceops/GangIds.h"

#include "idsource/HexId.h"
#include "platform/Codepage.h"

namespace ts {
namespace {

std::u16string WithoutBlanks(const std::u16string& text) {
    std::u16string out;
    for (char16_t c : text) {
        if (c != u' ' && c != u'\r' && c != u'\t') out.push_back(c);
    }
    return out;
}

class ListIds : public GangIds {
public:
    explicit ListIds(CDlgCh1& page) : page_(page) {}

protected:
    std::optional<Taken> Fresh() override {
        uint32_t& cursor = page_.m_cursor;
        if (!page_.m_ids.AdvanceToUnused(cursor)) return std::nullopt;
        Taken t{std::u16string(page_.m_ids.Text(cursor)), page_.Origin()};
        if (t.id.empty()) return std::nullopt;
        page_.m_ids.MarkUsedAndAdvance(cursor);
        return t;
    }
    bool FreshLeft() const override { return page_.HasIdLeft(); }

private:
    CDlgCh1& page_;
};

class CounterIds : public GangIds {
public:
    CounterIds(CDlgCh3& page, IdLedger* ledger, std::function<void(const std::u16string&)> log)
        : page_(page),
          ledger_(ledger && ledger->Shared() ? ledger : nullptr),
          log_(std::move(log)) {}

protected:
    std::optional<Taken> Fresh() override {
        const bool down = page_.m_bIncrease == 0;
        if (!page_.HasIdLeft()) {
            if (log_) log_(u"自变数据段不能留空或者为零……");
            return std::nullopt;
        }
        std::u16string current = page_.GetCounter();
        if (ledger_) {
            std::optional<std::u16string> value;
            const LedgerResult r = ledger_->NextCounter(WithoutBlanks(page_.GetPrefix()),
                                                        WithoutBlanks(page_.GetSuffix()), down,
                                                        WithoutBlanks(current), &value);
            if (!r.ok()) {
                if (log_) log_(u"无法从ID记录取得自变数据段的值：" + Utf8ToWide(r.message));
                return std::nullopt;
            }
            if (!value) {
                // The line counted down to its end: this run stops too.
                if (log_) log_(u"自变数据段已无可用的值，所有可能的ID均已烧写……");
                page_.SetCounter(u"0");
                page_.SetCounterAtZero(true);
                return std::nullopt;
            }
            current = *value;
        }
        Taken t{WithoutBlanks(page_.GetPrefix() + current + page_.GetSuffix()), page_.Origin()};
        std::u16string next = ParseHexCounter(WithoutBlanks(current));
        if (down) {
            DecrementHex(next);
        } else {
            IncrementHex(next);
        }
        page_.SetCounter(next);
        page_.SetCounterAtZero(next == u"0");
        return t;
    }
    bool FreshLeft() const override { return page_.HasIdLeft(); }

private:
    CDlgCh3& page_;
    IdLedger* ledger_;
    std::function<void(const std::u16string&)> log_;
};

}  // namespace

std::optional<GangIds::Taken> GangIds::Take() {
    if (!again_.empty()) {
        Taken t = std::move(again_.front());
        again_.pop_front();
        return t;
    }
    return Fresh();
}

std::unique_ptr<GangIds> GangListIds(CDlgCh1& page) { return std::make_unique<ListIds>(page); }

std::unique_ptr<GangIds> GangCounterIds(CDlgCh3& page, IdLedger* ledger,
                                        std::function<void(const std::u16string&)> log) {
    return std::make_unique<CounterIds>(page, ledger, std::move(log));
}

}  // namespace ts
