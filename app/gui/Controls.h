#pragma once
// Small controls of the tool's windows: edit boxes that ignore the keyboard
// (the program writes them, the operator only selects and copies), a label
// drawn on the window colour, and the tab control.
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTabWidget>

class QKeyEvent;
class QRadioButton;
class QWidget;

namespace ts::gui {

// True for key events the read-only edits swallow: every key press except
// those with Alt held (system keys reach the window as usual).
bool IsSwallowedKey(const QKeyEvent* event);

// The pages and the main window paint on the window colour (the colour of
// edit backgrounds), not on the dialog face colour.
void UseWindowColourBackground(QWidget* widget);

// Sets a pair of radio buttons that mirror two independent check states (both
// may be clear before the settings are loaded): exclusivity is lifted while
// setting them.
void SyncRadioPair(QRadioButton* a, bool aChecked, QRadioButton* b, bool bChecked);

// One-line edit (ID file path, current ID).
class CReadOnlyEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit CReadOnlyEdit(QWidget* parent = nullptr);

protected:
    bool event(QEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
};

// Multi-line edit (the log box).
class CReadOnlyLogEdit : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit CReadOnlyLogEdit(QWidget* parent = nullptr);

protected:
    bool event(QEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
};

// A label filled with the window colour, its text on one line, centred,
// top-aligned and cut with an ellipsis when it does not fit.
class CTranStatic : public QLabel {
    Q_OBJECT
public:
    explicit CTranStatic(QWidget* parent = nullptr);
    // The text as drawn (with the ellipsis when cut).
    QString DisplayedText() const;

protected:
    void paintEvent(QPaintEvent* e) override;
};

// The tab control. Disabling it means disabling the tab bar only (the pages
// stay usable); keyboard tab switching follows the bar.
class CTabCtrl : public QTabWidget {
    Q_OBJECT
public:
    explicit CTabCtrl(QWidget* parent = nullptr);
    void SetTabsEnabled(bool enable);
    bool TabsEnabled() const;

protected:
    void keyPressEvent(QKeyEvent* e) override;
};

}  // namespace ts::gui
