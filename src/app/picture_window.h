// The borderless picture window opened from the about window; a click closes it.
#pragma once

#include <QDialog>

namespace zenkalo {

class TForm8 : public QDialog {
    Q_OBJECT

public:
    explicit TForm8(QWidget* parent = nullptr);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Image1Click();
};

}  // namespace zenkalo
