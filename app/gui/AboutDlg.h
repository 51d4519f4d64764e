#pragma once
// The About box (template 100): icon, name and version, OK.
#include <QDialog>
#include <memory>

namespace Ui {
class AboutDlg;
}

namespace ts::gui {

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
    ~CAboutDlg() override;

private:
    std::unique_ptr<Ui::AboutDlg> ui_;
};

}  // namespace ts::gui
