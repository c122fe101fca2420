// The about window: product, maker and facts about this machine.
#pragma once

#include <QDialog>

namespace zenkalo {

class TForm7 : public QDialog {
    Q_OBJECT

public:
    explicit TForm7(QWidget* parent = nullptr);
};

}  // namespace zenkalo
