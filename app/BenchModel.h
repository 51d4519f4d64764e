#pragma once
// The trainer's panel of a simulated line without its widgets: plugs devices
// into one port and out again, and sets the faults the next device there
// shows, so every message of the window can be shown without hardware. The
// line's own functions are the front end's to supply (the simulated line is
// no layer below this one).
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ts {

class BenchModel {
public:
    // The faults offered: a name for the trainer and the fault-file lines.
    struct Fault {
        const char16_t* name;
        const char* lines;
    };
    static const std::vector<Fault>& Faults();

    // What the panel does to the line (the simulated line's functions).
    struct Line {
        std::function<bool(const std::string& folder, char letter, uint64_t sectors, bool disk,
                           std::string& error)>
            plug;
        std::function<bool(const std::string& folder, char letter, const std::string* keepPath,
                           std::string& error)>
            unplug;
        std::function<bool(const std::string& folder, char letter, const std::string& imagePath,
                           std::string& error)>
            replug;
        std::function<bool(const std::string& folder, char letter, const std::string& lines,
                           std::string& error)>
            setFaults;
    };

    // `folder`: the simulated line; the bench uses the port `letter`. What an
    // earlier session left set stays off: the trainer starts from no fault.
    BenchModel(std::string folder, char letter, Line line);

    std::u16string Title() const;  // "培训台 (模拟 E:)"

    void PlugBlank();
    // The device the bench last unplugged, with whatever was written to it.
    void PlugKept();
    void PlugDisk();
    void Unplug();
    // Gang mode's training: blank devices into the bench's port and the
    // ones after it (E: to H:), all at once; and out again.
    static constexpr int kSeveral = 4;
    void PlugSeveral();
    void UnplugSeveral();
    void SetFault(int index);

    // What the last action did, or why it could not ("操作失败：...").
    const std::u16string& Message() const { return message_; }
    bool KeptAvailable() const { return keptAvailable_; }
    int FaultIndex() const { return fault_; }

    // Told after every action.
    std::function<void()> onChange;

private:
    std::string KeptPath() const;
    void Done(bool ok, const std::string& error, std::u16string what);

    std::string folder_;
    char letter_;
    Line line_;
    std::u16string message_;
    bool keptAvailable_ = false;
    int fault_ = 0;
};

}  // namespace ts
