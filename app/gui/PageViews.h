#pragma once
// The three tab pages as thin views over their logic objects: the widgets
// mirror the logic's fields (refreshed on its onChange), clicks call its
// handlers, and typing is pushed into it as it happens.
#include <QString>
#include <QWidget>
#include <deque>
#include <memory>

#include "idsource/Pages.h"

namespace Ui {
class DlgCh1;
class DlgCh2;
class DlgCh3;
}  // namespace Ui

namespace ts::gui {

// Common to the pages: window-colour background.
class PageView : public QWidget {
    Q_OBJECT
public:
    explicit PageView(QWidget* parent = nullptr);
    virtual void Refresh() = 0;
};

// Template 129, the ID list page.
class CDlgCh1View : public PageView {
    Q_OBJECT
public:
    CDlgCh1View(CDlgCh1& logic, QWidget* parent = nullptr);
    ~CDlgCh1View() override;
    void Refresh() override;

    // Tests answer the file-open dialog: while this holds answers, each
    // showing takes the next one (an empty text is a cancel) and nothing is
    // shown.
    static std::deque<QString>& FileDialogScript();

private:
    void OnIdFileButton();

    CDlgCh1& logic_;
    std::unique_ptr<Ui::DlgCh1> ui_;
};

// Template 130, the scan page.
class CDlgCh2View : public PageView {
    Q_OBJECT
public:
    CDlgCh2View(CDlgCh2& logic, QWidget* parent = nullptr);
    ~CDlgCh2View() override;
    void Refresh() override;
    // Ready for a scanner: the scan box focused, its text selected so the
    // next scan replaces it.
    void FocusScanBox();

private:
    CDlgCh2& logic_;
    std::unique_ptr<Ui::DlgCh2> ui_;
};

// Template 131, the increment page.
class CDlgCh3View : public PageView {
    Q_OBJECT
public:
    CDlgCh3View(CDlgCh3& logic, QWidget* parent = nullptr);
    ~CDlgCh3View() override;
    void Refresh() override;

private:
    CDlgCh3& logic_;
    std::unique_ptr<Ui::DlgCh3> ui_;
};

}  // namespace ts::gui
