// The Windows build has no HTTP server library: the line's web view is
// served from a Linux machine on the line.
#include "web/LineServer.h"

namespace ts::web {

bool LineServer::Available() { return false; }

std::unique_ptr<LineServer> LineServer::Make(ServeOptions) { return nullptr; }

}  // namespace ts::web
