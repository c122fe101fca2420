// The search window: finds a settlement or a postal code while the user types.
#include "app/search_window.h"

#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QToolButton>

#include "app/application.h"
#include "app/db_grid.h"
#include "app/hint.h"
#include "app/main_window.h"
#include "app/message_box.h"
#include "app/window_setup.h"
#include "dataset/dataset_error.h"
#include "dataset/tdb_table.h"

namespace zenkalo {

namespace {

const QString kSettlementHint =
    QStringLiteral("Keresendő település|Keresendő település megadása !");
const QString kPostalCodeHint =
    QStringLiteral("Keresendő irányítószám|Keresendő irányítószám megadása !");
const QString kModeHint = QStringLiteral("Keresési feltétel típusa !");

QFrame* panel(QWidget* parent, const QRect& geometry) {
    auto* frame = new QFrame(parent);
    frame->setGeometry(geometry);
    frame->setFrameStyle(QFrame::Panel | QFrame::Raised);
    return frame;
}

}  // namespace

TForm5::TForm5(TForm1& form1, QWidget* parent) : QDialog(parent), form1_(form1) {
    setUpFixedWindow(*this, QStringLiteral("Form5"), QStringLiteral(" Adatok keresése:"),
                     QSize(395, 277), TitleBarButtons::SystemMenuAndMinimize);

    QFrame* top = panel(this, QRect(0, 0, 395, 41));
    BitBtn1 = new QPushButton(QStringLiteral("Befejezés"), top);
    BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
    BitBtn1->setGeometry(288, 8, 100, 25);
    BitBtn1->setIcon(style()->standardIcon(QStyle::SP_DialogCloseButton));
    applyHint(*BitBtn1, QStringLiteral("Befejezés !"));
    Edit1 = new QLineEdit(top);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit1->setGeometry(8, 10, 241, 21);
    setTextColour(*Edit1, Qt::blue, false);
    SpeedButton1 = new QToolButton(top);
    SpeedButton1->setObjectName(QStringLiteral("SpeedButton1"));
    SpeedButton1->setGeometry(256, 8, 25, 25);
    SpeedButton1->setIcon(style()->standardIcon(QStyle::SP_FileDialogContentsView));
    SpeedButton1->setAutoRaise(true);
    applyHint(*SpeedButton1, QStringLiteral("Szűrés|Megjelenített adatok szűrése !"));
    // "Befejezés" comes first in the tab order, the search text second.
    setTabOrder(BitBtn1, Edit1);

    QFrame* modes = panel(this, QRect(0, 41, 395, 32));
    setTextColour(*modes, Qt::blue, false);
    auto* label = new QLabel(QStringLiteral("Keresés tárgya:"), modes);
    label->setObjectName(QStringLiteral("Label1"));
    label->setGeometry(24, 8, 89, 19);
    setTextColour(*label, QColor(0, 0, 0x80), true);
    RadioButton1 = new QRadioButton(QStringLiteral("Irányító szám"), modes);
    RadioButton1->setObjectName(QStringLiteral("RadioButton1"));
    RadioButton1->setGeometry(144, 8, 105, 17);
    RadioButton2 = new QRadioButton(QStringLiteral("Település"), modes);
    RadioButton2->setObjectName(QStringLiteral("RadioButton2"));
    RadioButton2->setGeometry(272, 8, 81, 17);
    for (QRadioButton* option : {RadioButton1, RadioButton2}) {
        setTextColour(*option, Qt::blue, true);
        applyHint(*option, kModeHint);
    }
    RadioButton2->setChecked(true);

    auto* lowered = new QFrame(this);
    lowered->setGeometry(0, 73, 395, 205);
    lowered->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    lowered->setLineWidth(4);
    DBGrid1 = new TDBGrid(form1_.DataSource1(), postalGridColumns(), lowered);
    DBGrid1->setObjectName(QStringLiteral("DBGrid1"));
    DBGrid1->setGeometry(8, 8, 378, 189);

    connect(RadioButton1, &QRadioButton::clicked, this, &TForm5::RadioButton1Click);
    connect(RadioButton2, &QRadioButton::clicked, this, &TForm5::RadioButton2Click);
    connect(Edit1, &QLineEdit::textChanged, this, &TForm5::Edit1Change);
    connect(SpeedButton1, &QToolButton::clicked, this, &TForm5::SpeedButton1Click);
    connect(BitBtn1, &QPushButton::clicked, this, &TForm5::BitBtn1Click);
    selectMode(38, kSettlementHint, u"TELEP");
}

void TForm5::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    FormShow();
}

void TForm5::FormShow() {
    Edit1->clear();
    Edit1->setMaxLength(38);
    // Checking the option selects its mode, as a click on it does.
    RadioButton2->setChecked(true);
    RadioButton2Click();
    showingFailures([this] { form1_.Table1().SetIndexName(u"TELEP"); });
}

void TForm5::selectMode(int maxLength, const QString& hint, const std::u16string& index) {
    Edit1->clear();
    Edit1->setMaxLength(maxLength);
    applyHint(*Edit1, hint);
    showingFailures([&] { form1_.Table1().SetIndexName(index); });
}

void TForm5::RadioButton1Click() {
    if (RadioButton1->isChecked())
        selectMode(4, kPostalCodeHint, u"IRSZ");
}

void TForm5::RadioButton2Click() {
    if (RadioButton2->isChecked())
        selectMode(38, kSettlementHint, u"TELEP");
}

void TForm5::Edit1Change(const QString& text) {
    // Only the search's dataset errors get the window's own message.
    showingFailures([&] {
        try {
            form1_.Table1().FindNearest({text.toStdU16String()});
        } catch (const dataset::EDatabaseError&) {
            showError(this, QStringLiteral("Adatok keresése:"), QStringLiteral("Hiba történt !!!"));
        }
    });
}

void TForm5::SpeedButton1Click() {
    if (form6_ != nullptr)
        form6_->exec();
}

void TForm5::BitBtn1Click() {
    showingFailures([this] { form1_.Table1().SetIndexName(u"TELEP"); });
    close();
}

}  // namespace zenkalo
