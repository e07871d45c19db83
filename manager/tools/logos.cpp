// Draws the windows' logo pictures at build time: the main window's banner
// (377 x 65) and the login and change password dialogs' (233 x 65), as BMP
// files in the given folder.
#include <QGuiApplication>
#include <QDir>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <cstdio>

namespace {

bool draw(const QString &path, int width, int height, const QString &title, const QString &subtitle) {
    QImage img(width, height, QImage::Format_RGB32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, width, height);
    g.setColorAt(0, QColor(0x1f, 0x4e, 0x8c));
    g.setColorAt(1, QColor(0x5b, 0x2c, 0x8f));
    p.fillRect(img.rect(), g);
    // A stylised flash disk with a shield: the product's subject.
    const QRectF body(14, 14, 26, 38);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 230));
    p.drawRoundedRect(body, 4, 4);
    p.drawRect(QRectF(20, 6, 14, 9));
    QPainterPath shield;
    shield.moveTo(27, 22);
    shield.lineTo(35, 26);
    shield.cubicTo(35, 38, 30, 44, 27, 46);
    shield.cubicTo(24, 44, 19, 38, 19, 26);
    shield.closeSubpath();
    p.setBrush(QColor(0x5b, 0x2c, 0x8f));
    p.drawPath(shield);
    p.setPen(Qt::white);
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(height / 3);
    f.setBold(true);
    p.setFont(f);
    p.drawText(QRectF(52, 6, width - 58, height / 2.0), Qt::AlignLeft | Qt::AlignVCenter, title);
    f.setPixelSize(height / 6);
    f.setBold(false);
    p.setFont(f);
    p.setPen(QColor(220, 228, 245));
    p.drawText(QRectF(52, height / 2.0, width - 58, height / 2.0 - 6), Qt::AlignLeft | Qt::AlignVCenter, subtitle);
    p.end();
    return img.save(path, "BMP");
}

} // namespace

int main(int argc, char **argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: logos OUTPUT_DIR\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(dir);
    const bool ok =
        draw(dir + "/mainlogo.bmp", 377, 65, QStringLiteral("Tarvel"), QStringLiteral("Flash disk manager")) &&
        draw(dir + "/loginlogo.bmp", 233, 65, QStringLiteral("Login"), QStringLiteral("Open the secure area")) &&
        draw(dir + "/passwordlogo.bmp", 233, 65, QStringLiteral("Password"),
             QStringLiteral("Change the secure password"));
    return ok ? 0 : 1;
}
