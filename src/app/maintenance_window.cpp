// The data maintenance window: browsing and editing the settlements table.
#include "app/maintenance_window.h"

#include <QFrame>
#include <QPushButton>
#include <QStyle>

#include "app/application.h"
#include "app/db_grid.h"
#include "app/db_navigator.h"
#include "app/hint.h"
#include "app/main_window.h"
#include "app/window_setup.h"
#include "dataset/tdb_table.h"

namespace zenkalo {

TForm2::TForm2(TForm1& form1, QWidget* parent) : QDialog(parent), form1_(form1) {
    setUpFixedWindow(*this, QStringLiteral("Form2"), QStringLiteral(" Adatok Karbantartása:"),
                     QSize(395, 277), TitleBarButtons::SystemMenuAndMinimize);
    // The window keeps the face colour of buttons rather than the plain window colour.
    setBackgroundRole(QPalette::Button);

    auto* top = new QFrame(this);
    top->setGeometry(0, 0, 395, 41);
    top->setFrameStyle(QFrame::Panel | QFrame::Raised);
    BitBtn1 = new QPushButton(QStringLiteral("Befejezés"), top);
    BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
    BitBtn1->setGeometry(288, 8, 100, 25);
    BitBtn1->setIcon(style()->standardIcon(QStyle::SP_DialogCloseButton));
    applyHint(*BitBtn1, QStringLiteral("Befejezés !"));
    DBNavigator1 = new TDBNavigator(form1_.DataSource1(), top);
    DBNavigator1->setObjectName(QStringLiteral("DBNavigator1"));
    DBNavigator1->setGeometry(8, 8, 240, 25);
    // "Befejezés" comes first in the tab order.
    setTabOrder(BitBtn1, DBNavigator1);

    auto* lowered = new QFrame(this);
    lowered->setGeometry(0, 41, 395, 236);
    lowered->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    lowered->setLineWidth(4);
    DBGrid1 = new TDBGrid(form1_.DataSource1(), postalGridColumns(), lowered);
    DBGrid1->setObjectName(QStringLiteral("DBGrid1"));
    DBGrid1->setGeometry(8, 8, 378, 220);
    DBGrid1->setEditable(true);

    connect(BitBtn1, &QPushButton::clicked, this, &TForm2::BitBtn1Click);
}

void TForm2::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    FormShow();
}

void TForm2::FormShow() {
    showingFailures([this] { form1_.Table1().SetIndexName(u"TELEP"); });
}

void TForm2::BitBtn1Click() {
    close();
}

}  // namespace zenkalo
