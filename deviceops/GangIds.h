#pragma once
// Where the ports of a gang take their IDs: one source over the page that
// writes by itself (the list or the counter; the scan page has none, manual
// writing stays one device at a time). An ID is taken when a port starts
// its device, so ports in flight never share one; an ID whose write gave it
// back (nothing of it stayed held) is offered again first. The caller holds
// the gang's page lock for every call.
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "idsource/Pages.h"
#include "ledger/IdLedger.h"

namespace ts {

class GangIds {
public:
    struct Taken {
        std::u16string id;
        IdOrigin origin;
    };
    virtual ~GangIds() = default;
    // The next ID for a device; none when the list is used up or the counter
    // is at its zero guard.
    std::optional<Taken> Take();
    // The write ended and the ID is not held: the next device gets it.
    void GiveBack(Taken taken) { again_.push_back(std::move(taken)); }
    bool HasIdLeft() const { return !again_.empty() || FreshLeft(); }

protected:
    virtual std::optional<Taken> Fresh() = 0;
    virtual bool FreshLeft() const = 0;

private:
    std::deque<Taken> again_;
};

// The list page's entries from its position on; each taken entry counts as
// used at once (a resumed run never writes it twice).
std::unique_ptr<GangIds> GangListIds(CDlgCh1& page);
// The increment page's counter, stepped once per taken ID; counting down
// stops at the zero guard. With a shared ledger (its Shared()), the line's
// counter is taken from it. `log` tells why the counter stops.
std::unique_ptr<GangIds> GangCounterIds(CDlgCh3& page, IdLedger* ledger,
                                        std::function<void(const std::u16string&)> log);

}  // namespace ts
