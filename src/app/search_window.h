// The search window: finds a settlement or a postal code while the user types, the grid below
// following the table to the record found.
#pragma once

#include <QDialog>
#include <QPointer>

class QLineEdit;
class QRadioButton;
class QPushButton;
class QToolButton;

namespace zenkalo {

class TDBGrid;
class TForm1;

class TForm5 : public QDialog {
    Q_OBJECT

public:
    // Works on the main window's table, through its data source.
    explicit TForm5(TForm1& form1, QWidget* parent = nullptr);

    // The filter builder its button opens.
    void attachFilterWindow(QDialog* form6) { form6_ = form6; }

    QLineEdit& searchText() const { return *Edit1; }
    TDBGrid& grid() const { return *DBGrid1; }

protected:
    void showEvent(QShowEvent* event) override;

private slots:
    void RadioButton1Click();
    void RadioButton2Click();
    void Edit1Change(const QString& text);
    void SpeedButton1Click();
    void BitBtn1Click();

private:
    void FormShow();
    // Clears the text and sets the length, hint and index of a mode, in this order.
    void selectMode(int maxLength, const QString& hint, const std::u16string& index);

    TForm1& form1_;
    QPointer<QDialog> form6_;
    QLineEdit* Edit1;
    QToolButton* SpeedButton1;
    QPushButton* BitBtn1;
    QRadioButton* RadioButton1;
    QRadioButton* RadioButton2;
    TDBGrid* DBGrid1;
};

}  // namespace zenkalo
