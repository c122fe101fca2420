// The borderless picture window opened from the about window.
#pragma once

#include <QDialog>

namespace zenkalo {

class TForm8 : public QDialog {
    Q_OBJECT

public:
    explicit TForm8(QWidget* parent = nullptr);
};

}  // namespace zenkalo
