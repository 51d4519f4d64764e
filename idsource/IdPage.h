#pragma once
// One ID page as discovery and dispatch see it. Each page (the ID list, the
// scan box, the increment counter, or a front end's own) implements this;
// the core talks to the selected one and knows nothing else about it.
#include <cstdint>
#include <string>

namespace ts {

// Where the page's IDs come from, for the record of each attempt.
struct IdOrigin {
    enum class Kind { None, File, Scan, Counter };
    Kind kind = Kind::None;
    std::u16string filePath;  // File: the list as loaded
    uint32_t line = 0;        // File: 1-based line of the announced ID
    std::u16string prefix;    // Counter
    std::u16string suffix;    // Counter
    bool down = false;        // Counter
};

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
    // Where the ID last announced comes from.
    virtual IdOrigin Origin() const { return {}; }
};

}  // namespace ts
