#pragma once
// A main window on a private application folder and simulated line.
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTest>
#include <memory>

#include "app/gui/Controls.h"
#include "app/gui/GuiPorts.h"
#include "app/gui/PageViews.h"
#include "app/gui/TagsmithApp.h"
#include "app/gui/TagsmithDlg.h"
#include "platform/Codepage.h"
#include "sim/SimLine.h"
#include "tests/gui/ControlIds.h"
#include "tests/gui/GuiTestSupport.h"

namespace ts::gui::test {

struct Harness {
    ts::test::TempDir tmp;
    std::filesystem::path app = tmp.Path() / "app";
    std::filesystem::path line = tmp.Path() / "line";
    std::unique_ptr<CTagsmithDlg> dlg;

    // `withConfig` false: the application folder has no tagsmith.cfg.
    explicit Harness(bool withConfig = true) {
        MakeAppFolder(app);
        if (!withConfig) std::filesystem::remove(app / "tagsmith.cfg");
        std::filesystem::create_directories(line);
        QtMessageBoxer::Script().clear();
        QtMessageBoxer::Shown().clear();
        CDlgCh1View::FileDialogScript().clear();
    }
    ~Harness() {
        dlg.reset();
        QtMessageBoxer::Script().clear();
    }
    void Open() {
        dlg = std::make_unique<CTagsmithDlg>(MakeSimLine(line.string()));
        dlg->OnInitDialog(app.string() + "/");
        dlg->show();
    }
    MainDialog& Model() { return dlg->Model(); }
    template <typename T = QWidget>
    T* W(const char* name) {
        T* w = dlg->findChild<T*>(QString::fromLatin1(name));
        if (!w) qFatal("no control %s", name);
        return w;
    }
    // By control ID; for 1012, the scan page's button comes first.
    template <typename T = QWidget>
    T* W(int id) {
        const char* name = ControlObjectName(id);
        if (!name) qFatal("no control with ID %d", id);
        return W<T>(name);
    }
    CTabCtrl* Tabs() { return W<CTabCtrl>("pageTabs"); }
    std::u16string LogText() { return Model().core.GetLogView()->GetText(); }
    bool LogHas(const std::u16string& s) { return LogText().find(s) != std::u16string::npos; }
    size_t LogCount(const std::u16string& s) {
        std::u16string t = LogText();
        size_t n = 0;
        for (size_t p = t.find(s); p != std::u16string::npos; p = t.find(s, p + 1)) ++n;
        return n;
    }
    bool Shown(const std::u16string& text) {
        for (const auto& r : QtMessageBoxer::Shown())
            if (r.text == text) return true;
        return false;
    }
};

inline QString Q8(const char* utf8) { return QString::fromUtf8(utf8); }

}  // namespace ts::gui::test
