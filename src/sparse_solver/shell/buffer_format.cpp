// The format check reads the text the way Python's struct module describes it, one
// value at a time, and compares each value with the expected element as soon as the
// next token shows that the value is complete.
//
// Design constraints: the text comes from any exporter, so nothing here may read past
// its terminating NUL, recurse without bound or loop for long on a short text; every
// refusal is one fixed message. Byte order: only little-endian hosts are supported.
#include "buffer_format.hpp"

#include "messages.hpp"

#include <climits>
#include <cstdarg>
#include <cstdio>

namespace vendrel {
namespace {

// Records nest no deeper, and no text takes more steps, than any real exporter needs.
constexpr int kMaxRecordDepth = 64;
constexpr long kMaxSteps = 1L << 20;

// A type's alignment as a struct member, which is what native ('@') packing uses.
template <class T>
struct AlignOf {
  char c;
  T x;
};
template <class T>
constexpr std::size_t kAlign = offsetof(AlignOf<T>, x);

// One row per value code, as the struct module keeps its format table.
struct Code {
  char code;
  std::size_t size;           // native ('@' and '^')
  std::size_t alignment;      // native ('@')
  std::size_t standard_size;  // '=' and '<'; 0 for the long double, which has none
  // 'I' signed, 'U' unsigned, 'R' floating point, 'H' character (matches any type of its
  // size), 'O' Python object, 'P' pointer. A complex value ('Z' prefix) is 'C'.
  char kind;
  const char* name;          // in messages
  const char* complex_name;  // in messages with the 'Z' prefix; null where it is not allowed
};

constexpr Code kCodes[] = {
    {'c', 1, 1, 1, 'H', "'char'", nullptr},
    {'b', 1, 1, 1, 'I', "'signed char'", nullptr},
    {'B', 1, 1, 1, 'U', "'unsigned char'", nullptr},
    {'h', sizeof(short), kAlign<short>, 2, 'I', "'short'", nullptr},
    {'H', sizeof(short), kAlign<short>, 2, 'U', "'unsigned short'", nullptr},
    {'i', sizeof(int), kAlign<int>, 4, 'I', "'int'", nullptr},
    {'I', sizeof(int), kAlign<int>, 4, 'U', "'unsigned int'", nullptr},
    {'l', sizeof(long), kAlign<long>, 4, 'I', "'long'", nullptr},
    {'L', sizeof(long), kAlign<long>, 4, 'U', "'unsigned long'", nullptr},
    {'q', sizeof(long long), kAlign<long long>, 8, 'I', "'long long'", nullptr},
    {'Q', sizeof(long long), kAlign<long long>, 8, 'U', "'unsigned long long'", nullptr},
    {'f', sizeof(float), kAlign<float>, 4, 'R', "'float'", "'complex float'"},
    {'d', sizeof(double), kAlign<double>, 8, 'R', "'double'", "'complex double'"},
    {'g', sizeof(long double), kAlign<long double>, 0, 'R', "'long double'",
     "'complex long double'"},
    {'O', sizeof(void*), kAlign<void*>, sizeof(void*), 'O', "Python object", nullptr},
    {'P', sizeof(void*), kAlign<void*>, sizeof(void*), 'P', "a pointer", nullptr},
    // A string's count is its length, so repeats of 's' are never gathered into one value.
    {'s', 1, 1, 1, 'I', "a string", nullptr},
    {'p', 1, 1, 1, 'I', "a string", nullptr},
};

const Code* find_code(char c) noexcept {
  for (const Code& row : kCodes) {
    if (row.code == c) return &row;
  }
  return nullptr;
}

constexpr char kEnd[] = "end";
constexpr char kUnparseable[] = "unparseable format string";

class Checker {
 public:
  explicit Checker(const ElementSpec& expected) noexcept : expected_(expected) {}

  FormatVerdict run(const char* format) noexcept {
    verdict_.accepted = false;
    verdict_.message[0] = 0;
    if (format == nullptr) format = "B";
    if (parse(format, 0) != nullptr) verdict_.accepted = true;
    return verdict_;
  }

 private:
  // How far the reading has come, as one copyable record so that a repeated record can
  // tell whether another repetition could change anything.
  struct Progress {
    bool done = false;            // the expected value has been matched
    std::size_t offset = 0;       // byte offset of the next value in the element
    std::size_t new_count = 1;    // the count just read, for the next code
    std::size_t pending_count = 0;  // values of `pending` not yet compared
    const Code* pending = nullptr;  // the code of the values being collected
    bool pending_complex = false;
    char new_packing = '@';
    char pending_packing = '@';
    bool shaped = false;          // an array shape was read for the next code
    std::size_t record_alignment = 0;

    bool same_outcome_as(const Progress& o) const noexcept {
      // Once the value is matched, offsets no longer matter.
      return done == o.done && (done || offset == o.offset) && new_count == o.new_count &&
             pending_count == o.pending_count && pending == o.pending &&
             pending_complex == o.pending_complex && new_packing == o.new_packing &&
             pending_packing == o.pending_packing && shaped == o.shaped &&
             record_alignment == o.record_alignment;
    }
  };

  void refuse(const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    std::vsnprintf(verdict_.message, sizeof verdict_.message, format, args);
    va_end(args);
  }

  // A format character in a message, as UTF-8 (the text may hold any byte).
  void refuse_char(const char* format, char c) noexcept {
    auto u = static_cast<unsigned char>(c);
    char shown[3] = {static_cast<char>(u), 0, 0};
    if (u >= 0x80) {
      shown[0] = static_cast<char>(0xC0 | (u >> 6));
      shown[1] = static_cast<char>(0x80 | (u & 0x3F));
    }
    refuse(format, shown);
  }

  // What was found instead of the expected value: the values being collected, or the end.
  const char* found() const noexcept {
    if (s_.pending == nullptr) return kEnd;
    return s_.pending_complex ? s_.pending->complex_name : s_.pending->name;
  }

  void refuse_expected() noexcept {
    if (s_.done) {
      refuse(msg::kDtypeMismatch, "", kEnd, "", found());
    } else {
      refuse(msg::kDtypeMismatch, "'", expected_.name, "'", found());
    }
  }

  void refuse_unparseable() noexcept {
    refuse(msg::kDtypeMismatch, "'", expected_.name, "'", kUnparseable);
  }

  // Compares the collected values with the expected element. False if refused.
  bool flush() noexcept {
    if (s_.pending == nullptr) return true;
    if (s_.done) {
      refuse_expected();
      return false;
    }
    const Code& code = *s_.pending;
    std::size_t parts = s_.pending_complex ? 2 : 1;
    bool native = s_.pending_packing == '@' || s_.pending_packing == '^';
    std::size_t size = (native ? code.size : code.standard_size) * parts;
    if (size == 0) {
      refuse(msg::kNoStandardLongDouble);
      return false;
    }
    if (s_.pending_packing == '@') {
      if (s_.offset % code.alignment != 0) s_.offset += code.alignment - s_.offset % code.alignment;
      if (s_.record_alignment == 0) s_.record_alignment = code.alignment;
    }
    char kind = s_.pending_complex ? 'C' : code.kind;
    bool char_of_same_size = kind == 'H' && size == expected_.size;
    if ((size != expected_.size || kind != expected_.kind) && !char_of_same_size) {
      refuse_expected();
      return false;
    }
    if (s_.offset != 0) {
      refuse(msg::kFieldOffset, static_cast<std::ptrdiff_t>(s_.offset),
             static_cast<std::ptrdiff_t>(0));
      return false;
    }
    s_.offset += size;
    s_.done = true;
    if (--s_.pending_count != 0) {
      refuse_expected();
      return false;
    }
    s_.pending = nullptr;
    s_.pending_complex = false;
    return true;
  }

  // A decimal count at `*text`; -1 if there is none. Saturates rather than overflowing.
  static long read_number(const char** text) noexcept {
    const char* t = *text;
    if (*t < '0' || *t > '9') return -1;
    long n = 0;
    while (*t >= '0' && *t <= '9') {
      if (n < INT_MAX) n = n * 10 + (*t - '0');
      if (n > INT_MAX) n = INT_MAX;
      ++t;
    }
    *text = t;
    return n;
  }

  // Parses up to the end of the text or of the current record; returns where it stopped,
  // or null if the format was refused. Records and values are read by the functions below.
  const char* parse(const char* t, int depth) noexcept {
    while (t != nullptr) {
      if (++steps_ > kMaxSteps) {
        refuse_unparseable();
        return nullptr;
      }
      switch (*t) {
        case 0:
          return finish() ? t : nullptr;
        case ' ': case '\r': case '\n':
          ++t;
          break;
        case '<':  // little-endian, the native order here
          s_.new_packing = '=';
          ++t;
          break;
        case '>': case '!':
          refuse(msg::kBigEndian);
          return nullptr;
        case '=': case '@': case '^':
          s_.new_packing = *t++;
          break;
        case 'T':
          t = parse_record(t + 1, depth);
          break;
        case '}':
          return close_record(t, depth);
        case 'x':
          t = skip_padding(t);
          break;
        case ':':  // a member name, ":name:"
          ++t;
          while (*t != 0 && *t != ':') ++t;
          if (*t == ':') ++t;
          break;
        case '(':
          t = parse_shape(t);
          break;
        default:
          t = parse_value(t);
      }
    }
    return nullptr;
  }

  // At the end of the text: the expected value must be complete, and nothing after it.
  bool finish() noexcept {
    if (!flush()) return false;
    if (!s_.done) {
      refuse_expected();
      return false;
    }
    return true;
  }

  // A record "T{...}" at `t` (after the 'T'), read as many times as the count before it.
  const char* parse_record(const char* t, int depth) noexcept {
    std::size_t repeats = s_.new_count;
    std::size_t outer_alignment = s_.record_alignment;
    s_.new_count = 1;
    if (*t != '{') {
      refuse(msg::kExpectedBrace);
      return nullptr;
    }
    if (depth >= kMaxRecordDepth) {
      refuse_unparseable();
      return nullptr;
    }
    if (!flush()) return nullptr;
    s_.pending = nullptr;
    s_.pending_count = 0;
    s_.record_alignment = 0;
    ++t;
    const char* after = t;
    for (std::size_t i = 0; i < repeats; ++i) {
      Progress before = s_;
      after = parse(t, depth + 1);
      if (after == nullptr) return nullptr;
      // Once a repetition leaves the progress as it found it, the rest would too.
      if (s_.same_outcome_as(before)) break;
    }
    if (outer_alignment != 0) s_.record_alignment = outer_alignment;
    return after;
  }

  // The '}' at `t` that closes the current record, which ends padded to its alignment.
  const char* close_record(const char* t, int depth) noexcept {
    if (depth == 0) {  // closes no record
      refuse_char(msg::kUnknownFormatCharacter, '}');
      return nullptr;
    }
    std::size_t alignment = s_.record_alignment;
    if (!flush()) return nullptr;
    s_.pending = nullptr;
    if (alignment != 0 && s_.offset % alignment != 0) {
      s_.offset += alignment - s_.offset % alignment;
    }
    return t + 1;
  }

  // Padding bytes, as many as the count before the 'x' at `t`.
  const char* skip_padding(const char* t) noexcept {
    if (!flush()) return nullptr;
    s_.offset += s_.new_count;
    s_.new_count = 1;
    s_.pending_count = 0;
    s_.pending = nullptr;
    s_.pending_packing = s_.new_packing;
    return t + 1;
  }

  // An array shape "(d1,d2,...)"; the expected element has no shape. Null if refused.
  const char* parse_shape(const char* t) noexcept {
    ++t;
    if (s_.new_count != 1) {
      refuse(msg::kRepeatedArrays);
      return nullptr;
    }
    if (!flush()) return nullptr;
    const int dims_expected = 0;
    int dims = 0;
    while (*t != 0 && *t != ')') {
      if (*t == ' ' || *t == '\f' || *t == '\r' || *t == '\n' || *t == '\t' || *t == '\v') {
        ++t;
        continue;
      }
      if (read_number(&t) < 0) {
        refuse_char(msg::kUnknownFormatCharacter, *t);
        return nullptr;
      }
      if (*t == 0) break;
      if (*t != ',' && *t != ')') {
        refuse_char(msg::kExpectedComma, *t);
        return nullptr;
      }
      if (*t == ',') ++t;
      ++dims;
    }
    // A text that ends inside the shape is refused as unclosed, unless it ended right
    // after a separator, when the count of dimensions is known.
    bool unclosed = *t == 0 && t[-1] != ',';
    if (!unclosed && dims != dims_expected) {
      refuse(msg::kShapeDimensions, dims_expected, dims);
      return nullptr;
    }
    if (*t == 0) {
      refuse(msg::kUnclosedShape);
      return nullptr;
    }
    s_.shaped = true;
    s_.new_count = 1;
    return t + 1;
  }

  // A value code at `t`, possibly complex ("Zd"), or else a count for the next code.
  const char* parse_value(const char* t) noexcept {
    bool is_complex = *t == 'Z';
    if (is_complex) {
      ++t;
      const Code* code = find_code(*t);
      if (code == nullptr || code->complex_name == nullptr) {
        refuse_char(msg::kUnexpectedFormatCharacter, 'Z');
        return nullptr;
      }
    }
    const Code* code = find_code(*t);
    if (code == nullptr) {
      long n = read_number(&t);
      if (n < 0) {
        refuse_char(msg::kUnknownFormatCharacter, *t);
        return nullptr;
      }
      s_.new_count = static_cast<std::size_t>(n);
      return t;
    }
    if (code->code != 's' && s_.pending == code && is_complex == s_.pending_complex &&
        s_.pending_packing == s_.new_packing && !s_.shaped) {
      // The same code again: one more of the values being collected.
      s_.pending_count += s_.new_count;
    } else {
      if (!flush()) return nullptr;
      s_.pending_count = s_.new_count;
      s_.pending_packing = s_.new_packing;
      s_.pending = code;
      s_.pending_complex = is_complex;
    }
    s_.new_count = 1;
    return t + 1;
  }

  const ElementSpec& expected_;
  Progress s_;
  long steps_ = 0;
  FormatVerdict verdict_{};
};

}  // namespace

FormatVerdict check_buffer_format(const char* format, const ElementSpec& expected) noexcept {
  return Checker(expected).run(format);
}

}  // namespace vendrel
