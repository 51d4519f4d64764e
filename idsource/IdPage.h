#pragma once
// One ID page as discovery and dispatch see it. Each page (the ID list, the
// scan box, the increment counter, or a front end's own) implements this;
// the core talks to the selected one and knows nothing else about it.
#include <string>

namespace ts {

class IdPage {
public:
    virtual ~IdPage() = default;
    // The ID offered for a device that just answered the handshake; empty
    // when the page has none.
    virtual std::u16string AnnounceId() = 0;
    // Shows a device's ID or a state text in the page's current-ID field
    // (a page without one ignores it).
    virtual void ShowId(const std::u16string& text) = 0;
    // True while the page writes each ready device by itself.
    virtual bool WritesAutomatically() const = 0;
    // A device is ready: an automatic page writes it, the others let the
    // operator write (their write button comes on).
    virtual void DeviceReady() = 0;
    // The device went away while nothing writes automatically.
    virtual void DeviceGone() = 0;
};

}  // namespace ts
