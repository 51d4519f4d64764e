// Saves pictures of the main window on each tab, the picker and the About box
// (run under Xvfb: xvfb-run -a gui_screens OUTDIR). Not a test.
#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QPixmap>
#include <QTimer>
#include <cstdio>
#include <vector>

#include "app/LastResult.h"
#include "app/gui/AboutDlg.h"
#include "app/gui/PickerView.h"
#include "app/gui/TagsmithApp.h"
#include "app/gui/TagsmithDlg.h"
#include "platform/Codepage.h"
#include "sim/SimLine.h"
#include "tests/gui/GuiTestSupport.h"

using namespace ts;
using namespace ts::gui;

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    CTagsmithApp resources;  // registers the icon
    ApplyDialogLook();
    CTagsmithApp::LoadQtTranslations();
    QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("/work/screens");
    QDir().mkpath(out);
    ts::test::TempDir tmp;
    ts::gui::test::MakeAppFolder(tmp.Path() / "app");
    std::filesystem::create_directories(tmp.Path() / "line");
    CTagsmithDlg dlg(MakeSimLine((tmp.Path() / "line").string()));
    dlg.OnInitDialog((tmp.Path() / "app").string() + "/");
    dlg.Model().m_page1.OnIdFileChosen(Utf8ToWide((tmp.Path() / "app" / "sample.ids").string()));
    dlg.Model().m_page3.SetPrefix(u"AB");
    dlg.Model().m_page3.SetCounter(u"0x00F");
    dlg.Model().m_page3.SetSuffix(u"CD");
    dlg.Model().m_page2.SetScanId(u"1A2B3C4D00000099");
    dlg.Model().AppendLog(u"设备已退出......");
    dlg.Model().AppendLog(u"请插入新设备");
    dlg.show();
    auto save = [&](QWidget* w, const char* name) {
        QCoreApplication::processEvents();
        QString path = out + QLatin1Char('/') + QLatin1String(name);
        bool ok = w->grab().save(path);
        std::printf("%s %s\n", ok ? "saved" : "FAILED", qPrintable(path));
    };
    for (int tab = 0; tab < 3; ++tab) {
        dlg.Model().OnTabSelChange(tab);
        std::string name = "main_tab" + std::to_string(tab) + ".png";
        save(&dlg, name.c_str());
    }
    dlg.Model().OnTabSelChange(0);
    dlg.Model().OnReadMode();
    save(&dlg, "main_readmode.png");
    dlg.Model().OnWriteMode();

    CDlgListID& picker = dlg.Model().m_page1.m_picker;
    picker.SetIdList(&dlg.Model().m_page1.m_ids);
    picker.OnInitDialog();
    CDlgListIDView view(picker, &dlg);
    view.show();
    save(&view, "picker.png");
    view.close();

    CAboutDlg about(&dlg);
    about.show();
    save(&about, "about.png");
    about.close();

    // The operator's states, set as the flows would set them.
    const std::u16string id = u"1A2B3C4D00000099";
    dlg.EnableTrainingBench((tmp.Path() / "line").string());
    dlg.Model().OnReadMode();
    dlg.Model().m_page1.SetCurrentIdText(u"读取中...");
    dlg.Status().BlockDone(FlowKind::Read, 12 * 32768, 32 * 32768);
    save(&dlg, "state_reading.png");
    dlg.Model().OnWriteMode();
    dlg.Model().OnTabSelChange(1);
    dlg.Status().WriteStarts();
    dlg.Status().BlockDone(FlowKind::Write, 20 * 32768, 32 * 32768);
    save(&dlg, "state_writing.png");
    dlg.Status().BlockDone(FlowKind::Write, 32 * 32768, 32 * 32768);
    dlg.Status().WriteEnded(0, id);
    save(&dlg, "state_pass.png");
    dlg.Status().WriteStarts();
    dlg.Status().WriteEnded(1, id);
    save(&dlg, "state_fail.png");

    // Gang mode: four ports in the strip, as the workers would leave them.
    dlg.Controller().OnGangMode(true);
    dlg.Model().OnTabSelChange(2);
    std::vector<PortView> ports(4);
    const PortState states[] = {PortState::Passed, PortState::Failed, PortState::Writing,
                                PortState::Pulled};
    const char16_t* ids[] = {u"AB00FCD", u"AB010CD", u"AB011CD", u"AB012CD"};
    for (int i = 0; i < 4; ++i) {
        ports[i].root = std::u16string(1, static_cast<char16_t>(u'E' + i)) + u":\\";
        ports[i].state = states[i];
        ports[i].id = ids[i];
        ports[i].result = i == 0 ? 0 : 1;
        ports[i].elapsedMs = 1200 + 350 * i;
    }
    dlg.Status().ShowPorts(ports, true);
    save(&dlg, "state_gang.png");

    QMessageBox box(&dlg);
    box.setWindowTitle(QStringLiteral("Tagsmith"));
    box.setText(QStringLiteral("设备已经烧录了 ID:1A2B3C4D00000099，是否重新烧写"));
    box.setIcon(QMessageBox::Question);
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.show();
    save(&box, "msgbox_zh.png");
    box.close();
    dlg.DestroyWindow();
    return 0;
}
