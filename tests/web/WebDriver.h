#pragma once
// Debian's headless Chromium driven through chromedriver (the W3C WebDriver
// protocol over HTTP): the page as a supervisor's browser shows it.
#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

namespace ts::test {

class WebDriver {
public:
    static constexpr char kDriver[] = "/usr/bin/chromedriver";
    static constexpr char kBrowser[] = "/usr/bin/chromium";
    static constexpr char kElement[] = "element-6066-11e4-a52e-4f735466cecf";

    // Empty when the browser is there, else why not.
    static std::string Missing() {
        for (const char* f : {kDriver, kBrowser})
            if (!std::filesystem::exists(f))
                return std::string(f) + " is missing (scripts/deps.sh installs chromium and " +
                       "chromium-driver)";
        return {};
    }

    ~WebDriver() {
        if (client_ && !session_.empty()) client_->Delete("/session/" + session_);
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }

    // Starts the driver and a browser session; false with `why` set.
    bool Start(std::string* why) {
        const int port = FreePort();
        pid_ = fork();
        if (pid_ == 0) {
            const std::string arg = "--port=" + std::to_string(port);
            execl(kDriver, kDriver, arg.c_str(), "--log-level=OFF", static_cast<char*>(nullptr));
            _exit(127);
        }
        client_ = std::make_unique<httplib::Client>("127.0.0.1", port);
        client_->set_read_timeout(60, 0);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < until) {
            auto res = client_->Get("/status");
            if (res && res->status == 200) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        const nlohmann::json caps = {
            {"capabilities",
             {{"alwaysMatch",
               {{"browserName", "chrome"},
                {"goog:chromeOptions",
                 {{"binary", kBrowser},
                  {"args",
                   {"--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                    "--window-size=1280,1900", "--lang=zh-CN"}}}}}}}}};
        const nlohmann::json v = Call("POST", "/session", caps);
        if (!v.contains("sessionId")) {
            *why = "no browser session: " + v.dump();
            return false;
        }
        session_ = v["sessionId"];
        return true;
    }

    // One command of the session; its "value".
    nlohmann::json Call(const std::string& method, const std::string& path,
                        const nlohmann::json& body = nlohmann::json::object()) {
        httplib::Result res = method == "GET"
                                  ? client_->Get(path)
                                  : client_->Post(path, body.dump(), "application/json");
        if (!res) return {{"error", "no answer from chromedriver"}};
        const nlohmann::json j = nlohmann::json::parse(res->body, nullptr, false);
        return j.is_object() && j.contains("value") ? j["value"] : j;
    }
    nlohmann::json Session(const std::string& method, const std::string& path,
                           const nlohmann::json& body = nlohmann::json::object()) {
        return Call(method, "/session/" + session_ + path, body);
    }

    void Go(const std::string& url) { Session("POST", "/url", {{"url", url}}); }
    nlohmann::json Run(const std::string& script) {
        return Session("POST", "/execute/sync",
                       {{"script", script}, {"args", nlohmann::json::array()}});
    }
    // Runs `script` until it returns something other than null or false.
    nlohmann::json WaitFor(const std::string& script, int seconds = 20) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        nlohmann::json v;
        while (std::chrono::steady_clock::now() < until) {
            v = Run(script);
            if (!v.is_null() && v != false && !(v.is_object() && v.contains("error"))) return v;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        return nullptr;
    }
    std::string Element(const std::string& css) {
        const nlohmann::json v =
            Session("POST", "/element", {{"using", "css selector"}, {"value", css}});
        return v.contains(kElement) ? v[kElement].get<std::string>() : std::string();
    }
    void Type(const std::string& element, const std::string& text) {
        Session("POST", "/element/" + element + "/value", {{"text", text}});
    }
    void Click(const std::string& element) { Session("POST", "/element/" + element + "/click"); }
    // The window as a PNG.
    std::string Screenshot() { return Base64(Session("GET", "/screenshot").get<std::string>()); }

private:
    static int FreePort() {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        close(fd);
        return ntohs(a.sin_port);
    }
    static std::string Base64(const std::string& in) {
        std::string out;
        unsigned buf = 0;
        int bits = 0;
        for (char c : in) {
            int v = c >= 'A' && c <= 'Z'   ? c - 'A'
                    : c >= 'a' && c <= 'z' ? c - 'a' + 26
                    : c >= '0' && c <= '9' ? c - '0' + 52
                    : c == '+'             ? 62
                    : c == '/'             ? 63
                                           : -1;
            if (v < 0) continue;
            buf = (buf << 6) | static_cast<unsigned>(v);
            bits += 6;
            if (bits >= 8) {
                bits -= 8;
                out += static_cast<char>((buf >> bits) & 0xFF);
            }
        }
        return out;
    }

    pid_t pid_ = -1;
    std::unique_ptr<httplib::Client> client_;
    std::string session_;
};

}  // namespace ts::test
