#include "app/gui/TrainingBench.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <vector>

#include "app/gui/GuiText.h"
#include "sim/SimLine.h"

namespace ts::gui {

namespace {

constexpr uint64_t kBlankSectors = 2048;  // 1 MiB, as the CLI's default

bool IsFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

const std::vector<TrainingBench::Fault>& TrainingBench::Faults() {
    static const std::vector<Fault> faults = {
        {u"无故障", ""},
        {u"设备无法打开", "open=fail\n"},
        {u"设备被其他程序占用", "open_errno=16\n"},
        {u"握手应答错误", "handshake=garbled\n"},
        {u"读取数据块被拒绝", "check_at=read:2\n"},
        {u"写入数据块被拒绝", "check_at=write:2\n"},
        {u"烧写完成未被确认", "finish=garbled\n"},
    };
    return faults;
}

TrainingBench::TrainingBench(const std::string& folder, char letter, QWidget* parent)
    : QGroupBox(QStringLiteral("培训台 (模拟 %1:)").arg(QLatin1Char(letter)), parent),
      folder_(folder),
      letter_(letter) {
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
    blank_ = button("benchBlank", QStringLiteral("插入空白设备"));
    kept_ = button("benchKept", QStringLiteral("插入已有ID的设备"));
    disk_ = button("benchDisk", QStringLiteral("插入普通U盘"));
    unplug_ = button("benchUnplug", QStringLiteral("拔出设备"));
    kept_->setToolTip(QStringLiteral("插回培训台上次拔出的设备（先烧写一个设备再拔出）"));
    grid->addWidget(blank_, 0, 0);
    grid->addWidget(kept_, 0, 1);
    grid->addWidget(disk_, 1, 0);
    grid->addWidget(unplug_, 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("下一个设备的故障："), this), 2, 0, 1, 2);
    fault_ = new QComboBox(this);
    fault_->setObjectName(QStringLiteral("benchFault"));
    for (const Fault& f : Faults()) fault_->addItem(Q(std::u16string(f.name)));
    grid->addWidget(fault_, 3, 0, 1, 2);
    message_ = new QLabel(this);
    message_->setObjectName(QStringLiteral("benchMessage"));
    message_->setWordWrap(true);
    grid->addWidget(message_, 4, 0, 1, 2);
    grid->setRowStretch(5, 1);

    connect(blank_, &QPushButton::clicked, this, [this] { PlugBlank(); });
    connect(kept_, &QPushButton::clicked, this, [this] { PlugKept(); });
    connect(disk_, &QPushButton::clicked, this, [this] { PlugDisk(); });
    connect(unplug_, &QPushButton::clicked, this, [this] { Unplug(); });
    connect(fault_, &QComboBox::activated, this, [this](int index) { SetFault(index); });
    // What an earlier session left set stays: the trainer starts from none.
    SetFault(0);
    message_->clear();
    Update();
}

std::string TrainingBench::KeptPath() const {
    return folder_ + (folder_.empty() || folder_.back() == '/' ? "" : "/") + ".bench-kept-" +
           letter_ + ".img";
}

void TrainingBench::PlugBlank() {
    std::string error;
    bool ok = SimPlug(folder_, letter_, kBlankSectors, false, error);
    Done(ok, error, QStringLiteral("已插入空白设备"));
}

void TrainingBench::PlugKept() {
    std::string error;
    bool ok = SimReplug(folder_, letter_, KeptPath(), error);
    Done(ok, error, QStringLiteral("已插入上次拔出的设备"));
}

void TrainingBench::PlugDisk() {
    std::string error;
    bool ok = SimPlug(folder_, letter_, kBlankSectors, true, error);
    Done(ok, error, QStringLiteral("已插入普通U盘"));
}

void TrainingBench::Unplug() {
    // A device is kept (its ID with it) to be plugged back; a disk is not.
    const std::string kept = KeptPath();
    std::string error;
    const std::string image = folder_ + "/" + letter_ + ".img";
    bool ok;
    if (IsFile(image)) {
        ::unlink(kept.c_str());
        ok = SimUnplug(folder_, letter_, &kept, error);
    } else {
        ok = SimUnplug(folder_, letter_, nullptr, error);
    }
    Done(ok, error, QStringLiteral("已拔出设备"));
}

void TrainingBench::SetFault(int index) {
    const auto& faults = Faults();
    if (index < 0 || static_cast<size_t>(index) >= faults.size()) return;
    if (fault_->currentIndex() != index) fault_->setCurrentIndex(index);
    std::string error;
    bool ok = SimSetFaults(folder_, letter_, faults[static_cast<size_t>(index)].lines, error);
    Done(ok, error, QStringLiteral("故障设为：") + Q(std::u16string(faults[index].name)));
}

QString TrainingBench::Message() const { return message_->text(); }

void TrainingBench::Done(bool ok, const std::string& error, const QString& what) {
    message_->setText(ok ? what : QStringLiteral("操作失败：") + QString::fromStdString(error));
    Update();
}

void TrainingBench::Update() { kept_->setEnabled(IsFile(KeptPath())); }

}  // namespace ts::gui
