// The window with its ledger: the list and increment pages pick up where the
// last run left off, the scan page asks before writing an ID a device holds,
// the counts since start, and a ledger that cannot be used.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>
#include <functional>

#include "app/LastResult.h"
#include "tests/gui/LineHarness.h"

using namespace ts;
using namespace ts::gui;
using namespace ts::gui::test;

namespace {

std::u16string U(const char* utf8) { return Utf8ToWide(utf8); }

struct Line : LineHarness {
    // Plugs a device, waits until `id` was written, takes it out; its ID.
    std::string WriteOne(const char* id) {
        Plug();
        if (!WaitWritten(U(id))) return "(not written)";
        return Trim(ReadIdOnImage(Unplug()));
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

// The window's own ledger, whose server is away for the next `awayFor`
// reservations (forever while negative).
class AwayLedger : public IdLedger {
public:
    explicit AwayLedger(IdLedger* inner) : inner_(inner) {}
    int awayFor = 0;
    int reserves = 0;

    std::string Describe() const override { return inner_->Describe(); }
    const std::string& Station() const override { return inner_->Station(); }
    LedgerResult Reserve(const Attempt& a, bool rewrite, Reservation* out,
                         IdRecord* existing) override {
        ++reserves;
        if (awayFor != 0) {
            if (awayFor > 0) --awayFor;
            return LedgerResult::Fail(LedgerStatus::Offline, "connection refused");
        }
        return inner_->Reserve(a, rewrite, out, existing);
    }
    LedgerResult MarkWritten(const Reservation& r) override { return inner_->MarkWritten(r); }
    LedgerResult MarkVerified(const Reservation& r) override { return inner_->MarkVerified(r); }
    LedgerResult Release(const Reservation& r, int code) override {
        return inner_->Release(r, code);
    }
    LedgerResult KeepReserved(const Reservation& r, int code) override {
        return inner_->KeepReserved(r, code);
    }
    LedgerResult MarkInDoubt(const Reservation& r) override { return inner_->MarkInDoubt(r); }
    LedgerResult MarkReadBack(const Reservation& r, int code) override {
        return inner_->MarkReadBack(r, code);
    }
    LedgerResult SettleRead(std::u16string_view id, const DeviceInfo& d, bool* settled) override {
        return inner_->SettleRead(id, d, settled);
    }
    LedgerResult RecordAttempt(const Attempt& a, int code, int64_t ms, bool rewrite) override {
        return inner_->RecordAttempt(a, code, ms, rewrite);
    }
    LedgerResult ReleaseReserved(std::u16string_view id, IdRecord* was) override {
        return inner_->ReleaseReserved(id, was);
    }
    LedgerResult Lookup(std::u16string_view id, IdRecord* out) override {
        return inner_->Lookup(id, out);
    }
    LedgerResult StatesOf(size_t count, const std::function<std::u16string_view(size_t)>& idAt,
                          std::vector<IdState>* out) override {
        return inner_->StatesOf(count, idAt, out);
    }
    LedgerResult FurthestCounter(std::u16string_view prefix, std::u16string_view suffix, bool down,
                                 std::optional<std::u16string>* out) override {
        return inner_->FurthestCounter(prefix, suffix, down, out);
    }
    LedgerResult StaleReservations(std::vector<IdRecord>* out) override {
        return inner_->StaleReservations(out);
    }
    LedgerResult ListReserved(std::vector<IdRecord>* out) override {
        return inner_->ListReserved(out);
    }
    LedgerResult Counts(StateCounts* out) override { return inner_->Counts(out); }
    LedgerResult ReadJournal(int64_t sinceMs,
                             const std::function<bool(const JournalRow&)>& row) override {
        return inner_->ReadJournal(sinceMs, row);
    }

private:
    IdLedger* inner_;
};

constexpr char16_t kPaused[] =
    u"ID记录服务器无法连接，自动烧写已暂停，正在重试：connection refused";
constexpr char16_t kResumed[] = u"ID记录服务器已恢复连接，自动烧写继续";

// Runs `act` once, on the window's own events, as soon as `when` holds.
void WhenDuringEvents(const std::function<bool()>& when, const std::function<void()>& act) {
    auto* timer = new QTimer;
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, when, act] {
        if (!when()) return;
        timer->stop();
        timer->deleteLater();
        act();
    });
    timer->start();
}

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

    void automaticWritingPausesWhileTheServerIsAway() {
        Line h;
        h.Open();
        AwayLedger away(h.Model().core.Ledger().Ledger());
        h.Model().core.Ledger().Attach(&away, false);
        h.LoadList("2C01\r\n2C02\r\n");
        QTest::mouseClick(h.W<QPushButton>("autoWriteButton"), Qt::LeftButton);
        away.awayFor = 2;
        // The window goes on meanwhile: a timer of its own fires.
        int ticksWhilePaused = 0;
        bool shownWaiting = false;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            if (h.LogHas(kPaused) && !h.LogHas(kResumed)) {
                ++ticksWhilePaused;
                // The result at a glance says why nothing happens.
                shownWaiting = shownWaiting || h.dlg->Status().Current() == ResultState::Waiting;
            }
        });
        ticker.start(50);
        QCOMPARE(h.WriteOne("2C01"), std::string("2C01"));
        QCOMPARE(h.LogCount(kPaused), size_t(1));
        QCOMPARE(h.LogCount(kResumed), size_t(1));
        QCOMPARE(h.LogCount(u"烧写成功 ID: 2C01"), size_t(1));
        QCOMPARE(away.reserves, 3);
        QVERIFY2(ticksWhilePaused >= 10, std::to_string(ticksWhilePaused).c_str());
        QVERIFY(shownWaiting);
        QCOMPARE(h.dlg->Status().Current(), ResultState::Passed);
        QCOMPARE(h.dlg->Status().ShownId(), std::u16string(u"2C01"));
        IdRecord rec;
        QVERIFY(away.Lookup(u"2C01", &rec).ok());
        QCOMPARE(rec.state, IdState::Written);
        // The next device goes on with the next ID.
        QCOMPARE(h.WriteOne("2C02"), std::string("2C02"));
        h.Model().core.Ledger().Attach(nullptr, false);
    }

    // The operator ends a pause by switching automatic writing off or by
    // closing the window: the device keeps nothing and no ID is held.
    void theOperatorEndsAPause() {
        for (bool close : {false, true}) {
            Line h;
            h.Open();
            AwayLedger away(h.Model().core.Ledger().Ledger());
            h.Model().core.Ledger().Attach(&away, false);
            h.LoadList("2D01\r\n");
            auto* autoButton = h.W<QPushButton>("autoWriteButton");
            QTest::mouseClick(autoButton, Qt::LeftButton);
            away.awayFor = -1;
            QVERIFY(!h.dlg->isHidden());
            WhenDuringEvents([&] { return h.LogHas(kPaused); },
                             [&] {
                                 if (close) {
                                     h.dlg->close();
                                 } else {
                                     QTest::mouseClick(autoButton, Qt::LeftButton);
                                 }
                             });
            h.Plug();
            QVERIFY(WaitFor([&] { return h.LogHas(u"设备未被改写：connection refused"); }));
            QVERIFY(!h.LogHas(u"烧写成功"));
            QVERIFY(!h.LogHas(kResumed));
            QCOMPARE(h.dlg->isHidden(), close);
            QCOMPARE(autoButton->text(), close ? Q8("停止烧写") : Q8("自动烧写"));
            IdRecord rec;
            QVERIFY(away.Lookup(u"2D01", &rec).ok());
            QCOMPARE(rec.state, IdState::None);
            QVERIFY(!h.Model().m_page1.m_ids.IsUsed(0));
            // A window that is ending handles no device any more.
            QCOMPARE(Trim(ReadIdOnImage(h.Unplug(!close))), std::string());
            if (close) {
                QTest::qWait(300);
                QVERIFY(!h.LogHas(u"请插入新设备"));
            }
            h.Model().core.Ledger().Attach(nullptr, false);
        }
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
