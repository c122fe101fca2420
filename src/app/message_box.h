// Blocking questions to the user with the program's own Hungarian buttons,
// independent of whatever translations the machine has installed.
#pragma once

#include <QString>

class QWidget;

namespace zenkalo {

// Shows a Yes/No question labelled "Igen"/"Nem"; true when the user chose Yes.
// Escape and the close button count as No.
bool askYesNo(QWidget* parent, const QString& caption, const QString& text);

// Reports a failure in an error box with an OK button, captioned with the program's name.
void showError(QWidget* parent, const QString& text);
// The same with a caption of the window's own.
void showError(QWidget* parent, const QString& caption, const QString& text);

}  // namespace zenkalo
