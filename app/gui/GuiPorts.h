#pragma once
// The core's log box and message boxes shown with Qt widgets.
#include <QPointer>
#include <deque>
#include <string>
#include <vector>

#include "ports/UiPorts.h"

class QPlainTextEdit;
class QWidget;

namespace ts::gui {

// The log box 1010. The core's text uses "\r\n" between lines and may hold
// bare line feeds; the widget shows line breaks only, so the text the core
// last set is kept and handed back as long as the widget still shows it.
class EditLogView : public LogView {
public:
    explicit EditLogView(QPlainTextEdit* edit) : edit_(edit) {}
    std::u16string GetText() override;
    void SetText(const std::u16string& text) override;
    void ScrollToEnd() override;

private:
    QPointer<QPlainTextEdit> edit_;
    std::u16string text_;
    QString shown_;
};

// Message boxes as QMessageBox, owned by the active modal window (the picker
// owns its own warning). Tests script the answers: while Script() holds
// answers, each request takes the next one and nothing is shown.
class QtMessageBoxer : public MessageBoxer {
public:
    explicit QtMessageBoxer(QWidget* fallbackParent = nullptr) : parent_(fallbackParent) {}
    MsgAnswer Show(const MessageRequest& request) override;

    static std::deque<MsgAnswer>& Script();
    // Every request seen, scripted or shown.
    static std::vector<MessageRequest>& Shown();

private:
    QPointer<QWidget> parent_;
};

}  // namespace ts::gui
