// The search window: finds a settlement or a postal code while the user types.
#pragma once

#include <QDialog>

namespace zenkalo {

class TForm5 : public QDialog {
    Q_OBJECT

public:
    explicit TForm5(QWidget* parent = nullptr);
};

}  // namespace zenkalo
