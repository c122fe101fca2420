// Hints in the "short|long" form used throughout the windows: the short part
// becomes the tool tip, the long part the text shown in the status line.
#pragma once

#include <QString>

class QAction;
class QWidget;

namespace zenkalo {

struct Hint {
    QString shortPart;
    QString longPart;
};

// Splits at the first "|"; a hint without one serves as both parts.
Hint splitHint(const QString& hint);

void applyHint(QAction& action, const QString& hint);
void applyHint(QWidget& widget, const QString& hint);

}  // namespace zenkalo
