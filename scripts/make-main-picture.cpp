// Paints the main window's picture: a Hungarian lakeside village at dusk.
// Build and run from the repository root (Qt 6 development files needed):
//   g++ -std=c++20 -O2 -fPIC scripts/make-main-picture.cpp -o build/make-main-picture
//       $(pkg-config --cflags --libs Qt6Gui)     (one command line)
//   QT_QPA_PLATFORM=offscreen build/make-main-picture src/app/resources/images/main_picture.jpg
// An optional second argument also writes a PNG copy for looking at the result.
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QRandomGenerator>
#include <QTextStream>
#include <cmath>
#include <numbers>

namespace {

constexpr int kWidth = 521;
constexpr int kHeight = 298;
constexpr double kHorizon = 168.0;  // where the lake meets the far shore
constexpr QPointF kSun{150.0, 150.0};

// A smooth ridge line through the given heights, closed along the bottom edge.
QPainterPath ridge(const std::vector<QPointF>& points, double bottom) {
    QPainterPath path(QPointF(points.front().x(), bottom));
    path.lineTo(points.front());
    for (std::size_t i = 1; i < points.size(); ++i) {
        const QPointF a = points[i - 1];
        const QPointF b = points[i];
        const double mid = (a.x() + b.x()) / 2.0;
        path.cubicTo(QPointF(mid, a.y()), QPointF(mid, b.y()), b);
    }
    path.lineTo(QPointF(points.back().x(), bottom));
    path.closeSubpath();
    return path;
}

void paintSky(QPainter& p) {
    QLinearGradient sky(0, 0, 0, kHorizon);
    sky.setColorAt(0.0, QColor(28, 40, 88));
    sky.setColorAt(0.35, QColor(86, 78, 140));
    sky.setColorAt(0.62, QColor(196, 110, 120));
    sky.setColorAt(0.85, QColor(244, 160, 96));
    sky.setColorAt(1.0, QColor(252, 206, 130));
    p.fillRect(QRectF(0, 0, kWidth, kHorizon + 2), sky);

    QRadialGradient glow(kSun, 170);
    glow.setColorAt(0.0, QColor(255, 240, 190, 230));
    glow.setColorAt(0.12, QColor(255, 214, 140, 170));
    glow.setColorAt(0.5, QColor(255, 170, 110, 60));
    glow.setColorAt(1.0, QColor(255, 150, 110, 0));
    p.fillRect(QRectF(0, 0, kWidth, kHorizon + 2), glow);

    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 246, 214));
    p.drawEllipse(kSun, 13, 13);

    // A few faint stars high up where the sky is already dark.
    QRandomGenerator rng(1956);
    for (int i = 0; i < 40; ++i) {
        const double x = rng.bounded(kWidth);
        const double y = rng.bounded(60.0);
        const int alpha = 60 + rng.bounded(120) - static_cast<int>(y * 1.5);
        if (alpha <= 0 || std::abs(x - kSun.x()) < 90) {
            continue;
        }
        p.setBrush(QColor(255, 255, 240, alpha));
        p.drawEllipse(QPointF(x, y), 0.8, 0.8);
    }
}

void paintClouds(QPainter& p) {
    struct Cloud {
        double x, y, w, h;
        QColor colour;
    };
    const Cloud clouds[] = {
        {300, 48, 170, 12, QColor(236, 150, 150, 110)},
        {360, 60, 120, 8, QColor(250, 180, 150, 120)},
        {40, 70, 150, 9, QColor(220, 130, 150, 100)},
        {420, 96, 110, 7, QColor(255, 196, 150, 120)},
        {200, 88, 90, 6, QColor(255, 205, 160, 110)},
        {-20, 40, 130, 10, QColor(160, 110, 160, 90)},
    };
    p.setPen(Qt::NoPen);
    for (const Cloud& c : clouds) {
        QRadialGradient soft(QPointF(c.x + c.w / 2, c.y), c.w / 2);
        soft.setColorAt(0.0, c.colour);
        QColor edge = c.colour;
        edge.setAlpha(0);
        soft.setColorAt(1.0, edge);
        p.save();
        p.translate(c.x + c.w / 2, c.y);
        p.scale(1.0, c.h / (c.w / 2));
        p.translate(-(c.x + c.w / 2), -c.y);
        p.setBrush(soft);
        p.drawEllipse(QPointF(c.x + c.w / 2, c.y), c.w / 2, c.w / 2);
        p.restore();
    }
}

void paintFarShore(QPainter& p) {
    // The hills across the lake, pale with the haze of the evening.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(150, 120, 160));
    p.drawPath(ridge({{0, 150},
                      {60, 138},
                      {120, 146},
                      {200, 128},
                      {250, 122},
                      {290, 134},
                      {360, 140},
                      {430, 126},
                      {521, 136}},
                     kHorizon + 1));
    p.setBrush(QColor(118, 96, 140));
    p.drawPath(
        ridge({{0, 160}, {80, 154}, {170, 160}, {260, 150}, {340, 158}, {430, 150}, {521, 156}},
              kHorizon + 1));
}

void paintLake(QPainter& p) {
    QLinearGradient water(0, kHorizon, 0, kHeight);
    water.setColorAt(0.0, QColor(236, 164, 120));
    water.setColorAt(0.25, QColor(170, 120, 140));
    water.setColorAt(0.7, QColor(70, 74, 120));
    water.setColorAt(1.0, QColor(36, 44, 84));
    p.fillRect(QRectF(0, kHorizon, kWidth, kHeight - kHorizon), water);

    // The sun's path on the water: short bright strokes that widen towards the viewer.
    QRandomGenerator rng(1848);
    for (double y = kHorizon + 2; y < kHeight; y += 2.5) {
        const double depth = (y - kHorizon) / (kHeight - kHorizon);
        const double spread = 10 + depth * 70;
        const int strokes = 2 + static_cast<int>(depth * 4);
        for (int i = 0; i < strokes; ++i) {
            const double x = kSun.x() + (rng.generateDouble() * 2 - 1) * spread;
            const double len = 4 + rng.generateDouble() * (8 + depth * 18);
            const int alpha = static_cast<int>(200 * (1.0 - depth * 0.7) * rng.generateDouble());
            p.setPen(QPen(QColor(255, 226, 160, alpha), 1.2));
            p.drawLine(QPointF(x - len / 2, y), QPointF(x + len / 2, y));
        }
    }
    // Gentle ripples across the whole lake.
    for (double y = kHorizon + 6; y < kHeight; y += 5) {
        const double depth = (y - kHorizon) / (kHeight - kHorizon);
        for (int i = 0; i < 6; ++i) {
            const double x = rng.generateDouble() * kWidth;
            const double len = 10 + rng.generateDouble() * 30 * (0.5 + depth);
            p.setPen(QPen(QColor(210, 190, 220, static_cast<int>(40 + 30 * depth)), 1.0));
            p.drawLine(QPointF(x, y), QPointF(x + len, y));
        }
    }
}

void paintSailboat(QPainter& p, QPointF at, double scale) {
    p.save();
    p.translate(at);
    p.scale(scale, scale);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(40, 34, 60));
    QPainterPath hull;
    hull.moveTo(-9, 0);
    hull.lineTo(9, 0);
    hull.lineTo(6, 3);
    hull.lineTo(-6, 3);
    hull.closeSubpath();
    p.drawPath(hull);
    QPainterPath sail;
    sail.moveTo(0, -1);
    sail.lineTo(0, -22);
    sail.lineTo(8, -2);
    sail.closeSubpath();
    p.setBrush(QColor(250, 236, 214));
    p.drawPath(sail);
    QPainterPath jib;
    jib.moveTo(-1, -2);
    jib.lineTo(-1, -17);
    jib.lineTo(-7, -2);
    jib.closeSubpath();
    p.setBrush(QColor(236, 196, 176));
    p.drawPath(jib);
    // Its broken reflection.
    p.setBrush(QColor(250, 236, 214, 60));
    p.drawRect(QRectF(0, 4, 5, 2));
    p.drawRect(QRectF(1, 8, 3, 1.5));
    p.restore();
}

void paintHouse(QPainter& p, double x, double ground, double w, double h, bool lit) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(232, 214, 190));
    p.drawRect(QRectF(x, ground - h, w, h));
    QPainterPath roof;
    roof.moveTo(x - 2, ground - h);
    roof.lineTo(x + w / 2, ground - h - w * 0.45);
    roof.lineTo(x + w + 2, ground - h);
    roof.closeSubpath();
    p.setBrush(QColor(150, 62, 48));
    p.drawPath(roof);
    p.setBrush(lit ? QColor(255, 210, 110) : QColor(90, 80, 96));
    p.drawRect(QRectF(x + w * 0.2, ground - h * 0.65, w * 0.22, h * 0.3));
    p.drawRect(QRectF(x + w * 0.58, ground - h * 0.65, w * 0.22, h * 0.3));
}

void paintChurch(QPainter& p, double x, double ground) {
    p.setPen(Qt::NoPen);
    // Nave.
    p.setBrush(QColor(240, 228, 206));
    p.drawRect(QRectF(x, ground - 20, 34, 20));
    QPainterPath roof;
    roof.moveTo(x - 2, ground - 20);
    roof.lineTo(x + 17, ground - 31);
    roof.lineTo(x + 36, ground - 20);
    roof.closeSubpath();
    p.setBrush(QColor(128, 58, 50));
    p.drawPath(roof);
    // Tower with its onion-shaped helm and cross.
    const double tx = x - 11;
    p.setBrush(QColor(246, 236, 214));
    p.drawRect(QRectF(tx, ground - 44, 13, 44));
    p.setBrush(QColor(86, 64, 72));
    p.drawEllipse(QRectF(tx + 3.5, ground - 38, 6, 6));  // clock face
    p.setBrush(QColor(255, 214, 120));
    p.drawRect(QRectF(tx + 4.5, ground - 26, 4, 7));  // lit belfry window
    QPainterPath helm;
    helm.moveTo(tx - 1, ground - 44);
    helm.cubicTo(tx - 2, ground - 52, tx + 15, ground - 52, tx + 14, ground - 44);
    helm.closeSubpath();
    p.setBrush(QColor(70, 110, 96));
    p.drawPath(helm);
    QPainterPath spire;
    spire.moveTo(tx + 3, ground - 50);
    spire.lineTo(tx + 6.5, ground - 66);
    spire.lineTo(tx + 10, ground - 50);
    spire.closeSubpath();
    p.drawPath(spire);
    p.setPen(QPen(QColor(255, 226, 150), 1.0));
    p.drawLine(QPointF(tx + 6.5, ground - 66), QPointF(tx + 6.5, ground - 73));
    p.drawLine(QPointF(tx + 4.5, ground - 70.5), QPointF(tx + 8.5, ground - 70.5));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(246, 236, 214));
    p.drawRect(QRectF(x + 23, ground - 15, 5, 8));  // door, in shade
}

void paintPoplar(QPainter& p, double x, double ground, double height, QColor colour) {
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    QPainterPath tree;
    tree.moveTo(x, ground);
    tree.cubicTo(x - height * 0.16, ground - height * 0.4, x - height * 0.08, ground - height * 0.9,
                 x, ground - height);
    tree.cubicTo(x + height * 0.08, ground - height * 0.9, x + height * 0.16, ground - height * 0.4,
                 x, ground);
    p.drawPath(tree);
}

void paintRoundTree(QPainter& p, double x, double ground, double r, QColor colour) {
    p.setPen(Qt::NoPen);
    p.setBrush(colour.darker(130));
    p.drawRect(QRectF(x - 1, ground - r, 2, r));
    p.setBrush(colour);
    p.drawEllipse(QPointF(x, ground - r * 1.5), r, r * 0.9);
    p.drawEllipse(QPointF(x - r * 0.6, ground - r * 1.1), r * 0.7, r * 0.6);
    p.drawEllipse(QPointF(x + r * 0.6, ground - r * 1.15), r * 0.7, r * 0.6);
}

void paintVillageHill(QPainter& p) {
    // The near shore on the right, rising to the village.
    const QPainterPath hill = ridge({{150, 300},
                                     {215, 246},
                                     {262, 212},
                                     {310, 190},
                                     {355, 177},
                                     {410, 168},
                                     {470, 172},
                                     {521, 166}},
                                    kHeight);
    QLinearGradient grass(0, 160, 0, kHeight);
    grass.setColorAt(0.0, QColor(106, 116, 70));
    grass.setColorAt(0.5, QColor(62, 78, 52));
    grass.setColorAt(1.0, QColor(28, 38, 34));
    p.setPen(Qt::NoPen);
    p.setBrush(grass);
    p.drawPath(hill);

    // Trees and houses stand on the ridge; the church crowns it.
    paintPoplar(p, 318, 186, 40, QColor(54, 70, 50));
    paintPoplar(p, 326, 184, 34, QColor(62, 80, 56));
    paintHouse(p, 340, 180, 18, 11, true);
    paintRoundTree(p, 366, 177, 7, QColor(72, 92, 60));
    paintChurch(p, 392, 171);
    paintHouse(p, 438, 172, 20, 12, false);
    paintHouse(p, 466, 171, 16, 10, true);
    paintRoundTree(p, 490, 169, 8, QColor(66, 86, 56));
    paintPoplar(p, 508, 168, 36, QColor(50, 66, 48));

    // Vine rows running down the slope below the village.
    p.save();
    p.setClipPath(hill);
    for (int row = 0; row < 16; ++row) {
        const double y0 = 196 + row * 6.5;
        QPainterPath line;
        line.moveTo(200 + row * 4, y0 + 40);
        line.cubicTo(340, y0 - 6, 430, y0 - 12, 530, y0 - 14);
        p.setPen(QPen(QColor(36, 52, 34, 150), 2.0));
        p.drawPath(line);
        p.setPen(QPen(QColor(140, 150, 84, 70), 1.0));
        p.drawPath(line.translated(0, -1.5));
    }
    p.restore();
}

void paintReeds(QPainter& p) {
    // Reeds at the lower left, dark against the bright water.
    QRandomGenerator rng(1222);
    for (int i = 0; i < 70; ++i) {
        const double x = rng.generateDouble() * 120 - 5;
        const double base = kHeight + 2;
        const double height = 25 + rng.generateDouble() * 45 * (1.0 - x / 160.0);
        const double lean = (rng.generateDouble() - 0.3) * 12;
        QPainterPath reed;
        reed.moveTo(x, base);
        reed.quadTo(x + lean * 0.3, base - height * 0.6, x + lean, base - height);
        p.setPen(QPen(QColor(24, 30, 30), 1.2 + rng.generateDouble()));
        p.setBrush(Qt::NoBrush);
        p.drawPath(reed);
        if (i % 6 == 0) {
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(60, 40, 30));
            p.drawEllipse(QPointF(x + lean, base - height + 4), 1.8, 5);
        }
    }
}

void paintBirds(QPainter& p) {
    p.setPen(QPen(QColor(40, 30, 60, 200), 1.1));
    p.setBrush(Qt::NoBrush);
    const QPointF birds[] = {{250, 70}, {262, 76}, {241, 80}, {275, 66}};
    for (const QPointF& b : birds) {
        QPainterPath wing;
        wing.moveTo(b + QPointF(-4, 0));
        wing.quadTo(b + QPointF(-2, -2.5), b);
        wing.quadTo(b + QPointF(2, -2.5), b + QPointF(4, 0));
        p.drawPath(wing);
    }
}

void paintFrame(QPainter& p) {
    // A soft darkening towards the edges, like an old photograph.
    QRadialGradient vignette(QPointF(kWidth / 2.0, kHeight / 2.0), kWidth * 0.62);
    vignette.setColorAt(0.6, QColor(0, 0, 0, 0));
    vignette.setColorAt(1.0, QColor(10, 10, 30, 110));
    p.fillRect(QRectF(0, 0, kWidth, kHeight), vignette);
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        QTextStream(stderr) << "usage: make-main-picture <picture.jpg> [copy.png]\n";
        return 2;
    }
    QImage image(kWidth, kHeight, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    paintSky(p);
    paintClouds(p);
    paintBirds(p);
    paintFarShore(p);
    paintLake(p);
    paintSailboat(p, QPointF(205, 196), 1.0);
    paintSailboat(p, QPointF(92, 182), 0.6);
    paintVillageHill(p);
    paintReeds(p);
    paintFrame(p);
    p.end();

    if (!image.save(QString::fromLocal8Bit(argv[1]), "JPG", 88)) {
        QTextStream(stderr) << "cannot write " << argv[1] << "\n";
        return 1;
    }
    if (argc > 2 && !image.save(QString::fromLocal8Bit(argv[2]), "PNG")) {
        QTextStream(stderr) << "cannot write " << argv[2] << "\n";
        return 1;
    }
    return 0;
}
