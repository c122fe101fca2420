// Blocking questions to the user with the program's own Hungarian buttons.
#include "app/message_box.h"

#include <QAbstractButton>
#include <QMessageBox>

namespace zenkalo {

bool askYesNo(QWidget* parent, const QString& caption, const QString& text) {
    QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::Yes | QMessageBox::No,
                    parent);
    box.button(QMessageBox::Yes)->setText(QStringLiteral("&Igen"));
    box.button(QMessageBox::No)->setText(QStringLiteral("&Nem"));
    box.setDefaultButton(QMessageBox::Yes);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void showError(QWidget* parent, const QString& text) {
    showError(parent, QStringLiteral("Zenkalo"), text);
}

void showError(QWidget* parent, const QString& caption, const QString& text) {
    QMessageBox box(QMessageBox::Critical, caption, text, QMessageBox::Ok, parent);
    box.exec();
}

}  // namespace zenkalo
