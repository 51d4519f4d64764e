#include "app/gui/TrainingBench.h"

#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

#include "app/gui/GuiText.h"
#include "sim/SimLine.h"

namespace ts::gui {

BenchModel::Line SimBenchLine() { return {SimPlug, SimUnplug, SimReplug, SimSetFaults}; }

TrainingBench::TrainingBench(BenchModel& model, QWidget* parent)
    : QGroupBox(Q(model.Title()), parent), model_(model) {
    setObjectName(QStringLiteral("trainingBench"));
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(8, 6, 8, 6);
    grid->setSpacing(4);
    auto button = [this](const char* name, const QString& text) {
        auto* b = new QPushButton(text, this);
        b->setObjectName(QLatin1String(name));
        b->setAutoDefault(false);
        return b;
    };
    QPushButton* blank = button("benchBlank", QStringLiteral("插入空白设备"));
    kept_ = button("benchKept", QStringLiteral("插入已有ID的设备"));
    QPushButton* disk = button("benchDisk", QStringLiteral("插入普通U盘"));
    QPushButton* unplug = button("benchUnplug", QStringLiteral("拔出设备"));
    kept_->setToolTip(QStringLiteral("插回培训台上次拔出的设备（先烧写一个设备再拔出）"));
    QPushButton* several = button("benchPlugSeveral", QStringLiteral("插入4个设备"));
    QPushButton* unplugSeveral = button("benchUnplugSeveral", QStringLiteral("拔出4个设备"));
    several->setToolTip(QStringLiteral("在 E: 至 H: 同时插入空白设备（多设备同时烧写）"));
    grid->addWidget(blank, 0, 0);
    grid->addWidget(kept_, 0, 1);
    grid->addWidget(disk, 1, 0);
    grid->addWidget(unplug, 1, 1);
    grid->addWidget(several, 2, 0);
    grid->addWidget(unplugSeveral, 2, 1);
    grid->addWidget(new QLabel(QStringLiteral("下一个设备的故障："), this), 3, 0, 1, 2);
    fault_ = new QComboBox(this);
    fault_->setObjectName(QStringLiteral("benchFault"));
    for (const BenchModel::Fault& f : BenchModel::Faults())
        fault_->addItem(Q(std::u16string(f.name)));
    grid->addWidget(fault_, 4, 0, 1, 2);
    message_ = new QLabel(this);
    message_->setObjectName(QStringLiteral("benchMessage"));
    message_->setWordWrap(true);
    grid->addWidget(message_, 5, 0, 1, 2);
    grid->setRowStretch(6, 1);

    connect(blank, &QPushButton::clicked, this, [this] { model_.PlugBlank(); });
    connect(kept_, &QPushButton::clicked, this, [this] { model_.PlugKept(); });
    connect(disk, &QPushButton::clicked, this, [this] { model_.PlugDisk(); });
    connect(unplug, &QPushButton::clicked, this, [this] { model_.Unplug(); });
    connect(several, &QPushButton::clicked, this, [this] { model_.PlugSeveral(); });
    connect(unplugSeveral, &QPushButton::clicked, this, [this] { model_.UnplugSeveral(); });
    connect(fault_, &QComboBox::activated, this, [this](int index) { model_.SetFault(index); });
    Refresh();
}

QString TrainingBench::Message() const { return message_->text(); }

void TrainingBench::Refresh() {
    message_->setText(Q(model_.Message()));
    kept_->setEnabled(model_.KeptAvailable());
    if (fault_->currentIndex() != model_.FaultIndex()) fault_->setCurrentIndex(model_.FaultIndex());
}

}  // namespace ts::gui
