#include "ui/cell_text.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QPainter>

namespace {

QImage Drawn(const QFont& font, const std::function<void(QPainter&, const QRect&)>& draw) {
  QImage image(700, 26, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::white);
  QPainter painter(&image);
  painter.setFont(font);
  painter.setPen(Qt::black);
  draw(painter, QRect(7, 3, 200, 19));
  return image;
}

// Cells look exactly as the text layout draws them, whichever way they are aligned and
// whether the font has every character's glyph or not (0x01 has none); so do the cells of
// a row drawn together, each in its own place (the last case: every text of the table).
TEST(CellTextPainter, DrawsWhatDrawTextDraws) {
  QFont font = QApplication::font();
  font.setKerning(false);  // as the list's font
  font.setPixelSize(13);   // the same size on an image as on the screen
  CellTextPainter cells;
  cells.SetFont(font);
  using Cell = std::pair<std::string, Qt::Alignment>;
  const std::vector<Cell> one[] = {
      {{"0.350086", Qt::AlignLeft}},      {{"106", Qt::AlignRight}},        {{"out", Qt::AlignHCenter}},
      {{"IP (Internet ...", Qt::AlignLeft}}, {{"caf\xe9 \xa0\xff", Qt::AlignLeft}}, {{"a\x01" "b", Qt::AlignRight}}};
  std::vector<Cell> row;
  for (const std::vector<Cell>& cell : one) row.push_back(cell.front());
  std::vector<std::vector<Cell>> cases(std::begin(one), std::end(one));
  cases.push_back(row);
  for (const std::vector<Cell>& cellsOfRow : cases) {
    // Side by side, as a row's cells stand.
    const auto place = [&](const QRect& r, std::size_t i) {
      return QRect(r.left() + static_cast<int>(i) * 110, r.top(), 105, r.height());
    };
    const QImage expected = Drawn(font, [&](QPainter& p, const QRect& r) {
      for (std::size_t i = 0; i < cellsOfRow.size(); ++i) {
        const auto& [text, align] = cellsOfRow[i];
        p.drawText(place(r, i), Qt::TextSingleLine | Qt::AlignVCenter | Qt::TextDontClip | align,
                   QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())));
      }
    });
    const QImage drawn = Drawn(font, [&](QPainter& p, const QRect& r) {
      for (std::size_t i = 0; i < cellsOfRow.size(); ++i) cells.Add(p, place(r, i), cellsOfRow[i].second, cellsOfRow[i].first);
      cells.Flush(p);
    });
    EXPECT_EQ(drawn, expected) << cellsOfRow.front().first << " and " << cellsOfRow.size() - 1 << " more";
  }
}

}  // namespace
