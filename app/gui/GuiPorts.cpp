#include "app/gui/GuiPorts.h"

#include <QApplication>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>

#include "app/gui/GuiText.h"

namespace ts::gui {

static QString ForDisplay(const std::u16string& text) {
    QString s = Q(text);
    s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    s.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return s;
}

std::u16string EditLogView::GetText() {
    if (!edit_) return text_;
    QString now = edit_->toPlainText();
    if (now == shown_) return text_;
    // Changed by hand (the context menu can cut, delete or paste): take the
    // widget's text, its line breaks in the log's own form.
    now.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return U16(now);
}

void EditLogView::SetText(const std::u16string& text) {
    text_ = text;
    shown_ = ForDisplay(text);
    if (edit_) edit_->setPlainText(shown_);
    // What the widget reports back may differ (e.g. U+2029); compare with that.
    if (edit_) shown_ = edit_->toPlainText();
}

void EditLogView::ScrollToEnd() {
    if (!edit_) return;
    QScrollBar* bar = edit_->verticalScrollBar();
    bar->setValue(bar->maximum());
}

std::deque<MsgAnswer>& QtMessageBoxer::Script() {
    static std::deque<MsgAnswer> script;
    return script;
}

std::vector<MessageRequest>& QtMessageBoxer::Shown() {
    static std::vector<MessageRequest> shown;
    return shown;
}

MsgAnswer QtMessageBoxer::Show(const MessageRequest& r) {
    Shown().push_back(r);
    if (!Script().empty()) {
        MsgAnswer a = Script().front();
        Script().pop_front();
        return a;
    }
    QWidget* parent = QApplication::activeModalWidget();
    if (!parent) parent = QApplication::activeWindow();
    if (!parent) parent = parent_;
    // A flow shows the busy cursor; a question waits for the operator.
    const bool busy = QApplication::overrideCursor() != nullptr;
    if (busy) QApplication::setOverrideCursor(Qt::ArrowCursor);
    struct RestoreCursor {
        bool busy;
        ~RestoreCursor() {
            if (busy) QApplication::restoreOverrideCursor();
        }
    } restore{busy};
    QMessageBox box(parent);
    box.setWindowTitle(Q(r.caption));
    box.setText(Q(r.text));
    box.setTextFormat(Qt::PlainText);
    switch (r.icon) {
        case MsgIcon::Error:
            box.setIcon(QMessageBox::Critical);
            break;
        case MsgIcon::Question:
            box.setIcon(QMessageBox::Question);
            break;
        case MsgIcon::Information:
            box.setIcon(QMessageBox::Information);
            break;
        case MsgIcon::None:
            box.setIcon(QMessageBox::NoIcon);
            break;
    }
    if (r.buttons == MsgButtons::YesNo) {
        QPushButton* yes = box.addButton(QMessageBox::Yes);
        QPushButton* no = box.addButton(QMessageBox::No);
        box.setDefaultButton(yes);
        box.setEscapeButton(no);
        box.exec();
        return box.clickedButton() == yes ? MsgAnswer::Yes : MsgAnswer::No;
    }
    QPushButton* ok = box.addButton(QMessageBox::Ok);
    box.setDefaultButton(ok);
    box.setEscapeButton(ok);
    box.exec();
    return MsgAnswer::Ok;
}

}  // namespace ts::gui
