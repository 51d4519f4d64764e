// The operator's view of a station on a simulated line: the window repaints
// and shows progress while a flow runs, the last result at a glance, Qt's
// own texts in Chinese, the scan box ready for a scanner, and the trainer's
// panel that plugs devices and sets faults.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QTableWidget>
#include <QTimer>

#include "app/LastResult.h"
#include "app/gui/PortStrip.h"
#include "app/gui/TrainingBench.h"
#include "tests/gui/GuiHarness.h"

using namespace ts;
using namespace ts::gui;
using namespace ts::gui::test;

namespace {

struct Line : Harness {
    int removals = 0;
    void Plug(const std::string& what = "new") {
        std::string out;
        QCOMPARE(Cli(line, "sim " + what + " E", &out), 0);
    }
    void SetFaults(const std::string& lines) {
        std::string error;
        QVERIFY2(SimSetFaults(line.string(), 'E', lines, error), error.c_str());
    }
    void Unplug() {
        std::string out;
        QCOMPARE(Cli(line, "sim unplug E", &out), 0);
        ++removals;
        QVERIFY(WaitFor([&] { return LogCount(u"请插入新设备") >= size_t(removals); }));
    }
    QLineEdit* ScanBox() { return W<QLineEdit>("scanIdEdit"); }
    QPushButton* ScanWrite() { return dlg->Page2()->findChild<QPushButton*>("writeButton"); }
    // On the scan page: waits for the device, writes `id`.
    void WriteOnScanPage(const char* id) {
        QVERIFY(WaitFor([&] { return ScanWrite()->isEnabled(); }));
        ScanBox()->selectAll();
        QTest::keyClicks(ScanBox(), id);
        QTest::mouseClick(ScanWrite(), Qt::LeftButton);
    }
};

// Sees every paint of the window's widgets while a flow runs, with what the
// result box, the progress bar and the page's current-ID box showed then.
struct PaintWatch : QObject {
    CTagsmithDlg* dlg;
    QLineEdit* current;
    bool interimPainted = false;
    bool progressPainted = false;
    std::vector<int> values;
    PaintWatch(CTagsmithDlg* d, QLineEdit* c) : dlg(d), current(c) {
        qApp->installEventFilter(this);
    }
    ~PaintWatch() override { qApp->removeEventFilter(this); }
    bool eventFilter(QObject* o, QEvent* e) override {
        if (e->type() != QEvent::Paint) return false;
        const int v = dlg->ProgressBar()->value();
        if (o == dlg->ProgressBar() && v > 0 && v < 1000) {
            progressPainted = true;
            values.push_back(v);
        }
        if (o == current && current->text() == QString::fromUtf8("读取中...") &&
            dlg->ResultBox()->text().contains(QString::fromUtf8("读取中...")))
            interimPainted = true;
        return false;
    }
};

}  // namespace

class OperatorTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        CTagsmithApp resources;
        ApplyDialogLook();
        QVERIFY(CTagsmithApp::LoadQtTranslations());
        std::string out;
        if (ts::test::RunCommand("command -v mtype", &out) != 0) QSKIP("mtools not installed");
    }

    void readRepaintsInterimTextAndProgressWhilePausing() {
        Line h;
        h.Open();
        QTest::mouseClick(h.W<QRadioButton>("readModeRadio"), Qt::LeftButton);
        PaintWatch watch(h.dlg.get(), h.W<QLineEdit>("currentIdEdit"));
        h.Plug();  // blank: the whole image is read, with its pauses
        QVERIFY(WaitFor([&] { return h.LogHas(u"设备ID读取失败，请重新插拔设备读取"); }));
        QVERIFY(watch.interimPainted);
        QVERIFY(watch.progressPainted);
        QVERIFY(std::is_sorted(watch.values.begin(), watch.values.end()));
        QVERIFY(watch.values.size() > 10);
        QCOMPARE(h.dlg->Status().Current(), ResultState::Failed);
        // The cursor is the operator's again once the flow is over.
        QCOMPARE(QApplication::overrideCursor(), nullptr);
    }

    void lastResultOfWrites_data() {
        QTest::addColumn<QString>("faults");
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("headline");
        QTest::newRow("written") << "" << int(ResultState::Passed) << "烧写成功";
        QTest::newRow("block refused") << "check_at=write:2\n"
                                       << int(ResultState::Failed) << "烧写失败";
        QTest::newRow("finish not confirmed") << "finish=garbled\n"
                                              << int(ResultState::Failed) << "烧写失败";
    }
    void lastResultOfWrites() {
        QFETCH(QString, faults);
        QFETCH(int, state);
        QFETCH(QString, headline);
        Line h;
        h.Open();
        h.Tabs()->setCurrentIndex(1);
        h.SetFaults(faults.toStdString());
        h.Plug();
        h.WriteOnScanPage("BEEF01");
        LastResult& status = h.dlg->Status();
        QCOMPARE(int(status.Current()), state);
        QCOMPARE(status.ShownId(), std::u16string(u"BEEF01"));
        QVERIFY(h.dlg->ResultBox()->text().contains(headline));
        QVERIFY(h.dlg->ResultBox()->text().contains(QStringLiteral("BEEF01")));
        QCOMPARE(QApplication::overrideCursor(), nullptr);
        // The next device clears it.
        h.Unplug();
        h.SetFaults("");
        h.Plug();
        QVERIFY(WaitFor([&] { return h.ScanWrite()->isEnabled(); }));
        QCOMPARE(status.Current(), ResultState::Idle);
        QVERIFY(status.ShownId().empty());
    }

    void keepingTheExistingIdIsNoPass() {
        Line h;
        h.Open();
        h.Tabs()->setCurrentIndex(1);
        h.Plug();
        h.WriteOnScanPage("AB12");
        QCOMPARE(h.dlg->Status().Current(), ResultState::Passed);
        // The written device plugged in again.
        std::string out;
        QCOMPARE(
            Cli(h.line, "sim unplug E --keep '" + (h.tmp.Path() / "dev.img").string() + "'", &out),
            0);
        QVERIFY(WaitFor([&] { return h.LogHas(u"请插入新设备"); }));
        std::filesystem::rename(h.tmp.Path() / "dev.img", h.line / "E.img");
        QtMessageBoxer::Script().push_back(MsgAnswer::No);  // keep AB12
        h.WriteOnScanPage("CD34");
        QVERIFY(h.Shown(u"设备已经烧录了 ID:AB12，是否重新烧写\n"));
        QCOMPARE(h.dlg->Status().Current(), ResultState::NotWritten);
    }

    void messageBoxButtonsAreChinese_data() {
        QTest::addColumn<int>("button");
        QTest::addColumn<QString>("text");
        QTest::newRow("yes") << int(QMessageBox::Yes) << "是";
        QTest::newRow("no") << int(QMessageBox::No) << "否";
        QTest::newRow("ok") << int(QMessageBox::Ok) << "确定";
        QTest::newRow("cancel") << int(QMessageBox::Cancel) << "取消";
    }
    void messageBoxButtonsAreChinese() {
        QFETCH(int, button);
        QFETCH(QString, text);
        QMessageBox box;
        QPushButton* b = box.addButton(QMessageBox::StandardButton(button));
        QVERIFY2(b->text().contains(text), qPrintable(b->text()));
    }

    void productMessageBoxShowsChineseButtons() {
        QtMessageBoxer::Script().clear();
        QStringList seen;
        QTimer::singleShot(100, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) return;
            for (QAbstractButton* b : box->buttons()) seen << b->text();
            box->button(QMessageBox::No)->click();
        });
        QtMessageBoxer boxer;
        MsgAnswer a = boxer.Show({u"问题", u"Tagsmith", MsgButtons::YesNo, MsgIcon::Question});
        QCOMPARE(a, MsgAnswer::No);
        QCOMPARE(seen.size(), 2);
        QVERIFY2(seen.join(' ').contains(QString::fromUtf8("是")), qPrintable(seen.join(' ')));
        QVERIFY2(seen.join(' ').contains(QString::fromUtf8("否")), qPrintable(seen.join(' ')));
    }

    void scanBoxReadyForTheScanner() {
        Line h;
        h.Open();
        QLineEdit* scan = h.ScanBox();
        QTest::mouseClick(h.Tabs()->tabBar(), Qt::LeftButton, {},
                          h.Tabs()->tabBar()->tabRect(1).center());
        QCOMPARE(h.Tabs()->currentIndex(), 1);
        QCOMPARE(h.dlg->focusWidget(), scan);

        // A written device leaves its ID; the next device gets the box back,
        // the old ID selected so a scan replaces it.
        h.Plug();
        h.WriteOnScanPage("0A0B");
        QVERIFY(h.LogHas(u"烧写成功 ID: 0A0B"));
        h.Unplug();
        h.W<QPushButton>("clearLogButton")->setFocus();
        h.Plug();
        QVERIFY(WaitFor([&] { return h.ScanWrite()->isEnabled(); }));
        QCOMPARE(h.dlg->focusWidget(), scan);
        QCOMPARE(scan->selectedText(), QStringLiteral("0A0B"));
        QTest::keyClicks(scan, "77");
        QTest::keyClick(scan, Qt::Key_Return);
        QCOMPARE(scan->text(), QStringLiteral("77"));
        QVERIFY(h.dlg->isVisible());
    }

    void trainingBenchWalksThroughMessages() {
        Line h;
        h.Open();
        h.dlg->EnableTrainingBench(h.line.string());
        TrainingBench* bench = h.dlg->Bench();
        QVERIFY(bench);
        auto* kept = bench->findChild<QPushButton*>("benchKept");
        QVERIFY(!kept->isEnabled());
        h.Tabs()->setCurrentIndex(1);

        QTest::mouseClick(bench->findChild<QPushButton*>("benchBlank"), Qt::LeftButton);
        QVERIFY(WaitFor([&] {
            return h.LogHas(u"新设备检测成功，现在可以进行ID烧写操作了") ||
                   h.LogHas(u"新设备检测成功，当前无序列号可用");
        }));
        h.WriteOnScanPage("5EED");
        QVERIFY(h.LogHas(u"烧写成功 ID: 5EED"));

        // Unplugged, the device is kept and goes back in with its ID.
        QTest::mouseClick(bench->findChild<QPushButton*>("benchUnplug"), Qt::LeftButton);
        QVERIFY(WaitFor([&] { return h.LogCount(u"请插入新设备") >= 1; }));
        QVERIFY(kept->isEnabled());
        QTest::mouseClick(kept, Qt::LeftButton);
        QtMessageBoxer::Script().push_back(MsgAnswer::No);
        h.WriteOnScanPage("6EED");
        QVERIFY(h.Shown(u"设备已经烧录了 ID:5EED，是否重新烧写\n"));
        QTest::mouseClick(bench->findChild<QPushButton*>("benchUnplug"), Qt::LeftButton);
        QVERIFY(WaitFor([&] { return h.LogCount(u"请插入新设备") >= 2; }));

        // A fault set on the bench is what the next device shows.
        auto* fault = bench->findChild<QComboBox*>("benchFault");
        const int busy = fault->findText(QString::fromUtf8("设备被其他程序占用"));
        QVERIFY(busy > 0);
        bench->SetFault(busy);
        QTest::mouseClick(bench->findChild<QPushButton*>("benchBlank"), Qt::LeftButton);
        QVERIFY(WaitFor([&] {
            return h.LogHas(u"设备 E:\\ 正被其他程序使用，无法打开") ||
                   h.LogHas(u"正被其他程序使用");
        }));
        QTest::mouseClick(bench->findChild<QPushButton*>("benchUnplug"), Qt::LeftButton);
        bench->SetFault(0);
        QVERIFY(!std::filesystem::exists(h.line / "E.fault"));

        // An ordinary disk is no device: plugging it twice is refused.
        QTest::mouseClick(bench->findChild<QPushButton*>("benchDisk"), Qt::LeftButton);
        QVERIFY(std::filesystem::exists(h.line / "E.disk"));
        QTest::mouseClick(bench->findChild<QPushButton*>("benchDisk"), Qt::LeftButton);
        QVERIFY(bench->Message().startsWith(QString::fromUtf8("操作失败：")));
    }

    // Gang mode through the window: the bench plugs E to H at once, F
    // refuses a block; later a slow device at F is pulled mid-write.
    void gangStripShowsAPassAFailAndAPull() {
        Line h;
        h.Open();
        h.dlg->EnableTrainingBench(h.line.string());
        const int oneDeviceHeight = h.dlg->height();
        QVERIFY(!h.dlg->Strip()->isVisible());
        h.dlg->GangModeBox()->click();
        QVERIFY(h.Model().gangMode);
        QVERIFY(h.dlg->Strip()->isVisible());
        QVERIFY(h.dlg->height() > oneDeviceHeight);  // the strip covers nothing

        h.Tabs()->setCurrentIndex(2);
        h.Model().m_page3.SetPrefix(u"AB");
        h.Model().m_page3.SetCounter(u"1");
        QTest::mouseClick(h.dlg->Page3()->findChild<QPushButton*>("writeButton"), Qt::LeftButton);
        QVERIFY(!h.dlg->GangModeBox()->isEnabled());
        std::string error;
        QVERIFY2(SimSetFaults(h.line.string(), 'F', "check_at=write:2\n", error), error.c_str());
        QTest::mouseClick(h.dlg->Bench()->findChild<QPushButton*>("benchPlugSeveral"),
                          Qt::LeftButton);

        QTableWidget* strip = h.dlg->Strip();
        auto row = [&](const QString& drive) {
            for (int r = 0; r < strip->rowCount(); ++r)
                if (strip->item(r, 0) && strip->item(r, 0)->text() == drive) return r;
            return -1;
        };
        auto state = [&](const QString& drive) {
            const int r = row(drive);
            return r < 0 ? QString() : strip->item(r, 1)->text();
        };
        const bool allEnded = WaitFor([&] { return h.dlg->Status().Counts().written == 3; }, 30000);
        if (!allEnded) qWarning("%s", WideToUtf8(h.LogText()).c_str());
        QVERIFY(allEnded);
        QVERIFY(WaitFor([&] { return state("F:") == QString::fromUtf8("烧写失败"); }));
        for (const char* d : {"E:", "G:", "H:"})
            QCOMPARE(state(QLatin1String(d)), QString::fromUtf8("烧写成功"));
        QCOMPARE(h.dlg->Status().Counts().failed, 1u);
        QVERIFY(h.dlg->CountsBox()->text().contains(QStringLiteral("3")));
        // The state in the last result's colours, the ID and a time beside it.
        const int e = row("E:");
        QCOMPARE(strip->item(e, 1)->background().color(), QColor(0x2e, 0x7d, 0x32));
        QCOMPARE(strip->item(row("F:"), 1)->background().color(), QColor(0xc6, 0x28, 0x28));
        QVERIFY(strip->item(e, 2)->text().startsWith(QStringLiteral("AB")));
        QVERIFY(strip->item(e, 3)->text().endsWith(QString::fromUtf8("秒")));
        QVERIFY(h.LogHas(u"[E:]") && h.LogHas(u"[F:]"));

        std::string out;
        QCOMPARE(Cli(h.line, "sim unplug F", &out), 0);
        QVERIFY2(SimSetFaults(h.line.string(), 'F', "latency=write:500\n", error), error.c_str());
        QCOMPARE(Cli(h.line, "sim new F", &out), 0);
        QVERIFY(WaitFor([&] { return state("F:") == QString::fromUtf8("烧写中..."); }));
        QCOMPARE(Cli(h.line, "sim unplug F", &out), 0);
        QVERIFY(WaitFor([&] { return state("F:") == QString::fromUtf8("设备已拔出"); }));
        QCOMPARE(state("E:"), QString::fromUtf8("烧写成功"));
        QVERIFY(WaitFor([&] { return h.dlg->Status().Counts().failed == 2u; }));

        // Stopped, the gang ends and the check box can be changed again.
        QTest::mouseClick(h.dlg->Page3()->findChild<QPushButton*>("writeButton"), Qt::LeftButton);
        QVERIFY(WaitFor([&] { return h.dlg->GangModeBox()->isEnabled(); }));
    }
};

QTEST_MAIN(OperatorTest)
#include "test_gui_operator.moc"
