#include "deviceops/Station.h"

namespace ts {

StationOpen OpenStation(TagsmithCore& core, const StationParts& parts) {
    if (parts.log) core.SetLogView(parts.log);
    if (parts.boxes) core.SetMessageBoxer(parts.boxes);
    if (parts.clock) core.SetClock(parts.clock);
    if (parts.progress) core.SetProgress(parts.progress);
    if (!parts.pages.empty()) core.SetPages(parts.pages);
    if (parts.drives) core.SetDrives(parts.drives);
    if (parts.drain) core.SetDrainHook(parts.drain);
    if (parts.appDir.empty()) {
        core.InitExeDir();
    } else {
        core.InitExeDir(parts.appDir);
    }
    if (parts.loadSettings) parts.loadSettings();
    core.LoadPlugin();
    return core.VolkitTable() ? StationOpen::Ok : StationOpen::NoPlugin;
}

}  // namespace ts
