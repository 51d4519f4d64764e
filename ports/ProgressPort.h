#pragma once
// How far a device read or write has got, for a view that shows it (a
// progress bar, the last result). The CLI sets none.
#include <cstdint>
#include <string>

namespace ts {

enum class FlowKind { Read, Write };

class ProgressPort {
public:
    virtual ~ProgressPort() = default;
    // After each block moved: `done` of `total` bytes of this read or write.
    virtual void BlockDone(FlowKind kind, uint64_t done, uint64_t total) = 0;
    // The read flow's end: its result code and, on success, the ID it read.
    virtual void ReadEnded(int result, const std::u16string& id) {
        (void)result;
        (void)id;
    }
};

inline void ReportBlock(ProgressPort* port, FlowKind kind, uint64_t done, uint64_t total) {
    if (port) port->BlockDone(kind, done, total);
}

}  // namespace ts
