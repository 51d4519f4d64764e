#pragma once
// A main window on a simulated line whose devices are plugged in and out
// with tagsmith-cli, one at a time at E.
#include <filesystem>
#include <string>

#include "tests/gui/GuiHarness.h"

namespace ts::gui::test {

struct LineHarness : Harness {
    int plugged = 0;
    int removals = 0;

    void Plug() {
        std::string out;
        QCOMPARE(Cli(line, "sim new E", &out), 0);
    }
    // Takes the device out, keeping its image; the path of the image.
    // `seen`: the window logs the removal (one that is ending does not).
    std::filesystem::path Unplug(bool seen = true) {
        auto keep = tmp.Path() / ("dev" + std::to_string(++plugged) + ".img");
        std::string out;
        if (Cli(line, "sim unplug E --keep '" + keep.string() + "'", &out) != 0) {
            qWarning("unplug: %s", out.c_str());
        }
        if (!seen) return keep;
        ++removals;
        WaitFor([&] { return LogCount(u"请插入新设备") >= static_cast<size_t>(removals); });
        return keep;
    }
    bool WaitWritten(const std::u16string& id) {
        return WaitFor([&] { return LogHas(u"烧写成功 ID: " + id); });
    }
    // Loads list.ids through the page's file button; empty `content`: the
    // file as an earlier call left it.
    void LoadList(const std::string& content) {
        auto file = tmp.Path() / "list.ids";
        if (!content.empty() || !std::filesystem::exists(file)) ts::test::WriteFile(file, content);
        CDlgCh1View::FileDialogScript().push_back(QString::fromStdString(file.string()));
        QTest::mouseClick(W<QPushButton>("idFileButton"), Qt::LeftButton);
    }
};

// An ID as read from an image, without its line end.
inline std::string Trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '\0')) s.pop_back();
    return s;
}

}  // namespace ts::gui::test
