#include "Style.h"

namespace orvane {

// Calm light surfaces, one accent colour for what can be pressed, and the
// gauge in the purple the window always had. Sizes stay those of the layout:
// the style never pads a control beyond its place.
QString MainWindowStyle() {
    return QStringLiteral(R"(
QWidget#MainFrm {
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #f7f9fc, stop:1 #e6ecf5);
    font-family: "DejaVu Sans", "Noto Sans", "Arial";
    font-size: 11px;
    color: #1d2733;
}
QLabel#ImageLogo { background: #1f4e8c; border-radius: 4px; }
QFrame#bsSkinBevel1 {
    background: #ffffff;
    border: 1px solid #b8c4d6;
    border-radius: 6px;
}
QLabel#lbSizeCap { color: #4a5a70; }
QLabel#lbDiskCapacity { color: #1f4e8c; font-weight: bold; }
QLabel#lbMsg { color: #8a2be2; }
QLabel#lbVersion { color: #4a5a70; }
QPushButton {
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #3d7bd9, stop:1 #2a5fb0);
    color: #ffffff;
    border: 1px solid #24528f;
    border-radius: 4px;
    padding: 0px 4px;
}
QPushButton:hover { background: #4a89e8; }
QPushButton:pressed { background: #244f92; }
QPushButton:focus { border: 1px solid #0f2f5c; }
QPushButton:disabled { background: #d3d9e2; color: #8893a3; border: 1px solid #c2cad6; }
QProgressBar {
    background: #eef1f6;
    border: 1px solid #b8c4d6;
    border-radius: 4px;
    color: #800080;
    text-align: center;
}
QProgressBar::chunk { background: #c9a6e6; border-radius: 3px; }
)");
}

} // namespace orvane
