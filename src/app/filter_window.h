// The filter builder: narrows the records every window shows.
#pragma once

#include <QDialog>

namespace zenkalo {

class TForm6 : public QDialog {
    Q_OBJECT

public:
    explicit TForm6(QWidget* parent = nullptr);
};

}  // namespace zenkalo
