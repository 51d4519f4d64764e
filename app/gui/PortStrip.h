#pragma once
// The ports of a gang as a table: one row per port with its drive, state,
// ID and time, the state in the last result's colours.
#include <QTableWidget>

#include "app/LastResult.h"

namespace ts::gui {

class PortStrip : public QTableWidget {
public:
    explicit PortStrip(QWidget* parent = nullptr);
    void Show(const LastResult& model);
};

}  // namespace ts::gui
