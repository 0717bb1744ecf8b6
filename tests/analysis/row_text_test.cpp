// Rows as tab-separated and CSV text: the escapes, whole lines, and the room a line needs.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "analysis/process_owner.h"
#include "analysis/row_store.h"
#include "analysis/row_text.h"

namespace {

TEST(RowText, EscapingAndQuoting) {
  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      {"plain", "plain", "plain"},
      {"", "", ""},
      {"a\tb", "a\\tb", "a\tb"},
      {"back\\slash", "back\\\\slash", "back\\slash"},
      {"line\nnext\r", "line\\nnext\\r", "\"line\nnext\r\""},
      {"a,b", "a,b", "\"a,b\""},
      {"say \"hi\"", "say \"hi\"", "\"say \"\"hi\"\"\""},
      // Longer than a word: escapes at a word's first and last byte, beside bytes above 0x7f.
      {"\tbcdefgh\xe9\xffklmno\\pqrstuvw\n", "\\tbcdefgh\xe9\xffklmno\\\\pqrstuvw\\n",
       "\"\tbcdefgh\xe9\xffklmno\\pqrstuvw\n\""},
      // Escapes at the last byte of a sixteen, the first of the next, in the eight after
      // them and in the bytes left over.
      {"abcdefghijklmno\\\tbcdefghijklmnopqrstuv\rwxyz12\n", "abcdefghijklmno\\\\\\tbcdefghijklmnopqrstuv\\rwxyz12\\n",
       "\"abcdefghijklmno\\\tbcdefghijklmnopqrstuv\rwxyz12\n\""},
  };
  for (const auto& [cell, tsv, csv] : cases) {
    std::string t, c;
    AppendTsvCell(t, cell);
    AppendCsvCell(c, cell);
    EXPECT_EQ(t, tsv);
    EXPECT_EQ(c, csv);
  }
}

TEST(RowText, TextFromOutsideReachesATerminalWithItsControlsEscaped) {
  const std::pair<std::string, std::string> cases[] = {
      {"eth0\tx\r\n\x1b]0;t\x07", "eth0\tx\r\n\\x1b]0;t\\x07"},
      {"caf\xc3\xa9 \xf0\x9f\x93\xa6 \xc2\xa0, csi \xc2\x9b", "caf\xc3\xa9 \xf0\x9f\x93\xa6 \xc2\xa0, csi \\xc2\\x9b"},
      {"latin-1 \x9b\xe9, cut \xe2\x82", "latin-1 \\x9b\\xe9, cut \\xe2\\x82"}};
  for (const auto& [text, shown] : cases) EXPECT_EQ(TerminalText(text), shown) << text;
}

TEST(RowText, LinesAndFileFormats) {
  const ColumnSet columns = ColumnSet::FromText("1110001");
  std::string out;
  AppendHeaderLine(out, columns, RowFormat::Tsv);
  AppendHeaderLine(out, columns, RowFormat::Csv);
  EXPECT_EQ(out, "Packet Number\tBytes\tIn/Out\tProtocol\nPacket Number,Bytes,In/Out,Protocol\r\n");

  RowStore rows(4);
  const std::vector<std::string_view> cells = {"7", "60", "", "a,\tb"};
  rows.AppendRow(cells);
  out.clear();
  AppendRowLine(out, rows, 0, RowFormat::Tsv);
  AppendRowLine(out, rows, 0, RowFormat::Csv);
  EXPECT_EQ(out, "7\t60\t\ta,\\tb\n7,60,,\"a,\tb\"\r\n");

  for (const char* name : {"trace.csv", "TRACE.CSV", "a/b.CsV", ".csv"}) {
    EXPECT_EQ(FormatForFileName(name), RowFormat::Csv) << name;
  }
  for (const char* name : {"trace.txt", "trace.csv.txt", "csv", "trace.tsv", ""}) {
    EXPECT_EQ(FormatForFileName(name), RowFormat::Tsv) << name;
  }
}

TEST(RowText, EscapesAtEveryPlaceOfACellAndCellsNeverSet) {
  const std::vector<std::vector<std::string_view>> rows = {
      {"0", "plain", "", "text"},
      {"1", "\\", "\t", "\n"},                     // a cell that is only an escape
      {"2", "\\\\start", "end\r", "mid\tdle\nx"},  // escapes first, last, in a run, apart
      {"3", "a\\b\\c", "\r\n\t\\", "\"q\",r"},
      {"4"},                                        // cells never set
  };
  RowStore store(4);
  for (const auto& cells : rows) store.AppendRow(cells);

  std::string tsv, csv;
  for (std::int64_t r = 0; r < store.RowCount(); ++r) {
    AppendRowLine(tsv, store, r, RowFormat::Tsv);
    AppendRowLine(csv, store, r, RowFormat::Csv);
  }
  EXPECT_EQ(tsv,
            "0\tplain\t\ttext\n"
            "1\t\\\\\t\\t\t\\n\n"
            "2\t\\\\\\\\start\tend\\r\tmid\\tdle\\nx\n"
            "3\ta\\\\b\\\\c\t\\r\\n\\t\\\\\t\"q\",r\n"
            "4\t\t\t\n");
  EXPECT_EQ(csv,
            "0,plain,,text\r\n"
            "1,\\,\t,\"\n\"\r\n"
            "2,\\\\start,\"end\r\",\"mid\tdle\nx\"\r\n"
            "3,a\\b\\c,\"\r\n\t\\\",\"\"\"q\"\",r\"\r\n"
            "4,,,\r\n");
}

TEST(RowText, EveryColumnOfTheListAndOfAWiderStore) {
  // Twenty columns are read in one pass; cells past them are looked up one by one.
  for (const int columns : {ColumnCount, ColumnCount + 3}) {
    RowStore store(columns);
    std::vector<std::string> texts;
    std::vector<std::string_view> cells;
    for (int c = 0; c < columns; ++c) texts.push_back(std::string("c").append(std::to_string(c)).append(c % 2 ? "\t" : ","));
    for (const std::string& text : texts) cells.push_back(text);
    store.AppendRow(cells);

    std::string expectedTsv, expectedCsv;
    for (int c = 0; c < columns; ++c) {
      if (c != 0) expectedTsv += '\t', expectedCsv += ',';
      const std::string n = std::to_string(c);
      expectedTsv += c % 2 ? "c" + n + "\\t" : "c" + n + ",";
      expectedCsv += c % 2 ? "c" + n + "\t" : "\"c" + n + ",\"";
    }
    std::string tsv, csv;
    AppendRowLine(tsv, store, 0, RowFormat::Tsv);
    AppendRowLine(csv, store, 0, RowFormat::Csv);
    EXPECT_EQ(tsv, expectedTsv + "\n") << columns;
    EXPECT_EQ(csv, expectedCsv + "\r\n") << columns;
  }
}

// A writer with its own buffer gives the line exactly the room Read asks for; the
// sanitizer build catches a line that runs past it.
std::string PutInBound(const RowStore& store, std::int64_t row, RowFormat format) {
  RowLine line;
  const std::size_t bound = line.Read(store, row);
  const auto buffer = std::make_unique_for_overwrite<char[]>(bound);
  const char* const begin = buffer.get();
  const char* const end = line.Put(buffer.get(), format);
  EXPECT_LE(static_cast<std::size_t>(end - begin), bound);
  return std::string(begin, end);
}

TEST(RowLine, CellsOfNothingButEscapesFitTheRoomAsked) {
  const std::string backslashes(20000, '\\'), quotes(20000, '"'), newlines(300, '\n'), plain(70000, 'p');
  RowStore store(4);
  const std::vector<std::vector<std::string_view>> rows = {
      {backslashes, quotes, newlines, plain},  // long cells
      {"\"", "\"\"", "\"\"\"", "\""},           // the most CSV can take: every byte doubled and quoted
      {"\\", "\t\t", "\r", "\n"},              // the most TSV can take: every byte escaped
  };
  for (const auto& cells : rows) store.AppendRow(cells);

  std::string escapedNewlines;
  for (int i = 0; i < 300; ++i) escapedNewlines += "\\n";
  EXPECT_EQ(PutInBound(store, 0, RowFormat::Tsv),
            std::string(40000, '\\') + '\t' + quotes + '\t' + escapedNewlines + '\t' + plain + '\n');
  EXPECT_EQ(PutInBound(store, 0, RowFormat::Csv),
            backslashes + ",\"" + std::string(40000, '"') + "\",\"" + newlines + "\"," + plain + "\r\n");
  EXPECT_EQ(PutInBound(store, 1, RowFormat::Tsv), "\"\t\"\"\t\"\"\"\t\"\n");
  EXPECT_EQ(PutInBound(store, 1, RowFormat::Csv), "\"\"\"\",\"\"\"\"\"\",\"\"\"\"\"\"\"\",\"\"\"\"\r\n");
  EXPECT_EQ(PutInBound(store, 2, RowFormat::Tsv), "\\\\\t\\t\\t\t\\r\t\\n\n");
  EXPECT_EQ(PutInBound(store, 2, RowFormat::Csv), "\\,\t\t,\"\r\",\"\n\"\r\n");
}

TEST(RowLine, AFrameRowsLineEscapesTheTextsFromOutsideAsItsCellsRead) {
  // A frame's row is written from its fields: its line must be its cells, escaped.
  auto owner = std::make_shared<ProcessOwner>();
  owner->pid = 7;
  owner->name = "back\\slash";
  const PacketRow row{.packetNumber = 3, .length = 60, .kind = RowKind::Udp, .etherType = 0x0800, .ipProtocol = 17,
                      .data = "say \"a,b\" \\ end", .owner = owner.get(), .interfaceName = "web1: eth\t0"};
  RowStore store(ColumnSet::FromText(std::string(ColumnCount, '1')));
  store.AppendPacket(row);
  for (const RowFormat format : {RowFormat::Tsv, RowFormat::Csv}) {
    std::string cells;
    for (int c = 0; c < store.ColumnCount(); ++c) {
      if (c != 0) cells += format == RowFormat::Csv ? ',' : '\t';
      format == RowFormat::Csv ? AppendCsvCell(cells, store.Cell(0, c)) : AppendTsvCell(cells, store.Cell(0, c));
    }
    EXPECT_EQ(PutInBound(store, 0, format), cells + (format == RowFormat::Csv ? "\r\n" : "\n"));
  }
}

}  // namespace
