// ashgrove-imagegen: draws every image of the launcher's resource tree
// (":/images/launcher/") and writes them, together with the resource
// collection file that lists them, into a folder of the build tree.
//
//   ashgrove-imagegen <output folder> [<icon folder> <icon name>]
//
// With an icon folder it also draws the application icon for desktops, as
// <icon folder>/<N>x<N>/apps/<icon name>.png in the sizes of the hicolor
// theme.
//
// The output depends only on this program and the installed Liberation
// fonts: there is no clock, no randomness without a fixed seed, and PNG and
// JPEG are written with fixed settings.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QStringList>
#include <QTextStream>

#include <cmath>
#include <cstdio>
#include <cstdint>
#include <functional>

namespace {

// Colours of the launcher's look: dark slate panels, old gold frames and the
// pale parchment of the widget texts (#DADABC).
const QColor Ink(14, 17, 20);
const QColor Gold(201, 167, 90);
const QColor GoldDark(122, 98, 48);
const QColor GoldLight(236, 214, 150);
const QColor Parchment(0xDA, 0xDA, 0xBC);
const QColor IconText(250, 246, 230);
const QColor Moss(0x8E, 0xD8, 0x38);

QString g_OutputDirectory;
QStringList g_Written;
bool g_Failed = false;

// Small deterministic generator (64-bit linear congruential).
class TRandom
{
public:
  explicit TRandom(std::uint64_t Seed) : m_State(Seed) {}
  double next()
  {
    m_State = m_State * 6364136223846793005ULL + 1442695040888963407ULL;
    return double(m_State >> 11) / double(1ULL << 53);
  }
  double range(double Low, double High) { return Low + (High - Low) * next(); }

private:
  std::uint64_t m_State;
};

QImage canvas(int Width, int Height)
{
  QImage Image(Width, Height, QImage::Format_ARGB32_Premultiplied);
  Image.fill(Qt::transparent);
  return Image;
}

void save(const QImage& Image, const QString& Name)
{
  const QString Path = g_OutputDirectory + "/" + Name;
  const bool Jpeg = Name.endsWith(".jpg");
  const QImage Output = Jpeg ? Image.convertToFormat(QImage::Format_RGB32) : Image.convertToFormat(QImage::Format_ARGB32);
  if (!Output.save(Path, Jpeg ? "JPG" : "PNG", Jpeg ? 92 : -1)) {
    std::fprintf(stderr, "ashgrove-imagegen: cannot write %s\n", qPrintable(Path));
    g_Failed = true;
    return;
  }
  g_Written << Name;
}

QFont sansFont(qreal PixelSize, bool SmallCaps = true, int Weight = QFont::Bold)
{
  QFont Font("Liberation Sans");
  Font.setPixelSize(int(std::lround(PixelSize)));
  Font.setWeight(Weight);
  if (SmallCaps)
    Font.setCapitalization(QFont::SmallCaps);
  Font.setHintingPreference(QFont::PreferNoHinting);
  return Font;
}

QFont serifFont(qreal PixelSize, qreal LetterSpacing = 0)
{
  QFont Font("Liberation Serif");
  Font.setPixelSize(int(std::lround(PixelSize)));
  Font.setWeight(QFont::Bold);
  Font.setLetterSpacing(QFont::AbsoluteSpacing, LetterSpacing);
  Font.setHintingPreference(QFont::PreferNoHinting);
  return Font;
}

void preparePainter(QPainter& Painter)
{
  Painter.setRenderHint(QPainter::Antialiasing, true);
  Painter.setRenderHint(QPainter::TextAntialiasing, true);
  Painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
}

// Text as a path whose centre of the ink lies at Centre.
QPainterPath centredText(const QFont& Font, const QString& Text, QPointF Centre)
{
  QPainterPath Path;
  Path.addText(0, 0, Font, Text);
  const QRectF Bounds = Path.boundingRect();
  Path.translate(Centre - Bounds.center());
  return Path;
}

// Turns an image into a dimmed, desaturated copy (the "disabled" logos).
QImage dimmed(const QImage& Source)
{
  QImage Result = Source.convertToFormat(QImage::Format_ARGB32);
  for (int Y = 0; Y < Result.height(); ++Y) {
    auto* Line = reinterpret_cast<QRgb*>(Result.scanLine(Y));
    for (int X = 0; X < Result.width(); ++X) {
      const QRgb Pixel = Line[X];
      const int Grey = (qRed(Pixel) * 30 + qGreen(Pixel) * 59 + qBlue(Pixel) * 11) / 100;
      const int Value = Grey * 62 / 100;
      const int Alpha = qAlpha(Pixel) * 85 / 100;
      Line[X] = qRgba(Value, Value, std::min(255, Value + 6), Alpha);
    }
  }
  return Result;
}

// ---------------------------------------------------------------- buttons

enum class EButtonState { Idle, Hover, Pressed };

QImage buttonImage(const QColor& Base, EButtonState State)
{
  QImage Image = canvas(98, 40);
  QPainter Painter(&Image);
  preparePainter(Painter);
  QColor Top = Base.lighter(150);
  QColor Middle = Base;
  QColor Bottom = Base.darker(170);
  if (State == EButtonState::Hover) {
    Top = Base.lighter(185);
    Middle = Base.lighter(125);
    Bottom = Base.darker(135);
  } else if (State == EButtonState::Pressed) {
    Top = Base.darker(190);
    Middle = Base.darker(130);
    Bottom = Base.darker(105);
  }
  const QRectF Outer(0.5, 0.5, 97, 39);
  QLinearGradient Fill(0, 0, 0, 40);
  Fill.setColorAt(0.0, Top);
  Fill.setColorAt(0.48, Middle);
  Fill.setColorAt(0.52, Middle.darker(112));
  Fill.setColorAt(1.0, Bottom);
  Painter.setPen(QPen(QColor(6, 7, 8, 235), 1.0));
  Painter.setBrush(Fill);
  Painter.drawRoundedRect(Outer, 4, 4);
  // Thin gold inner frame, the launcher's common trim.
  Painter.setBrush(Qt::NoBrush);
  Painter.setPen(QPen(QColor(GoldLight.red(), GoldLight.green(), GoldLight.blue(), State == EButtonState::Pressed ? 60 : 110), 1.0));
  Painter.drawRoundedRect(Outer.adjusted(1.5, 1.5, -1.5, -1.5), 3, 3);
  if (State != EButtonState::Pressed) {
    QLinearGradient Gloss(0, 2, 0, 20);
    Gloss.setColorAt(0, QColor(255, 255, 255, State == EButtonState::Hover ? 70 : 50));
    Gloss.setColorAt(1, QColor(255, 255, 255, 0));
    Painter.setPen(Qt::NoPen);
    Painter.setBrush(Gloss);
    Painter.drawRoundedRect(QRectF(3, 3, 92, 16), 2, 2);
  } else {
    QLinearGradient Shade(0, 2, 0, 12);
    Shade.setColorAt(0, QColor(0, 0, 0, 90));
    Shade.setColorAt(1, QColor(0, 0, 0, 0));
    Painter.setPen(Qt::NoPen);
    Painter.setBrush(Shade);
    Painter.drawRoundedRect(QRectF(3, 3, 92, 12), 2, 2);
  }
  return Image;
}

// ------------------------------------------------------------------ icons

// The word of an action with its glyph in front, both white with a soft
// shadow, centred in 86 x 28 (the contents of a 98 x 40 button).
QImage actionIcon(const QString& Word, const std::function<void(QPainter&, const QRectF&)>& DrawGlyph)
{
  QImage Image = canvas(86, 28);
  QPainter Painter(&Image);
  preparePainter(Painter);
  const QFont Font = sansFont(14);
  const QFontMetricsF Metrics(Font);
  const qreal GlyphSize = 14;
  const qreal Gap = 5;
  const qreal TextWidth = Metrics.horizontalAdvance(Word);
  const qreal Total = GlyphSize + Gap + TextWidth;
  const qreal Left = (86 - Total) / 2;
  const QRectF GlyphBox(Left, (28 - GlyphSize) / 2, GlyphSize, GlyphSize);
  const qreal Baseline = (28 + Metrics.capHeight()) / 2;
  for (int Pass = 0; Pass < 2; ++Pass) {
    const QPointF Offset = Pass == 0 ? QPointF(0, 1.2) : QPointF(0, 0);
    const QColor Colour = Pass == 0 ? QColor(0, 0, 0, 150) : IconText;
    Painter.save();
    Painter.translate(Offset);
    Painter.setPen(QPen(Colour, 2.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    Painter.setBrush(Colour);
    DrawGlyph(Painter, GlyphBox);
    Painter.setFont(Font);
    Painter.setPen(Colour);
    Painter.drawText(QPointF(Left + GlyphSize + Gap, Baseline), Word);
    Painter.restore();
  }
  return Image;
}

void drawPlayGlyph(QPainter& Painter, const QRectF& Box)
{
  QPainterPath Path;
  Path.moveTo(Box.left() + 2, Box.top() + 1);
  Path.lineTo(Box.right() - 1, Box.center().y());
  Path.lineTo(Box.left() + 2, Box.bottom() - 1);
  Path.closeSubpath();
  Painter.setPen(QPen(Painter.pen().color(), 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  Painter.drawPath(Path);
}

void drawDownloadGlyph(QPainter& Painter, const QRectF& Box)
{
  const qreal X = Box.center().x();
  Painter.setBrush(Qt::NoBrush);
  Painter.drawLine(QPointF(X, Box.top() + 0.5), QPointF(X, Box.bottom() - 4));
  QPainterPath Head;
  Head.moveTo(X - 5, Box.bottom() - 8.5);
  Head.lineTo(X, Box.bottom() - 3.5);
  Head.lineTo(X + 5, Box.bottom() - 8.5);
  Painter.drawPath(Head);
  Painter.drawLine(QPointF(Box.left() + 1, Box.bottom() - 0.5), QPointF(Box.right() - 1, Box.bottom() - 0.5));
}

void drawUpdateGlyph(QPainter& Painter, const QRectF& Box)
{
  const QRectF Ring = Box.adjusted(1.5, 1.5, -1.5, -1.5);
  const QColor Colour = Painter.pen().color();
  Painter.setBrush(Qt::NoBrush);
  Painter.drawArc(Ring, 30 * 16, 150 * 16);
  Painter.drawArc(Ring, 210 * 16, 150 * 16);
  // Arrow heads at the ends of the two arcs.
  auto Head = [&](qreal AngleDegrees, qreal Direction) {
    const qreal Angle = AngleDegrees * M_PI / 180.0;
    const QPointF Tip(Ring.center().x() + Ring.width() / 2 * std::cos(Angle),
                      Ring.center().y() - Ring.height() / 2 * std::sin(Angle));
    const QPointF Tangent(-std::sin(Angle) * Direction, -std::cos(Angle) * Direction);
    const QPointF Normal(Tangent.y(), -Tangent.x());
    QPainterPath Path;
    Path.moveTo(Tip + Tangent * 3.5);
    Path.lineTo(Tip + Normal * 3.2);
    Path.lineTo(Tip - Normal * 3.2);
    Path.closeSubpath();
    Painter.save();
    Painter.setPen(Qt::NoPen);
    Painter.setBrush(Colour);
    Painter.drawPath(Path);
    Painter.restore();
  };
  Head(180, 1);
  Head(0, 1);
}

QImage unavailableIcon()
{
  // The status is not known: no action, only a muted "not available" sign.
  QImage Image = canvas(86, 28);
  QPainter Painter(&Image);
  preparePainter(Painter);
  const QRectF Box(35, 6, 16, 16);
  Painter.setPen(QPen(QColor(0, 0, 0, 120), 2.0));
  Painter.drawEllipse(Box.translated(0, 1));
  Painter.setPen(QPen(QColor(250, 230, 220, 170), 2.0, Qt::SolidLine, Qt::RoundCap));
  Painter.drawEllipse(Box);
  Painter.drawLine(QPointF(Box.left() + 3.2, Box.bottom() - 3.2), QPointF(Box.right() - 3.2, Box.top() + 3.2));
  return Image;
}

// ------------------------------------------------------------------ logos

// An ash tree in a gold medallion.
void drawEmblem(QPainter& Painter, const QPointF& Centre, qreal Radius, const QColor& Accent)
{
  Painter.save();
  QRadialGradient Plate(Centre - QPointF(0, Radius * 0.4), Radius * 1.3);
  Plate.setColorAt(0, Accent.darker(160));
  Plate.setColorAt(1, QColor(12, 14, 16));
  Painter.setPen(Qt::NoPen);
  Painter.setBrush(Plate);
  Painter.drawEllipse(Centre, Radius, Radius);

  // Trunk and branches.
  const QColor Bark(30, 24, 18);
  QPainterPath Trunk;
  Trunk.moveTo(Centre + QPointF(-Radius * 0.12, Radius * 0.72));
  Trunk.cubicTo(Centre + QPointF(-Radius * 0.08, Radius * 0.3), Centre + QPointF(-Radius * 0.1, Radius * 0.1),
                Centre + QPointF(-Radius * 0.04, -Radius * 0.1));
  Trunk.lineTo(Centre + QPointF(Radius * 0.04, -Radius * 0.1));
  Trunk.cubicTo(Centre + QPointF(Radius * 0.1, Radius * 0.1), Centre + QPointF(Radius * 0.08, Radius * 0.3),
                Centre + QPointF(Radius * 0.12, Radius * 0.72));
  Trunk.closeSubpath();

  // Canopy: overlapping leaf clusters, lit from the upper left.
  QPainterPath Canopy;
  Canopy.setFillRule(Qt::WindingFill);
  const struct { qreal x, y, r; } Clusters[] = {
      {0.0, -0.38, 0.34}, {-0.32, -0.2, 0.27}, {0.32, -0.2, 0.27}, {-0.18, -0.02, 0.25},
      {0.18, -0.02, 0.25}, {-0.45, 0.05, 0.16}, {0.45, 0.05, 0.16}, {0.0, -0.12, 0.3},
  };
  for (const auto& Cluster : Clusters)
    Canopy.addEllipse(Centre + QPointF(Cluster.x * Radius, Cluster.y * Radius), Cluster.r * Radius, Cluster.r * Radius * 0.9);
  Canopy = Canopy.simplified();
  QLinearGradient Leaves(Centre + QPointF(-Radius * 0.5, -Radius * 0.7), Centre + QPointF(Radius * 0.4, Radius * 0.2));
  Leaves.setColorAt(0, GoldLight);
  Leaves.setColorAt(0.55, Gold);
  Leaves.setColorAt(1, GoldDark);
  Painter.setBrush(Leaves);
  Painter.drawPath(Trunk.united(Canopy));
  Painter.setBrush(Bark);
  Painter.setPen(Qt::NoPen);

  // Ground line.
  Painter.setPen(QPen(Gold, std::max(1.0, Radius * 0.06), Qt::SolidLine, Qt::RoundCap));
  Painter.drawLine(Centre + QPointF(-Radius * 0.5, Radius * 0.72), Centre + QPointF(Radius * 0.5, Radius * 0.72));

  // Ring.
  Painter.setBrush(Qt::NoBrush);
  Painter.setPen(QPen(QColor(0, 0, 0, 180), std::max(1.0, Radius * 0.16)));
  Painter.drawEllipse(Centre, Radius, Radius);
  QLinearGradient Ring(Centre - QPointF(0, Radius), Centre + QPointF(0, Radius));
  Ring.setColorAt(0, GoldLight);
  Ring.setColorAt(0.5, Gold);
  Ring.setColorAt(1, GoldDark);
  Painter.setPen(QPen(QBrush(Ring), std::max(1.0, Radius * 0.09)));
  Painter.drawEllipse(Centre, Radius * 0.96, Radius * 0.96);
  Painter.restore();
}

// The word "ASHGROVE" filled with a gold gradient, with a dark rim.
void drawWordmark(QPainter& Painter, const QPointF& Centre, qreal PixelSize)
{
  const QPainterPath Word = centredText(serifFont(PixelSize, PixelSize * 0.08), "ASHGROVE", Centre);
  const QRectF Bounds = Word.boundingRect();
  Painter.save();
  Painter.setPen(QPen(QColor(0, 0, 0, 200), PixelSize * 0.16, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  Painter.setBrush(Qt::NoBrush);
  Painter.drawPath(Word.translated(0, 1));
  QLinearGradient Fill(Bounds.topLeft(), Bounds.bottomLeft());
  Fill.setColorAt(0, QColor(255, 244, 200));
  Fill.setColorAt(0.45, GoldLight);
  Fill.setColorAt(0.55, Gold);
  Fill.setColorAt(1, GoldDark.lighter(120));
  Painter.setPen(Qt::NoPen);
  Painter.setBrush(Fill);
  Painter.drawPath(Word);
  Painter.restore();
}

// A ribbon under the wordmark naming the variant.
void drawRibbon(QPainter& Painter, const QPointF& Centre, const QString& Text, const QColor& Colour)
{
  const QFont Font = sansFont(10.5, false);
  QFont Spaced = Font;
  Spaced.setLetterSpacing(QFont::AbsoluteSpacing, 1.6);
  const QFontMetricsF Metrics(Spaced);
  const qreal Width = Metrics.horizontalAdvance(Text) + 18;
  const qreal Height = 14;
  const QRectF Band(Centre.x() - Width / 2, Centre.y() - Height / 2, Width, Height);
  QPainterPath Shape;
  Shape.moveTo(Band.left() - 6, Band.top());
  Shape.lineTo(Band.right() + 6, Band.top());
  Shape.lineTo(Band.right(), Band.center().y());
  Shape.lineTo(Band.right() + 6, Band.bottom());
  Shape.lineTo(Band.left() - 6, Band.bottom());
  Shape.lineTo(Band.left(), Band.center().y());
  Shape.closeSubpath();
  Painter.save();
  QLinearGradient Fill(Band.topLeft(), Band.bottomLeft());
  Fill.setColorAt(0, Colour.lighter(130));
  Fill.setColorAt(1, Colour.darker(150));
  Painter.setPen(QPen(QColor(0, 0, 0, 190), 1.0));
  Painter.setBrush(Fill);
  Painter.drawPath(Shape);
  Painter.setPen(QPen(QColor(255, 240, 200, 90), 1.0));
  Painter.drawLine(QPointF(Band.left() - 3, Band.top() + 1.5), QPointF(Band.right() + 3, Band.top() + 1.5));
  Painter.setFont(Spaced);
  Painter.setPen(QColor(0, 0, 0, 160));
  Painter.drawText(Band.translated(0.5, 1), Qt::AlignCenter, Text);
  Painter.setPen(QColor(255, 250, 235));
  Painter.drawText(Band, Qt::AlignCenter, Text);
  Painter.restore();
}

const QSize LogoSize(180, 80);

QImage packageLogo(const QString& Subtitle, const QColor& Accent, bool Ribbon)
{
  QImage Image = canvas(LogoSize.width(), LogoSize.height());
  QPainter Painter(&Image);
  preparePainter(Painter);
  // A faint halo behind the emblem keeps the logo readable on the
  // background picture.
  QRadialGradient Halo(QPointF(90, 38), 80);
  Halo.setColorAt(0, QColor(Accent.red(), Accent.green(), Accent.blue(), 70));
  Halo.setColorAt(1, QColor(0, 0, 0, 0));
  Painter.setPen(Qt::NoPen);
  Painter.setBrush(Halo);
  Painter.drawEllipse(QPointF(90, 38), 88, 40);
  drawEmblem(Painter, QPointF(90, 18), 16, Accent);
  drawWordmark(Painter, QPointF(90, 48), 23);
  if (Ribbon) {
    drawRibbon(Painter, QPointF(90, 70), Subtitle, Accent);
  } else {
    QFont Font = sansFont(11, false);
    Font.setLetterSpacing(QFont::AbsoluteSpacing, 5);
    const QPainterPath Word = centredText(Font, Subtitle, QPointF(92, 70));
    Painter.setPen(QPen(QColor(0, 0, 0, 170), 2.0));
    Painter.setBrush(Qt::NoBrush);
    Painter.drawPath(Word);
    Painter.setPen(Qt::NoPen);
    Painter.setBrush(Parchment);
    Painter.drawPath(Word);
    // Rules on both sides of the word.
    const QRectF Bounds = Word.boundingRect();
    QLinearGradient Left(Bounds.left() - 40, 0, Bounds.left() - 6, 0);
    Left.setColorAt(0, QColor(Gold.red(), Gold.green(), Gold.blue(), 0));
    Left.setColorAt(1, Gold);
    Painter.setPen(QPen(QBrush(Left), 1.2));
    Painter.drawLine(QPointF(Bounds.left() - 40, Bounds.center().y()), QPointF(Bounds.left() - 6, Bounds.center().y()));
    QLinearGradient Right(Bounds.right() + 6, 0, Bounds.right() + 40, 0);
    Right.setColorAt(0, Gold);
    Right.setColorAt(1, QColor(Gold.red(), Gold.green(), Gold.blue(), 0));
    Painter.setPen(QPen(QBrush(Right), 1.2));
    Painter.drawLine(QPointF(Bounds.right() + 6, Bounds.center().y()), QPointF(Bounds.right() + 40, Bounds.center().y()));
  }
  return Image;
}

// The splash images: the logo on an opaque framed plate.
QImage splashImage(const QString& Caption)
{
  QImage Image = canvas(LogoSize.width(), LogoSize.height());
  QPainter Painter(&Image);
  preparePainter(Painter);
  QLinearGradient Plate(0, 0, 0, LogoSize.height());
  Plate.setColorAt(0, QColor(30, 37, 45));
  Plate.setColorAt(1, QColor(12, 14, 17));
  Painter.setPen(Qt::NoPen);
  Painter.setBrush(Plate);
  Painter.drawRect(Image.rect());
  QRadialGradient Glow(QPointF(90, 40), 90);
  Glow.setColorAt(0, QColor(217, 119, 43, 60));
  Glow.setColorAt(1, QColor(217, 119, 43, 0));
  Painter.setBrush(Glow);
  Painter.drawRect(Image.rect());
  Painter.setBrush(Qt::NoBrush);
  Painter.setPen(QPen(QColor(0, 0, 0), 1.0));
  Painter.drawRect(QRectF(0.5, 0.5, LogoSize.width() - 1, LogoSize.height() - 1));
  Painter.setPen(QPen(Gold, 1.0));
  Painter.drawRect(QRectF(2.5, 2.5, LogoSize.width() - 5, LogoSize.height() - 5));
  drawEmblem(Painter, QPointF(90, 19), 14, Gold);
  drawWordmark(Painter, QPointF(90, 45), 21);
  Painter.setFont(sansFont(12));
  Painter.setPen(Parchment);
  Painter.drawText(QRectF(0, 57, LogoSize.width(), 18), Qt::AlignCenter, Caption);
  return Image;
}

// ------------------------------------------------------------- background

QImage backgroundImage()
{
  // 800 x 600. The window's border image keeps the lower 450 pixels as
  // they are and stretches the upper 150 to the remaining height, so the
  // upper part is a plain vertical gradient.
  const int Width = 800;
  const int Height = 600;
  QImage Image(Width, Height, QImage::Format_RGB32);
  QPainter Painter(&Image);
  preparePainter(Painter);

  QLinearGradient Sky(0, 0, 0, Height);
  Sky.setColorAt(0.0, QColor(9, 11, 14));
  Sky.setColorAt(0.25, QColor(13, 17, 22));
  Sky.setColorAt(0.55, QColor(22, 29, 38));
  Sky.setColorAt(0.70, QColor(34, 38, 44));
  Sky.setColorAt(0.78, QColor(22, 24, 28));
  Sky.setColorAt(1.0, QColor(7, 8, 10));
  Painter.fillRect(Image.rect(), Sky);

  // Stars in the lower, unstretched sky only.
  TRandom Random(0xA5C9A0F3ULL);
  Painter.setPen(Qt::NoPen);
  for (int I = 0; I < 140; ++I) {
    const qreal X = Random.range(0, Width);
    const qreal Y = Random.range(160, 380);
    const qreal Size = Random.range(0.4, 1.2);
    const int Alpha = int(Random.range(40, 150) * (1.0 - (Y - 160) / 260.0));
    Painter.setBrush(QColor(220, 225, 235, std::max(0, Alpha)));
    Painter.drawEllipse(QPointF(X, Y), Size, Size);
  }

  // Ember glow over the horizon.
  QRadialGradient Ember(QPointF(400, 440), 420);
  Ember.setColorAt(0.0, QColor(222, 124, 46, 150));
  Ember.setColorAt(0.35, QColor(170, 86, 38, 70));
  Ember.setColorAt(1.0, QColor(0, 0, 0, 0));
  Painter.save();
  Painter.scale(1.0, 0.35);
  Painter.setBrush(Ember);
  Painter.drawEllipse(QPointF(400, 440 / 0.35), 520, 420);
  Painter.restore();

  // Two ridges of hills.
  auto Ridge = [&](qreal Base, qreal Amplitude, qreal Frequency, qreal Phase, const QColor& Colour) {
    QPainterPath Path;
    Path.moveTo(0, Height);
    for (int X = 0; X <= Width; X += 4) {
      const qreal Y = Base - Amplitude * (0.55 * std::sin(X * Frequency + Phase) + 0.3 * std::sin(X * Frequency * 2.3 + Phase * 1.7) +
                                          0.15 * std::sin(X * Frequency * 5.1 + Phase * 0.3));
      Path.lineTo(X, Y);
    }
    Path.lineTo(Width, Height);
    Path.closeSubpath();
    Painter.setBrush(Colour);
    Painter.drawPath(Path);
  };
  Ridge(405, 38, 0.009, 0.7, QColor(33, 39, 49));
  Ridge(430, 26, 0.014, 2.1, QColor(24, 29, 36));

  // Mist between the ridges and the wood.
  QLinearGradient Mist(0, 400, 0, 470);
  Mist.setColorAt(0, QColor(150, 140, 120, 0));
  Mist.setColorAt(0.5, QColor(150, 140, 120, 34));
  Mist.setColorAt(1, QColor(150, 140, 120, 0));
  Painter.fillRect(QRectF(0, 400, Width, 70), Mist);

  // The ash wood: two rows of broad, irregular crowns on short trunks.
  auto Wood = [&](qreal Base, qreal MinHeight, qreal MaxHeight, const QColor& Colour, std::uint64_t Seed) {
    TRandom Trees(Seed);
    QPainterPath Path;
    Path.setFillRule(Qt::WindingFill);
    qreal X = -20;
    while (X < Width + 20) {
      const qreal TreeHeight = Trees.range(MinHeight, MaxHeight);
      const qreal CrownRadius = TreeHeight * Trees.range(0.3, 0.42);
      const QPointF Crown(X, Base - TreeHeight + CrownRadius);
      Path.addRect(QRectF(X - 1.6, Crown.y(), 3.2, Base - Crown.y() + 2));
      for (int K = 0; K < 11; ++K) {
        const qreal Angle = Trees.range(-M_PI, 0.15);
        const qreal Distance = Trees.range(0.1, 0.75) * CrownRadius;
        const qreal R = CrownRadius * Trees.range(0.3, 0.55);
        Path.addEllipse(Crown + QPointF(std::cos(Angle) * Distance * 1.25, std::sin(Angle) * Distance), R * 1.15, R);
      }
      Path.addEllipse(Crown + QPointF(0, CrownRadius * 0.15), CrownRadius * 0.9, CrownRadius * 0.55);
      X += CrownRadius * Trees.range(1.2, 1.9);
    }
    Path.addRect(QRectF(0, Base, Width, Height - Base));
    Painter.setBrush(Colour);
    Painter.drawPath(Path);
  };
  Wood(468, 44, 80, QColor(17, 21, 25), 0x1234567ULL);
  Wood(492, 34, 66, QColor(10, 12, 14), 0x89ABCDEULL);

  // Ground fading to black under the hint area.
  QLinearGradient Ground(0, 490, 0, Height);
  Ground.setColorAt(0, QColor(10, 12, 14));
  Ground.setColorAt(1, QColor(5, 6, 7));
  Painter.fillRect(QRectF(0, 490, Width, Height - 490), Ground);

  // Gentle vignette at the sides.
  QLinearGradient Sides(0, 0, Width, 0);
  Sides.setColorAt(0.0, QColor(0, 0, 0, 110));
  Sides.setColorAt(0.18, QColor(0, 0, 0, 0));
  Sides.setColorAt(0.82, QColor(0, 0, 0, 0));
  Sides.setColorAt(1.0, QColor(0, 0, 0, 110));
  Painter.fillRect(Image.rect(), Sides);

  // A thin gold line along the top edge frames the frameless look.
  Painter.setPen(QPen(QColor(GoldDark.red(), GoldDark.green(), GoldDark.blue(), 160), 1.0));
  Painter.drawLine(QPointF(0, 0.5), QPointF(Width, 0.5));
  return Image;
}

// ------------------------------------------------------------ small parts

QImage framedPanel(int Size, int Border, int Radius, const QColor& Fill, bool OpenBottom)
{
  QImage Image = canvas(Size, Size);
  QPainter Painter(&Image);
  preparePainter(Painter);
  const QRectF Outer(0.5, 0.5, Size - 1, OpenBottom ? Size + Radius : Size - 1);
  Painter.setClipRect(Image.rect());
  Painter.setPen(QPen(QColor(0, 0, 0, 200), 1.0));
  Painter.setBrush(Fill);
  Painter.drawRoundedRect(Outer, Radius, Radius);
  Painter.setBrush(Qt::NoBrush);
  Painter.setPen(QPen(QBrush(Gold), 1.0));
  Painter.drawRoundedRect(Outer.adjusted(1.5, 1.5, -1.5, OpenBottom ? 0 : -1.5), Radius - 1, Radius - 1);
  Painter.setPen(QPen(QColor(255, 240, 200, 30), 1.0));
  Painter.drawRoundedRect(Outer.adjusted(3.5, 3.5, -3.5, OpenBottom ? 0 : -3.5), std::max(1, Radius - 3), std::max(1, Radius - 3));
  return Image;
}

QImage clientPackageBackground()
{
  // 48 x 48 with 16-pixel slices: corners carry small ornaments, edges and
  // centre are uniform along the direction they are repeated in.
  QImage Image = framedPanel(48, 16, 7, QColor(14, 17, 21, 215), false);
  QPainter Painter(&Image);
  preparePainter(Painter);
  Painter.setPen(Qt::NoPen);
  Painter.setBrush(Gold);
  const QPointF Corners[] = {{7, 7}, {41, 7}, {7, 41}, {41, 41}};
  for (const QPointF& Corner : Corners) {
    QPainterPath Diamond;
    Diamond.moveTo(Corner + QPointF(0, -2.5));
    Diamond.lineTo(Corner + QPointF(2.5, 0));
    Diamond.lineTo(Corner + QPointF(0, 2.5));
    Diamond.lineTo(Corner + QPointF(-2.5, 0));
    Diamond.closeSubpath();
    Painter.drawPath(Diamond);
  }
  return Image;
}

QImage hintBackground()
{
  // 5-pixel slices at the top, left and right; the bottom is open.
  return framedPanel(32, 5, 5, QColor(12, 15, 18, 205), true);
}

QImage progressBarBackground()
{
  QImage Image = canvas(98, 40);
  QPainter Painter(&Image);
  preparePainter(Painter);
  QLinearGradient Trough(0, 0, 0, 40);
  Trough.setColorAt(0, QColor(5, 6, 8));
  Trough.setColorAt(1, QColor(22, 26, 31));
  Painter.setPen(QPen(QColor(0, 0, 0, 230), 1.0));
  Painter.setBrush(Trough);
  Painter.drawRoundedRect(QRectF(0.5, 0.5, 97, 39), 4, 4);
  Painter.setBrush(Qt::NoBrush);
  Painter.setPen(QPen(GoldDark, 1.0));
  Painter.drawRoundedRect(QRectF(1.5, 1.5, 95, 37), 3, 3);
  return Image;
}

QImage progressBarChunk()
{
  QImage Image = canvas(16, 36);
  QPainter Painter(&Image);
  preparePainter(Painter);
  QLinearGradient Fill(0, 0, 0, 36);
  Fill.setColorAt(0.0, QColor(96, 150, 52));
  Fill.setColorAt(0.45, QColor(62, 112, 34));
  Fill.setColorAt(0.55, QColor(50, 96, 26));
  Fill.setColorAt(1.0, QColor(30, 62, 16));
  Painter.fillRect(Image.rect(), Fill);
  Painter.setPen(QPen(QColor(200, 240, 150, 120), 1.0));
  Painter.drawLine(QPointF(0, 0.5), QPointF(16, 0.5));
  return Image;
}

QImage checkbox(bool Checked)
{
  QImage Image = canvas(16, 16);
  QPainter Painter(&Image);
  preparePainter(Painter);
  QLinearGradient Fill(0, 0, 0, 16);
  Fill.setColorAt(0, QColor(6, 8, 10));
  Fill.setColorAt(1, QColor(26, 31, 37));
  Painter.setPen(QPen(Gold, 1.0));
  Painter.setBrush(Fill);
  Painter.drawRoundedRect(QRectF(1.5, 1.5, 13, 13), 2.5, 2.5);
  if (Checked) {
    QPainterPath Tick;
    Tick.moveTo(4.2, 8.3);
    Tick.lineTo(7.0, 11.0);
    Tick.lineTo(12.2, 4.6);
    Painter.setBrush(Qt::NoBrush);
    Painter.setPen(QPen(QColor(0, 0, 0, 170), 3.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    Painter.drawPath(Tick.translated(0, 0.6));
    Painter.setPen(QPen(Moss, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    Painter.drawPath(Tick);
  }
  return Image;
}

QImage scrollGroove()
{
  QImage Image = canvas(12, 24);
  QPainter Painter(&Image);
  preparePainter(Painter);
  Painter.setPen(QPen(QColor(0, 0, 0, 200), 1.0));
  Painter.setBrush(QColor(10, 12, 15, 200));
  Painter.drawRoundedRect(QRectF(2.5, 0.5, 7, 23), 3, 3);
  return Image;
}

QImage scrollHandle()
{
  QImage Image = canvas(12, 24);
  QPainter Painter(&Image);
  preparePainter(Painter);
  QLinearGradient Fill(0, 0, 12, 0);
  Fill.setColorAt(0, GoldLight);
  Fill.setColorAt(1, GoldDark);
  Painter.setPen(QPen(QColor(0, 0, 0, 200), 1.0));
  Painter.setBrush(Fill);
  Painter.drawRoundedRect(QRectF(2.5, 0.5, 7, 23), 3, 3);
  return Image;
}

QImage scrollArrow(bool Up, bool Pressed)
{
  QImage Image = canvas(12, 12);
  QPainter Painter(&Image);
  preparePainter(Painter);
  QPainterPath Arrow;
  if (Up) {
    Arrow.moveTo(6, 3);
    Arrow.lineTo(10, 9);
    Arrow.lineTo(2, 9);
  } else {
    Arrow.moveTo(2, 3);
    Arrow.lineTo(10, 3);
    Arrow.lineTo(6, 9);
  }
  Arrow.closeSubpath();
  Painter.setPen(QPen(QColor(0, 0, 0, 180), 1.0));
  Painter.setBrush(Pressed ? GoldDark : Gold);
  Painter.drawPath(Arrow.translated(0, Pressed ? 0.5 : 0));
  return Image;
}

QImage infoCircle()
{
  QImage Image = canvas(18, 18);
  QPainter Painter(&Image);
  preparePainter(Painter);
  Painter.setPen(QPen(Parchment, 1.5));
  Painter.setBrush(QColor(12, 15, 18, 160));
  Painter.drawEllipse(QRectF(1.25, 1.25, 15.5, 15.5));
  Painter.setPen(Qt::NoPen);
  Painter.setBrush(Parchment);
  Painter.drawEllipse(QPointF(9, 5.4), 1.3, 1.3);
  Painter.drawRoundedRect(QRectF(7.9, 7.6, 2.2, 6.4), 0.8, 0.8);
  return Image;
}

QImage makerLogo()
{
  // The maker's mark: a gold "V" of two blades and the name.
  QImage Image = canvas(150, 40);
  QPainter Painter(&Image);
  preparePainter(Painter);
  QPainterPath Mark;
  Mark.moveTo(4, 6);
  Mark.lineTo(13, 6);
  Mark.lineTo(20, 26);
  Mark.lineTo(27, 6);
  Mark.lineTo(36, 6);
  Mark.lineTo(23, 35);
  Mark.lineTo(17, 35);
  Mark.closeSubpath();
  QPainterPath Notch;
  Notch.moveTo(16, 6);
  Notch.lineTo(24, 6);
  Notch.lineTo(20, 15);
  Notch.closeSubpath();
  QLinearGradient Fill(0, 6, 0, 35);
  Fill.setColorAt(0, GoldLight);
  Fill.setColorAt(1, GoldDark);
  Painter.setPen(QPen(QColor(0, 0, 0, 200), 1.5, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
  Painter.setBrush(Fill);
  Painter.drawPath(Mark.united(Notch));
  QFont Font = sansFont(19, false);
  Font.setLetterSpacing(QFont::AbsoluteSpacing, 3.2);
  QPainterPath Name;
  Name.addText(44, 27, Font, "VELDAN");
  Painter.setPen(QPen(QColor(0, 0, 0, 170), 2.0));
  Painter.setBrush(Qt::NoBrush);
  Painter.drawPath(Name.translated(0, 1));
  Painter.setPen(Qt::NoPen);
  Painter.setBrush(Parchment);
  Painter.drawPath(Name);
  QFont Small = sansFont(8, false);
  Small.setLetterSpacing(QFont::AbsoluteSpacing, 2.6);
  QPainterPath Sub;
  Sub.addText(45, 37, Small, "GAMES");
  Painter.setBrush(Gold);
  Painter.drawPath(Sub);
  return Image;
}

QImage socialBadge(const std::function<void(QPainter&)>& DrawGlyph)
{
  QImage Image = canvas(28, 28);
  QPainter Painter(&Image);
  preparePainter(Painter);
  QLinearGradient Fill(0, 0, 0, 28);
  Fill.setColorAt(0, QColor(40, 48, 57));
  Fill.setColorAt(1, QColor(14, 17, 21));
  Painter.setPen(QPen(QColor(0, 0, 0, 200), 1.0));
  Painter.setBrush(Fill);
  Painter.drawEllipse(QRectF(0.5, 0.5, 27, 27));
  Painter.setPen(QPen(Gold, 1.2));
  Painter.setBrush(Qt::NoBrush);
  Painter.drawEllipse(QRectF(2, 2, 24, 24));
  DrawGlyph(Painter);
  return Image;
}

void drawQuillGlyph(QPainter& Painter)
{
  // A quill: the game's news feed.
  QPainterPath Vane;
  Vane.moveTo(20.5, 6.5);
  Vane.cubicTo(13, 8, 9, 13, 8.5, 20);
  Vane.cubicTo(12, 18.5, 17, 15, 20.5, 6.5);
  Vane.closeSubpath();
  Painter.setPen(Qt::NoPen);
  Painter.setBrush(Parchment);
  Painter.drawPath(Vane);
  Painter.setPen(QPen(QColor(20, 24, 28), 0.9, Qt::SolidLine, Qt::RoundCap));
  Painter.drawLine(QPointF(19.5, 8), QPointF(10.5, 18));
  Painter.setPen(QPen(Parchment, 1.3, Qt::SolidLine, Qt::RoundCap));
  Painter.drawLine(QPointF(10.5, 18), QPointF(7.5, 21.5));
}

void drawChatGlyph(QPainter& Painter)
{
  // Two speech bubbles: the community chat.
  QPainterPath Back;
  Back.addRoundedRect(QRectF(11, 7, 11, 8), 3, 3);
  Back.moveTo(18, 14);
  Back.lineTo(20, 17.5);
  Back.lineTo(15, 14);
  Painter.setPen(Qt::NoPen);
  Painter.setBrush(QColor(Parchment.red(), Parchment.green(), Parchment.blue(), 150));
  Painter.drawPath(Back.simplified());
  QPainterPath Front;
  Front.addRoundedRect(QRectF(6, 11, 12, 8.5), 3, 3);
  Front.moveTo(8.5, 19);
  Front.lineTo(7.5, 22.5);
  Front.lineTo(12, 19);
  Painter.setPen(QPen(QColor(20, 24, 28), 1.0));
  Painter.setBrush(Parchment);
  Painter.drawPath(Front.simplified());
  Painter.setPen(Qt::NoPen);
  Painter.setBrush(QColor(20, 24, 28));
  for (int I = 0; I < 3; ++I)
    Painter.drawEllipse(QPointF(9 + I * 3, 15.2), 0.9, 0.9);
}

void writeResourceFile()
{
  QFile File(g_OutputDirectory + "/launcherimages.qrc");
  if (!File.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
    std::fprintf(stderr, "ashgrove-imagegen: cannot write %s\n", qPrintable(File.fileName()));
    g_Failed = true;
    return;
  }
  QTextStream Stream(&File);
  Stream << "<!DOCTYPE RCC>\n<RCC version=\"1.0\">\n  <qresource prefix=\"/images/launcher\">\n";
  for (const QString& Name : g_Written)
    Stream << "    <file>" << Name << "</file>\n";
  Stream << "  </qresource>\n</RCC>\n";
}

} // namespace

// The application icon: the emblem on a framed slate tile.
QImage applicationIcon(int Size)
{
  QImage Image = canvas(Size, Size);
  QPainter Painter(&Image);
  preparePainter(Painter);
  const qreal Unit = Size / 64.0;
  const QRectF Tile(2 * Unit, 2 * Unit, 60 * Unit, 60 * Unit);
  QLinearGradient Plate(0, Tile.top(), 0, Tile.bottom());
  Plate.setColorAt(0, QColor(34, 42, 51));
  Plate.setColorAt(1, Ink);
  Painter.setPen(QPen(Gold, 2.5 * Unit));
  Painter.setBrush(Plate);
  Painter.drawRoundedRect(Tile, 11 * Unit, 11 * Unit);
  drawEmblem(Painter, QPointF(32 * Unit, 33 * Unit), 23 * Unit, QColor(150, 120, 60));
  return Image;
}

void saveIcons(const QString& Folder, const QString& Name)
{
  for (const int Size : {16, 32, 48, 64, 128, 256}) {
    const QString Directory = QString("%1/%2x%2/apps").arg(Folder).arg(Size);
    const QString Path = QString("%1/%2.png").arg(Directory, Name);
    if (!QDir().mkpath(Directory) || !applicationIcon(Size).save(Path, "PNG")) {
      std::fprintf(stderr, "ashgrove-imagegen: cannot write %s\n", qPrintable(Path));
      g_Failed = true;
    }
  }
}

int main(int argc, char* argv[])
{
  QGuiApplication Application(argc, argv);
  const QStringList Arguments = Application.arguments();
  if (Arguments.size() != 2 && Arguments.size() != 4) {
    std::fprintf(stderr, "usage: ashgrove-imagegen <output folder> [<icon folder> <icon name>]\n");
    return 2;
  }
  if (Arguments.size() == 4)
    saveIcons(QDir(Arguments[2]).absolutePath(), Arguments[3]);
  g_OutputDirectory = QDir(Arguments[1]).absolutePath();
  if (!QDir().mkpath(g_OutputDirectory)) {
    std::fprintf(stderr, "ashgrove-imagegen: cannot create %s\n", qPrintable(g_OutputDirectory));
    return 1;
  }

  const struct { const char* name; QColor base; } Colours[] = {
      {"Red", QColor(150, 42, 34)},
      {"Blue", QColor(38, 88, 150)},
      {"Orange", QColor(196, 110, 28)},
      {"Green", QColor(72, 136, 38)},
  };
  const struct { const char* name; EButtonState state; } States[] = {
      {"idle", EButtonState::Idle}, {"hover", EButtonState::Hover}, {"pressed", EButtonState::Pressed}};
  for (const auto& Colour : Colours)
    for (const auto& State : States)
      save(buttonImage(Colour.base, State.state), QString("Button_%1_%2.png").arg(Colour.name, State.name));

  save(actionIcon("Play", drawPlayGlyph), "Icon_Play.png");
  save(actionIcon("Download", drawDownloadGlyph), "Icon_Download.png");
  save(actionIcon("Update", drawUpdateGlyph), "Icon_Update.png");
  save(unavailableIcon(), "Icon_.png");

  const struct { const char* variant; const char* subtitle; QColor accent; bool ribbon; } Logos[] = {
      {"QT", "ONLINE", QColor(150, 120, 60), false},
      {"Classic", "CLASSIC", QColor(150, 96, 40), true},
      {"Preview", "PREVIEW", QColor(36, 120, 128), true},
      {"Beta", "BETA", QColor(104, 70, 150), true},
      {"Test", "TEST", QColor(160, 50, 44), true},
  };
  for (const auto& Logo : Logos) {
    const QImage Image = packageLogo(Logo.subtitle, Logo.accent, Logo.ribbon);
    save(Image, QString("AshgroveLogo_%1.png").arg(Logo.variant));
    save(dimmed(Image), QString("AshgroveLogo_%1_disabled.png").arg(Logo.variant));
  }
  save(splashImage("Loading..."), "LauncherLogo_QT.png");
  save(splashImage("Updating launcher..."), "LauncherLogo_UpdatingLauncher.png");

  save(backgroundImage(), "BackgroundImage.jpg");
  save(hintBackground(), "hint-background.png");
  save(clientPackageBackground(), "clientpackage-background.png");
  save(progressBarBackground(), "ProgressBar_BG.png");
  save(progressBarChunk(), "ProgressBar.png");
  save(checkbox(true), "checkbox-checked.png");
  save(checkbox(false), "checkbox-unchecked.png");
  save(scrollGroove(), "scrollbar-texture-vertical.png");
  save(scrollHandle(), "scrollbar-handle-vertical.png");
  save(scrollArrow(true, false), "scrollbar-buttonup-up.png");
  save(scrollArrow(true, true), "scrollbar-buttonup-down.png");
  save(scrollArrow(false, false), "scrollbar-buttondown-up.png");
  save(scrollArrow(false, true), "scrollbar-buttondown-down.png");
  save(infoCircle(), "icircle.png");
  save(makerLogo(), "VeldanLogo.png");
  save(socialBadge(drawQuillGlyph), "Twitter.png");
  save(socialBadge(drawChatGlyph), "Discord.png");

  writeResourceFile();
  return g_Failed ? 1 : 0;
}
