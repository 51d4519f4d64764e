// End to end on a simulated line with the real plug-in: devices are plugged
// in and out with tagsmith-cli, the window writes or reads them, and what a
// device holds is checked on its image with mtools.
#include <QApplication>
#include <QLineEdit>
#include <QTableView>
#include <QTimer>

#include "app/gui/PickerView.h"
#include "tests/gui/LineHarness.h"

using namespace ts;
using namespace ts::gui;
using namespace ts::gui::test;

namespace {

using Line = LineHarness;

// Answers the picker when it shows: clicks `row`, then "选择".
void PickRowWhenShown(int row) {
    auto* timer = new QTimer;
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, row] {
        auto* picker = qobject_cast<CDlgListIDView*>(QApplication::activeModalWidget());
        if (!picker) return;
        timer->stop();
        timer->deleteLater();
        auto* table = picker->findChild<QTableView*>("idTable");
        QRect rect = table->visualRect(table->model()->index(row, 0));
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, rect.center());
        QTest::mouseClick(picker->findChild<QPushButton*>("chooseButton"), Qt::LeftButton);
    });
    timer->start();
}

}  // namespace

class EndToEndTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        CTagsmithApp resources;
        ApplyDialogLook();
        std::string out;
        if (ts::test::RunCommand("command -v mtype", &out) != 0) QSKIP("mtools not installed");
    }

    void automaticListWritesThreeDevicesThenStops() {
        Line h;
        h.Open();
        h.LoadList("1A2B0001\r\n1A2B0002\r\n1A2B0003\r\n");
        auto* autoButton = h.W<QPushButton>("autoWriteButton");
        QTest::mouseClick(autoButton, Qt::LeftButton);
        QCOMPARE(autoButton->text(), Q8("停止烧写"));
        QVERIFY(!h.W("closeButton")->isEnabled());
        const char* ids[] = {"1A2B0001", "1A2B0002", "1A2B0003"};
        for (const char* id : ids) {
            h.Plug();
            QVERIFY2(h.WaitWritten(W(id)), id);
            auto img = h.Unplug();
            QCOMPARE(Trim(ReadIdOnImage(img)), std::string(id));
        }
        // The last ID stays shown until the next arrival.
        QCOMPARE(h.W<QLineEdit>("currentIdEdit")->text(), Q8("1A2B0003"));
        QtMessageBoxer::Script().push_back(MsgAnswer::Ok);
        h.Plug();
        QVERIFY(WaitFor(
            [&] { return h.Shown(u"id文件的id已经烧写完毕，请重新选择id文件之后再行烧录！"); }));
        QCOMPARE(h.W<QLineEdit>("currentIdEdit")->text(), QString());
        QCOMPARE(QtMessageBoxer::Shown().back().icon, MsgIcon::Information);
        QTest::mouseClick(autoButton, Qt::LeftButton);
        QCOMPARE(autoButton->text(), Q8("自动烧写"));
        QVERIFY(h.W("closeButton")->isEnabled());
    }

    void manualWriteThroughThePicker() {
        Line h;
        h.Open();
        h.LoadList("AA01\r\nAA02\r\n");
        auto* manual = h.W<QPushButton>("manualWriteButton");
        for (int round = 0; round < 2; ++round) {
            h.Plug();
            QVERIFY(WaitFor([&] { return manual->isEnabled(); }));
            // The second time the picked ID was written already: the ledger's
            // question (when and where), asked once, Yes.
            if (round == 1) QtMessageBoxer::Script().push_back(MsgAnswer::Yes);
            PickRowWhenShown(0);
            QTest::mouseClick(manual, Qt::LeftButton);
            QVERIFY(WaitFor([&] { return h.LogCount(u"烧写成功 ID: AA01") == size_t(round + 1); }));
            QVERIFY(h.Model().m_page1.m_ids.IsUsed(0));
            QVERIFY(!manual->isEnabled());
            QVERIFY(h.W("autoWriteButton")->isEnabled());
            QVERIFY(h.W("closeButton")->isEnabled());  // the lock was released
            QCOMPARE(h.W<QLineEdit>("currentIdEdit")->text(), Q8("AA01"));
            QCOMPARE(Trim(ReadIdOnImage(h.Unplug())), std::string("AA01"));
        }
        size_t asked = 0;
        for (const auto& r : QtMessageBoxer::Shown())
            asked += r.text.find(u"烧写过，确定要再次烧写？") != std::u16string::npos ||
                     r.text == u"您选择的ID已被使用，确定要再次使用？";
        QCOMPARE(asked, size_t(1));
    }

    void scanPageWritesTheTypedId() {
        Line h;
        h.Open();
        h.Tabs()->setCurrentIndex(1);
        auto* write = h.dlg->Page2()->findChild<QPushButton*>("writeButton");
        QVERIFY(!write->isEnabled());
        h.Plug();
        QVERIFY(WaitFor([&] { return write->isEnabled(); }));
        QTest::keyClicks(h.W<QLineEdit>("scanIdEdit"), "a1b2");
        QTest::mouseClick(write, Qt::LeftButton);
        QCOMPARE(h.W<QLineEdit>("scanIdEdit")->text(), Q8("A1B2"));
        QVERIFY(h.WaitWritten(u"A1B2"));
        QCOMPARE(Trim(ReadIdOnImage(h.Unplug())), std::string("A1B2"));
        QVERIFY(!write->isEnabled());
    }

    void incrementPageCountsDownToTheZeroGuard() {
        Line h;
        h.Open();
        h.Tabs()->setCurrentIndex(2);
        QTest::keyClicks(h.W<QLineEdit>("prefixEdit"), "AB");
        QTest::keyClicks(h.W<QLineEdit>("counterEdit"), "2");
        QTest::keyClicks(h.W<QLineEdit>("suffixEdit"), "CD");
        QTest::mouseClick(h.W<QRadioButton>("decreaseRadio"), Qt::LeftButton);
        QTest::mouseClick(h.dlg->Page3()->findChild<QPushButton*>("writeButton"), Qt::LeftButton);
        for (const char* id : {"AB2CD", "AB1CD"}) {
            h.Plug();
            QVERIFY2(h.WaitWritten(W(id)), id);
            QCOMPARE(Trim(ReadIdOnImage(h.Unplug())), std::string(id));
        }
        QCOMPARE(h.W<QLineEdit>("counterEdit")->text(), Q8("0"));
        QtMessageBoxer::Script().push_back(MsgAnswer::Ok);
        h.Plug();
        QVERIFY(WaitFor([&] { return h.Shown(u"自变数据段不能留空或者为零……"); }));
        QVERIFY(h.LogHas(u"自变数据段不能留空或者为零……"));
        QVERIFY(!h.LogHas(u"烧写成功 ID: AB0CD"));
        QCOMPARE(h.W<QLineEdit>("counterEdit")->text(), Q8("0"));
    }

    void readModeShowsTheDevicesId() {
        Line h;
        h.Open();
        h.Tabs()->setCurrentIndex(1);
        h.Plug();
        auto* write = h.dlg->Page2()->findChild<QPushButton*>("writeButton");
        QVERIFY(WaitFor([&] { return write->isEnabled(); }));
        QTest::keyClicks(h.W<QLineEdit>("scanIdEdit"), "C0FFEE");
        QTest::mouseClick(write, Qt::LeftButton);
        QVERIFY(h.WaitWritten(u"C0FFEE"));
        auto img = h.Unplug();

        QTest::mouseClick(h.W<QRadioButton>("readModeRadio"), Qt::LeftButton);
        QCOMPARE(h.Tabs()->currentIndex(), 0);
        std::filesystem::rename(img, h.line / "E.img");  // plugged in again
        auto* current = h.W<QLineEdit>("currentIdEdit");
        QVERIFY(WaitFor([&] { return current->text() == Q8("C0FFEE"); }));
    }
};

QTEST_MAIN(EndToEndTest)
#include "test_gui_e2e.moc"
