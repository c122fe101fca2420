// The filter builder: narrows the records every window shows.
#include "app/filter_window.h"

#include <QComboBox>
#include <QEvent>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>

#include "app/application.h"
#include "app/hint.h"
#include "app/main_window.h"
#include "app/message_box.h"
#include "app/window_setup.h"
#include "dataset/tdb_table.h"

namespace zenkalo {

namespace {

const QString kOn = QStringLiteral("Bekapcsolva");
const QString kOff = QStringLiteral("Kikapcsolva");
const QStringList kFields = {QStringLiteral("Irányító szám"), QStringLiteral("Település"),
                             QStringLiteral("Telefon körzet")};
const QStringList kColumns = {QStringLiteral("IRSZ"), QStringLiteral("TELEP"),
                              QStringLiteral("TELK")};
const QStringList kOperators = {QStringLiteral("<"),  QStringLiteral(">"),  QStringLiteral("="),
                                QStringLiteral("<="), QStringLiteral(">="), QStringLiteral("<>")};
const QStringList kConnectives = {QStringLiteral("And"), QStringLiteral("Or"),
                                  QStringLiteral("Xor")};

// A text literal of the condition language; a quote inside is doubled, so that a name with an
// apostrophe stays one literal instead of ending it.
QString quoted(const QString& text) {
    QString inner = text;
    inner.replace(QLatin1Char('\''), QStringLiteral("''"));
    return QLatin1Char('\'') + inner + QLatin1Char('\'');
}

QComboBox* comboBox(QWidget* parent, const char* name, const QRect& geometry,
                    const QStringList& items) {
    auto* box = new QComboBox(parent);
    box->setObjectName(QLatin1String(name));
    box->setEditable(true);
    box->setInsertPolicy(QComboBox::NoInsert);
    box->addItems(items);
    box->setCurrentIndex(-1);
    box->setGeometry(geometry);
    setTextColour(*box, Qt::blue, false);
    return box;
}

QPushButton* button(QWidget* parent, const char* name, const QString& caption, int x,
                    const QString& hint, QStyle::StandardPixmap icon) {
    auto* pushed = new QPushButton(caption, parent);
    pushed->setObjectName(QLatin1String(name));
    pushed->setGeometry(x, 8, 100, 25);
    pushed->setIcon(parent->style()->standardIcon(icon));
    applyHint(*pushed, hint);
    return pushed;
}

}  // namespace

QString conditionLine(const TFilterRow& row) {
    const QString field = row.field.trimmed();
    const QString op = row.op.trimmed();
    const QString value = row.value.trimmed();
    const QString connective = row.connective.trimmed();

    const int column = kFields.indexOf(field);
    const QString f = column >= 0 ? kColumns[column] : field.isEmpty() ? QString() : quoted(field);
    const QString& o = op;
    QString v;
    if (!value.isEmpty())
        v = quoted(value);
    else if (!field.isEmpty() && !op.isEmpty())
        v = QStringLiteral("''");
    else
        v = row.value;
    const QString c =
        kConnectives.contains(connective) || connective.isEmpty() ? connective : quoted(connective);
    if ((f + o + v + c).isEmpty())
        return {};
    return f + QLatin1Char(' ') + o + QLatin1Char(' ') + v + QLatin1Char(' ') + c;
}

QString conditionText(const QString& box) {
    QString text;
    for (const QString& line : box.split(QLatin1Char('\n')))
        text += line.trimmed() + QLatin1Char(' ');
    return text.trimmed();
}

TForm6::TForm6(TForm1& form1, QWidget* parent) : QDialog(parent), form1_(form1) {
    setUpFixedWindow(*this, QStringLiteral("Form6"),
                     QStringLiteral(" Megjelenítendő adatok szűrése:"), QSize(541, 265),
                     TitleBarButtons::SystemMenuAndMinimize);

    auto* top = new QFrame(this);
    top->setGeometry(0, 0, 541, 41);
    top->setFrameStyle(QFrame::Panel | QFrame::Raised);
    BitBtn2 = button(top, "BitBtn2", QStringLiteral("Beállít"), 8,
                     QStringLiteral("Megadott szűrési feltétel beállítása !"),
                     QStyle::SP_DialogApplyButton);
    BitBtn3 =
        button(top, "BitBtn3", QStringLiteral("Alaphelyzet"), 120,
               QStringLiteral("Értékek alaphelyzetbe állítása !"), QStyle::SP_DialogResetButton);
    BitBtn1 = button(top, "BitBtn1", QStringLiteral("Befejezés"), 432,
                     QStringLiteral("Befejezés !"), QStyle::SP_DialogCloseButton);
    auto* title = new QLabel(QStringLiteral("Szűrés"), top);
    title->setObjectName(QStringLiteral("Label2"));
    title->setGeometry(224, 7, 201, 13);
    title->setAlignment(Qt::AlignCenter);
    setTextColour(*title, QColor(0, 0, 0x80), false);
    Label3 = new QLabel(kOff, top);
    Label3->setObjectName(QStringLiteral("Label3"));
    Label3->setGeometry(224, 22, 201, 13);
    Label3->setAlignment(Qt::AlignCenter);
    setTextColour(*Label3, Qt::blue, false);

    auto* lower = new QFrame(this);
    lower->setGeometry(0, 41, 541, 224);
    lower->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    lower->setLineWidth(4);
    static constexpr std::array<std::array<const char*, 5>, 3> kNames = {{
        {"ComboBox1", "ComboBox2", "Edit1", "ComboBox3", "1."},
        {"ComboBox4", "ComboBox5", "Edit2", "ComboBox6", "2."},
        {"ComboBox7", "ComboBox8", "Edit3", "ComboBox9", "3."},
    }};
    setTabOrder(BitBtn1, BitBtn2);
    setTabOrder(BitBtn2, BitBtn3);
    QWidget* previous = BitBtn3;
    for (std::size_t row = 0; row < 3; ++row) {
        const int y = 16 + 32 * static_cast<int>(row);
        auto* number = new QLabel(QLatin1String(kNames[row][4]), lower);
        number->setGeometry(16, y + 3, 14, 16);
        setTextColour(*number, QColor(0x80, 0, 0x80), true);
        fields_[row] = comboBox(lower, kNames[row][0], QRect(32, y, 169, 21), kFields);
        operators_[row] = comboBox(lower, kNames[row][1], QRect(208, y, 65, 21), kOperators);
        values_[row] = new QLineEdit(lower);
        values_[row]->setObjectName(QLatin1String(kNames[row][2]));
        values_[row]->setGeometry(280, y, 173, 21);
        setTextColour(*values_[row], Qt::blue, false);
        connectives_[row] = comboBox(lower, kNames[row][3], QRect(460, y, 65, 21), kConnectives);
        for (QWidget* control : std::initializer_list<QWidget*>{fields_[row], operators_[row],
                                                                values_[row], connectives_[row]}) {
            setTabOrder(previous, control);
            previous = control;
            control->installEventFilter(this);
            if (auto* combo = qobject_cast<QComboBox*>(control))
                combo->lineEdit()->installEventFilter(this);
        }
    }

    auto* group = new QGroupBox(QStringLiteral(" Szűrési feltétel "), lower);
    group->setGeometry(16, 112, 510, 93);
    setTextColour(*group, QColor(0, 0, 0x80), true);
    Memo1 = new QPlainTextEdit(group);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setGeometry(11, 21, 371, 60);
    Memo1->setFrameStyle(QFrame::NoFrame);
    QPalette memo = Memo1->palette();
    memo.setColor(QPalette::Base, memo.color(QPalette::ToolTipBase));
    memo.setColor(QPalette::Text, Qt::blue);
    Memo1->setPalette(memo);
    QFont bold = Memo1->font();
    bold.setBold(true);
    Memo1->setFont(bold);
    auto* switches = new QFrame(group);
    switches->setGeometry(390, 21, 108, 60);
    switches->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    RadioButton1 = new QRadioButton(kOn, switches);
    RadioButton1->setObjectName(QStringLiteral("RadioButton1"));
    RadioButton1->move(8, 10);
    RadioButton2 = new QRadioButton(kOff, switches);
    RadioButton2->setObjectName(QStringLiteral("RadioButton2"));
    RadioButton2->move(8, 34);
    for (QRadioButton* option : {RadioButton1, RadioButton2})
        setTextColour(*option, QColor(0x80, 0, 0x80), true);
    RadioButton2->setChecked(true);

    connect(BitBtn1, &QPushButton::clicked, this, &TForm6::BitBtn1Click);
    connect(BitBtn2, &QPushButton::clicked, this, &TForm6::BitBtn2Click);
    connect(BitBtn3, &QPushButton::clicked, this, &TForm6::BitBtn3Click);
}

void TForm6::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    FormShow();
}

void TForm6::FormShow() {
    const bool on = form1_.Table1().Filtered();
    Label3->setText(on ? kOn : kOff);
    (on ? RadioButton1 : RadioButton2)->setChecked(true);
}

bool TForm6::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut)
        ComboBox1Enter();
    return QDialog::eventFilter(watched, event);
}

void TForm6::ComboBox1Enter() {
    if (Memo1 == nullptr)
        return;
    QStringList lines;
    for (std::size_t row = 0; row < 3; ++row) {
        const QString line =
            conditionLine({fields_[row]->currentText(), operators_[row]->currentText(),
                           values_[row]->text(), connectives_[row]->currentText()});
        if (!line.isEmpty())
            lines << line;
    }
    Memo1->setPlainText(lines.join(QLatin1Char('\n')));
}

void TForm6::BitBtn2Click() {
    showingFailures([this] { apply(); });
}

void TForm6::apply() {
    dataset::TTdbTable& table = form1_.Table1();
    table.SetFiltered(false);
    const QString text = conditionText(Memo1->toPlainText());
    try {
        table.SetFilter(text.toStdU16String());
        if (RadioButton1->isChecked()) {
            table.SetFiltered(true);
            Label3->setText(kOn);
        } else if (RadioButton2->isChecked()) {
            table.SetFiltered(false);
            Label3->setText(kOff);
        }
    } catch (...) {
        showError(this, QStringLiteral("Szűrő beállítása:"),
                  QStringLiteral("Hibás a szűrési feltétel !!!"));
    }
}

void TForm6::BitBtn3Click() {
    for (std::size_t row = 0; row < 3; ++row) {
        for (QComboBox* box : {fields_[row], operators_[row], connectives_[row]})
            box->setEditText(QString());
        values_[row]->clear();
    }
    Memo1->clear();
    RadioButton2->setChecked(true);
}

void TForm6::BitBtn1Click() {
    close();
}

}  // namespace zenkalo
