// The look of the manager's dialogs: the main window's style sheet with the
// dialog's own background, and a font narrow enough that the labels fit the
// places laid out for the original 8-point sans serif.
#pragma once

#include <QString>

class QWidget;

namespace orvane {
// Applies the style to the dialog named formName (its objectName).
void StyleDialog(QWidget *dialog, const QString &formName);
} // namespace orvane
