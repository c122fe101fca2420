// The data maintenance window: browsing the settlements table in settlement order, adding,
// changing and deleting its records in the grid and with the record navigator.
#pragma once

#include <QDialog>

class QPushButton;

namespace zenkalo {

class TDBGrid;
class TDBNavigator;
class TForm1;

class TForm2 : public QDialog {
    Q_OBJECT

public:
    // Works on the main window's table, through its data source.
    explicit TForm2(TForm1& form1, QWidget* parent = nullptr);

    TDBNavigator& navigator() const { return *DBNavigator1; }
    TDBGrid& grid() const { return *DBGrid1; }

protected:
    void showEvent(QShowEvent* event) override;

private slots:
    void BitBtn1Click();

private:
    void FormShow();

    TForm1& form1_;
    TDBNavigator* DBNavigator1;
    QPushButton* BitBtn1;
    TDBGrid* DBGrid1;
};

}  // namespace zenkalo
