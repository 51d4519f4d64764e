#include "platform/DebugOut.h"

#include <mutex>

#include "platform/Codepage.h"

namespace ts {
namespace {
std::mutex g_mutex;
DebugSink& Sink() {
    static DebugSink sink;
    return sink;
}
}  // namespace

void SetDebugSink(DebugSink sink) {
    std::lock_guard lock(g_mutex);
    Sink() = std::move(sink);
}

void OutputDebugStringA(const char* text) {
    if (!text) return;
    std::lock_guard lock(g_mutex);
    if (Sink()) Sink()(text);
}

void OutputDebugStringW(std::u16string_view text) {
    std::lock_guard lock(g_mutex);
    if (Sink()) Sink()(WideToUtf8(text));
}

DebugCapture::DebugCapture() {
    SetDebugSink([this](std::string_view line) { text_.append(line); });
}

DebugCapture::~DebugCapture() { SetDebugSink(nullptr); }

}  // namespace ts
