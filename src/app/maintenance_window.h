// The data maintenance window: browsing and editing the settlements table.
#pragma once

#include <QDialog>

namespace zenkalo {

class TForm2 : public QDialog {
    Q_OBJECT

public:
    explicit TForm2(QWidget* parent = nullptr);
};

}  // namespace zenkalo
