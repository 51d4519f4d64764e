#pragma once
// The trainer's panel of a simulated line: plugs devices into one port and
// out again, and sets the faults the next device there shows, so every
// message of the window can be shown without hardware.
#include <QGroupBox>
#include <string>
#include <vector>

class QComboBox;
class QLabel;
class QPushButton;

namespace ts::gui {

class TrainingBench : public QGroupBox {
    Q_OBJECT
public:
    // `folder`: the simulated line; the bench uses the port `letter`.
    TrainingBench(const std::string& folder, char letter, QWidget* parent = nullptr);

    // The faults offered: a name for the trainer and the fault-file lines.
    struct Fault {
        const char16_t* name;
        const char* lines;
    };
    static const std::vector<Fault>& Faults();

    void PlugBlank();
    // The device the bench last unplugged, with whatever was written to it.
    void PlugKept();
    void PlugDisk();
    void Unplug();
    void SetFault(int index);

    QString Message() const;

private:
    std::string KeptPath() const;
    void Done(bool ok, const std::string& error, const QString& what);
    void Update();

    std::string folder_;
    char letter_;
    QPushButton* blank_ = nullptr;
    QPushButton* kept_ = nullptr;
    QPushButton* disk_ = nullptr;
    QPushButton* unplug_ = nullptr;
    QComboBox* fault_ = nullptr;
    QLabel* message_ = nullptr;
};

}  // namespace ts::gui
