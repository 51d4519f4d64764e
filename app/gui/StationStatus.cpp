#include "app/gui/StationStatus.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEventLoop>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>
#include <algorithm>
#include <chrono>

#include "app/gui/GuiText.h"

namespace ts::gui {

namespace {

constexpr QEventLoop::ProcessEventsFlags kRepaintOnly =
    QEventLoop::ExcludeUserInputEvents | QEventLoop::ExcludeSocketNotifiers;

// Long IDs (up to 1024 characters) keep their start and end in view; the
// whole ID is in the tooltip and the log.
QString ShortId(const std::u16string& id) {
    QString s = Q(id);
    constexpr int kMax = 16;
    if (s.size() <= kMax) return s;
    return s.left(kMax / 2 - 1) + QChar(0x2026) + s.right(kMax / 2 - 1);
}

}  // namespace

void PumpRepaint() { QCoreApplication::processEvents(kRepaintOnly); }

void GuiClock::Sleep(uint32_t ms) {
    if (ms == 0) {
        PumpRepaint();
        return;
    }
    QEventLoop wait;
    QTimer::singleShot(std::chrono::milliseconds(ms), Qt::PreciseTimer, &wait, &QEventLoop::quit);
    wait.exec(kRepaintOnly);
}

bool GuiClock::Pause(uint32_t ms, const std::function<bool()>& goOn) {
    if (ending_ || !goOn()) return false;
    pausing_ = true;
    // The busy cursor would tell the operator that nothing can be clicked.
    QApplication::setOverrideCursor(Qt::ArrowCursor);
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    timer.start(std::chrono::milliseconds(ms));
    // Device events wait for the pause to end; everything else is handled,
    // and the wait ends right after the event that stopped it.
    if (holdDevices) holdDevices(true);
    if (onPause) onPause(true);
    QEventLoop wait;
    bool go = true;
    while (go && timer.isActive()) {
        wait.processEvents(QEventLoop::WaitForMoreEvents);
        go = !ending_ && goOn();
    }
    if (onPause) onPause(false);
    if (holdDevices) holdDevices(false);
    QApplication::restoreOverrideCursor();
    pausing_ = false;
    return go;
}

StationStatus::StationStatus(QLabel* result, QProgressBar* bar, QLabel* counts)
    : result_(result), bar_(bar), counts_(counts) {
    if (counts_) {
        counts_->setAlignment(Qt::AlignCenter);
        counts_->setFrameShape(QFrame::StyledPanel);
    }
    ShowCounts();
    if (result_) {
        result_->setAlignment(Qt::AlignCenter);
        result_->setTextFormat(Qt::RichText);
        result_->setWordWrap(true);
        result_->setAutoFillBackground(true);
    }
    if (bar_) {
        bar_->setRange(0, 1000);
        bar_->setTextVisible(true);
    }
    Reset();
}

void StationStatus::Reset() {
    inWrite_ = false;
    sentAll_ = false;
    if (bar_) {
        bar_->setValue(0);
        bar_->setFormat(QString());
    }
    Show(State::Idle, QStringLiteral("等待设备"), std::u16string());
}

void StationStatus::WriteStarts() {
    inWrite_ = true;
    sentAll_ = false;
    if (bar_) {
        bar_->setValue(0);
        bar_->setFormat(QString());
    }
    Show(State::Writing, QStringLiteral("烧写中..."), std::u16string());
    PumpRepaint();
}

void StationStatus::WriteEnded(int result, const std::u16string& id, bool passedOver) {
    inWrite_ = false;
    if (passedOver) return;
    if (result != 0) {
        ++failed_;
        ShowCounts();
        Show(State::Failed, QStringLiteral("烧写失败"), id);
    } else if (sentAll_) {
        ++written_;
        ShowCounts();
        Show(State::Passed, QStringLiteral("烧写成功"), id);
    } else {
        // Success without a transfer: the operator kept the ID already there.
        Show(State::NotWritten, QStringLiteral("未烧写"), std::u16string());
    }
    PumpRepaint();
}

void StationStatus::ServerWait(bool waiting) {
    if (waiting == (state_ == State::Waiting)) return;
    if (waiting) {
        beforeWait_ = state_;
        headlineBeforeWait_ = headline_;
        idBeforeWait_ = id_;
        Show(State::Waiting, QStringLiteral("已暂停，等待ID记录服务器"), std::u16string());
    } else {
        Show(beforeWait_, headlineBeforeWait_, idBeforeWait_);
    }
    PumpRepaint();
}

void StationStatus::BlockDone(FlowKind kind, uint64_t done, uint64_t total) {
    if (total == 0) return;
    done = std::min(done, total);
    if (kind == FlowKind::Write && done == total) sentAll_ = true;
    if (!inWrite_ && kind == FlowKind::Read && state_ != State::Reading)
        Show(State::Reading, QStringLiteral("读取中..."), std::u16string());
    if (bar_) {
        bar_->setFormat(kind == FlowKind::Read ? QStringLiteral("读取 %p%")
                                               : QStringLiteral("烧写 %p%"));
        bar_->setValue(static_cast<int>(done * 1000 / total));
    }
    PumpRepaint();
}

void StationStatus::ReadEnded(int result, const std::u16string& id) {
    if (inWrite_) return;
    if (result == 0) {
        Show(State::Passed, QStringLiteral("读取成功"), id);
    } else {
        Show(State::Failed, QStringLiteral("读取失败"), std::u16string());
    }
    PumpRepaint();
}

void StationStatus::ShowCounts() {
    if (!counts_) return;
    counts_->setText(QStringLiteral("<span style='font-size:16px; font-weight:bold'>"
                                    "已烧写 %1 &nbsp; 失败 %2</span>")
                         .arg(written_)
                         .arg(failed_));
}

void StationStatus::Show(State state, const QString& headline, const std::u16string& id) {
    state_ = state;
    headline_ = headline;
    id_ = id;
    if (!result_) return;
    QColor back(0xe0, 0xe0, 0xe0);
    QColor fore(0x42, 0x42, 0x42);
    switch (state) {
        case State::Passed:
            back = QColor(0x2e, 0x7d, 0x32);
            fore = Qt::white;
            break;
        case State::Failed:
            back = QColor(0xc6, 0x28, 0x28);
            fore = Qt::white;
            break;
        case State::Reading:
        case State::Writing:
            back = QColor(0x15, 0x65, 0xc0);
            fore = Qt::white;
            break;
        case State::Waiting:
            back = QColor(0xef, 0x6c, 0x00);
            fore = Qt::white;
            break;
        case State::Idle:
        case State::NotWritten:
            break;
    }
    QPalette p = result_->palette();
    p.setColor(QPalette::Window, back);
    p.setColor(QPalette::WindowText, fore);
    result_->setPalette(p);
    QString html = QStringLiteral("<div style='font-size:34px; font-weight:bold'>%1</div>")
                       .arg(headline.toHtmlEscaped());
    if (!id.empty()) {
        html += QStringLiteral("<div style='font-size:20px; font-weight:bold'>ID: %1</div>")
                    .arg(ShortId(id).toHtmlEscaped());
    }
    result_->setText(html);
    result_->setToolTip(id.empty() ? QString() : QStringLiteral("ID: ") + Q(id));
}

}  // namespace ts::gui
