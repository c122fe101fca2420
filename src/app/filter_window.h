// The filter builder: up to three comparisons joined by connectives, turned into a condition
// text, installed as the filter of the main window's table and switched on or off.
#pragma once

#include <QDialog>
#include <array>

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;

namespace zenkalo {

class TForm1;

// One row's texts as the user left them.
struct TFilterRow {
    QString field;
    QString op;
    QString value;
    QString connective;
};

// The condition line of a row; empty when the row says nothing.
QString conditionLine(const TFilterRow& row);
// The condition box's lines joined into one filter text.
QString conditionText(const QString& box);

class TForm6 : public QDialog {
    Q_OBJECT

public:
    explicit TForm6(TForm1& form1, QWidget* parent = nullptr);

    QComboBox& fieldBox(int row) const { return *fields_[static_cast<std::size_t>(row)]; }
    QComboBox& operatorBox(int row) const { return *operators_[static_cast<std::size_t>(row)]; }
    QLineEdit& valueBox(int row) const { return *values_[static_cast<std::size_t>(row)]; }
    QComboBox& connectiveBox(int row) const { return *connectives_[static_cast<std::size_t>(row)]; }
    QPlainTextEdit& conditionBox() const { return *Memo1; }
    QLabel& stateLabel() const { return *Label3; }

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private slots:
    void ComboBox1Enter();
    void BitBtn2Click();
    void BitBtn3Click();
    void BitBtn1Click();

private:
    void FormShow();
    void apply();

    TForm1& form1_;
    std::array<QComboBox*, 3> fields_{};
    std::array<QComboBox*, 3> operators_{};
    std::array<QLineEdit*, 3> values_{};
    std::array<QComboBox*, 3> connectives_{};
    QPushButton* BitBtn1 = nullptr;
    QPushButton* BitBtn2 = nullptr;
    QPushButton* BitBtn3 = nullptr;
    QLabel* Label3 = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
    QRadioButton* RadioButton1 = nullptr;
    QRadioButton* RadioButton2 = nullptr;
};

}  // namespace zenkalo
