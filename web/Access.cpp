#include "web/Access.h"

#include <cstdio>
#include <fstream>

namespace ts::web {

namespace {

constexpr size_t kMinTokenLength = 16;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

bool ParseListen(std::string_view text, std::string* host, int* port) {
    size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    std::string_view h = text.substr(0, colon);
    const std::string_view p = text.substr(colon + 1);
    if (h.front() == '[') {
        if (h.size() < 3 || h.back() != ']') return false;
        h = h.substr(1, h.size() - 2);
    } else if (h.find(':') != std::string_view::npos) {
        return false;  // an IPv6 address goes in brackets
    }
    if (p.empty() || p.size() > 5) return false;
    int n = 0;
    for (char c : p) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + (c - '0');
    }
    if (n > 65535) return false;
    for (char c : h)
        if (IsBlank(c) || c == '/' || c == '[' || c == ']') return false;
    *host = std::string(h);
    *port = n;
    return true;
}

bool IsLoopback(const std::string& host) {
    if (host == "localhost" || host == "::1") return true;
    // 127.0.0.0/8 in dotted form: four numbers, the first 127.
    if (host.rfind("127.", 0) != 0) return false;
    int parts = 2;  // 127 and the one being read
    int value = 0;
    bool digit = false;
    for (size_t i = 4; i < host.size(); ++i) {
        const char c = host[i];
        if (c == '.') {
            if (!digit) return false;
            ++parts;
            value = 0;
            digit = false;
        } else if (c >= '0' && c <= '9') {
            value = value * 10 + (c - '0');
            if (value > 255) return false;
            digit = true;
        } else {
            return false;
        }
    }
    return digit && parts == 4;
}

bool SameToken(std::string_view given, std::string_view expected) {
    // Every byte of the longer text is looked at, whatever matched.
    const size_t n = given.size() > expected.size() ? given.size() : expected.size();
    unsigned diff = given.size() == expected.size() ? 0u : 1u;
    for (size_t i = 0; i < n; ++i) {
        const auto a = static_cast<unsigned char>(i < given.size() ? given[i] : 0);
        const auto b = static_cast<unsigned char>(i < expected.size() ? expected[i] : 0);
        diff |= static_cast<unsigned>(a ^ b);
    }
    return diff == 0 && !expected.empty();
}

std::string ReadToken(const std::string& path, std::string* why) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *why = "cannot read " + path;
        return {};
    }
    std::string line;
    std::getline(in, line);
    size_t b = 0;
    size_t e = line.size();
    while (b < e && IsBlank(line[b])) ++b;
    while (e > b && IsBlank(line[e - 1])) --e;
    line = line.substr(b, e - b);
    for (char c : line) {
        const auto u = static_cast<unsigned char>(c);
        // It travels in a cookie and a header: visible ASCII only.
        if (u <= 0x20 || u >= 0x7f || c == ';' || c == ',' || c == '"' || c == '\\') {
            *why = path + ": the token may hold only visible ASCII characters (no ; , \" \\)";
            return {};
        }
    }
    if (line.size() < kMinTokenLength) {
        *why =
            path + ": the token needs at least " + std::to_string(kMinTokenLength) + " characters";
        return {};
    }
    return line;
}

std::string ShellWord(std::string_view text) {
    bool plain = !text.empty();
    for (char c : text) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-' || c == ':' ||
                        c == '@' || c == '%' || c == '+' || c == '=' || c == ',' || c == '/';
        if (!ok) plain = false;
    }
    if (plain) return std::string(text);
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

}  // namespace ts::web
