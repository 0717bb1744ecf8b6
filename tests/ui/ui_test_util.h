#pragma once
// Rows and column sets for the ui tests.

#include <string>
#include <string_view>
#include <vector>

#include "analysis/columns.h"
#include "analysis/row_store.h"

// count rows of `columns` cells: cell 0 the packet number (first, first+1, ...), cell c
// "r<row>c<c>".
inline RowStore MakeRows(int columns, int first, int count) {
  RowStore store(columns);
  std::vector<std::string> texts(static_cast<std::size_t>(columns));
  std::vector<std::string_view> cells(static_cast<std::size_t>(columns));
  for (int i = 0; i < count; ++i) {
    const int number = first + i;
    texts[0] = std::to_string(number);
    for (int c = 1; c < columns; ++c) texts[c] = std::string("r").append(std::to_string(number)).append("c").append(std::to_string(c));
    for (int c = 0; c < columns; ++c) cells[c] = texts[c];
    store.AppendRow(cells);
  }
  return store;
}

inline RowStore MakeRow(std::vector<std::string_view> cells) {
  RowStore store(static_cast<int>(cells.size()));
  store.AppendRow(cells);
  return store;
}

// The first n columns of the catalogue shown, or the given ids.
inline ColumnSet ShowFirst(int n) {
  ColumnSet set;
  for (int i = 0; i < n && i < ColumnCount; ++i) set.shown[i] = 1;
  set.shown[0] = 1;
  set.AssignColumnPositions();
  return set;
}

inline ColumnSet ShowIds(std::initializer_list<ColumnId> ids) {
  ColumnSet set;
  set.shown[0] = 1;
  for (ColumnId id : ids) set.shown[static_cast<int>(id)] = 1;
  set.AssignColumnPositions();
  return set;
}
