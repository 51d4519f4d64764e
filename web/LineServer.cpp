#include "web/LineServer.h"

#include <httplib.h>

#include <chrono>
#include <climits>

#include "ledger/JournalCsv.h"
#include "web/Access.h"
#include "web/LineFeed.h"
#include "web/LineJson.h"
#include "web/PageAssets.h"

namespace ts::web {

namespace {

constexpr char kCookie[] = "tagsmith_token";
constexpr char kTokenHeader[] = "X-Tagsmith-Token";
constexpr size_t kMaxIdBytes = 256;

int64_t SystemMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Valid UTF-8 without control characters: what an ID search may hold.
bool SearchableText(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        size_t len = 0;
        uint32_t cp = 0;
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7f) return false;
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > s.size()) return false;
        for (size_t k = 1; k < len; ++k) {
            const auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        const uint32_t min = len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

bool ParseSeq(const std::string& text, int64_t* out) {
    if (text.empty() || text.size() > 18) return false;
    int64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + (c - '0');
    }
    *out = n;
    return true;
}

std::string CookieValue(const std::string& header, std::string_view name) {
    size_t pos = 0;
    while (pos < header.size()) {
        size_t end = header.find(';', pos);
        if (end == std::string::npos) end = header.size();
        std::string_view part(header.data() + pos, end - pos);
        while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
        if (part.size() > name.size() && part.substr(0, name.size()) == name &&
            part[name.size()] == '=')
            return std::string(part.substr(name.size() + 1));
        pos = end + 1;
    }
    return {};
}

const char* ContentType(std::string_view name) {
    if (name.size() > 5 && name.substr(name.size() - 5) == ".html")
        return "text/html; charset=utf-8";
    if (name.size() > 4 && name.substr(name.size() - 4) == ".css") return "text/css; charset=utf-8";
    return "text/javascript; charset=utf-8";
}

class HttpLineServer final : public LineServer {
public:
    explicit HttpLineServer(ServeOptions o)
        : o_(std::move(o)),
          clock_(o_.clockMs ? o_.clockMs : std::function<int64_t()>(&SystemMs)),
          feed_(o_.ledger, o_.refreshMs, clock_) {
        Routes();
    }
    ~HttpLineServer() override {
        svr_.stop();
        feed_.Stop();
    }

    bool Bind(std::string* error) override {
        bool ok = false;
        if (o_.port == 0) {
            const int p = svr_.bind_to_any_port(o_.host);
            ok = p > 0;
            if (ok) port_ = p;
        } else {
            ok = svr_.bind_to_port(o_.host, o_.port);
            port_ = o_.port;
        }
        if (!ok) *error = "cannot listen on " + o_.host + ":" + std::to_string(o_.port);
        return ok;
    }
    int Port() const override { return port_; }
    void Run() override {
        feed_.Start();
        svr_.listen_after_bind();
        feed_.Stop();
    }
    void Stop() override { svr_.stop(); }

private:
    // The Host header a browser sends for this server on a loopback
    // address; anything else is another site's name resolving here.
    bool LocalHost(const std::string& host) const {
        const std::string port = ":" + std::to_string(port_);
        for (const char* name : {"127.0.0.1", "localhost", "[::1]"})
            if (host == name + port || host == name) return true;
        return host == o_.host + port;
    }

    // Whether the request may be answered; when not, `res` says why.
    bool Allowed(const httplib::Request& req, httplib::Response& res) const {
        if (o_.token.empty()) {
            if (LocalHost(req.get_header_value("Host"))) return true;
            res.status = 403;
            res.set_content("只接受本机地址的请求。\n", "text/plain; charset=utf-8");
            return false;
        }
        if (SameToken(req.get_header_value(kTokenHeader), o_.token) ||
            SameToken(CookieValue(req.get_header_value("Cookie"), kCookie), o_.token))
            return true;
        if (req.path == "/" && req.has_param("token") &&
            SameToken(req.get_param_value("token"), o_.token)) {
            // Once: the browser keeps it in a cookie the page's scripts
            // cannot read, and the address bar loses it.
            res.set_header("Set-Cookie", std::string(kCookie) + "=" + o_.token +
                                             "; Path=/; HttpOnly; SameSite=Strict");
            res.set_redirect("/", 303);
            return false;
        }
        res.status = 401;
        res.set_content("需要令牌：请用 http://地址:端口/?token=令牌 打开本页。\n",
                        "text/plain; charset=utf-8");
        return false;
    }

    void Fail(httplib::Response& res, const LedgerResult& r) {
        res.status =
            r.status == LedgerStatus::Offline || r.status == LedgerStatus::Busy ? 503 : 500;
        res.set_content(ErrorJson(r), "application/json");
    }

    void BadRequest(httplib::Response& res, const std::string& message) {
        res.status = 400;
        res.set_content(ErrorJson(LedgerResult::Fail(LedgerStatus::IoError, message)),
                        "application/json");
    }

    void Routes() {
        svr_.set_payload_max_length(4096);
        svr_.set_read_timeout(5, 0);
        svr_.set_write_timeout(10, 0);
        svr_.set_keep_alive_max_count(100);
        svr_.new_task_queue = [] { return new httplib::ThreadPool(4); };
        svr_.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
            res.set_header("Content-Security-Policy",
                           "default-src 'none'; script-src 'self'; style-src 'self'; "
                           "img-src 'self' data:; connect-src 'self'; frame-ancestors 'none'; "
                           "base-uri 'none'; form-action 'self'");
            res.set_header("X-Content-Type-Options", "nosniff");
            res.set_header("Referrer-Policy", "no-referrer");
            res.set_header("Cache-Control", "no-store");
            if (req.method != "GET" && req.method != "HEAD") {
                res.status = 405;
                res.set_header("Allow", "GET, HEAD");
                res.set_content("只读：不接受修改请求。\n", "text/plain; charset=utf-8");
                return httplib::Server::HandlerResponse::Handled;
            }
            return Allowed(req, res) ? httplib::Server::HandlerResponse::Unhandled
                                     : httplib::Server::HandlerResponse::Handled;
        });
        svr_.set_exception_handler(
            [](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
                res.status = 500;
                res.set_content("{\"error\":\"error\",\"message\":\"internal error\"}",
                                "application/json");
            });
        for (const char* name : {"index.html", "app.js", "app.css", "chart.min.js"}) {
            const std::string path =
                std::string(name) == "index.html" ? "/" : "/" + std::string(name);
            svr_.Get(path, [name](const httplib::Request&, httplib::Response& res) {
                const auto bytes = PageAsset(name);
                if (!bytes) {
                    res.status = 404;
                    return;
                }
                res.set_content(bytes->data(), bytes->size(), ContentType(name));
            });
        }
        svr_.Get("/api/line", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content(feed_.Current(), "application/json");
        });
        svr_.Get("/api/id", [this](const httplib::Request& req, httplib::Response& res) {
            const std::string id = req.get_param_value("id");
            if (id.empty() || id.size() > kMaxIdBytes || !SearchableText(id))
                return BadRequest(res, "not an ID");
            int64_t after = 0;
            if (req.has_param("after") && !ParseSeq(req.get_param_value("after"), &after))
                return BadRequest(res, "after: not a journal row");
            std::string json;
            const LedgerResult r = feed_.Ask(
                [id, after](LineView& v, std::string* out) {
                    IdTrail t;
                    LedgerResult r = v.Trail(id, after, kTrailRows, &t);
                    if (r.ok()) *out = TrailJson(t);
                    return r;
                },
                kAnswerWaitMs, &json);
            if (!r.ok()) return Fail(res, r);
            res.set_content(json, "application/json");
        });
        svr_.Get("/journal.csv", [this](const httplib::Request& req, httplib::Response& res) {
            int64_t from = INT64_MIN;
            int64_t to = INT64_MAX;
            int64_t after = 0;
            for (auto [key, value] : {std::pair{"from", &from}, std::pair{"to", &to}}) {
                const std::string text = req.get_param_value(key);
                if (text.empty()) continue;
                const auto t = ParseUtcTime(text);
                if (!t) return BadRequest(res, std::string(key) + ": not a time");
                *value = *t;
            }
            if (req.has_param("after") && !ParseSeq(req.get_param_value("after"), &after))
                return BadRequest(res, "after: not a journal row");
            std::string csv;
            const LedgerResult r = feed_.Ask(
                [from, to, after](LineView& v, std::string* out) {
                    *out = JournalCsvHeader();
                    bool more = false;
                    int64_t last = after;
                    LedgerResult r = v.JournalPage(
                        from, to, after, kCsvRows,
                        [&](const JournalRow& row, bool) {
                            AppendJournalCsvRow(*out, row);
                            last = row.seq;
                        },
                        &more);
                    // The rest of the range: the header names where it goes on.
                    if (r.ok() && more) *out = "#after=" + std::to_string(last) + "\n" + *out;
                    return r;
                },
                kAnswerWaitMs, &csv);
            if (!r.ok()) return Fail(res, r);
            if (csv.rfind("#after=", 0) == 0) {
                const size_t nl = csv.find('\n');
                res.set_header("X-Tagsmith-Next-After", csv.substr(7, nl - 7));
                csv.erase(0, nl + 1);
            }
            res.set_header("Content-Disposition", "attachment; filename=\"journal.csv\"");
            res.set_content(csv, "text/csv; charset=utf-8");
        });
    }

    ServeOptions o_;
    std::function<int64_t()> clock_;
    httplib::Server svr_;
    LineFeed feed_;
    int port_ = 0;
};

}  // namespace

bool LineServer::Available() { return true; }

std::unique_ptr<LineServer> LineServer::Make(ServeOptions options) {
    return std::make_unique<HttpLineServer>(std::move(options));
}

}  // namespace ts::web
