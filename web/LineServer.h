#pragma once
// The line's web page and its data over HTTP, read-only: GET only, every
// answer made from the ledger through a read-only view.
//
//   /                  the page (index.html, app.js, app.css, chart.js)
//   /api/line          the figures, as last read, with the database's state
//   /api/id?id=ID[&after=SEQ]                 every attempt on one ID, a page at a time
//   /journal.csv?from=TIME&to=TIME[&after=SEQ] the journal of a time range as CSV,
//                      at most kCsvRows rows per file
//
// With a token, every request carries it: in the cookie the page gets by
// opening /?token=TOKEN once, or in the header X-Tagsmith-Token.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace ts::web {

struct ServeOptions {
    std::string host = "127.0.0.1";
    int port = 8780;
    std::string token;   // empty: none asked (only on a loopback address)
    std::string ledger;  // the ledger's file or URL
    int refreshMs = 2000;
    // UTC milliseconds since 1970; the system clock when empty.
    std::function<int64_t()> clockMs;
};

class LineServer {
public:
    static constexpr size_t kTrailRows = 50;
    static constexpr size_t kCsvRows = 100000;
    static constexpr int kAnswerWaitMs = 8000;

    // Whether this build has the server.
    static bool Available();
    static std::unique_ptr<LineServer> Make(ServeOptions options);
    virtual ~LineServer() = default;

    // Binds the address; false with `error` set when it cannot.
    virtual bool Bind(std::string* error) = 0;
    // The port bound (the one given, or the one the system chose for 0).
    virtual int Port() const = 0;
    // Serves until Stop.
    virtual void Run() = 0;
    // From any thread.
    virtual void Stop() = 0;
};

}  // namespace ts::web
