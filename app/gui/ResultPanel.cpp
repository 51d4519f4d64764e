#include "app/gui/ResultPanel.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QLabel>
#include <QProgressBar>

#include "app/gui/GuiText.h"

namespace ts::gui {

void PumpRepaint() {
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents |
                                    QEventLoop::ExcludeSocketNotifiers);
}

namespace {

QColor Rgb(uint32_t rgb) { return QColor((rgb >> 16) & 0xff, (rgb >> 8) & 0xff, rgb & 0xff); }

}  // namespace

ResultPanel::ResultPanel(QLabel* result, QProgressBar* bar, QLabel* counts)
    : result_(result), bar_(bar), counts_(counts) {
    if (counts_) {
        counts_->setAlignment(Qt::AlignCenter);
        counts_->setFrameShape(QFrame::StyledPanel);
    }
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
}

void ResultPanel::Show(const LastResult& model) {
    const PortResult& port = model.Port();
    // The result first: the bar repaints the window at once when it changes.
    if (result_) {
        const ResultColours colours = ColoursOf(port.state);
        QPalette p = result_->palette();
        p.setColor(QPalette::Window, Rgb(colours.back));
        p.setColor(QPalette::WindowText, Rgb(colours.fore));
        result_->setPalette(p);
        QString html = QStringLiteral("<div style='font-size:34px; font-weight:bold'>%1</div>")
                           .arg(Q(port.headline).toHtmlEscaped());
        if (!port.id.empty()) {
            html += QStringLiteral("<div style='font-size:20px; font-weight:bold'>ID: %1</div>")
                        .arg(Q(ShortId(port.id)).toHtmlEscaped());
        }
        result_->setText(html);
        result_->setToolTip(port.id.empty() ? QString() : QStringLiteral("ID: ") + Q(port.id));
    }
    if (counts_) {
        counts_->setText(QStringLiteral("<span style='font-size:16px; font-weight:bold'>"
                                        "已烧写 %1 &nbsp; 失败 %2</span>")
                             .arg(model.WrittenCount())
                             .arg(model.FailedCount()));
    }
    if (bar_) {
        if (port.progressShown) {
            bar_->setFormat(port.progressKind == FlowKind::Read ? QStringLiteral("读取 %p%")
                                                                : QStringLiteral("烧写 %p%"));
            bar_->setValue(port.progressPermille);
        } else {
            bar_->setValue(0);
            bar_->setFormat(QString());
        }
    }
}

}  // namespace ts::gui
