#include "ui/cell_text.h"

#include <QFontMetrics>
#include <QPainter>

void CellTextPainter::SetFont(const QFont& font) {
  const QFontMetrics fm(font);
  ascent_ = fm.ascent();
  lineHeight_ = fm.height();
  rawFont_ = QRawFont::fromFont(font);
  glyphs_.fill(0);
  advances_.fill(0);
  if (rawFont_.isValid()) {
    QString all;
    for (int c = 0; c < 256; ++c) all.append(QChar(c));
    const QList<quint32> found = rawFont_.glyphIndexesForString(all);
    const QList<QPointF> advances = rawFont_.advancesForGlyphIndexes(found);
    // Control characters and the soft hyphen have no ink of their own: the text layout
    // decides what they show.
    for (int c = 0x20; c < 256 && c < found.size() && c < advances.size(); ++c) {
      if (c == 0x7f || c == 0xad) continue;
      glyphs_[static_cast<std::size_t>(c)] = found[c];
      advances_[static_cast<std::size_t>(c)] = advances[c].x();
    }
  }
  run_.setRawFont(rawFont_);
}

void CellTextPainter::Add(QPainter& painter, const QRect& rect, Qt::Alignment align, std::string_view text) {
  const std::size_t first = runGlyphs_.size();
  qreal width = 0;
  for (const unsigned char c : text) {
    const quint32 glyph = glyphs_[c];
    if (glyph == 0) {
      runGlyphs_.resize(first);
      runPositions_.resize(first);
      text_ = QLatin1String(text.data(), static_cast<qsizetype>(text.size()));
      painter.drawText(rect, Qt::TextSingleLine | Qt::AlignVCenter | Qt::TextDontClip | align, text_);
      return;
    }
    runGlyphs_.push_back(glyph);
    runPositions_.emplace_back(width, 0);
    width += advances_[c];
  }
  // Placed as the text layout places a line: at the advances' own (fractional) sums.
  qreal left = rect.left();
  if (align & Qt::AlignRight) {
    left = rect.right() + 1 - width;
  } else if (align & Qt::AlignHCenter) {
    left = rect.left() + (rect.width() - width) / 2;
  }
  const int baseline = rect.top() + (rect.height() - lineHeight_) / 2 + ascent_;
  for (std::size_t i = first; i < runPositions_.size(); ++i) runPositions_[i] += QPointF(left, baseline);
}

void CellTextPainter::Flush(QPainter& painter) {
  if (runGlyphs_.empty()) return;
  run_.setRawData(runGlyphs_.data(), runPositions_.data(), static_cast<int>(runGlyphs_.size()));
  painter.drawGlyphRun(QPointF(0, 0), run_);
  runGlyphs_.clear();
  runPositions_.clear();
}
