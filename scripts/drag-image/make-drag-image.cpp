// Renders the drop-target picture shown at the top of the main window and
// writes it as an sRGB-tagged PNG (usage: make-drag-image OUTPUT.png).

#include <QBuffer>
#include <QColorSpace>
#include <QFile>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QPainterPath>
#include <QtEndian>

#include <array>
#include <cstdio>

namespace {

constexpr int Width = 500;
constexpr int Height = 70;
constexpr int DotsPerMeter = 4724; // 120 dpi, matches the other artwork

const QColor Background(0xf5, 0xf8, 0xfb);
const QColor Border(0x8a, 0xa4, 0xbf);
const QColor Accent(0x4a, 0x6f, 0x96);
const QColor TitleText(0x2b, 0x3a, 0x4a);
const QColor HintText(0x6b, 0x7a, 0x8a);

// Two stacked film frames stand for the front and rear movie of one recording.
void drawFilmStrip(QPainter &p, const QRectF &area)
{
    const qreal holeW = 3.5, holeH = 3.0, margin = 4.0;
    p.setPen(Qt::NoPen);
    p.setBrush(Accent);
    p.drawRoundedRect(area, 3.0, 3.0);

    // Sprocket holes along both edges, punched out in the background colour.
    p.setBrush(Background);
    const int holes = 6;
    const qreal step = (area.height() - 2 * margin) / holes;
    for (int i = 0; i < holes; ++i) {
        const qreal y = area.top() + margin + i * step + (step - holeH) / 2;
        p.drawRoundedRect(QRectF(area.left() + 2.5, y, holeW, holeH), 0.8, 0.8);
        p.drawRoundedRect(QRectF(area.right() - 2.5 - holeW, y, holeW, holeH), 0.8, 0.8);
    }

    const qreal frameX = area.left() + 2.5 + holeW + 3.0;
    const qreal frameW = area.width() - 2 * (2.5 + holeW + 3.0);
    const qreal frameH = (area.height() - 2 * margin - 3.0) / 2;
    for (int i = 0; i < 2; ++i) {
        const QRectF frame(frameX, area.top() + margin + i * (frameH + 3.0), frameW, frameH);
        p.setBrush(QColor(0xe4, 0xec, 0xf4));
        p.drawRect(frame);
        // Letters would be unreadable at this size, so a lens dot marks each camera.
        p.setBrush(Accent);
        p.drawEllipse(frame.center(), frameH * 0.22, frameH * 0.22);
    }
}

// Arrow pointing down into the film strip: "drop it here".
void drawDropArrow(QPainter &p, const QPointF &tip)
{
    QPainterPath arrow;
    arrow.moveTo(tip);
    arrow.lineTo(tip + QPointF(-7.0, -7.0));
    arrow.lineTo(tip + QPointF(-2.8, -7.0));
    arrow.lineTo(tip + QPointF(-2.8, -15.0));
    arrow.lineTo(tip + QPointF(2.8, -15.0));
    arrow.lineTo(tip + QPointF(2.8, -7.0));
    arrow.lineTo(tip + QPointF(7.0, -7.0));
    arrow.closeSubpath();
    p.setPen(QPen(Background, 2.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(QColor(0xe0, 0x8a, 0x2e));
    p.drawPath(arrow);
}

QImage renderImage()
{
    QImage image(Width, Height, QImage::Format_RGB32);
    image.setDotsPerMeterX(DotsPerMeter);
    image.setDotsPerMeterY(DotsPerMeter);
    image.fill(Background);

    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    // Half-pixel offset keeps the 1.5 px dashed line crisp.
    QPen dash(Border, 1.5, Qt::CustomDashLine, Qt::RoundCap);
    dash.setDashPattern({4.0, 3.0});
    p.setPen(dash);
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(3.5, 3.5, Width - 7.0, Height - 7.0), 9.0, 9.0);

    drawFilmStrip(p, QRectF(26.0, 14.0, 32.0, 44.0));
    drawDropArrow(p, QPointF(62.0, 24.0));

    const qreal textLeft = 84.0;
    QFont title(QStringLiteral("DejaVu Sans"));
    title.setPixelSize(17);
    title.setWeight(QFont::DemiBold);
    p.setFont(title);
    p.setPen(TitleText);
    p.drawText(QRectF(textLeft, 12.0, Width - textLeft - 16.0, 24.0),
               Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Drop AVI movies or folders here"));

    QFont hint(QStringLiteral("DejaVu Sans"));
    hint.setPixelSize(12);
    p.setFont(hint);
    p.setPen(HintText);
    p.drawText(QRectF(textLeft, 37.0, Width - textLeft - 16.0, 20.0),
               Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("front + rear camera, GPS track"));
    p.end();

    // Qt embeds an iCCP profile only when the image carries a colour space.
    image.setColorSpace(QColorSpace(QColorSpace::SRgb));
    return image;
}

quint32 crc32(const QByteArray &data)
{
    static const auto table = [] {
        std::array<quint32, 256> t{};
        for (quint32 n = 0; n < 256; ++n) {
            quint32 c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    quint32 c = 0xffffffffu;
    for (const char byte : data)
        c = table[(c ^ static_cast<quint8>(byte)) & 0xff] ^ (c >> 8);
    return c ^ 0xffffffffu;
}

void appendBigEndian(QByteArray &out, quint32 value)
{
    char buf[4];
    qToBigEndian(value, buf);
    out.append(buf, 4);
}

// Some viewers ignore iCCP but honour cHRM, so both describe the sRGB gamut.
QByteArray chrmChunk()
{
    QByteArray typeAndData("cHRM");
    for (const quint32 v : {31270u, 32900u, 64000u, 33000u, 30000u, 60000u, 15000u, 6000u})
        appendBigEndian(typeAndData, v);
    QByteArray chunk;
    appendBigEndian(chunk, typeAndData.size() - 4);
    chunk += typeAndData;
    appendBigEndian(chunk, crc32(typeAndData));
    return chunk;
}

// Qt 6 writes no cHRM, so splice one in ahead of the first IDAT (it must precede image data).
bool insertChrm(QByteArray &png)
{
    static const QByteArray signature("\x89PNG\r\n\x1a\n", 8);
    if (!png.startsWith(signature))
        return false;
    qsizetype pos = signature.size();
    while (pos + 8 <= png.size()) {
        const quint32 length = qFromBigEndian<quint32>(png.constData() + pos);
        const QByteArray type = png.mid(pos + 4, 4);
        if (type == "cHRM")
            return true;
        if (type == "IDAT") {
            png.insert(pos, chrmChunk());
            return true;
        }
        pos += 12 + qsizetype(length);
    }
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv); // fonts need a platform; run with QT_QPA_PLATFORM=offscreen
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
        return 2;
    }

    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    // Qt 6 takes 0-100 here and maps it onto zlib levels; 9 would mean nearly uncompressed.
    writer.setCompression(100);
    if (!writer.write(renderImage())) {
        std::fprintf(stderr, "PNG encoding failed: %s\n", qPrintable(writer.errorString()));
        return 1;
    }
    buffer.close();

    if (!insertChrm(png)) {
        std::fprintf(stderr, "unexpected PNG layout, cannot add cHRM\n");
        return 1;
    }

    QFile out(QString::fromLocal8Bit(argv[1]));
    if (!out.open(QIODevice::WriteOnly) || out.write(png) != png.size()) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
