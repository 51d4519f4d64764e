#pragma once
// The last result drawn with Qt widgets: the large coloured result beside the
// log, the counts under it and the progress bar beside the buttons.
#include <QPointer>

#include "app/LastResult.h"

class QLabel;
class QProgressBar;

namespace ts::gui {

// Lets the window repaint (paint, timers, posted events) without handling
// user input or device events, so a flow is never entered twice.
void PumpRepaint();

class ResultPanel {
public:
    ResultPanel(QLabel* result, QProgressBar* bar, QLabel* counts);
    void Show(const LastResult& model);

private:
    QPointer<QLabel> result_;
    QPointer<QProgressBar> bar_;
    QPointer<QLabel> counts_;
};

}  // namespace ts::gui
