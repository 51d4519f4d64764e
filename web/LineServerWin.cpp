// The Windows build has no ledger to view (no SQLite, no libpq), so no
// server either.
#include "web/LineServer.h"

namespace ts::web {

bool LineServer::Available() { return false; }

std::unique_ptr<LineServer> LineServer::Make(ServeOptions) { return nullptr; }

}  // namespace ts::web
