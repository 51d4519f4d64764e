#include "app/gui/Controls.h"

#include <QEvent>
#include <QKeyEvent>
#include <QPainter>
#include <QRadioButton>
#include <QTabBar>

namespace ts::gui {

bool IsSwallowedKey(const QKeyEvent* event) {
    return !(event->modifiers() & Qt::AltModifier) && event->key() != Qt::Key_Alt;
}

void UseWindowColourBackground(QWidget* widget) {
    QPalette pal = widget->palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Base));
    widget->setPalette(pal);
    widget->setAutoFillBackground(true);
}

void SyncRadioPair(QRadioButton* a, bool aChecked, QRadioButton* b, bool bChecked) {
    a->setAutoExclusive(false);
    b->setAutoExclusive(false);
    a->setChecked(aChecked);
    b->setChecked(bChecked);
    a->setAutoExclusive(true);
    b->setAutoExclusive(true);
}

// Both edits take the key press in event(), before QWidget moves the focus
// on Tab, and keep it from the window (no Enter/Esc reaching the dialog).
// Input methods are off so no composed text is inserted either.

CReadOnlyEdit::CReadOnlyEdit(QWidget* parent) : QLineEdit(parent) {
    setAttribute(Qt::WA_InputMethodEnabled, false);
}

bool CReadOnlyEdit::event(QEvent* e) {
    // ShortcutOverride is claimed too, so that no window shortcut fires.
    if ((e->type() == QEvent::KeyPress || e->type() == QEvent::ShortcutOverride) &&
        IsSwallowedKey(static_cast<QKeyEvent*>(e))) {
        e->accept();
        return true;
    }
    return QLineEdit::event(e);
}

void CReadOnlyEdit::keyPressEvent(QKeyEvent* e) {
    if (IsSwallowedKey(e)) {
        e->accept();
        return;
    }
    QLineEdit::keyPressEvent(e);
}

CReadOnlyLogEdit::CReadOnlyLogEdit(QWidget* parent) : QPlainTextEdit(parent) {
    setAttribute(Qt::WA_InputMethodEnabled, false);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
}

bool CReadOnlyLogEdit::event(QEvent* e) {
    if ((e->type() == QEvent::KeyPress || e->type() == QEvent::ShortcutOverride) &&
        IsSwallowedKey(static_cast<QKeyEvent*>(e))) {
        e->accept();
        return true;
    }
    return QPlainTextEdit::event(e);
}

void CReadOnlyLogEdit::keyPressEvent(QKeyEvent* e) {
    if (IsSwallowedKey(e)) {
        e->accept();
        return;
    }
    QPlainTextEdit::keyPressEvent(e);
}

CTranStatic::CTranStatic(QWidget* parent) : QLabel(parent) {}

QString CTranStatic::DisplayedText() const {
    // One line: line breaks are drawn as spaces.
    QString t = text();
    t.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
    return fontMetrics().elidedText(t, Qt::ElideRight, contentsRect().width());
}

void CTranStatic::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), palette().color(QPalette::Base));
    p.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    p.drawText(contentsRect(), Qt::AlignHCenter | Qt::AlignTop | Qt::TextSingleLine,
               DisplayedText());
}

CTabCtrl::CTabCtrl(QWidget* parent) : QTabWidget(parent) {}

void CTabCtrl::SetTabsEnabled(bool enable) { tabBar()->setEnabled(enable); }

bool CTabCtrl::TabsEnabled() const { return tabBar()->isEnabled(); }

void CTabCtrl::keyPressEvent(QKeyEvent* e) {
    // Ctrl+Tab and Ctrl+PgUp/PgDn switch pages even when the bar is disabled.
    if (!TabsEnabled()) {
        e->ignore();
        return;
    }
    QTabWidget::keyPressEvent(e);
}

}  // namespace ts::gui
