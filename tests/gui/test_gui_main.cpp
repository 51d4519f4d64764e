// The main window: start-up, modes, tabs, the control lock, keys, the log,
// the About box, the page views and the picker, the settings at the end.
#include <QAbstractItemModel>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTableView>
#include <QTimer>

#include "app/gui/AboutDlg.h"
#include "app/gui/PickerView.h"
#include "tests/gui/GuiHarness.h"

using namespace ts;
using namespace ts::gui;
using namespace ts::gui::test;

class MainWindowTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        CTagsmithApp resources;
        ApplyDialogLook();
    }

    void startupWithoutConfiguration() {
        Harness h(false);
        h.Open();
        QCOMPARE(h.dlg->windowTitle(), Q8("Tagforge V200"));
        QVERIFY(!h.dlg->windowIcon().isNull());
        QVERIFY(h.W<QRadioButton>("writeModeRadio")->isChecked());
        QVERIFY(!h.W<QRadioButton>("readModeRadio")->isChecked());
        QCOMPARE(h.Model().core.IsWriteMode(), 1);
        QCOMPARE(h.Tabs()->count(), 3);
        QCOMPARE(h.Tabs()->tabText(0), Q8("ID列表方式"));
        QCOMPARE(h.Tabs()->tabText(1), Q8("扫描方式"));
        QCOMPARE(h.Tabs()->tabText(2), Q8("自动递增/递减"));
        QCOMPARE(h.Tabs()->currentIndex(), 0);
        QVERIFY(h.dlg->Page1()->isVisible());
        QVERIFY(!h.dlg->Page2()->isVisible());
        QVERIFY(!h.dlg->Page3()->isVisible());
        QVERIFY(h.Tabs()->TabsEnabled());
        // Captions as the templates give them.
        QCOMPARE(h.W<QPushButton>("closeButton")->text(), Q8("关闭"));
        QCOMPARE(h.W<QPushButton>("clearLogButton")->text(), Q8("清空log"));
        QCOMPARE(h.W<QPushButton>("autoWriteButton")->text(), Q8("自动烧写"));
        QVERIFY(!h.W<QPushButton>("manualWriteButton")->isEnabled());
        QVERIFY(!h.dlg->Page2()->findChild<QPushButton*>("writeButton")->isEnabled());
        QCOMPARE(h.dlg->Page3()->findChild<QPushButton*>("writeButton")->text(), Q8("烧写"));
        QVERIFY(h.W<QRadioButton>("increaseRadio")->isChecked());  // counting up by default
    }

    void readModeForcesFirstTabAndLocksTabs() {
        Harness h;
        h.Open();
        h.Tabs()->tabBar()->setCurrentIndex(2);  // as a click on the tab
        QCOMPARE(h.Model().tabIndex, 2);
        QVERIFY(h.dlg->Page3()->isVisible());

        QTest::mouseClick(h.W<QRadioButton>("readModeRadio"), Qt::LeftButton);
        QCOMPARE(h.Model().core.IsWriteMode(), 0);
        QCOMPARE(h.Tabs()->currentIndex(), 0);
        QVERIFY(h.dlg->Page1()->isVisible());
        QVERIFY(!h.Tabs()->TabsEnabled());
        QVERIFY(!h.W<QPushButton>("idFileButton")->isEnabled());
        // Keyboard tab switching follows the disabled bar.
        QTest::keyClick(h.Tabs(), Qt::Key_Tab, Qt::ControlModifier);
        QCOMPARE(h.Tabs()->currentIndex(), 0);

        QTest::mouseClick(h.W<QRadioButton>("writeModeRadio"), Qt::LeftButton);
        QCOMPARE(h.Model().core.IsWriteMode(), 1);
        QVERIFY(h.Tabs()->TabsEnabled());
        QCOMPARE(h.Tabs()->currentIndex(), 0);
        QVERIFY(h.W<QPushButton>("idFileButton")->isEnabled());
    }

    // The ID table is what tests that name controls by number rely on: each
    // entry must find its widget in its own form.
    void everyControlIdFindsItsWidget() {
        Harness h;
        h.Open();
        CDlgListID picker;
        picker.OnInitDialog();
        CDlgListIDView pickerView(picker);
        CAboutDlg about;
        for (const ControlName& c : kControlNames) {
            const QString form = QString::fromLatin1(c.form);
            QWidget* root = form == "DlgListID"           ? static_cast<QWidget*>(&pickerView)
                            : form == "AboutDlg"          ? static_cast<QWidget*>(&about)
                            : form == h.dlg->objectName() ? static_cast<QWidget*>(h.dlg.get())
                                                          : h.dlg->findChild<QWidget*>(form);
            QVERIFY2(root, c.form);
            QVERIFY2(root->findChild<QWidget*>(QString::fromLatin1(c.objectName)), c.objectName);
        }
        QCOMPARE(QString::fromLatin1(ControlObjectName(1012)), QStringLiteral("writeButton"));
        QVERIFY(ControlObjectName(1006) == nullptr);
    }

    void controlLockRestoresEveryControl() {
        Harness h;
        h.Open();
        // Start from read mode: the tab control and 1004 are disabled before
        // the lock, and enabled after it is released all the same.
        QTest::mouseClick(h.W<QRadioButton>("readModeRadio"), Qt::LeftButton);
        const int locked[] = {1001, 1002, 1000, 1004, 1014, 1015, 1020, 1021, 1022};
        h.Model().EnableMainControls(false);
        for (int id : locked) QVERIFY2(!h.W(id)->isEnabled(), ControlObjectName(id));
        QVERIFY(!h.Tabs()->TabsEnabled());
        QVERIFY(!h.dlg->close());  // title-bar close and Alt+F4 refused
        QVERIFY(h.dlg->isVisible());
        // Not governed by the lock: the scan page and the automatic-mode buttons.
        QVERIFY(h.dlg->Page2()->findChild<QLineEdit*>("scanIdEdit")->isEnabled());
        QVERIFY(h.W("autoWriteButton")->isEnabled());

        h.Model().EnableMainControls(true);
        for (int id : locked) QVERIFY2(h.W(id)->isEnabled(), ControlObjectName(id));
        QVERIFY(h.Tabs()->TabsEnabled());
        QVERIFY(h.dlg->close());
        QVERIFY(!h.dlg->isVisible());
    }

    void enterAndEscapeNeverClose_data() {
        QTest::addColumn<QString>("target");
        QTest::addColumn<int>("key");
        for (const char* target :
             {"", "closeButton", "scanIdEdit", "counterEdit", "logEdit", "idFileButton"}) {
            for (int key : {int(Qt::Key_Return), int(Qt::Key_Enter), int(Qt::Key_Escape)}) {
                QTest::addRow("%s/%x", *target ? target : "window", key)
                    << QString::fromLatin1(target) << key;
            }
        }
    }
    void enterAndEscapeNeverClose() {
        QFETCH(QString, target);
        QFETCH(int, key);
        Harness h;
        h.Open();
        h.Model().m_page2.SetScanId(u"AB12");
        h.Model().m_page2.EnableWriteButton(true);
        QWidget* w = target.isEmpty() ? h.dlg.get() : h.dlg->findChild<QWidget*>(target);
        QVERIFY(w);
        h.Tabs()->setCurrentWidget(w == h.dlg.get() ? h.dlg->Page1() : w->parentWidget());
        w->setFocus();
        std::u16string logBefore = h.LogText();
        QTest::keyClick(w, Qt::Key(key));
        QVERIFY(h.dlg->isVisible());
        QCOMPARE(h.dlg->result(), 0);
        // Nothing was pressed: no write, no file dialog, no log line.
        QCOMPARE(h.LogText(), logBefore);
        QVERIFY(QtMessageBoxer::Shown().empty());
        QCOMPARE(h.Model().m_page2.scanText, std::u16string(u"AB12"));
    }

    void logKeepsItsCapAndLineBreaks() {
        Harness h;
        h.Open();
        auto* box = h.W<QPlainTextEdit>("logEdit");
        // Lines of one length: each one added past the cap removes one as long.
        for (int i = 0; i < 2000; ++i) {
            h.Model().AppendLog(W("第" + std::to_string(10000 + i) + "行"));
        }
        std::u16string text = h.LogText();
        QVERIFY(text.size() <= 8192 + 9);
        QVERIFY(text.size() > 8000);
        QVERIFY(text.find(u"第10000行") == std::u16string::npos);
        QVERIFY(text.ends_with(u"\r\n第11999行"));
        // One widget line per log line: "\r\n" is one break, not two.
        QCOMPARE(box->document()->blockCount(),
                 static_cast<int>(std::count(text.begin(), text.end(), u'\n')) + 1);
        QVERIFY(box->toPlainText().endsWith(Q8("第11999行")));

        QTest::mouseClick(h.W<QPushButton>("clearLogButton"), Qt::LeftButton);  // 清空log
        QVERIFY(h.LogText().empty());
        h.Model().AppendLog(u"请插入新设备");
        QCOMPARE(h.LogText(), std::u16string(u"\r\n请插入新设备"));
        QCOMPARE(box->toPlainText(), Q8("\n请插入新设备"));
    }

    void logTypingChangesNothing() {
        Harness h;
        h.Open();
        h.Model().AppendLog(u"line");
        auto* box = h.W<QPlainTextEdit>("logEdit");
        box->setFocus();
        QTest::keyClicks(box, "xyz");
        QTest::keyClick(box, Qt::Key_Backspace);
        QTest::keyClick(box, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(h.LogText(), std::u16string(u"\r\nline"));
    }

    void aboutBoxFromTheContextMenu() {
        Harness h;
        h.Open();
        bool seen = false;
        QTimer::singleShot(0, [&] {
            auto* about = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
            if (!about) return;
            seen = about->windowTitle() == Q8("About Tagsmith") &&
                   about->findChild<QLabel*>("lblVersion")->text() == Q8("Tagsmith, Version 1.0") &&
                   !about->findChild<QLabel*>("lblIcon")->pixmap().isNull();
            QTest::mouseClick(about->findChild<QPushButton*>("okButton"), Qt::LeftButton);
        });
        h.dlg->ShowAbout();
        QVERIFY(seen);
        QVERIFY(h.dlg->isVisible());
    }

    void incrementPageViewFollowsTheLogic() {
        Harness h;
        h.Open();
        h.Tabs()->setCurrentIndex(2);
        auto* prefix = h.W<QLineEdit>("prefixEdit");
        auto* counter = h.W<QLineEdit>("counterEdit");
        auto* arm = h.dlg->Page3()->findChild<QPushButton*>("writeButton");
        QTest::keyClicks(prefix, "ab ");
        QTest::keyClicks(counter, " 0x00f ");
        QCOMPARE(h.Model().m_page3.prefixText, std::u16string(u"ab "));
        QCOMPARE(h.Model().m_page3.GetCounter(), std::u16string(u"f"));
        QTest::mouseClick(h.W<QRadioButton>("decreaseRadio"), Qt::LeftButton);
        QCOMPARE(h.Model().m_page3.m_bIncrease, 0);
        QVERIFY(!h.W<QRadioButton>("increaseRadio")->isChecked());

        QTest::mouseClick(arm, Qt::LeftButton);
        QCOMPARE(arm->text(), Q8("停止"));
        QCOMPARE(prefix->text(), Q8("AB "));
        QCOMPARE(counter->text(), Q8("F"));
        QVERIFY(!counter->isEnabled());
        QVERIFY(!h.W("closeButton")->isEnabled());
        QVERIFY(h.LogHas(u"软件就绪，请插入设备进行烧写操作……"));
        QTest::mouseClick(arm, Qt::LeftButton);
        QCOMPARE(arm->text(), Q8("烧写"));
        QVERIFY(counter->isEnabled());
        QVERIFY(h.W("closeButton")->isEnabled());
    }

    void armingInReadModeShowsTheReadModeMessage_data() {
        QTest::addColumn<QString>("button");
        QTest::addRow("list page") << QStringLiteral("autoWriteButton");
        QTest::addRow("increment page") << QStringLiteral("page3/writeButton");
    }
    void armingInReadModeShowsTheReadModeMessage() {
        QFETCH(QString, button);
        Harness h;
        h.Open();
        QTest::mouseClick(h.W<QRadioButton>("readModeRadio"), Qt::LeftButton);
        QtMessageBoxer::Script().push_back(MsgAnswer::Ok);
        QPushButton* b = button.startsWith("page3/")
                             ? h.dlg->Page3()->findChild<QPushButton*>("writeButton")
                             : h.W<QPushButton>("autoWriteButton");
        QString before = b->text();
        b->click();
        QCOMPARE(b->text(), before);
        QVERIFY(h.Shown(u"读取模式下无法进行烧写操作，请先将软件置于烧写模式！"));
        QCOMPARE(QtMessageBoxer::Shown().back().icon, MsgIcon::Error);
        QVERIFY(h.W("closeButton")->isEnabled());
    }

    void idFileButtonLoadsTheChosenFile() {
        Harness h;
        h.Open();
        ts::test::WriteFile(h.tmp.Path() / "l.ids", "A100\r\nA200\r\n");
        CDlgCh1View::FileDialogScript().push_back(
            QString::fromStdString((h.tmp.Path() / "l.ids").string()));
        QTest::mouseClick(h.W<QPushButton>("idFileButton"), Qt::LeftButton);
        QCOMPARE(h.W<QLineEdit>("idFilePathEdit")->text().toStdString(),
                 (h.tmp.Path() / "l.ids").string());
        QCOMPARE(h.W<QLineEdit>("currentIdEdit")->text(), Q8("A100"));
        // A cancelled dialog changes nothing.
        CDlgCh1View::FileDialogScript().push_back(QString());
        QTest::mouseClick(h.W<QPushButton>("idFileButton"), Qt::LeftButton);
        QCOMPARE(h.W<QLineEdit>("currentIdEdit")->text(), Q8("A100"));
    }

    // The path box ignores the keyboard but not its context menu: what the
    // menu leaves in the box is what automatic writing checks and what is saved.
    void pathBoxEditedThroughItsContextMenu_data() {
        QTest::addColumn<QString>("action");  // the menu item's text
        QTest::addColumn<QString>("pasted");  // file name in the temp folder, for a paste
        QTest::addColumn<bool>("autoStarts");
        QTest::addRow("delete all") << QStringLiteral("Delete") << QString() << false;
        QTest::addRow("paste another list") << QStringLiteral("Paste") << Q8("m.ids") << true;
        QTest::addRow("paste a missing file") << QStringLiteral("Paste") << Q8("gone.ids") << false;
    }
    void pathBoxEditedThroughItsContextMenu() {
        QFETCH(QString, action);
        QFETCH(QString, pasted);
        QFETCH(bool, autoStarts);
        Harness h;
        h.Open();
        ts::test::WriteFile(h.tmp.Path() / "l.ids", "A100\r\nA200\r\n");
        ts::test::WriteFile(h.tmp.Path() / "m.ids", "B100\r\n");
        CDlgCh1View::FileDialogScript().push_back(
            QString::fromStdString((h.tmp.Path() / "l.ids").string()));
        QTest::mouseClick(h.W<QPushButton>("idFileButton"), Qt::LeftButton);

        const QString expected =
            pasted.isEmpty()
                ? QString()
                : QString::fromStdString((h.tmp.Path() / pasted.toStdString()).string());
        auto* box = h.W<QLineEdit>("idFilePathEdit");
        if (!pasted.isEmpty()) QGuiApplication::clipboard()->setText(expected);
        box->selectAll();
        std::unique_ptr<QMenu> menu(box->createStandardContextMenu());
        QAction* item = nullptr;
        for (QAction* a : menu->actions())
            if (a->text().remove(QLatin1Char('&')).section(QLatin1Char('\t'), 0, 0) == action)
                item = a;
        QVERIFY(item && item->isEnabled());
        item->trigger();
        QCOMPARE(box->text(), expected);

        auto* autoButton = h.W<QPushButton>("autoWriteButton");
        QtMessageBoxer::Script().push_back(MsgAnswer::Ok);
        QTest::mouseClick(autoButton, Qt::LeftButton);
        if (autoStarts) {
            QCOMPARE(autoButton->text(), Q8("停止烧写"));
            QTest::mouseClick(autoButton, Qt::LeftButton);
        } else {
            QVERIFY(h.Shown(u"找不到id文件，无法进行自动烧写操作！"));
        }
        QCOMPARE(autoButton->text(), Q8("自动烧写"));

        QTest::mouseClick(h.W<QPushButton>("closeButton"), Qt::LeftButton);  // 关闭
        h.dlg->DestroyWindow();
        const std::string cfg = ts::test::ReadFile(h.app / "tagsmith.cfg");
        const size_t at = cfg.find("\nidfile=");
        QVERIFY(at != std::string::npos);
        const size_t from = at + 8;
        const std::string saved = cfg.substr(from, cfg.find_first_of("\r\n", from) - from);
        QCOMPARE(QString::fromStdString(saved), expected);
    }

    void settingsWrittenOnClose() {
        Harness h;
        h.Open();
        h.Tabs()->setCurrentIndex(1);
        QTest::keyClicks(h.W<QLineEdit>("scanIdEdit"), "scan1");
        h.Tabs()->setCurrentIndex(2);
        QTest::keyClicks(h.W<QLineEdit>("prefixEdit"), "P");
        QTest::keyClicks(h.W<QLineEdit>("counterEdit"), "0x0a5");
        QTest::mouseClick(h.W<QRadioButton>("decreaseRadio"), Qt::LeftButton);
        QTest::mouseClick(h.W<QPushButton>("closeButton"), Qt::LeftButton);  // 关闭
        QVERIFY(!h.dlg->isVisible());
        QCOMPARE(h.dlg->result(), int(QDialog::Accepted));
        h.dlg->DestroyWindow();
        std::string cfg = ts::test::ReadFile(h.app / "tagsmith.cfg");
        for (const char* line :
             {"option=1", "idvalue2=scan1", "mode=0", "idprefix=P", "idauto=a5", "tabmode=2"}) {
            QVERIFY2(cfg.find(line) != std::string::npos, line);
        }
        // The installation's keys are kept.
        QVERIFY(cfg.find("SNPath=") != std::string::npos);
        // And they come back at the next start.
        h.dlg.reset();
        h.Open();
        QCOMPARE(h.Tabs()->currentIndex(), 2);
        QCOMPARE(h.W<QLineEdit>("scanIdEdit")->text(), Q8("scan1"));
        QCOMPARE(h.W<QLineEdit>("counterEdit")->text(), Q8("a5"));
        QVERIFY(h.W<QRadioButton>("decreaseRadio")->isChecked());
    }

    void quitRequestEndsEvenWhenLocked() {
        Harness h;
        h.Open();
        h.Model().EnableMainControls(false);
        h.dlg->RequestQuit();
        QVERIFY(!h.dlg->isVisible());
        h.dlg->DestroyWindow();
        QVERIFY(ts::test::ReadFile(h.app / "tagsmith.cfg").find("tabmode=") != std::string::npos);
    }
};

// ------------------------------------------------------------------ picker ---

class PickerTest : public QObject {
    Q_OBJECT
    struct Fixture {
        IdList ids;
        ScriptedMessageBoxer boxes;
        struct Host : PageHost {
            ScriptedMessageBoxer* boxes;
            int IsWriteMode() override { return 1; }
            void EnableMainControls(bool) override {}
            void AppendLog(const std::u16string&) override {}
            int WriteDeviceSN(const std::u16string&) override { return 0; }
            MsgAnswer MessageBox(const std::u16string& t, MsgButtons b, MsgIcon i,
                                 const std::u16string& c) override {
                return boxes->Show(MessageRequest{t, c, b, i});
            }
            void Sleep(uint32_t) override {}
            bool RunPicker(CDlgListID&) override { return false; }
        } host;
        CDlgListID picker;
        std::unique_ptr<CDlgListIDView> view;
        explicit Fixture(std::initializer_list<const char16_t*> list) : picker(&host) {
            host.boxes = &boxes;
            for (auto* s : list) ids.Append(s);
            picker.SetIdList(&ids);
            picker.OnInitDialog();
            view = std::make_unique<CDlgListIDView>(picker);
            view->show();
        }
        QTableView* Table() { return view->findChild<QTableView*>("idTable"); }
        QLineEdit* Filter() { return view->findChild<QLineEdit*>("filterEdit"); }
        QStringList Rows() {
            QStringList out;
            auto* m = Table()->model();
            for (int r = 0; r < m->rowCount(); ++r) out << m->index(r, 0).data().toString();
            return out;
        }
        void ClickRow(int row) {
            QRect rect = Table()->visualRect(Table()->model()->index(row, 0));
            QTest::mouseClick(Table()->viewport(), Qt::LeftButton, {}, rect.center());
        }
        void Choose() {
            QTest::mouseClick(view->findChild<QPushButton*>("chooseButton"), Qt::LeftButton);
        }
    };

private slots:
    void initTestCase() { ApplyDialogLook(); }

    void layoutOfTheList() {
        Fixture f{u"A100"};
        QCOMPARE(f.view->windowTitle(), Q8("Dialog"));
        QCOMPARE(f.Table()->model()->headerData(0, Qt::Horizontal).toString(), Q8("ID"));
        QCOMPARE(f.Table()->columnWidth(0), 260);
        QCOMPARE(f.view->findChild<QPushButton*>("chooseButton")->text(), Q8("选择"));
        QCOMPARE(f.view->findChild<QPushButton*>("cancelButton")->text(), Q8("取消"));
    }

    void filterKeepsRowsThatBeginWithIt_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QStringList>("rows");
        QTest::addRow("lower case") << "a" << QStringList{"A100", "A200", "A100"};
        QTest::addRow("two chars") << "a1" << QStringList{"A100", "A100"};
        QTest::addRow("blank") << " " << QStringList{};
        QTest::addRow("longer than every ID") << "A1000" << QStringList{};
        QTest::addRow("no match") << "c" << QStringList{};
    }
    void filterKeepsRowsThatBeginWithIt() {
        QFETCH(QString, typed);
        QFETCH(QStringList, rows);
        Fixture f{u"A100", u"A200", u"B100", u"A100"};
        QCOMPARE(f.Rows(), (QStringList{"A100", "A200", "B100", "A100"}));
        QTest::keyClicks(f.Filter(), typed);
        QCOMPARE(f.Rows(), rows);
        f.Filter()->selectAll();
        QTest::keyClick(f.Filter(), Qt::Key_Backspace);
        QCOMPARE(f.Rows(), (QStringList{"A100", "A200", "B100", "A100"}));
    }

    void clickThenChooseAccepts() {
        Fixture f{u"A100", u"A200"};
        f.ClickRow(1);
        QCOMPARE(f.picker.GetSelectedId(), std::u16string(u"A200"));
        f.Choose();
        QCOMPARE(f.view->result(), int(QDialog::Accepted));
        QVERIFY(f.boxes.shown.empty());
    }

    void doubleClickAccepts() {
        Fixture f{u"A100", u"A200"};
        QRect rect = f.Table()->visualRect(f.Table()->model()->index(0, 0));
        // A real double click: press, release, double-click press, release.
        QTest::mouseClick(f.Table()->viewport(), Qt::LeftButton, {}, rect.center());
        QTest::mouseDClick(f.Table()->viewport(), Qt::LeftButton, {}, rect.center());
        QTest::mouseRelease(f.Table()->viewport(), Qt::LeftButton, {}, rect.center());
        QCOMPARE(f.view->result(), int(QDialog::Accepted));
        QCOMPARE(f.picker.GetSelectedId(), std::u16string(u"A100"));
    }

    void chooseWithoutAClickAsks_data() {
        QTest::addColumn<bool>("clickFirstThenFilter");
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("open");
        QTest::addColumn<int>("result");
        QTest::addRow("no answers") << false << int(MsgAnswer::No) << true << 0;
        QTest::addRow("yes leaves without a choice")
            << false << int(MsgAnswer::Yes) << false << int(QDialog::Rejected);
        QTest::addRow("filter empties the click") << true << int(MsgAnswer::No) << true << 0;
    }
    void chooseWithoutAClickAsks() {
        QFETCH(bool, clickFirstThenFilter);
        QFETCH(int, answer);
        QFETCH(bool, open);
        QFETCH(int, result);
        Fixture f{u"A100", u"A200"};
        if (clickFirstThenFilter) {
            f.ClickRow(0);
            QTest::keyClicks(f.Filter(), "a");
        } else {
            // Highlighted with the keyboard only: not a choice.
            f.Table()->setFocus();
            QTest::keyClick(f.Table(), Qt::Key_Down);
        }
        f.boxes.answers.push_back(static_cast<MsgAnswer>(answer));
        QTest::keyClick(f.Table(), Qt::Key_Return);  // Enter is "选择"
        QCOMPARE(f.boxes.shown.size(), size_t(1));
        QCOMPARE(f.boxes.shown[0].text, std::u16string(u"您没有选择任何ID，确定要退出选择？"));
        QCOMPARE(f.boxes.shown[0].caption, std::u16string(u"警告"));
        QCOMPARE(f.boxes.shown[0].buttons, MsgButtons::YesNo);
        QCOMPARE(f.boxes.shown[0].icon, MsgIcon::None);
        QCOMPARE(f.view->isVisible(), open);
        QCOMPARE(f.view->result(), result);
        if (open) QCOMPARE(f.Rows().size(), 2);
    }

    void cancelAndEscapeReject() {
        for (bool escape : {false, true}) {
            Fixture f{u"A100"};
            f.ClickRow(0);
            if (escape) {
                QTest::keyClick(f.Filter(), Qt::Key_Escape);
            } else {
                QTest::mouseClick(f.view->findChild<QPushButton*>("cancelButton"), Qt::LeftButton);
            }
            QCOMPARE(f.view->result(), int(QDialog::Rejected));
            QVERIFY(!f.view->isVisible());
        }
    }

    void withoutAListNoRows() {
        CDlgListID picker;
        picker.OnInitDialog();
        CDlgListIDView view(picker);
        QCOMPARE(view.Model()->rowCount(), 0);
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    int status = 0;
    {
        MainWindowTest t;
        status |= QTest::qExec(&t, argc, argv);
    }
    {
        PickerTest t;
        status |= QTest::qExec(&t, argc, argv);
    }
    return status;
}

#include "test_gui_main.moc"
