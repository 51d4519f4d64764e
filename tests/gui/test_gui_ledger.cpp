// The window with its ledger: the list and increment pages pick up where the
// last run left off, the scan page asks before writing an ID a device holds,
// the counts since start, and a ledger that cannot be used.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>

#include "tests/gui/GuiHarness.h"

using namespace ts;
using namespace ts::gui;
using namespace ts::gui::test;

namespace {

std::u16string U(const char* utf8) { return Utf8ToWide(utf8); }

std::string Trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '\0')) s.pop_back();
    return s;
}

struct Line : Harness {
    int plugged = 0;
    int removals = 0;

    void Plug() {
        std::string out;
        QCOMPARE(Cli(line, "sim new E", &out), 0);
    }
    std::filesystem::path Unplug() {
        auto keep = tmp.Path() / ("dev" + std::to_string(++plugged) + ".img");
        std::string out;
        if (Cli(line, "sim unplug E --keep '" + keep.string() + "'", &out) != 0)
            qWarning("unplug: %s", out.c_str());
        ++removals;
        WaitFor([&] { return LogCount(u"请插入新设备") >= static_cast<size_t>(removals); });
        return keep;
    }
    // Plugs a device, waits until `id` was written, takes it out; its ID.
    std::string WriteOne(const char* id) {
        Plug();
        if (!WaitFor([&] { return LogHas(u"烧写成功 ID: " + U(id)); })) return "(not written)";
        return Trim(ReadIdOnImage(Unplug()));
    }
    void LoadList(const std::string& content) {
        auto file = tmp.Path() / "list.ids";
        if (!std::filesystem::exists(file)) ts::test::WriteFile(file, content);
        CDlgCh1View::FileDialogScript().push_back(QString::fromStdString(file.string()));
        QTest::mouseClick(W<QPushButton>("idFileButton"), Qt::LeftButton);
    }
    // The window ends without saving anything, as when the process dies, and
    // a new one starts on the same folder and line.
    void Restart() {
        dlg.reset();
        removals = 0;
        Open();
    }
    void ArmCounter(const char* prefix, const char* counter, const char* suffix) {
        Tabs()->setCurrentIndex(2);
        for (auto [name, text] :
             {std::pair{"prefixEdit", prefix}, std::pair{"counterEdit", counter},
              std::pair{"suffixEdit", suffix}}) {
            W<QLineEdit>(name)->clear();
            QTest::keyClicks(W<QLineEdit>(name), text);
        }
        QTest::mouseClick(W<QRadioButton>("increaseRadio"), Qt::LeftButton);
        QTest::mouseClick(dlg->Page3()->findChild<QPushButton*>("writeButton"), Qt::LeftButton);
    }
};

}  // namespace

class LedgerWindowTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        CTagsmithApp resources;
        ApplyDialogLook();
        std::string out;
        if (ts::test::RunCommand("command -v mtype", &out) != 0) QSKIP("mtools not installed");
    }

    void listPageResumesAfterARestart() {
        Line h;
        h.Open();
        h.LoadList("1A01\r\n1A02\r\n1A03\r\n1A04\r\n");
        QTest::mouseClick(h.W<QPushButton>("autoWriteButton"), Qt::LeftButton);
        QCOMPARE(h.WriteOne("1A01"), std::string("1A01"));
        QCOMPARE(h.WriteOne("1A02"), std::string("1A02"));
        QVERIFY(h.dlg->CountsBox()->text().contains(Q8("已烧写 2")));
        QVERIFY(h.dlg->CountsBox()->text().contains(Q8("失败 0")));

        // The next morning, the same file: it goes on with the first ID no
        // device holds, and the counts start afresh.
        h.Restart();
        h.LoadList("");
        QCOMPARE(h.W<QLineEdit>("currentIdEdit")->text(), Q8("1A03"));
        QVERIFY(h.LogHas(u"ID记录中已有本列表的 2 个已烧写ID、0 个预留ID，均已标记为已使用"));
        QVERIFY(h.dlg->CountsBox()->text().contains(Q8("已烧写 0")));
        QTest::mouseClick(h.W<QPushButton>("autoWriteButton"), Qt::LeftButton);
        QCOMPARE(h.WriteOne("1A03"), std::string("1A03"));
        QVERIFY(!h.LogHas(u"烧写成功 ID: 1A01"));
        QVERIFY(h.dlg->CountsBox()->text().contains(Q8("已烧写 1")));
    }

    void incrementPageResumesAfterARestart() {
        Line h;
        h.Open();
        h.ArmCounter("AB", "5", "CD");
        QCOMPARE(h.WriteOne("AB5CD"), std::string("AB5CD"));
        QCOMPARE(h.WriteOne("AB6CD"), std::string("AB6CD"));

        // Started again from the counter as it was before those writes.
        h.Restart();
        h.ArmCounter("AB", "5", "CD");
        QCOMPARE(h.W<QLineEdit>("counterEdit")->text(), Q8("7"));
        QVERIFY(h.LogHas(u"自变数据段跳过已烧写的ID，从 7 继续"));
        QCOMPARE(h.WriteOne("AB7CD"), std::string("AB7CD"));
    }

    void scanPageAsksBeforeWritingAnIdWrittenBefore() {
        Line h;
        h.Open();
        h.Tabs()->setCurrentIndex(1);
        auto* write = h.dlg->Page2()->findChild<QPushButton*>("writeButton");
        auto typeAndWrite = [&] {
            h.Plug();
            QVERIFY(WaitFor([&] { return write->isEnabled(); }));
            h.W<QLineEdit>("scanIdEdit")->clear();
            QTest::keyClicks(h.W<QLineEdit>("scanIdEdit"), "5CA1");
            QTest::mouseClick(write, Qt::LeftButton);
        };
        typeAndWrite();
        QVERIFY(WaitFor([&] { return h.LogHas(u"烧写成功 ID: 5CA1"); }));
        h.Unplug();

        // Declined: the second device keeps nothing.
        QtMessageBoxer::Script().push_back(MsgAnswer::No);
        typeAndWrite();
        const auto& shown = QtMessageBoxer::Shown();
        QVERIFY(!shown.empty());
        const std::u16string asked = shown.back().text;
        QVERIFY(asked.starts_with(u"该ID已于 "));
        QVERIFY(asked.ends_with(u"烧写过，确定要再次烧写？"));
        QCOMPARE(h.LogCount(u"烧写成功 ID: 5CA1"), size_t(1));
        QCOMPARE(Trim(ReadIdOnImage(h.Unplug())), std::string());

        // Accepted: written again, as the operator decided.
        QtMessageBoxer::Script().push_back(MsgAnswer::Yes);
        typeAndWrite();
        QVERIFY(WaitFor([&] { return h.LogCount(u"烧写成功 ID: 5CA1") == 2; }));
    }

    void aDamagedLedgerKeepsAutomaticWritingOff() {
        Line h;
        ts::test::WriteFile(h.app / "tagsmith.ledger", "no ledger here");
        h.Open();
        QVERIFY(h.LogHas(u"无法使用ID记录"));
        h.LoadList("2B01\r\n");
        QtMessageBoxer::Script().push_back(MsgAnswer::Ok);
        auto* autoButton = h.W<QPushButton>("autoWriteButton");
        QTest::mouseClick(autoButton, Qt::LeftButton);
        QCOMPARE(autoButton->text(), Q8("自动烧写"));
        QVERIFY(
            QtMessageBoxer::Shown().back().text.starts_with(u"无法使用ID记录，自动烧写不会开始"));
        QCOMPARE(ts::test::ReadFile(h.app / "tagsmith.ledger"), std::string("no ledger here"));
    }
};

QTEST_MAIN(LedgerWindowTest)
#include "test_gui_ledger.moc"
