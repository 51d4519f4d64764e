#include "deviceops/PortModel.h"

namespace ts {

void PortModel::Update(const std::u16string& root, const std::function<void(PortView&)>& change) {
    {
        std::lock_guard lock(mutex_);
        PortView& port = ports_[root];
        port.root = root;
        change(port);
    }
    if (onChange) onChange();
}

std::vector<PortView> PortModel::Snapshot() const {
    std::lock_guard lock(mutex_);
    std::vector<PortView> out;
    out.reserve(ports_.size());
    for (const auto& [root, port] : ports_) out.push_back(port);
    return out;
}

}  // namespace ts
