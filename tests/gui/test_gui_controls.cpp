// The custom controls and the message-box port.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QImage>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "app/gui/Controls.h"
#include "app/gui/GuiPorts.h"
#include "app/gui/TagsmithDlg.h"

using namespace ts;
using namespace ts::gui;

namespace {

// First and last columns holding ink darker than the fill.
std::pair<int, int> InkColumns(const QImage& img) {
    int first = -1, last = -1;
    for (int x = 0; x < img.width(); ++x) {
        for (int y = 0; y < img.height(); ++y) {
            if (qGray(img.pixel(x, y)) < 128) {
                if (first < 0) first = x;
                last = x;
                break;
            }
        }
    }
    return {first, last};
}

}  // namespace

class ControlsTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { ApplyDialogLook(); }

    void readOnlyEditsIgnoreTheKeyboard_data() {
        QTest::addColumn<bool>("multiLine");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        for (bool multi : {false, true}) {
            const char* kind = multi ? "log" : "line";
            QTest::addRow("%s letter", kind) << multi << int(Qt::Key_X) << 0;
            QTest::addRow("%s backspace", kind) << multi << int(Qt::Key_Backspace) << 0;
            QTest::addRow("%s delete", kind) << multi << int(Qt::Key_Delete) << 0;
            QTest::addRow("%s paste", kind) << multi << int(Qt::Key_V) << int(Qt::ControlModifier);
            QTest::addRow("%s cut", kind) << multi << int(Qt::Key_X) << int(Qt::ControlModifier);
            QTest::addRow("%s undo", kind) << multi << int(Qt::Key_Z) << int(Qt::ControlModifier);
            QTest::addRow("%s enter", kind) << multi << int(Qt::Key_Return) << 0;
            QTest::addRow("%s home", kind) << multi << int(Qt::Key_Home) << 0;
            QTest::addRow("%s tab", kind) << multi << int(Qt::Key_Tab) << 0;
        }
    }
    void readOnlyEditsIgnoreTheKeyboard() {
        QFETCH(bool, multiLine);
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QWidget window;
        QWidget* edit;
        std::function<QString()> text;
        std::function<int()> caret;
        if (multiLine) {
            auto* e = new CReadOnlyLogEdit(&window);
            e->setPlainText("line one\nline two");
            e->moveCursor(QTextCursor::End);
            text = [e] { return e->toPlainText(); };
            caret = [e] { return e->textCursor().position(); };
            edit = e;
        } else {
            auto* e = new CReadOnlyEdit(&window);
            e->setText("1A2B3C");
            text = [e] { return e->text(); };
            caret = [e] { return e->cursorPosition(); };
            edit = e;
        }
        auto* next = new QPushButton("next", &window);
        next->move(0, 100);
        QApplication::clipboard()->setText("pasted");
        window.show();
        edit->setFocus();
        QString before = text();
        int caretBefore = caret();
        QTest::keyClick(edit, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        QCOMPARE(text(), before);
        QCOMPARE(caret(), caretBefore);
        QVERIFY(edit->hasFocus() || !window.isActiveWindow());
        QVERIFY(!next->hasFocus());
    }

    void contextMenuCopiesTheMouseSelection() {
        CReadOnlyLogEdit log;
        log.setPlainText("copy me");
        log.selectAll();
        QApplication::clipboard()->clear();
        std::unique_ptr<QMenu> menu(log.createStandardContextMenu());
        QAction* copy = nullptr;
        for (QAction* a : menu->actions())
            if (a->objectName() == "edit-copy") copy = a;
        QVERIFY(copy && copy->isEnabled());
        copy->trigger();
        QCOMPARE(QApplication::clipboard()->text(), QString("copy me"));
        // Not read-only: the program (and the menu) can still change the text.
        QVERIFY(!log.isReadOnly());
    }

    void tranStaticCutsWithAnEllipsis_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("width");
        QTest::addColumn<bool>("cut");
        QTest::addRow("fits") << QString::fromUtf8("前缀") << 60 << false;
        QTest::addRow("too long") << QString::fromUtf8("扫描ID扫描ID扫描ID扫描ID") << 50 << true;
        QTest::addRow("line break drawn on one line") << "ab\ncd" << 200 << false;
    }
    void tranStaticCutsWithAnEllipsis() {
        QFETCH(QString, text);
        QFETCH(int, width);
        QFETCH(bool, cut);
        CTranStatic label;
        label.resize(width, 16);
        label.setText(text);
        QString shown = label.DisplayedText();
        QVERIFY(!shown.contains('\n'));
        QCOMPARE(shown.endsWith(QChar(0x2026)), cut);
        if (cut) QVERIFY(text.startsWith(shown.left(shown.size() - 1)));
        QVERIFY(label.fontMetrics().horizontalAdvance(shown) <= width);
    }

    void tranStaticDrawsCentredOnTheWindowColour() {
        CTranStatic label;
        label.setAlignment(Qt::AlignLeft);  // as a left-aligned template label
        label.setText("ID");
        label.resize(120, 16);
        QImage img = label.grab().toImage();
        QCOMPARE(img.pixelColor(0, 0), label.palette().color(QPalette::Base));
        auto [first, last] = InkColumns(img);
        QVERIFY(first > 0);
        int left = first, right = img.width() - 1 - last;
        QVERIFY2(std::abs(left - right) <= 2, qPrintable(QString("%1 %2").arg(left).arg(right)));
    }

    void scriptedAnswersShowNothing() {
        QtMessageBoxer::Script() = {MsgAnswer::Yes};
        QtMessageBoxer::Shown().clear();
        QtMessageBoxer boxes;
        MsgAnswer a = boxes.Show({u"q", u"Tagsmith", MsgButtons::YesNo, MsgIcon::Question});
        QCOMPARE(a, MsgAnswer::Yes);
        QVERIFY(QtMessageBoxer::Script().empty());
        QCOMPARE(QtMessageBoxer::Shown().size(), size_t(1));
    }

    void realBoxShowsTheRequest_data() {
        QTest::addColumn<int>("buttons");
        QTest::addColumn<int>("icon");
        QTest::addColumn<int>("press");  // QMessageBox::StandardButton, or 0 for Esc
        QTest::addColumn<int>("answer");
        QTest::addRow("error ok") << int(MsgButtons::Ok) << int(MsgIcon::Error)
                                  << int(QMessageBox::Ok) << int(MsgAnswer::Ok);
        QTest::addRow("info ok by esc")
            << int(MsgButtons::Ok) << int(MsgIcon::Information) << 0 << int(MsgAnswer::Ok);
        QTest::addRow("yes") << int(MsgButtons::YesNo) << int(MsgIcon::Information)
                             << int(QMessageBox::Yes) << int(MsgAnswer::Yes);
        QTest::addRow("no") << int(MsgButtons::YesNo) << int(MsgIcon::None) << int(QMessageBox::No)
                            << int(MsgAnswer::No);
        QTest::addRow("esc is no")
            << int(MsgButtons::YesNo) << int(MsgIcon::None) << 0 << int(MsgAnswer::No);
    }
    void realBoxShowsTheRequest() {
        QFETCH(int, buttons);
        QFETCH(int, icon);
        QFETCH(int, press);
        QFETCH(int, answer);
        QtMessageBoxer::Script().clear();
        QtMessageBoxer boxes;
        QString title, text;
        QMessageBox::Icon shownIcon = QMessageBox::NoIcon;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box);
            title = box->windowTitle();
            text = box->text();
            shownIcon = box->icon();
            if (press) {
                box->button(QMessageBox::StandardButton(press))->click();
            } else {
                QTest::keyClick(box, Qt::Key_Escape);
            }
        });
        MsgAnswer a = boxes.Show({u"您选择的ID已被使用，确定要再次使用？", u"Tagsmith",
                                  static_cast<MsgButtons>(buttons), static_cast<MsgIcon>(icon)});
        QCOMPARE(int(a), answer);
        QCOMPARE(title, QString("Tagsmith"));
        QCOMPARE(text, QString::fromUtf8("您选择的ID已被使用，确定要再次使用？"));
        const QMessageBox::Icon icons[] = {QMessageBox::NoIcon, QMessageBox::Critical,
                                           QMessageBox::Question, QMessageBox::Information};
        QCOMPARE(shownIcon, icons[icon]);
    }
};

QTEST_MAIN(ControlsTest)
#include "test_gui_controls.moc"
