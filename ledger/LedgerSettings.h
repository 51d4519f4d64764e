#pragma once
// The ledger's keys in section "Option" of tagsmith.cfg, and opening the
// ledger they name.
//
//   ledger=FILE   the ledger file (relative to the application folder);
//                 missing or empty: tagsmith.ledger in the application folder;
//                 off: no ledger (which IDs were written lives in memory only);
//                 postgresql://USER@HOST/DB: the ledger the line's stations share
//   verify=1      read every written ID back and compare (default 0)
//   station=NAME  this station's name in the ledger (default: the host name)
#include <memory>
#include <string>

#include "ledger/IdLedger.h"
#include "ledger/SqliteLedger.h"

namespace ts {

inline constexpr char16_t kLedgerKey[] = u"ledger";
inline constexpr char16_t kVerifyKey[] = u"verify";
inline constexpr char16_t kStationKey[] = u"station";
inline constexpr char kLedgerFileName[] = "tagsmith.ledger";

struct LedgerSettings {
    bool off = false;
    std::string location;  // the file's path, or the URL of a shared ledger
    bool verify = false;
    std::string station;
};

// Reads the keys from the configuration file `configPath`; `appDir` (ending
// in a separator) anchors the default and relative paths.
LedgerSettings ReadLedgerSettings(const std::string& configPath, const std::string& appDir);

// Puts `location` (a URL, an absolute path, or "off") in the place of the
// configuration's ledger key.
void OverrideLedgerLocation(LedgerSettings& settings, const std::string& location);

// Whether `location` names a shared ledger (postgresql:// or postgres://).
bool IsSharedLedger(const std::string& location);

// `location` as it may be shown: a URL loses its user information
// (credentials) and query.
std::string LedgerDisplayName(const std::string& location);

// Opens the ledger the settings name. With the ledger off it succeeds and
// leaves `out` empty. `options.station` is taken from the settings.
LedgerResult OpenLedger(const LedgerSettings& settings, LedgerOpenOptions options,
                        std::unique_ptr<IdLedger>* out, bool* created = nullptr);

}  // namespace ts
