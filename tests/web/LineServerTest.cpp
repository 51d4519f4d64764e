// The line's web view against ledgers of known content, on both stores: the
// figures, the attention list, the ID search, hostile texts, the token rule,
// the database going away, and the page itself in a headless browser.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "ledger/JournalCsv.h"
#include "ledger/LineView.h"
#include "tests/ledger/LedgerFixture.h"
#include "tests/web/WebDriver.h"
#include "web/LineServer.h"

namespace ts {
namespace {

using nlohmann::json;
using test::kStartMs;

constexpr int64_t kMinute = 60 * 1000;
const std::string kSha(64, 'b');
const std::string kHostileStation = "<img src=x onerror=alert(1)>";
const std::u16string kHostileId = u"<script>alert(1)</script>";
const std::u16string kQuoteId = u"x'; rm -rf /";

// A running server and a client for it.
struct Served {
    std::unique_ptr<web::LineServer> server;
    std::thread thread;
    std::unique_ptr<httplib::Client> client;

    Served(web::ServeOptions o) {
        server = web::LineServer::Make(std::move(o));
        std::string error;
        EXPECT_TRUE(server->Bind(&error)) << error;
        thread = std::thread([this] { server->Run(); });
        client = std::make_unique<httplib::Client>("127.0.0.1", server->Port());
        client->set_read_timeout(20, 0);
    }
    ~Served() {
        server->Stop();
        thread.join();
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(server->Port()) + "/"; }
    // /api/line once it holds figures (or `state` is reached).
    json Line(const std::string& state = "ok", int waitMs = 15000) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        json j;
        while (std::chrono::steady_clock::now() < until) {
            auto res = client->Get("/api/line");
            if (res && res->status == 200) {
                j = json::parse(res->body);
                if (j["state"] == state && (state != "ok" || !j["data"].is_null())) return j;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ADD_FAILURE() << "no state " << state << ": " << j.dump();
        return j;
    }
    json Get(const std::string& path, int status = 200) {
        auto res = client->Get(path);
        EXPECT_TRUE(res) << path;
        if (!res) return {};
        EXPECT_EQ(res->status, status) << path << ": " << res->body;
        return json::parse(res->body, nullptr, false);
    }
};

template <class Kind>
class LineServerTest : public test::AnyLedgerFixture<Kind> {
protected:
    std::string Location() {
        if constexpr (std::is_same_v<Kind, test::SqliteKind>) {
            return this->kind.path;
        } else {
            return this->kind.db.Url();
        }
    }

    Attempt FromList(int n, const std::string& port) {
        char id[8];
        std::snprintf(id, sizeof id, "A%03d", n);
        return this->Write(std::u16string(id, id + 4), port,
                           IdSource::FromFile(kSha, "line.ids", static_cast<uint32_t>(n)));
    }

    // A line of three stations on one list of 20 IDs, ten hours into the day.
    void FillLine() {
        this->now = kStartMs + 10 * 60 * kMinute;
        const int64_t at = this->now;
        auto l1 = this->Open("line-1");
        auto l2 = this->Open("line-2");
        auto l3 = this->Open(kHostileStation);
        ASSERT_TRUE(l1 && l2 && l3);
        std::vector<std::u16string> ids;
        for (int i = 1; i <= 20; ++i) ids.push_back(FromList(i, "").id);
        ASSERT_TRUE(l1->ImportList(
                          kSha, "line.ids", ids.size(),
                          [&](size_t i) { return std::u16string_view(ids[i]); },
                          [](size_t i) { return static_cast<uint32_t>(i + 1); }, nullptr)
                        .ok());
        Reservation r;
        auto ok = [](const LedgerResult& res) { ASSERT_TRUE(res.ok()) << res.message; };
        this->now = at - 2 * 60 * kMinute;  // before the last hour: chart only
        ok(l2->Reserve(FromList(5, "F"), false, &r));
        ok(l2->MarkWritten(r));
        this->now = at - 30 * kMinute;
        ok(l1->Reserve(FromList(1, "E"), false, &r));
        ok(l1->MarkWritten(r));
        ok(l1->Reserve(FromList(2, "E"), false, &r));
        ok(l1->MarkWritten(r));
        ok(l1->Reserve(FromList(3, "E"), false, &r));
        ok(l1->MarkVerified(r));
        this->now = at - 20 * kMinute;
        ok(l1->Reserve(FromList(4, "E"), false, &r));
        ok(l1->Release(r, 7));  // failed, free again
        // Passed over (another station holds it): no failure.
        ok(l2->RecordAttempt(FromList(1, "F"), 1, 0, false));
        this->now = at - 10 * kMinute;
        ok(l2->Reserve(FromList(6, "F"), false, &r));
        ok(l2->MarkWritten(r));
        Attempt doubt = FromList(7, "F");
        doubt.device.usbSerial = "SER-7";
        ok(l2->Reserve(doubt, false, &r));
        ok(l2->MarkInDoubt(r));
        ok(l3->Reserve(this->Write(kHostileId, "G"), false, &r));
        ok(l3->MarkWritten(r));
        ok(l3->Reserve(this->Write(kQuoteId, "G"), false, &r));
        ok(l3->MarkInDoubt(r));
        {
            // A run that died with a reservation.
            auto dead = this->Open("line-2");
            ok(dead->Reserve(FromList(8, "F"), false, &r));
        }
        this->now = at;
    }

    web::ServeOptions Options() {
        web::ServeOptions o;
        o.port = 0;
        o.ledger = Location();
        o.refreshMs = 300;
        const int64_t at = this->now;
        o.clockMs = [at] { return at; };
        return o;
    }
};
TYPED_TEST_SUITE(LineServerTest, test::LedgerKinds, test::LedgerKindNames);

const json* Find(const json& list, const char* key, const std::string& value) {
    for (const json& e : list)
        if (e[key] == value) return &e;
    return nullptr;
}

TYPED_TEST(LineServerTest, FiguresOfPoolsAndStations) {
    this->FillLine();
    Served s(this->Options());
    const json line = s.Line();
    const json& d = line["data"];
    ASSERT_EQ(d["pools"].size(), 1u) << d.dump();
    const json& pool = d["pools"][0];
    EXPECT_EQ(pool["entries"], 20);
    EXPECT_EQ(pool["free"], 13);  // 1-3, 5-8 held; 4 given back
    EXPECT_EQ(pool["written"], 4);
    EXPECT_EQ(pool["verified"], 1);
    EXPECT_EQ(pool["inDoubt"], 1);
    EXPECT_EQ(pool["reserved"], 1);
    EXPECT_EQ(pool["failed"], 1);
    EXPECT_EQ(pool["writtenHour"], 4);  // A001-A003, A006
    // 13 free at 4 an hour.
    EXPECT_EQ(pool["runOutMs"], this->now + 13 * LineView::kHourMs / 4);

    struct Expect {
        std::string station;
        int written, failed;
    };
    for (const Expect& e :
         {Expect{"line-1", 3, 1}, Expect{"line-2", 1, 0}, Expect{kHostileStation, 1, 0}}) {
        const json* st = Find(d["stations"], "station", e.station);
        ASSERT_TRUE(st) << e.station << " in " << d["stations"].dump();
        EXPECT_EQ((*st)["writtenHour"], e.written) << e.station;
        EXPECT_EQ((*st)["failedHour"], e.failed) << e.station;
    }
    const json* l1 = Find(d["stations"], "station", "line-1");
    ASSERT_EQ((*l1)["failures"].size(), 1u);
    EXPECT_EQ((*l1)["failures"][0]["code"], 7);
    EXPECT_EQ((*l1)["state"], "idle") << "its newest attempt is 20 minutes old";
    EXPECT_EQ((*l1)["lastMs"], this->now - 20 * kMinute);

    // The chart: line-2's write two hours ago, in its ten-minute slice.
    bool early = false;
    for (const json& t : d["chart"]["slices"])
        if (t["station"] == "line-2" &&
            t["t"].get<int64_t>() <= this->now - 2 * LineView::kHourMs &&
            t["t"].get<int64_t>() + LineView::kSliceMs > this->now - 2 * LineView::kHourMs)
            early = t["written"] == 1;
    EXPECT_TRUE(early) << d["chart"].dump();
}

TYPED_TEST(LineServerTest, AttentionListsDoubtsAndDeadReservationsWithTheirCommands) {
    this->FillLine();
    Served s(this->Options());
    const json d = s.Line()["data"];
    const json* doubt = Find(d["attention"], "id", "A007");
    ASSERT_TRUE(doubt) << d["attention"].dump();
    EXPECT_EQ((*doubt)["kind"], "inDoubt");
    EXPECT_EQ((*doubt)["station"], "line-2");
    EXPECT_EQ((*doubt)["commands"],
              json({"tagsmith-cli ledger confirm A007", "tagsmith-cli ledger release A007"}));
    const json* dead = Find(d["attention"], "id", "A008");
    ASSERT_TRUE(dead);
    EXPECT_EQ((*dead)["kind"], "deadReservation");
    // A hostile ID's command is one shell word.
    const json* quoted = Find(d["attention"], "id", "x'; rm -rf /");
    ASSERT_TRUE(quoted);
    EXPECT_EQ((*quoted)["commands"][0], "tagsmith-cli ledger confirm 'x'\\''; rm -rf /'");
    EXPECT_EQ(d["attention"].size(), 3u) << "a live reservation needs nobody";
}

TYPED_TEST(LineServerTest, SearchShowsEveryAttemptOnAnId) {
    this->FillLine();
    Served s(this->Options());
    json t = s.Get("/api/id?id=A007");
    EXPECT_EQ(t["state"], "in doubt");
    ASSERT_EQ(t["rows"].size(), 1u);
    EXPECT_EQ(t["rows"][0]["station"], "line-2");
    EXPECT_EQ(t["rows"][0]["port"], "F");
    EXPECT_EQ(t["rows"][0]["usbSerial"], "SER-7");
    EXPECT_TRUE(t["rows"][0]["result"].is_null());

    t = s.Get("/api/id?id=A001");
    ASSERT_EQ(t["rows"].size(), 2u);
    EXPECT_EQ(t["rows"][0]["station"], "line-1");
    EXPECT_EQ(t["rows"][1]["result"], 1);

    // Hostile texts come back exactly as stored, as JSON strings.
    t = s.Get("/api/id?id=" + httplib::detail::encode_query_param("<script>alert(1)</script>"));
    EXPECT_EQ(t["station"], kHostileStation);
    EXPECT_EQ(t["state"], "written");

    t = s.Get("/api/id?id=NOPE");
    EXPECT_EQ(t["state"], "");
    EXPECT_TRUE(t["rows"].empty());

    // Bad requests: no ID, not UTF-8, a control character, too long, a bad page.
    for (const std::string& q :
         {std::string("/api/id"), std::string("/api/id?id=%FF"), std::string("/api/id?id=a%0Ab"),
          "/api/id?id=" + std::string(300, 'A'), std::string("/api/id?id=A001&after=-1")})
        EXPECT_EQ(s.Get(q, 400)["error"], "error") << q;
}

TYPED_TEST(LineServerTest, CsvOfATimeRangeAndNoRequestChangesTheLedger) {
    this->FillLine();
    Served s(this->Options());
    // The last 15 minutes: A006, A007, the two of the hostile station and the
    // dead run's reservation.
    const std::string from = FormatUtcMs(this->now - 15 * kMinute);
    auto res = s.client->Get("/journal.csv?from=" + from);
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type"), "text/csv; charset=utf-8");
    size_t lines = 0;
    for (char c : res->body) lines += c == '\n';
    EXPECT_EQ(lines, 1u + 5u) << res->body;
    EXPECT_EQ(s.Get("/journal.csv?from=yesterday", 400)["message"], "from: not a time");

    StateCounts before;
    ASSERT_TRUE(this->Open("check")->Counts(&before).ok());
    for (const char* method : {"POST", "PUT", "DELETE", "PATCH"}) {
        httplib::Request req;
        req.method = method;
        req.path = "/api/id?id=A007";
        req.body = "state=released";
        auto r = s.client->send(req);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 405) << method;
    }
    StateCounts after;
    ASSERT_TRUE(this->Open("check")->Counts(&after).ok());
    EXPECT_EQ(after.inDoubt, before.inDoubt);
    EXPECT_EQ(after.reserved, before.reserved);
}

// The page in Debian's headless Chromium: the live figures arrive, the
// attention list holds the in-doubt ID with its command, a search typed in
// shows the ID's station and device, and hostile texts stay text.
TYPED_TEST(LineServerTest, PageInAHeadlessBrowser) {
    const std::string missing = test::WebDriver::Missing();
    if (!missing.empty()) GTEST_SKIP() << missing;
    this->FillLine();
    Served s(this->Options());
    test::WebDriver b;
    std::string why;
    ASSERT_TRUE(b.Start(&why)) << why;
    b.Go(s.Url());
    ASSERT_FALSE(b.WaitFor("return document.body.getAttribute('data-loaded');").is_null())
        << "no live data: " << b.Run("return document.body.innerText;");
    EXPECT_EQ(b.Run("return document.querySelector('[data-field=free] b').textContent;"), "13");
    const json stations = b.Run(R"(
        const out = {};
        for (const tr of document.querySelectorAll('#stations tbody tr'))
          out[tr.getAttribute('data-station')] = [tr.cells[0].textContent,
            tr.querySelector('[data-field=writtenHour]').textContent,
            tr.querySelector('[data-field=failedHour]').textContent];
        return out;)");
    EXPECT_EQ(stations["line-1"], json({"line-1", "3", "1"})) << stations.dump();
    EXPECT_EQ(stations["line-2"], json({"line-2", "1", "0"})) << stations.dump();
    EXPECT_EQ(stations[kHostileStation], json({kHostileStation, "1", "0"})) << stations.dump();
    EXPECT_EQ(b.Run(R"(
        const tr = [...document.querySelectorAll('#attention tbody tr')]
          .find((r) => r.getAttribute('data-id') === 'A007');
        return tr ? [...tr.querySelectorAll('code')].map((c) => c.textContent) : null;)"),
              json({"tagsmith-cli ledger confirm A007", "tagsmith-cli ledger release A007"}));
    // Nothing of the hostile texts became markup, and nothing ran.
    EXPECT_EQ(b.Run("return document.querySelectorAll('img').length + "
                    "document.scripts.length;"),
              2);
    EXPECT_EQ(b.Run("return typeof Chart;"), "function") << "the built-in chart library";
    EXPECT_EQ(b.Run("return document.querySelector('#chart').height > 0;"), true);

    const std::string field = b.Element("#search-id");
    ASSERT_FALSE(field.empty());
    b.Type(field, "A007");
    b.Click(b.Element("#search button"));
    const json trail = b.WaitFor(R"(
        const row = document.querySelector('#trail-rows tbody tr');
        return row ? [...row.cells].map((c) => c.textContent) : null;)");
    ASSERT_TRUE(trail.is_array()) << b.Run("return document.querySelector('#trail').innerText;");
    EXPECT_EQ(trail[1], "line-2");
    EXPECT_NE(trail[3].get<std::string>().find("端口 F"), std::string::npos) << trail.dump();
    EXPECT_EQ(trail[4], "SER-7");
    EXPECT_NE(b.Run("return document.querySelector('#trail-head').textContent;")
                  .get<std::string>()
                  .find("存疑"),
              std::string::npos);

    const std::string png = b.Screenshot();
    EXPECT_EQ(png.substr(1, 3), "PNG");
    const std::string shot = std::string(TAGSMITH_APPDIR) + "../serve-page-" +
                             test::LedgerKindNames::GetName<TypeParam>(0) + ".png";
    std::ofstream(shot, std::ios::binary) << png;
    std::printf("screenshot: %s\n", shot.c_str());
}

// A collision on the shared ledger: a station's connection dies during its
// write, the operator releases the ID, another station writes it, and the
// first station's confirmation arrives late.
class LineServerCollisionTest : public test::AnyLedgerFixture<test::PgKind> {};

TEST_F(LineServerCollisionTest, LateConfirmationShowsAsCollision) {
    auto a = Open("line-1");
    auto b = Open("line-2");
    auto office = Open("office");
    ASSERT_TRUE(a && b && office);
    Reservation ra;
    ASSERT_TRUE(a->Reserve(Write(u"C1", "E"), false, &ra).ok());
    EXPECT_EQ(test::PgAdmin(kind.db.ServerDir(),
                            "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE "
                            "datname = current_database() AND pid <> pg_backend_pid()",
                            kind.db.Name()),
              "");
    IdRecord was;
    LedgerResult r = office->ReleaseReserved(u"C1", &was);
    ASSERT_TRUE(r.ok()) << r.message;
    Reservation rb;
    ASSERT_TRUE(b->Reserve(Write(u"C1", "F"), false, &rb).ok());
    ASSERT_TRUE(b->MarkWritten(rb).ok());
    EXPECT_EQ(a->MarkWritten(ra).status, LedgerStatus::Collision);

    web::ServeOptions o;
    o.port = 0;
    o.ledger = kind.db.Url();
    o.refreshMs = 300;
    const int64_t at = now;
    o.clockMs = [at] { return at; };
    Served s(o);
    const json d = s.Line()["data"];
    ASSERT_EQ(d["attention"].size(), 1u) << d["attention"].dump();
    const json& c = d["attention"][0];
    EXPECT_EQ(c["kind"], "collision");
    EXPECT_EQ(c["id"], "C1");
    EXPECT_EQ(c["station"], "line-1");
    EXPECT_EQ(c["otherStation"], "line-2");
    EXPECT_EQ(c["otherDevice"], "port F");
}

// Who may ask: on a loopback address only requests for this machine's
// names; with a token only requests that carry it.
class LineServerAccessTest : public test::AnyLedgerFixture<test::SqliteKind> {};

TEST_F(LineServerAccessTest, TokenRule) {
    ASSERT_TRUE(Open("st1"));
    web::ServeOptions o;
    o.port = 0;
    o.ledger = kind.path;
    const std::string token = "0123456789abcdef0123";
    o.token = token;
    Served s(o);
    struct Case {
        const char* what;
        httplib::Headers headers;
        std::string path;
        int status;
    };
    const std::vector<Case> cases = {
        {"none", {}, "/api/line", 401},
        {"wrong, same length", {{"X-Tagsmith-Token", "0123456789abcdef0124"}}, "/api/line", 401},
        {"a prefix", {{"X-Tagsmith-Token", "0123456789abcdef"}}, "/api/line", 401},
        {"header", {{"X-Tagsmith-Token", token}}, "/api/line", 200},
        {"cookie", {{"Cookie", "a=b; tagsmith_token=" + token}}, "/api/line", 200},
        {"wrong cookie", {{"Cookie", "tagsmith_token=x" + token}}, "/api/line", 401},
        {"query on the page", {}, "/?token=" + token, 303},
        {"query elsewhere", {}, "/api/line?token=" + token, 401},
        {"page without", {}, "/", 401},
    };
    for (const Case& c : cases) {
        auto res = s.client->Get(c.path, c.headers);
        ASSERT_TRUE(res) << c.what;
        EXPECT_EQ(res->status, c.status) << c.what;
        if (c.status == 303) {
            EXPECT_EQ(res->get_header_value("Set-Cookie"),
                      "tagsmith_token=" + token + "; Path=/; HttpOnly; SameSite=Strict");
        }
    }
}

TEST_F(LineServerAccessTest, LoopbackAnswersOnlyThisMachinesNames) {
    ASSERT_TRUE(Open("st1"));
    web::ServeOptions o;
    o.port = 0;
    o.ledger = kind.path;
    Served s(o);
    const std::string port = std::to_string(s.server->Port());
    for (const auto& [host, status] :
         {std::pair{"127.0.0.1:" + port, 200}, std::pair{"localhost:" + port, 200},
          std::pair{"attacker.example:" + port, 403}, std::pair{std::string("127.0.0.1:1"), 403}}) {
        auto res = s.client->Get("/api/line", {{"Host", host}});
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, status) << host;
    }
    auto page = s.client->Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->get_header_value("Content-Security-Policy").find("script-src 'self'"),
              std::string::npos);
    EXPECT_EQ(s.client->Get("/nothing")->status, 404);
}

// The database going away: the page says so at once, and the server keeps
// answering.
class LineServerAwayTest : public test::LedgerFixture {
protected:
    // A server of its own holding one written ID, A1, and the page for it
    // showing its figures.
    void SetUp() override {
        test::LedgerFixture::SetUp();
        std::string skip;
        if (test::RunServerDir(&skip).empty()) GTEST_SKIP() << skip;
        pg = std::make_unique<test::PgPrivateServer>("/tmp/tagsmith-serve-" +
                                                     std::to_string(getpid()));
        ASSERT_TRUE(pg->Start());
        {
            std::unique_ptr<PgLedger> l;
            LedgerResult r = PgLedger::Open(pg->Url(), Options("st1"), &l);
            ASSERT_TRUE(r.ok()) << r.message;
            Put(*l, u"A1", "written");
        }
        web::ServeOptions o;
        o.port = 0;
        o.ledger = pg->Url();
        o.refreshMs = 300;
        served = std::make_unique<Served>(o);
        served->Line();
    }
    void TearDown() override {
        served.reset();  // before its server
        pg.reset();
    }

    std::unique_ptr<test::PgPrivateServer> pg;
    std::unique_ptr<Served> served;
};

TEST_F(LineServerAwayTest, StoppedServerShowsAsOfflineAndNothingStalls) {
    test::PgPrivateServer& pg = *this->pg;
    Served& s = *served;
    ASSERT_TRUE(pg.Stop("immediate"));
    const json line = s.Line("offline");
    EXPECT_EQ(line["message"].get<std::string>().find("tagsmith@"), std::string::npos)
        << "no user name: " << line["message"];
    EXPECT_FALSE(line["data"].is_null()) << "the last figures stay, with their time";
    const auto t0 = std::chrono::steady_clock::now();
    const json failed = s.Get("/api/id?id=A1", 503);
    EXPECT_EQ(failed["error"], "offline");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    ASSERT_TRUE(pg.Start());
    s.Line("ok");
    EXPECT_EQ(s.Get("/api/id?id=A1")["state"], "written");
}

// A server that stops answering without closing its connections (its
// process stopped): the figures show their age, a search gives up in time.
TEST_F(LineServerAwayTest, ServerThatStopsAnsweringNeverStallsThePage) {
    test::PgPrivateServer& pg = *this->pg;
    Served& s = *served;
    EXPECT_EQ(s.Get("/api/id?id=A1")["state"], "written");
    std::ifstream pidFile(pg.Dir() + "/data/postmaster.pid");
    pid_t pid = 0;
    pidFile >> pid;
    ASSERT_GT(pid, 0);
    // The server and its backends (the postmaster's children), by their ids.
    std::vector<pid_t> stopped = {pid};
    for (const auto& e : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(e.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        const size_t close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 2));
        char state = 0;
        pid_t parent = 0;
        rest >> state >> parent;
        if (parent == pid) stopped.push_back(std::stoi(e.path().filename().string()));
    }
    // Let go again whatever happens, so that the server can be stopped.
    struct Resume {
        std::vector<pid_t>& pids;
        ~Resume() {
            for (pid_t p : pids) kill(p, SIGCONT);
        }
    } resume{stopped};
    for (pid_t p : stopped) ASSERT_EQ(kill(p, SIGSTOP), 0);
    const auto t0 = std::chrono::steady_clock::now();
    const json failed = s.Get("/api/id?id=A1", 503);
    EXPECT_EQ(failed.value("error", ""), "slow");
    EXPECT_LE(std::chrono::steady_clock::now() - t0,
              std::chrono::milliseconds(web::LineServer::kAnswerWaitMs + 1000));
    const json line = s.Line("slow", 20000);
    EXPECT_FALSE(line["data"].is_null());
    for (pid_t p : stopped) kill(p, SIGCONT);
    stopped.clear();
    s.Line("ok", 30000);
}

}  // namespace
}  // namespace ts
