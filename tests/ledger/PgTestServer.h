#pragma once
// PostgreSQL servers for the shared ledger's tests: the one the test run
// started (its folder named in the state file the build names, or the
// environment's TAGSMITH_PG_STATE), with a database
// of its own per test, and private ones that a test stops and starts.
#include <libpq-fe.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <string>

namespace ts::test {

inline std::string PgScript() {
    return std::string(TAGSMITH_SOURCE_DIR) + "scripts/pg-test-server.sh";
}

// The server's TCP port when it listens on one (its folder's file "port"),
// else empty.
inline std::string PgPort(const std::string& serverDir) {
    std::ifstream in(serverDir + "/port");
    std::string port;
    std::getline(in, port);
    return port;
}

// Its Unix socket (named after the port the server uses); from the
// Windows build, its TCP port.
inline std::string PgUrl(const std::string& serverDir, const std::string& db,
                         const std::string& user = "tagsmith") {
    const std::string port = PgPort(serverDir);
#ifdef _WIN32
    return "postgresql://" + user + "@127.0.0.1:" + port + "/" + db;
#else
    return "postgresql://" + user + "@/" + db + "?host=" + serverDir + "/run" +
           (port.empty() ? "" : "&port=" + port);
#endif
}

// Runs one statement on the server as its superuser; the error text or "".
inline std::string PgAdmin(const std::string& serverDir, const std::string& sql,
                           const std::string& db = "postgres") {
    PGconn* c = PQconnectdb(PgUrl(serverDir, db).c_str());
    std::string err;
    if (PQstatus(c) != CONNECTION_OK) {
        err = PQerrorMessage(c);
    } else {
        PQsetNoticeProcessor(
            c, [](void*, const char*) {}, nullptr);
        PGresult* r = PQexec(c, sql.c_str());
        const ExecStatusType st = PQresultStatus(r);
        if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) err = PQresultErrorMessage(r);
        PQclear(r);
    }
    PQfinish(c);
    return err;
}

// The run's server folder; empty with `why` set when there is none.
inline std::string RunServerDir(std::string* why) {
    const char* state = std::getenv("TAGSMITH_PG_STATE");
#ifdef TAGSMITH_PG_STATE
    if (!state) state = TAGSMITH_PG_STATE;
#endif
    if (!state) {
        *why = "no PostgreSQL test server: run the tests through ctest, which starts one";
        return {};
    }
    std::ifstream in(state);
    std::string line;
    std::getline(in, line);
    if (line.empty()) {
        *why = std::string("no PostgreSQL test server (") + state +
               " is missing: run the tests through ctest, which starts one)";
        return {};
    }
    if (line.rfind("unavailable", 0) == 0) {
        *why = "shared-ledger tests skipped: " + line;
        return {};
    }
    return line;
}

// A database of its own on the run's server, dropped afterwards.
class PgTestDb {
public:
    ~PgTestDb() {
        if (!name_.empty()) PgAdmin(dir_, "DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
    }
    // False with `why` set when there is no server; a failure to make the
    // database is an error of the test.
    bool Create(std::string* why) {
        dir_ = RunServerDir(why);
        if (dir_.empty()) return false;
        static std::atomic<int> n{0};
        name_ = "t" + std::to_string(getpid()) + "_" + std::to_string(++n);
        const std::string err = PgAdmin(dir_, "CREATE DATABASE " + name_);
        if (!err.empty()) {
            *why = "CREATE DATABASE failed: " + err;
            name_.clear();
            return false;
        }
        return true;
    }
    std::string Url() const { return PgUrl(dir_, name_); }
    const std::string& ServerDir() const { return dir_; }
    const std::string& Name() const { return name_; }

private:
    std::string dir_;
    std::string name_;
};

// A server of the test's own in `dir` (under /tmp), to stop and start; it
// commits to the disk as a line's server does, so that a crash loses nothing
// it confirmed.
class PgPrivateServer {
public:
    explicit PgPrivateServer(std::string dir) : dir_(std::move(dir)) {}
    ~PgPrivateServer() { Stop("immediate"); }
    bool Start() {
        return std::system(
                   ("bash " + PgScript() + " start " + dir_ + " --durable >/dev/null").c_str()) ==
               0;
    }
    bool Stop(const char* mode = "fast") {
        return std::system(("bash " + PgScript() + " stop " + dir_ + " " + mode).c_str()) == 0;
    }
    std::string Url(const std::string& db = "postgres") const { return PgUrl(dir_, db); }
    const std::string& Dir() const { return dir_; }

private:
    std::string dir_;
};

}  // namespace ts::test
