#pragma once
// Draws the 8-bit texts of the list's cells. The glyph and advance of every character of
// the font are looked up once, so a repaint places a cell's glyphs directly instead of
// laying out and shaping the same texts again; what it draws is what QPainter::drawText
// draws for a single line. The cells of a row are drawn with one glyph run: each run costs
// the painter a fixed setup that was a good part of drawing a short cell.

#include <QFont>
#include <QGlyphRun>
#include <QList>
#include <QPointF>
#include <QRawFont>
#include <QRect>
#include <QString>
#include <array>
#include <string_view>
#include <vector>

class QPainter;

class CellTextPainter {
 public:
  void SetFont(const QFont& font);

  // Text in rect, vertically centred and aligned left, right or centred; no clipping, no
  // markup, no mnemonics, no tab stops. Drawn by the next Flush, with the painter's pen as
  // it is then; a text of a character the font has no glyph for is drawn at once.
  void Add(QPainter& painter, const QRect& rect, Qt::Alignment align, std::string_view text);
  // Draws the texts added since the last Flush.
  void Flush(QPainter& painter);

 private:
  QRawFont rawFont_;
  // 0 where the font has no glyph: such a text is laid out by Qt, with its fallback fonts.
  std::array<quint32, 256> glyphs_{};
  std::array<qreal, 256> advances_{};
  int ascent_ = 0;
  int lineHeight_ = 0;
  // Reused, so that drawing a row allocates nothing once warm; the run only points at them.
  std::vector<quint32> runGlyphs_;
  std::vector<QPointF> runPositions_;
  QGlyphRun run_;
  QString text_;
};
