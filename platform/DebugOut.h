#pragma once
// Diagnostic lines for developers (the debugger output on the original
// platform). Silent unless a sink is installed: tests capture, the CLI prints
// with --debug.
#include <functional>
#include <string>
#include <string_view>

namespace ts {

// Receives one line as UTF-8, exactly as formatted (line ends included).
using DebugSink = std::function<void(std::string_view)>;

void SetDebugSink(DebugSink sink);
void OutputDebugStringA(const char* text);          // 8-bit line
void OutputDebugStringW(std::u16string_view text);  // UTF-16 line

// Installs a capturing sink for the life of the object (tests).
class DebugCapture {
public:
    DebugCapture();
    ~DebugCapture();
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;
    const std::string& Text() const { return text_; }
    void Clear() { text_.clear(); }

private:
    std::string text_;
};

}  // namespace ts
