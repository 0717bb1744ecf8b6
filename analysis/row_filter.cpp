#include "analysis/row_filter.h"

#include <algorithm>
#include <bit>
#include <limits>

#include "analysis/decoder.h"
#include "analysis/ip_address.h"
#include "analysis/mac_text.h"
#include "analysis/packet_row.h"
#include "analysis/process_owner.h"

namespace {

constexpr int MaxNesting = 200;

// Bytes read as one big-endian number.
template <std::size_t N>
std::uint64_t BigEndianValue(const std::array<std::uint8_t, N>& bytes) {
  std::uint64_t value = 0;
  for (const std::uint8_t b : bytes) value = value << 8 | b;
  return value;
}

// Decimal, or hex after "0x" (either case); the whole text, without overflow.
std::optional<std::uint64_t> ParseNumber(std::string_view text) {
  unsigned base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    const int digit = HexDigit(c);
    if (digit < 0 || static_cast<unsigned>(digit) >= base) return std::nullopt;
    if (value > (std::numeric_limits<std::uint64_t>::max() - static_cast<unsigned>(digit)) / base) return std::nullopt;
    value = value * base + static_cast<unsigned>(digit);
  }
  return value;
}

std::optional<std::uint64_t> ParseIpv4(std::string_view text) {
  const std::optional<std::array<std::uint8_t, 4>> address = ParseDottedIpv4(text);
  if (!address) return std::nullopt;
  return BigEndianValue(*address);
}

std::optional<std::uint64_t> ParseMac(std::string_view text) {
  const std::optional<std::array<std::uint8_t, 6>> mac = ParseMacText(text);
  if (!mac) return std::nullopt;
  return BigEndianValue(*mac);
}

// "12.345678" (or "12", "12.5") as microseconds.
std::optional<std::uint64_t> ParseSeconds(std::string_view text) {
  const std::size_t dot = text.find('.');
  const std::string_view whole = text.substr(0, dot);
  std::string_view fraction = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
  if (whole.empty() || fraction.size() > 6 || (dot != std::string_view::npos && fraction.empty())) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : whole) {
    if (c < '0' || c > '9' || value > std::numeric_limits<std::uint64_t>::max() / 10 / 1000000) return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  std::uint64_t micros = 0;
  for (std::size_t i = 0; i < 6; ++i) {
    const char c = i < fraction.size() ? fraction[i] : '0';
    if (c < '0' || c > '9') return std::nullopt;
    micros = micros * 10 + static_cast<unsigned>(c - '0');
  }
  return value * 1000000 + micros;
}

// "TCP (Transmission Control Protocol)" -> "TCP"; a text without " (" is its own name.
std::string_view ShortName(std::string_view text) { return text.substr(0, text.find(" (")); }

const FilterField* FieldOfColumn(ColumnId id) {
  for (const FilterField& field : FilterFields) {
    if (field.column == id) return &field;
  }
  return nullptr;
}

const FilterField* FieldNamed(std::string_view name) {
  for (const FilterField& field : FilterFields) {
    if (field.name == name) return &field;
  }
  return nullptr;
}

std::optional<std::uint64_t> ParseAs(FilterFieldKind kind, std::string_view text) {
  switch (kind) {
    case FilterFieldKind::Number:
    case FilterFieldKind::ProcessId:
      return ParseNumber(text);
    case FilterFieldKind::Ipv4:
      return ParseIpv4(text);
    case FilterFieldKind::Mac:
      return ParseMac(text);
    case FilterFieldKind::Seconds:
      return ParseSeconds(text);
    case FilterFieldKind::Name:
      return ParseNumber(ShortName(text));
    case FilterFieldKind::Text:
    case FilterFieldKind::ProcessName:
    case FilterFieldKind::UserName:
      break;
  }
  return std::nullopt;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Compares as std::string_view::compare does, with ASCII letters of either case equal.
int CompareNoCase(std::string_view a, std::string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const auto x = static_cast<unsigned char>(Lower(a[i]));
    const auto y = static_cast<unsigned char>(Lower(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// Edits (a character put in, left out, changed, or two neighbours swapped) that turn a
// into b.
std::size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t change = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

// The known name closest to a word that names no field, when one is close enough to be
// the one meant: at most two edits, and fewer than half the word's letters.
std::optional<std::string_view> ClosestFieldName(std::string_view word) {
  if (word.size() > 40) return std::nullopt;
  std::vector<std::string_view> names;
  for (const FilterField& field : FilterFields) names.push_back(field.name);
  for (const FilterShorthand& shorthand : FilterShorthands) names.push_back(shorthand.name);
  for (const FilterSynonym& synonym : FilterSynonyms) names.push_back(synonym.name);
  std::optional<std::string_view> best;
  std::size_t bestDistance = std::min<std::size_t>(3, (word.size() + 1) / 2);
  for (const std::string_view name : names) {
    const std::size_t distance = EditDistance(word, name);
    if (distance < bestDistance) {
      bestDistance = distance;
      best = name;
    }
  }
  return best;
}

// The short name a protocol's number has in its column's table; empty when it has none.
std::string_view ProtocolName(ColumnId column, std::uint16_t number) {
  if (column == ColumnId::Protocol) {
    for (const EtherTypeEntry& entry : EtherTypeNames)
      if (entry.type == number) return ShortName(entry.name);
    return {};
  }
  for (const IpProtocolEntry& entry : IpProtocolTable)
    if (entry.number == number) return entry.name;
  return {};
}

enum class Op { Equal, NotEqual, Less, LessEqual, Greater, GreaterEqual, Contains, BitAnd };

template <typename T>
bool Holds(Op op, const T& cell, const T& value) {
  switch (op) {
    case Op::Equal:
      return cell == value;
    case Op::NotEqual:
      return cell != value;
    case Op::Less:
      return cell < value;
    case Op::LessEqual:
      return cell <= value;
    case Op::Greater:
      return cell > value;
    case Op::GreaterEqual:
      return cell >= value;
    default:
      return false;
  }
}

}  // namespace

std::optional<std::uint64_t> FilterRow::Value(ColumnId id) const { return FilterCellValue(id, Cell(id)); }

std::optional<IpAddress> FilterRow::Address(ColumnId id) const { return ParseIpAddress(Cell(id)); }

std::uint32_t FilterRow::ColumnsThatMayContain(const FilterNeedle&) const { return (1u << ColumnCount) - 1; }

FilterNeedle FilterNeedle::For(std::string text) {
  FilterNeedle needle;
  for (int id = 0; id < ColumnCount; ++id) {
    if (CellTextMayContain(static_cast<ColumnId>(id), text)) needle.fieldColumns |= 1u << id;
  }
  needle.text = std::move(text);
  return needle;
}

std::optional<std::uint64_t> FilterCellValue(ColumnId id, std::string_view text) {
  const FilterField* field = FieldOfColumn(id);
  if (field == nullptr || text.empty()) return std::nullopt;
  return ParseAs(field->kind, text);
}

std::string FilterError::Message(std::size_t textLength) const {
  const std::string where =
      position >= textLength ? "at the end" : "at character " + std::to_string(position + 1);
  if (!problem.empty()) return where + ": " + problem;
  return where + ": expected " + expected;
}

struct RowFilter::Node {
  enum class Kind { Or, And, Not, Compare, Present, Search };
  // How a compared value is matched against a cell.
  enum class Operand { Value, Text, Name, Address };

  Kind kind = Kind::Search;
  std::vector<int> children;  // Or, And, Not
  std::array<ColumnId, 2> columns{};
  int columnCount = 0;
  FilterFieldKind fieldKind = FilterFieldKind::Text;  // of the first field compared
  Op op = Op::Equal;
  Operand operand = Operand::Text;
  std::uint64_t value = 0;
  bool nameIsNumber = false;  // a Name operand that also reads as a number
  std::string text;           // what a text or name operand is compared with
  FilterNeedle needle;        // what a search or 'contains' looks for
  IpAddress address;          // an Address operand, and how many of its bits compare
  int prefixBits = 0;
};

RowFilter::RowFilter() = default;
RowFilter::RowFilter(RowFilter&&) noexcept = default;
RowFilter& RowFilter::operator=(RowFilter&&) noexcept = default;
RowFilter::~RowFilter() = default;

// Reads the expression token by token and builds the tree; the first mistake ends it.
class FilterParser {
 public:
  FilterParser(std::string_view text, RowFilter& filter) : text_(text), filter_(filter) {}

  bool Parse(FilterError* error) {
    Next();
    if (!failed_) {
      if (token_.kind == Tok::End) {
        Fail(token_.at, "a filter expression");
      } else {
        filter_.root_ = ParseOr(0);
        if (!failed_ && token_.kind != Tok::End) Fail(token_.at, "'and', 'or' or the end of the expression");
      }
    }
    if (failed_ && error) *error = error_;
    return !failed_;
  }

 private:
  enum class Tok { End, Open, Close, Word, String, Compare, Contains, BitAnd, And, Or, Not };
  struct Token {
    Tok kind = Tok::End;
    std::size_t at = 0;
    std::string text;  // a word, a string's contents, an operator's spelling
    Op op = Op::Equal;
  };
  using Node = RowFilter::Node;

  void Fail(std::size_t at, std::string expected, std::string problem = {}) {
    if (failed_) return;
    failed_ = true;
    error_.position = at;
    error_.expected = std::move(expected);
    error_.problem = std::move(problem);
    token_.kind = Tok::End;
  }

  static bool WordChar(char c) {
    switch (c) {
      case ' ': case '\t': case '\n': case '\r': case '\f': case '\v':
      case '(': case ')': case '"': case '=': case '!': case '<': case '>': case '&': case '|':
        return false;
      default:
        return true;
    }
  }

  void Next() {
    if (failed_) return;
    while (at_ < text_.size() && std::string_view(" \t\n\r\f\v").find(text_[at_]) != std::string_view::npos) ++at_;
    token_ = Token{};
    token_.at = at_;
    if (at_ >= text_.size()) return;
    const char c = text_[at_];
    const char after = at_ + 1 < text_.size() ? text_[at_ + 1] : '\0';
    auto symbol = [&](Tok kind, std::size_t length, Op op = Op::Equal) {
      token_.kind = kind;
      token_.op = op;
      token_.text = std::string(text_.substr(at_, length));
      at_ += length;
    };
    switch (c) {
      case '(': return symbol(Tok::Open, 1);
      case ')': return symbol(Tok::Close, 1);
      case '=':
        if (after == '=') return symbol(Tok::Compare, 2, Op::Equal);
        return Fail(at_, "'==' (a single '=' is not an operator)");
      case '!':
        if (after == '=') return symbol(Tok::Compare, 2, Op::NotEqual);
        return symbol(Tok::Not, 1);
      case '<':
        if (after == '=') return symbol(Tok::Compare, 2, Op::LessEqual);
        return symbol(Tok::Compare, 1, Op::Less);
      case '>':
        if (after == '=') return symbol(Tok::Compare, 2, Op::GreaterEqual);
        return symbol(Tok::Compare, 1, Op::Greater);
      case '&':
        if (after == '&') return symbol(Tok::And, 2);
        return symbol(Tok::BitAnd, 1, Op::BitAnd);
      case '|':
        if (after == '|') return symbol(Tok::Or, 2);
        return Fail(at_, "'||' (a single '|' is not an operator)");
      case '"':
        return ReadString();
      default:
        break;
    }
    std::size_t end = at_;
    while (end < text_.size() && WordChar(text_[end])) ++end;
    token_.text = std::string(text_.substr(at_, end - at_));
    at_ = end;
    if (token_.text == "and") {
      token_.kind = Tok::And;
    } else if (token_.text == "or") {
      token_.kind = Tok::Or;
    } else if (token_.text == "not") {
      token_.kind = Tok::Not;
    } else if (token_.text == "contains") {
      token_.kind = Tok::Contains;
      token_.op = Op::Contains;
    } else {
      token_.kind = Tok::Word;
    }
  }

  void ReadString() {
    token_.kind = Tok::String;
    std::size_t i = at_ + 1;
    for (;;) {
      if (i >= text_.size()) return Fail(text_.size(), "'\"' to close the string opened at character " +
                                                           std::to_string(token_.at + 1));
      const char c = text_[i];
      if (c == '"') break;
      if (c == '\\') {
        const char escaped = i + 1 < text_.size() ? text_[i + 1] : '\0';
        if (escaped != '"' && escaped != '\\') return Fail(i, "'\\\"' or '\\\\' (the only escapes in a string)");
        token_.text += escaped;
        i += 2;
        continue;
      }
      token_.text += c;
      ++i;
    }
    at_ = i + 1;
  }

  int Add(Node node) {
    filter_.nodes_.push_back(std::move(node));
    return static_cast<int>(filter_.nodes_.size()) - 1;
  }

  // A chain of one operator becomes one node with every operand as a child.
  int ParseOr(int depth) {
    const int first = ParseAnd(depth);
    if (token_.kind != Tok::Or) return first;
    Node node;
    node.kind = Node::Kind::Or;
    node.children.push_back(first);
    while (!failed_ && token_.kind == Tok::Or) {
      Next();
      node.children.push_back(ParseAnd(depth));
    }
    return Add(std::move(node));
  }

  int ParseAnd(int depth) {
    const int first = ParseUnary(depth);
    if (token_.kind != Tok::And) return first;
    Node node;
    node.kind = Node::Kind::And;
    node.children.push_back(first);
    while (!failed_ && token_.kind == Tok::And) {
      Next();
      node.children.push_back(ParseUnary(depth));
    }
    return Add(std::move(node));
  }

  int ParseUnary(int depth) {
    // A run of negations is counted rather than recursed into, so no input nests deeply.
    bool negate = false;
    while (token_.kind == Tok::Not) {
      negate = !negate;
      Next();
    }
    const int operand = ParsePrimary(depth);
    if (!negate || failed_) return operand;
    Node node;
    node.kind = Node::Kind::Not;
    node.children.push_back(operand);
    return Add(std::move(node));
  }

  int ParsePrimary(int depth) {
    if (failed_) return 0;
    switch (token_.kind) {
      case Tok::Open: {
        if (depth >= MaxNesting) {
          Fail(token_.at, "at most " + std::to_string(MaxNesting) + " nested parentheses");
          return 0;
        }
        const std::size_t open = token_.at;
        Next();
        if (token_.kind == Tok::Close) {
          Fail(token_.at, "an expression inside the parentheses");
          return 0;
        }
        const int inner = ParseOr(depth + 1);
        if (failed_) return 0;
        if (token_.kind != Tok::Close) {
          Fail(token_.at, "')' to close the '(' at character " + std::to_string(open + 1));
          return 0;
        }
        Next();
        return inner;
      }
      case Tok::String: {
        Node node = Search(token_.text);
        Next();
        return Add(std::move(node));
      }
      case Tok::Word:
        return ParseTest();
      case Tok::End:
        Fail(token_.at, "a field, a word, a string, 'not' or '('");
        return 0;
      default:
        Fail(token_.at, "a field, a word, a string, 'not' or '(' before '" + token_.text + "'");
        return 0;
    }
  }

  Node Search(std::string text) {
    Node node;
    node.kind = Node::Kind::Search;
    node.needle = FilterNeedle::For(std::move(text));
    filter_.columnsRead_ = (1u << ColumnCount) - 1;
    return node;
  }

  // "tcp" alone: the rows whose column names that protocol, as "ulp == TCP" keeps them.
  Node ProtocolTest(const FilterProtocolWord& protocol) {
    Node node;
    node.kind = Node::Kind::Compare;
    node.operand = Node::Operand::Name;
    node.columnCount = 1;
    node.columns[0] = protocol.column;
    node.text = std::string(ProtocolName(protocol.column, protocol.number));
    filter_.columnsRead_ |= 1u << static_cast<int>(protocol.column);
    return node;
  }

  static bool IsOperator(Tok kind) { return kind == Tok::Compare || kind == Tok::Contains || kind == Tok::BitAnd; }

  int ParseTest() {
    const Token word = token_;
    Next();
    if (failed_) return 0;
    std::string_view name = word.text;
    for (const FilterSynonym& synonym : FilterSynonyms) {
      if (synonym.name != name) continue;
      if (synonym.field.empty()) {
        Fail(word.at, "a field the rows keep", "no field " + word.text + ": the rows keep the ports of TCP only (port)");
        return 0;
      }
      name = synonym.field;
    }
    std::array<const FilterField*, 2> fields{};
    int count = 0;
    if (const FilterField* field = FieldNamed(name)) {
      fields[count++] = field;
    } else {
      for (const FilterShorthand& shorthand : FilterShorthands) {
        if (shorthand.name != name) continue;
        fields[count++] = FieldNamed(shorthand.first);
        fields[count++] = FieldNamed(shorthand.second);
      }
    }
    if (count == 0) {
      if (IsOperator(token_.kind)) {
        if (const std::optional<std::string_view> meant = ClosestFieldName(word.text)) {
          Fail(word.at, "a field name", "no field " + word.text + "; did you mean " + std::string(*meant) + "?");
        } else {
          Fail(word.at, "a field name before '" + token_.text + "' ('" + word.text + "' is none)");
        }
        return 0;
      }
      for (const FilterProtocolWord& protocol : FilterProtocolWords) {
        if (protocol.word == word.text) return Add(ProtocolTest(protocol));
      }
      return Add(Search(word.text));
    }
    const bool valueFollows = token_.kind == Tok::Word || token_.kind == Tok::String;

    Node node;
    node.columnCount = count;
    node.fieldKind = fields[0]->kind;
    for (int i = 0; i < count; ++i) {
      node.columns[static_cast<std::size_t>(i)] = fields[static_cast<std::size_t>(i)]->column;
      filter_.columnsRead_ |= 1u << static_cast<int>(fields[static_cast<std::size_t>(i)]->column);
    }
    if (!IsOperator(token_.kind) && !valueFollows) {
      node.kind = Node::Kind::Present;
      return Add(std::move(node));
    }
    node.kind = Node::Kind::Compare;
    std::string spelling = "'" + word.text + "'";
    if (IsOperator(token_.kind)) {
      node.op = token_.op;
      spelling = "'" + token_.text + "'";
      Next();
      if (failed_) return 0;
    }
    if (token_.kind != Tok::Word && token_.kind != Tok::String) {
      Fail(token_.at, "a value after " + spelling);
      return 0;
    }
    const FilterFieldKind kind = fields[0]->kind;
    if (!Operand(node, kind, token_)) return 0;
    Next();
    return Add(std::move(node));
  }

  // The value of a comparison, as the field's kind reads it.
  bool Operand(Node& node, FilterFieldKind kind, const Token& value) {
    if (node.op == Op::BitAnd) {
      if (kind != FilterFieldKind::Number) {
        Fail(value.at, "a numeric field before '&' (a number field, 'flags' or a port)");
        return false;
      }
    }
    if (node.op == Op::Contains) {
      node.operand = Node::Operand::Text;
      std::string text = value.text;
      // The address and flag cells are shown in one case; letters typed in the other still
      // find them.
      if (kind == FilterFieldKind::Mac) {
        std::transform(text.begin(), text.end(), text.begin(),
                       [](char c) { return c >= 'a' && c <= 'f' ? static_cast<char>(c - 'a' + 'A') : c; });
      } else if (kind == FilterFieldKind::Number) {
        std::transform(text.begin(), text.end(), text.begin(),
                       [](char c) { return (c >= 'A' && c <= 'F') || c == 'X' ? static_cast<char>(c - 'A' + 'a') : c; });
      }
      node.needle = FilterNeedle::For(std::move(text));
      return true;
    }
    if (value.kind == Tok::String && node.op != Op::BitAnd) {
      node.operand = Node::Operand::Text;
      node.text = value.text;
      return true;
    }
    switch (kind) {
      case FilterFieldKind::Text:
      case FilterFieldKind::ProcessName:
      case FilterFieldKind::UserName:
        node.operand = Node::Operand::Text;
        node.text = value.text;
        return true;
      case FilterFieldKind::Name: {
        node.operand = Node::Operand::Name;
        node.text = value.text;
        const std::optional<std::uint64_t> number = ParseNumber(value.text);
        node.nameIsNumber = number.has_value();
        node.value = number.value_or(0);
        return true;
      }
      default:
        break;
    }
    if (kind == FilterFieldKind::Ipv4) return AddressOperand(node, value);
    const std::optional<std::uint64_t> parsed = ParseAs(kind, value.text);
    if (!parsed) {
      switch (kind) {
        case FilterFieldKind::Mac:
          Fail(value.at, "a MAC address like 00:A0:C9:12:34:56");
          break;
        case FilterFieldKind::Seconds:
          Fail(value.at, "seconds like 12 or 1.5 (at most six decimals)");
          break;
        default:
          Fail(value.at, "a number (decimal or 0x-hex)");
          break;
      }
      return false;
    }
    node.operand = Node::Operand::Value;
    node.value = *parsed;
    return true;
  }

  // An IPv4 or IPv6 address, or a network as ADDRESS/BITS (with '==' and '!=' only).
  bool AddressOperand(Node& node, const Token& value) {
    const std::string_view text = value.text;
    const std::size_t slash = text.find('/');
    const std::optional<IpAddress> address = ParseIpAddress(text.substr(0, slash));
    if (!address) {
      Fail(value.at, "an IPv4 address like 10.0.0.1, an IPv6 address like 2001:db8::1, or a network like 2001:db8::/32");
      return false;
    }
    node.operand = Node::Operand::Address;
    node.address = *address;
    node.prefixBits = address->Bits();
    if (slash == std::string_view::npos) return true;
    const std::string_view digits = text.substr(slash + 1);
    const bool decimal = !digits.empty() && digits.size() <= 3 &&
                         std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
    const std::optional<std::uint64_t> bits = decimal ? ParseNumber(digits) : std::nullopt;
    if (!bits || *bits > static_cast<std::uint64_t>(address->Bits())) {
      Fail(value.at + slash + 1, "a prefix length of 0 to " + std::to_string(address->Bits()) + " bits");
      return false;
    }
    if (node.op != Op::Equal && node.op != Op::NotEqual) {
      Fail(value.at, "'==' or '!=' before a network (ADDRESS/BITS)");
      return false;
    }
    node.prefixBits = static_cast<int>(*bits);
    return true;
  }

  std::string_view text_;
  RowFilter& filter_;
  std::size_t at_ = 0;
  Token token_;
  bool failed_ = false;
  FilterError error_;
};

std::optional<RowFilter> RowFilter::Compile(std::string_view text, FilterError* error) {
  RowFilter filter;
  FilterParser parser(text, filter);
  if (!parser.Parse(error)) return std::nullopt;
  return filter;
}

bool RowFilter::Matches(const FilterRow& row) const { return Evaluate(root_, row); }

bool RowFilter::OwnerMatches(const Node& node, const ProcessOwner* owner) const {
  if (owner == nullptr) return false;
  if (node.fieldKind == FilterFieldKind::ProcessId) {
    if (owner->pid == 0) return false;
    if (node.kind == Node::Kind::Present) return true;
    if (node.op == Op::Contains) return std::to_string(owner->pid).find(node.needle.text) != std::string::npos;
    if (node.operand != Node::Operand::Value) return Holds(node.op, std::string_view(std::to_string(owner->pid)), std::string_view(node.text));
    return node.op == Op::BitAnd ? (owner->pid & node.value) != 0 : Holds(node.op, std::uint64_t{owner->pid}, node.value);
  }
  // A user-only owner has no process name.
  const std::string_view text = node.fieldKind == FilterFieldKind::UserName ? std::string_view(owner->user)
                                : owner->pid != 0                          ? std::string_view(owner->name)
                                                                           : std::string_view();
  if (text.empty()) return false;
  if (node.kind == Node::Kind::Present) return true;
  if (node.op == Op::Contains) return text.find(node.needle.text) != std::string_view::npos;
  return Holds(node.op, text, std::string_view(node.text));
}

bool RowFilter::Evaluate(int index, const FilterRow& row) const {
  const Node& node = nodes_[static_cast<std::size_t>(index)];
  switch (node.kind) {
    case Node::Kind::Or:
      return std::any_of(node.children.begin(), node.children.end(), [&](int child) { return Evaluate(child, row); });
    case Node::Kind::And:
      return std::all_of(node.children.begin(), node.children.end(), [&](int child) { return Evaluate(child, row); });
    case Node::Kind::Not:
      return !Evaluate(node.children[0], row);
    case Node::Kind::Search: {
      // Only the cells that can hold the text are built and looked in; the others cannot
      // change the answer.
      for (std::uint32_t columns = row.ColumnsThatMayContain(node.needle); columns != 0; columns &= columns - 1) {
        const auto id = static_cast<ColumnId>(std::countr_zero(columns));
        if (row.SearchText(id).find(node.needle.text) != std::string_view::npos) return true;
      }
      return false;
    }
    case Node::Kind::Present:
    case Node::Kind::Compare:
      break;
  }
  switch (node.fieldKind) {
    case FilterFieldKind::ProcessName:
    case FilterFieldKind::ProcessId:
    case FilterFieldKind::UserName:
      return OwnerMatches(node, row.Owner());
    default:
      break;
  }
  for (int i = 0; i < node.columnCount; ++i) {
    const ColumnId id = node.columns[static_cast<std::size_t>(i)];
    if (node.kind == Node::Kind::Present) {
      if (!row.Cell(id).empty()) return true;
      continue;
    }
    if (node.operand == Node::Operand::Address) {
      const std::optional<IpAddress> cell = row.Address(id);
      if (!cell) continue;
      // A network holds the addresses of its family whose first bits are its own; an
      // address of the other family is outside it, and orders before (IPv4) or after it.
      const bool holds = node.op == Op::Equal      ? cell->InPrefix(node.address, node.prefixBits)
                         : node.op == Op::NotEqual ? !cell->InPrefix(node.address, node.prefixBits)
                                                   : Holds(node.op, *cell, node.address);
      if (holds) return true;
      continue;
    }
    if (node.operand == Node::Operand::Value) {
      const std::optional<std::uint64_t> cell = row.Value(id);
      if (!cell) continue;
      if (node.op == Op::BitAnd ? (*cell & node.value) != 0 : Holds(node.op, *cell, node.value)) return true;
      continue;
    }
    if (node.op == Op::Contains) {
      if ((row.ColumnsThatMayContain(node.needle) >> static_cast<int>(id) & 1u) == 0) continue;
      const std::string_view cell = row.SearchText(id);
      if (!cell.empty() && cell.find(node.needle.text) != std::string_view::npos) return true;
      continue;
    }
    const std::string_view cell = row.Cell(id);
    if (cell.empty()) continue;
    if (node.operand == Node::Operand::Name) {
      // A protocol shown as a number ("47", "0x88CC") compares as one.
      if (node.nameIsNumber) {
        if (const std::optional<std::uint64_t> number = row.Value(id)) {
          if (Holds(node.op, *number, node.value)) return true;
          continue;
        }
      }
      // Names are told apart by their letters, not their case: ulp == udp is UDP.
      if (Holds(node.op, CompareNoCase(ShortName(cell), node.text), 0)) return true;
      continue;
    }
    if (Holds(node.op, cell, std::string_view(node.text))) return true;
  }
  return false;
}
