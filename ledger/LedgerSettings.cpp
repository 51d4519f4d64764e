#include "ledger/LedgerSettings.h"

#include "ledger/LedgerKinds.h"
#include "platform/Codepage.h"
#include "platform/LocalSystem.h"
#include "platform/Profile.h"

namespace ts {
namespace {

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

bool IsUrl(const std::string& location) { return location.find("://") != std::string::npos; }

}  // namespace

LedgerSettings ReadLedgerSettings(const std::string& configPath, const std::string& appDir) {
    const Profile cfgFile(configPath);
    LedgerSettings s;
    const std::string ledger = WideToUtf8(cfgFile.GetString(cfg::kSection, kLedgerKey));
    if (Lower(ledger) == "off") {
        s.off = true;
    } else if (ledger.empty()) {
        s.location = appDir + kLedgerFileName;
    } else if (ledger.front() == '/' || IsUrl(ledger)) {
        s.location = ledger;
    } else {
        s.location = appDir + ledger;
    }
    s.verify = cfgFile.GetInt(cfg::kSection, kVerifyKey, 0) != 0;
    s.station = WideToUtf8(cfgFile.GetString(cfg::kSection, kStationKey));
    if (s.station.empty()) s.station = HostName();
    return s;
}

void OverrideLedgerLocation(LedgerSettings& settings, const std::string& location) {
    settings.off = Lower(location) == "off";
    settings.location = settings.off ? std::string() : location;
}

bool IsSharedLedger(const std::string& location) {
    const std::string lower = Lower(location.substr(0, location.find("://") + 3));
    return lower == "postgresql://" || lower == "postgres://";
}

std::string LedgerDisplayName(const std::string& location) {
    const size_t scheme = location.find("://");
    if (scheme == std::string::npos) return location;
    const size_t hostStart = scheme + 3;
    size_t pathStart = location.find_first_of("/?#", hostStart);
    if (pathStart == std::string::npos) pathStart = location.size();
    std::string host = location.substr(hostStart, pathStart - hostStart);
    const size_t at = host.rfind('@');
    if (at != std::string::npos) host = "***@" + host.substr(at + 1);
    std::string path = location.substr(pathStart);
    path = path.substr(0, path.find_first_of("?#"));
    return location.substr(0, hostStart) + host + path;
}

LedgerResult OpenLedger(const LedgerSettings& settings, LedgerOpenOptions options,
                        std::unique_ptr<IdLedger>* out, bool* created) {
    out->reset();
    if (created) *created = false;
    if (settings.off) return {};
    options.station = settings.station;
    if (IsSharedLedger(settings.location)) {
        return OpenSharedLedger(settings.location, options, out, created);
    }
    if (IsUrl(settings.location))
        return LedgerResult::Fail(LedgerStatus::Unsupported,
                                  "ledger " + LedgerDisplayName(settings.location) +
                                      ": not a kind of ledger this program knows "
                                      "(postgresql://... or a file)");
    return OpenLocalLedger(settings.location, options, out, created);
}

}  // namespace ts
