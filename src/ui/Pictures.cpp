#include "ui/Pictures.h"

#include "common/PlcFamilies.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <functional>

namespace tavrel::ui {

namespace {

/// Draws on a 32 x 32 canvas; the icon is rendered at 16, 24 and 32 pixels.
QIcon DrawnIcon(const std::function<void(QPainter&)>& draw)
{
    QIcon icon;
    for (const int size : { 16, 24, 32 }) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.scale(size / 32.0, size / 32.0);
        draw(painter);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

void DrawModule(QPainter& painter, const QColor& body, const QColor& front, int leds)
{
    painter.setPen(QPen(body.darker(160), 1.5));
    painter.setBrush(body);
    painter.drawRoundedRect(QRectF(4, 3, 24, 26), 2, 2);
    painter.setBrush(front);
    painter.drawRect(QRectF(8, 7, 16, 8));
    painter.setPen(Qt::NoPen);
    for (int led = 0; led < leds; ++led) {
        painter.setBrush(led % 2 == 0 ? QColor(40, 200, 60) : QColor(250, 170, 0));
        painter.drawEllipse(QPointF(9.5 + led * 4.5, 21), 1.8, 1.8);
    }
    painter.setBrush(QColor(60, 60, 60));
    for (int pin = 0; pin < 4; ++pin) {
        painter.drawRect(QRectF(8 + pin * 4.5, 25.5, 2.5, 2.5));
    }
}

void DrawClipboard(QPainter& painter)
{
    painter.setPen(QPen(QColor(110, 70, 30), 1.5));
    painter.setBrush(QColor(190, 135, 70));
    painter.drawRoundedRect(QRectF(5, 4, 22, 26), 2, 2);
    painter.setPen(QPen(QColor(150, 150, 150), 1));
    painter.setBrush(Qt::white);
    painter.drawRect(QRectF(8, 8, 16, 19));
    painter.setPen(QPen(QColor(90, 90, 90), 1.2));
    painter.setBrush(QColor(200, 200, 200));
    painter.drawRoundedRect(QRectF(11, 2, 10, 5), 1.5, 1.5);
}

void DrawLetter(QPainter& painter, const QString& letter, const QColor& colour)
{
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(14);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(colour);
    painter.drawText(QRectF(8, 9, 16, 18), Qt::AlignCenter, letter);
}

void DrawRunTriangle(QPainter& painter, const QRectF& box)
{
    QPainterPath triangle;
    triangle.moveTo(box.left(), box.top());
    triangle.lineTo(box.right(), box.center().y());
    triangle.lineTo(box.left(), box.bottom());
    triangle.closeSubpath();
    painter.setPen(QPen(QColor(20, 110, 30), 1.2));
    painter.setBrush(QColor(50, 180, 60));
    painter.drawPath(triangle);
}

void DrawStopSquare(QPainter& painter, const QRectF& box)
{
    painter.setPen(QPen(QColor(130, 20, 20), 1.2));
    painter.setBrush(QColor(220, 50, 40));
    painter.drawRoundedRect(box, 1.5, 1.5);
}

void DrawPage(QPainter& painter)
{
    QPainterPath page;
    page.moveTo(7, 3);
    page.lineTo(19, 3);
    page.lineTo(26, 10);
    page.lineTo(26, 29);
    page.lineTo(7, 29);
    page.closeSubpath();
    painter.setPen(QPen(QColor(90, 90, 90), 1.5));
    painter.setBrush(Qt::white);
    painter.drawPath(page);
    painter.drawLine(QPointF(19, 3), QPointF(19, 10));
    painter.drawLine(QPointF(19, 10), QPointF(26, 10));
}

void DrawFolder(QPainter& painter)
{
    painter.setPen(QPen(QColor(150, 110, 20), 1.5));
    painter.setBrush(QColor(240, 200, 90));
    QPainterPath back;
    back.moveTo(3, 8);
    back.lineTo(12, 8);
    back.lineTo(15, 11);
    back.lineTo(28, 11);
    back.lineTo(28, 27);
    back.lineTo(3, 27);
    back.closeSubpath();
    painter.drawPath(back);
    painter.setBrush(QColor(250, 220, 120));
    QPainterPath front;
    front.moveTo(3, 27);
    front.lineTo(7, 15);
    front.lineTo(31, 15);
    front.lineTo(28, 27);
    front.closeSubpath();
    painter.drawPath(front);
}

void DrawDisk(QPainter& painter)
{
    painter.setPen(QPen(QColor(20, 50, 110), 1.5));
    painter.setBrush(QColor(60, 110, 200));
    painter.drawRoundedRect(QRectF(4, 4, 24, 24), 2, 2);
    painter.setBrush(Qt::white);
    painter.drawRect(QRectF(9, 4, 14, 9));
    painter.setBrush(QColor(200, 200, 210));
    painter.drawRect(QRectF(8, 18, 16, 10));
}

void DrawHelp(QPainter& painter)
{
    painter.setPen(QPen(QColor(20, 60, 140), 1.5));
    painter.setBrush(QColor(60, 120, 220));
    painter.drawEllipse(QRectF(3, 3, 26, 26));
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(20);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(QRectF(3, 3, 26, 26), Qt::AlignCenter, QStringLiteral("?"));
}

void DrawRefresh(QPainter& painter)
{
    painter.setPen(QPen(QColor(30, 110, 190), 4, Qt::SolidLine, Qt::FlatCap));
    painter.setBrush(Qt::NoBrush);
    painter.drawArc(QRectF(6, 6, 20, 20), 60 * 16, 280 * 16);
    QPainterPath head;
    head.moveTo(17, 1);
    head.lineTo(25, 7.5);
    head.lineTo(16, 12);
    head.closeSubpath();
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(30, 110, 190));
    painter.drawPath(head);
}

void DrawCross(QPainter& painter)
{
    painter.setPen(QPen(QColor(200, 30, 30), 5, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(8, 8), QPointF(24, 24));
    painter.drawLine(QPointF(24, 8), QPointF(8, 24));
}

void DrawExit(QPainter& painter)
{
    painter.setPen(QPen(QColor(110, 70, 30), 1.5));
    painter.setBrush(QColor(170, 120, 70));
    painter.drawRect(QRectF(5, 3, 14, 26));
    painter.setPen(QPen(QColor(200, 40, 30), 3.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawLine(QPointF(14, 16), QPointF(29, 16));
    painter.drawLine(QPointF(24, 11), QPointF(29, 16));
    painter.drawLine(QPointF(24, 21), QPointF(29, 16));
}

} // namespace

QIcon PicOrbis()
{
    static const QIcon icon
        = DrawnIcon([](QPainter& p) { DrawModule(p, QColor(60, 110, 190), QColor(210, 225, 245), 4); });
    return icon;
}

QIcon PicQ40()
{
    static const QIcon icon
        = DrawnIcon([](QPainter& p) { DrawModule(p, QColor(120, 120, 120), QColor(70, 190, 90), 3); });
    return icon;
}

QIcon PlcTypePicture(int plcType)
{
    const common::PlcFamily* family = common::FindPlcFamily(plcType);
    switch (family ? family->picture : common::PlcPicture::None) {
    case common::PlcPicture::Orbis:
        return PicOrbis();
    case common::PlcPicture::Q40:
        return PicQ40();
    case common::PlcPicture::None:
        break;
    }
    return {};
}

QIcon ToolIcon(const QString& toolName)
{
    const auto clipboardWith = [](std::function<void(QPainter&)> mark) {
        return DrawnIcon([mark](QPainter& p) {
            DrawClipboard(p);
            mark(p);
        });
    };
    if (toolName == QLatin1String("ID_New")) {
        return DrawnIcon(DrawPage);
    }
    if (toolName == QLatin1String("ID_Open")) {
        return DrawnIcon(DrawFolder);
    }
    if (toolName == QLatin1String("ID_Save")) {
        return DrawnIcon(DrawDisk);
    }
    if (toolName == QLatin1String("ID_AddNewItem")) {
        return DrawnIcon([](QPainter& p) {
            DrawModule(p, QColor(120, 120, 120), QColor(210, 225, 245), 3);
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(30, 160, 50));
            p.drawEllipse(QRectF(17, 15, 15, 15));
            p.setBrush(Qt::white);
            p.drawRect(QRectF(19.5, 21, 10, 3));
            p.drawRect(QRectF(23, 17.5, 3, 10));
        });
    }
    if (toolName == QLatin1String("ID_DeleteItem")) {
        return DrawnIcon(DrawCross);
    }
    if (toolName == QLatin1String("ID_CopyReadCommand")) {
        return clipboardWith([](QPainter& p) { DrawLetter(p, QStringLiteral("R"), QColor(30, 90, 180)); });
    }
    if (toolName == QLatin1String("ID_CopyWriteMacro")) {
        return clipboardWith([](QPainter& p) { DrawLetter(p, QStringLiteral("W"), QColor(160, 60, 20)); });
    }
    if (toolName == QLatin1String("ID_CopyStopPlcMacro")) {
        return clipboardWith([](QPainter& p) { DrawStopSquare(p, QRectF(11, 12, 10, 10)); });
    }
    if (toolName == QLatin1String("ID_CopyRunPlcMacro")) {
        return clipboardWith([](QPainter& p) { DrawRunTriangle(p, QRectF(11, 11, 11, 12)); });
    }
    if (toolName == QLatin1String("ID_CopyRunStopDDE")) {
        return clipboardWith([](QPainter& p) {
            DrawRunTriangle(p, QRectF(9, 10, 7, 8));
            DrawStopSquare(p, QRectF(16.5, 17, 6.5, 6.5));
        });
    }
    if (toolName == QLatin1String("ID_Refresh")) {
        return DrawnIcon(DrawRefresh);
    }
    if (toolName == QLatin1String("ID_Run")) {
        return DrawnIcon([](QPainter& p) { DrawRunTriangle(p, QRectF(8, 5, 18, 22)); });
    }
    if (toolName == QLatin1String("ID_Stop")) {
        return DrawnIcon([](QPainter& p) { DrawStopSquare(p, QRectF(7, 7, 18, 18)); });
    }
    if (toolName == QLatin1String("ID_Exit")) {
        return DrawnIcon(DrawExit);
    }
    if (toolName == QLatin1String("ID_Help")) {
        return DrawnIcon(DrawHelp);
    }
    return {};
}

QPixmap SplashPicture(const QSize& size)
{
    QPixmap pixmap(size);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, size.height());
    sky.setColorAt(0, QColor(25, 55, 110));
    sky.setColorAt(1, QColor(70, 130, 200));
    painter.fillRect(pixmap.rect(), sky);

    // A rack of modules along the bottom.
    const int moduleWidth = 46;
    const int top = size.height() - 110;
    for (int module = 0; module < 7; ++module) {
        const QRectF box(30 + module * (moduleWidth + 6), top, moduleWidth, 80);
        painter.setPen(QPen(QColor(30, 30, 30), 1.5));
        painter.setBrush(module == 0 ? QColor(90, 90, 95) : QColor(200, 205, 210));
        painter.drawRoundedRect(box, 3, 3);
        painter.setBrush(QColor(40, 45, 50));
        painter.drawRect(box.adjusted(8, 10, -8, -50));
        painter.setPen(Qt::NoPen);
        for (int led = 0; led < 4; ++led) {
            painter.setBrush((module + led) % 3 == 0 ? QColor(250, 170, 0) : QColor(50, 210, 70));
            painter.drawEllipse(QPointF(box.left() + 10 + led * 9, box.top() + 44), 3, 3);
        }
    }

    QFont title(QStringLiteral("DejaVu Sans"));
    title.setPixelSize(56);
    title.setBold(true);
    painter.setFont(title);
    painter.setPen(Qt::white);
    painter.drawText(QRect(0, 24, size.width(), 70), Qt::AlignHCenter | Qt::AlignVCenter, QStringLiteral("Tavrel"));
    QFont subtitle(QStringLiteral("DejaVu Sans"));
    subtitle.setPixelSize(15);
    painter.setFont(subtitle);
    painter.setPen(QColor(220, 230, 245));
    painter.drawText(QRect(0, 92, size.width(), 24), Qt::AlignHCenter | Qt::AlignVCenter,
                     QStringLiteral("Live PLC values for spreadsheets and web clients"));
    painter.end();
    return pixmap;
}

} // namespace tavrel::ui
