#include "DialogStyle.h"

#include <QWidget>

#include "Style.h"

namespace orvane {

void StyleDialog(QWidget *dialog, const QString &formName) {
    // The layout was made for MS Sans Serif at 11 pixels. A condensed sans
    // keeps the texts inside their places; the labels, laid out to the pixel
    // for that face ("Confirm Password" in 84 pixels), one pixel smaller. The
    // font goes into the style sheet: a sheet on the dialog would otherwise
    // give its children the application's font instead of the dialog's.
    dialog->setStyleSheet(MainWindowStyle() + QStringLiteral(R"(
QDialog#%1, QDialog#%1 QWidget { font-family: "DejaVu Sans Condensed", "DejaVu Sans"; font-size: 11px; }
QDialog#%1 QLabel { font-size: 10px; }
QDialog#%1 {
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #f7f9fc, stop:1 #e6ecf5);
    color: #1d2733;
}
QFrame#Bevel1 { background: #ffffff; border: 1px solid #b8c4d6; border-radius: 6px; }
QLabel#ImageLogo { background: #1f4e8c; border-radius: 4px; }
QLabel#lblDiskSize { color: #1f4e8c; font-weight: bold; font-size: 11px; }
QFrame#bsSkinPanel1 { border: 1px solid #c2cad6; border-radius: 4px; }
)")
                                                  .arg(formName));
}

} // namespace orvane
