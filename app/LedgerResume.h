#pragma once
// What the pages ask of the station's ledger (TagsmithCore::Ledger()) when
// they resume a list or a counter, or before the scan page writes again an
// ID a device holds. Without a ledger each answers as if nothing were held.
#include <optional>
#include <string>

#include "deviceops/TagsmithCore.h"
#include "idsource/IdList.h"
#include "idsource/Pages.h"

namespace ts {

// Marks the list's entries that the ledger holds used; logs how many.
void ResumeListFromLedger(TagsmithCore& core, IdList& ids);

// The counter to start from so that no held ID comes again (see
// PageHost::CounterStart). False when counting down has nothing left.
bool CounterStartFromLedger(TagsmithCore& core, const std::u16string& prefix,
                            const std::u16string& counter, const std::u16string& suffix, bool down,
                            std::u16string* start);

// The shared counter's next value for this station (see PageHost::TakeCounter).
PageHost::SharedCounter TakeSharedCounter(TagsmithCore& core, const std::u16string& prefix,
                                          const std::u16string& suffix, bool down,
                                          const std::u16string& start,
                                          std::optional<std::u16string>* value);

// Whether the ledger holds `id` for a device, with when (local time) and on
// which station.
bool HeldInLedger(TagsmithCore& core, const std::u16string& id, std::u16string* when,
                  std::u16string* station);

}  // namespace ts
