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
// whether the font has every character's glyph or not (0x01 has none); so do the cells
// of a row drawn together, each in its own place.
TEST(CellTextPainter, DrawsWhatDrawTextDraws) {
  QFont font = QApplication::font();
  font.setKerning(false);  // as the list's font
  font.setPixelSize(13);   // the same size on an image as on the screen
  CellTextPainter cells;
  cells.SetFont(font);
  const std::pair<std::string, Qt::Alignment> cases[] = {
      {"0.350086", Qt::AlignLeft},      {"106", Qt::AlignRight},        {"out", Qt::AlignHCenter},
      {"IP (Internet ...", Qt::AlignLeft}, {"caf\xe9 \xa0\xff", Qt::AlignLeft}, {"a\x01" "b", Qt::AlignRight}};
  for (const auto& [text, align] : cases) {
    const QString shown = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
    const QImage expected = Drawn(font, [&](QPainter& p, const QRect& r) {
      p.drawText(r, Qt::TextSingleLine | Qt::AlignVCenter | Qt::TextDontClip | align, shown);
    });
    const QImage drawn = Drawn(font, [&](QPainter& p, const QRect& r) { cells.Add(p, r, align, text), cells.Flush(p); });
    EXPECT_EQ(drawn, expected) << text;
  }
  const auto place = [](const QRect& r, int i) { return QRect(r.left() + i * 110, r.top(), 105, r.height()); };
  const QImage row = Drawn(font, [&](QPainter& p, const QRect& r) {
    for (int i = 0; i < 6; ++i)
      p.drawText(place(r, i), Qt::TextSingleLine | Qt::AlignVCenter | Qt::TextDontClip | cases[i].second,
                 QString::fromLatin1(cases[i].first.c_str()));
  });
  EXPECT_EQ(Drawn(font, [&](QPainter& p, const QRect& r) {
              for (int i = 0; i < 6; ++i) cells.Add(p, place(r, i), cases[i].second, cases[i].first);
              cells.Flush(p);
            }), row);
}

}  // namespace
