#pragma once
// The trainer's panel (--simulate): a thin view over BenchModel.
#include <QGroupBox>

#include "app/BenchModel.h"

class QComboBox;
class QLabel;
class QPushButton;

namespace ts::gui {

class TrainingBench : public QGroupBox {
    Q_OBJECT
public:
    TrainingBench(BenchModel& model, QWidget* parent = nullptr);

    void SetFault(int index) { model_.SetFault(index); }
    QString Message() const;
    // Mirrors the model (its onChange).
    void Refresh();

private:
    BenchModel& model_;
    QPushButton* kept_ = nullptr;
    QComboBox* fault_ = nullptr;
    QLabel* message_ = nullptr;
};

// The simulated line's functions the bench works with.
BenchModel::Line SimBenchLine();

}  // namespace ts::gui
