// tagsmith-cli serve [--listen ADDR:PORT] [--token-file FILE]: the line at a
// glance, a read-only web page over the ledger the station uses. Listens on
// 127.0.0.1:8780 unless told otherwise; any other address needs a token.
// Runs until SIGINT/SIGTERM.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "cli/Cli.h"
#include "cli/CliLedger.h"
#include "cli/CliSupport.h"
#include "ledger/LedgerSettings.h"
#include "platform/Waiting.h"
#include "web/Access.h"
#include "web/LineServer.h"

namespace ts::cli {
namespace {

void ServeUsage() {
    std::fputs("usage: tagsmith-cli serve [--listen ADDR:PORT] [--token-file FILE]\n", stderr);
}

}  // namespace

int CmdServe(Context& ctx) {
    web::ServeOptions o;
    std::string tokenFile;
    bool listen = false;
    for (size_t i = 0; i < ctx.args.size(); ++i) {
        const std::string& a = ctx.args[i];
        if (i + 1 >= ctx.args.size()) {
            ServeUsage();
            return kExitUsage;
        }
        if (a == "--listen" && !listen) {
            if (!web::ParseListen(ctx.args[++i], &o.host, &o.port)) {
                std::fprintf(stderr, "tagsmith-cli: --listen: not ADDR:PORT: %s\n",
                             Safe(ctx.args[i]).c_str());
                return kExitUsage;
            }
            listen = true;
        } else if (a == "--token-file" && tokenFile.empty()) {
            tokenFile = ctx.args[++i];
        } else {
            ServeUsage();
            return kExitUsage;
        }
    }
    if (!web::LineServer::Available()) {
        std::fputs("tagsmith-cli: serve is not available in this build\n", stderr);
        return kExitFailed;
    }
    if (tokenFile.empty() && !web::IsLoopback(o.host)) {
        std::fprintf(stderr,
                     "tagsmith-cli: serve: other machines can reach %s: --token-file FILE is "
                     "needed\n",
                     Safe(o.host).c_str());
        return kExitUsage;
    }
    if (!tokenFile.empty()) {
        std::string why;
        o.token = web::ReadToken(tokenFile, &why);
        if (o.token.empty()) {
            std::fprintf(stderr, "tagsmith-cli: --token-file: %s\n", Safe(why).c_str());
            return kExitFailed;
        }
    }
    const LedgerSettings settings = ctx.Ledger();
    if (settings.off) {
        std::fprintf(stderr, "tagsmith-cli: the ledger is off (%s)\n",
                     ctx.ledger ? "--ledger off" : "ledger=off in tagsmith.cfg");
        return kExitFailed;
    }
    // A server that cannot be reached now is shown as such on the page; a
    // file that is not there is a mistake to say at once.
    std::error_code ec;
    if (!IsSharedLedger(settings.location) &&
        !std::filesystem::is_regular_file(settings.location, ec)) {
        std::fprintf(stderr, "tagsmith-cli: no ledger at %s\n", Safe(settings.location).c_str());
        return kExitFailed;
    }
    o.ledger = settings.location;
    StopSignals stop;
    if (!stop.Ok()) {
        std::perror("tagsmith-cli: signals");
        return kExitFailed;
    }
    std::unique_ptr<web::LineServer> server = web::LineServer::Make(o);
    std::string error;
    if (!server->Bind(&error)) {
        std::fprintf(stderr, "tagsmith-cli: %s\n", Safe(error).c_str());
        return kExitFailed;
    }
    const std::string host = o.host.find(':') != std::string::npos ? "[" + o.host + "]" : o.host;
    const std::string url = "http://" + host + ":" + std::to_string(server->Port()) + "/";
    const std::string shown = IsSharedLedger(o.ledger) ? LedgerDisplayName(o.ledger) : o.ledger;
    std::printf("serving %s (ledger %s, read only)\n", url.c_str(), Safe(shown).c_str());
    if (!o.token.empty())
        std::printf("every request needs the token in %s: open %s?token=TOKEN once\n",
                    Safe(tokenFile).c_str(), url.c_str());
    std::fflush(stdout);
    std::atomic<bool> done{false};
    std::thread serving([&] {
        server->Run();
        done = true;
    });
    const Waitable w = stop.Fd();
    while (WaitForAny(&w, 1, -1) != 0) {
    }
    // A stop that came before the server began listening is repeated.
    while (!done) {
        server->Stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    serving.join();
    std::puts("stopped");
    return kExitOk;
}

}  // namespace ts::cli
