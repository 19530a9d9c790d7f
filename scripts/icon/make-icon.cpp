// Draws the program's icon, in the drop-target picture's look, into an icon theme
// folder: THEME_DIR/scalable/apps/NAME.svg and THEME_DIR/NxN/apps/NAME.png
// (usage: make-icon THEME_DIR NAME). Both come from the same shapes, so the
// pixel sizes always match the scalable one.

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QTextStream>

#include <cmath>
#include <cstdio>
#include <vector>

namespace {

constexpr int Canvas = 256; // the SVG's view box; the PNG sizes scale from it
constexpr int PixelSizes[] = {48, 128, 256};

const QColor Accent(0x4a, 0x6f, 0x96);
const QColor FrameColor(0xe4, 0xec, 0xf4);
const QColor PinColor(0xe0, 0x8a, 0x2e);

struct Shape
{
    QPainterPath path; // odd-even filled, so inner outlines punch holes
    QColor fill;
};

QPainterPath oddEvenPath()
{
    QPainterPath path;
    path.setFillRule(Qt::OddEvenFill);
    return path;
}

// A film strip with sprocket holes cut through it, like the drop-target picture's.
QPainterPath filmStrip(const QRectF &area, const QSizeF &hole, qreal holeInset)
{
    QPainterPath strip = oddEvenPath();
    strip.addRoundedRect(area, 16, 16);
    const int holes = 6;
    const qreal step = (area.height() - 2 * holeInset) / holes;
    for (int i = 0; i < holes; ++i) {
        const qreal y = area.top() + holeInset + i * step + (step - hole.height()) / 2;
        for (const qreal x : {area.left() + holeInset, area.right() - holeInset - hole.width()})
            strip.addRoundedRect(QRectF(QPointF(x, y), hole), 3, 3);
    }
    return strip;
}

// A lens with a glint cut out of it: one per camera.
QPainterPath lens(const QPointF &center, qreal radius)
{
    QPainterPath path = oddEvenPath();
    path.addEllipse(center, radius, radius);
    path.addEllipse(center - QPointF(radius, radius) * 0.35, radius * 0.3, radius * 0.3);
    return path;
}

// A map pin for the GPS track: a circle narrowing to a tip, with a hole in its head.
QPainterPath mapPin(const QPointF &center, qreal radius)
{
    const qreal tipDistance = 1.9 * radius;
    // Angle between the downward axis and the points where the sides touch the circle.
    const qreal touch = std::acos(radius / tipDistance) * 180 / M_PI;
    QPainterPath pin = oddEvenPath();
    pin.moveTo(center + QPointF(0, tipDistance));
    pin.arcTo(QRectF(center.x() - radius, center.y() - radius, 2 * radius, 2 * radius), -90 + touch,
              360 - 2 * touch);
    pin.closeSubpath();
    pin.addEllipse(center, radius * 0.38, radius * 0.38);
    return pin;
}

// The front and rear movie as two frames of one strip, and the track beside them.
std::vector<Shape> iconShapes()
{
    const QRectF strip(18, 16, 172, 224);
    const QSizeF hole(14, 16);
    const qreal holeInset = 10;
    const qreal frameInset = holeInset + hole.width() + 10;
    const qreal frameGap = 12;
    const qreal frameHeight = (strip.height() - 2 * holeInset - frameGap) / 2;

    std::vector<Shape> shapes{{filmStrip(strip, hole, holeInset), Accent}};
    for (int i = 0; i < 2; ++i) {
        const QRectF frame(strip.left() + frameInset,
                           strip.top() + holeInset + i * (frameHeight + frameGap),
                           strip.width() - 2 * frameInset, frameHeight);
        QPainterPath framePath;
        framePath.addRect(frame);
        shapes.push_back({framePath, FrameColor});
        shapes.push_back({lens(frame.center(), frameHeight * 0.26), Accent});
    }
    shapes.push_back({mapPin(QPointF(194, 150), 42), PinColor});
    return shapes;
}

QString number(qreal value)
{
    return QString::number(value, 'g', 6);
}

QString svgPathData(const QPainterPath &path)
{
    QString data;
    for (int i = 0; i < path.elementCount(); ++i) {
        const QPainterPath::Element e = path.elementAt(i);
        const QString point = number(e.x) + ' ' + number(e.y);
        switch (e.type) {
        case QPainterPath::MoveToElement:
            data += (data.isEmpty() ? "M" : " M") + point;
            break;
        case QPainterPath::LineToElement:
            data += " L" + point;
            break;
        case QPainterPath::CurveToElement:
            data += " C" + point;
            break;
        case QPainterPath::CurveToDataElement:
            data += ' ' + point;
            break;
        }
    }
    return data;
}

bool writeSvg(const std::vector<Shape> &shapes, const QString &fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return false;
    QTextStream out(&file);
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << Canvas << "\" height=\""
        << Canvas << "\" viewBox=\"0 0 " << Canvas << ' ' << Canvas << "\">\n";
    for (const Shape &shape : shapes)
        out << "  <path fill=\"" << shape.fill.name() << "\" fill-rule=\"evenodd\" d=\""
            << svgPathData(shape.path) << "\"/>\n";
    out << "</svg>\n";
    out.flush();
    return out.status() == QTextStream::Ok;
}

bool writePng(const std::vector<Shape> &shapes, int size, const QString &fileName)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(qreal(size) / Canvas, qreal(size) / Canvas);
    p.setPen(Qt::NoPen);
    for (const Shape &shape : shapes) {
        p.setBrush(shape.fill);
        p.drawPath(shape.path);
    }
    p.end();
    return image.save(fileName, "png");
}

// Creates THEME_DIR/SUBDIR/apps and returns the path of NAME.SUFFIX in it.
QString iconFile(const QString &themeDir, const QString &subdir, const QString &name,
                 const QString &suffix)
{
    const QString dir = themeDir + '/' + subdir + "/apps";
    QDir().mkpath(dir);
    return dir + '/' + name + '.' + suffix;
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv); // run with QT_QPA_PLATFORM=offscreen
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s THEME_DIR NAME\n", argv[0]);
        return 2;
    }
    const QString themeDir = QString::fromLocal8Bit(argv[1]);
    const QString name = QString::fromLocal8Bit(argv[2]);
    const std::vector<Shape> shapes = iconShapes();

    QStringList written{iconFile(themeDir, "scalable", name, "svg")};
    if (!writeSvg(shapes, written.last())) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(written.last()));
        return 1;
    }
    for (const int size : PixelSizes) {
        written << iconFile(themeDir, QStringLiteral("%1x%1").arg(size), name, "png");
        if (!writePng(shapes, size, written.last())) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(written.last()));
            return 1;
        }
    }
    for (const QString &file : written)
        std::printf("wrote %s\n", qPrintable(file));
    return 0;
}
