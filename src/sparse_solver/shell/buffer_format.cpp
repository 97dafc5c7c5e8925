// The format check reads the text the way Python's struct module describes it, one
// value at a time, and compares each value with the expected element as soon as the
// next token shows that the value is complete.
//
// Design constraints: the text comes from any exporter, so nothing here may read past
// its terminating NUL, recurse without bound or loop for long on a short text; every
// refusal is one fixed message. Byte order: only little-endian hosts are supported.
#include "buffer_format.hpp"

#include <climits>
#include <cstdarg>
#include <cstdio>

namespace vendrel {
namespace {

// Records nest no deeper, and no text takes more steps, than any real exporter needs.
constexpr int kMaxRecordDepth = 64;
constexpr long kMaxSteps = 1L << 20;

const char* describe(char code, bool is_complex) noexcept {
  switch (code) {
    case 'c': return "'char'";
    case 'b': return "'signed char'";
    case 'B': return "'unsigned char'";
    case 'h': return "'short'";
    case 'H': return "'unsigned short'";
    case 'i': return "'int'";
    case 'I': return "'unsigned int'";
    case 'l': return "'long'";
    case 'L': return "'unsigned long'";
    case 'q': return "'long long'";
    case 'Q': return "'unsigned long long'";
    case 'f': return is_complex ? "'complex float'" : "'float'";
    case 'd': return is_complex ? "'complex double'" : "'double'";
    case 'g': return is_complex ? "'complex long double'" : "'long double'";
    case 'T': return "a struct";
    case 'O': return "Python object";
    case 'P': return "a pointer";
    case 's': case 'p': return "a string";
    case 0: return "end";
    default: return "unparseable format string";
  }
}

std::size_t native_size(char code, bool is_complex) noexcept {
  std::size_t parts = is_complex ? 2 : 1;
  switch (code) {
    case 'c': case 'b': case 'B': case 's': case 'p': return 1;
    case 'h': case 'H': return sizeof(short);
    case 'i': case 'I': return sizeof(int);
    case 'l': case 'L': return sizeof(long);
    case 'q': case 'Q': return sizeof(long long);
    case 'f': return sizeof(float) * parts;
    case 'd': return sizeof(double) * parts;
    case 'g': return sizeof(long double) * parts;
    case 'O': case 'P': return sizeof(void*);
    default: return 0;
  }
}

// 0 for the long double, which has no standard size.
std::size_t standard_size(char code, bool is_complex) noexcept {
  switch (code) {
    case 'c': case 'b': case 'B': case 's': case 'p': return 1;
    case 'h': case 'H': return 2;
    case 'i': case 'I': case 'l': case 'L': return 4;
    case 'q': case 'Q': return 8;
    case 'f': return is_complex ? 8 : 4;
    case 'd': return is_complex ? 16 : 8;
    case 'O': case 'P': return sizeof(void*);
    default: return 0;
  }
}

template <class T>
struct AlignOf {
  char c;
  T x;
};

std::size_t native_alignment(char code) noexcept {
  switch (code) {
    case 'h': case 'H': return offsetof(AlignOf<short>, x);
    case 'i': case 'I': return offsetof(AlignOf<int>, x);
    case 'l': case 'L': return offsetof(AlignOf<long>, x);
    case 'q': case 'Q': return offsetof(AlignOf<long long>, x);
    case 'f': return offsetof(AlignOf<float>, x);
    case 'd': return offsetof(AlignOf<double>, x);
    case 'g': return offsetof(AlignOf<long double>, x);
    case 'O': case 'P': return offsetof(AlignOf<void*>, x);
    default: return 1;
  }
}

// 'H' for characters, which match any type of their size.
char kind_of(char code, bool is_complex) noexcept {
  switch (code) {
    case 'c': return 'H';
    case 'b': case 'h': case 'i': case 'l': case 'q': case 's': case 'p': return 'I';
    case 'B': case 'H': case 'I': case 'L': case 'Q': return 'U';
    case 'f': case 'd': case 'g': return is_complex ? 'C' : 'R';
    case 'O': return 'O';
    default: return 'P';
  }
}

bool is_value_code(char c) noexcept {
  switch (c) {
    case 'c': case 'b': case 'B': case 'h': case 'H': case 'i': case 'I': case 'l': case 'L':
    case 'q': case 'Q': case 'f': case 'd': case 'g': case 'O': case 'p': case 'P':
      return true;
    default:
      return false;
  }
}

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
  // The parse state, as one copyable record so that a repeated record can tell whether
  // another repetition could change anything.
  struct State {
    bool done = false;            // the expected value has been matched
    std::size_t offset = 0;       // byte offset of the next value in the element
    std::size_t new_count = 1;    // the count just read, for the next code
    std::size_t pending_count = 0;  // values of `pending` not yet compared
    char pending = 0;             // the code of the values being collected
    bool pending_complex = false;
    char new_packing = '@';
    char pending_packing = '@';
    bool shaped = false;          // an array shape was read for the next code
    std::size_t record_alignment = 0;

    bool same_outcome_as(const State& o) const noexcept {
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

  void refuse_expected() noexcept {
    if (s_.done) {
      refuse("Buffer dtype mismatch, expected %s%s%s but got %s", "", "end", "",
             describe(s_.pending, s_.pending_complex));
    } else {
      refuse("Buffer dtype mismatch, expected %s%s%s but got %s", "'", expected_.name, "'",
             describe(s_.pending, s_.pending_complex));
    }
  }

  void refuse_unparseable() noexcept {
    refuse("Buffer dtype mismatch, expected %s%s%s but got %s", "'", expected_.name, "'",
           "unparseable format string");
  }

  // Compares the collected values with the expected element. False if refused.
  bool flush() noexcept {
    if (s_.pending == 0) return true;
    if (s_.done) {
      refuse_expected();
      return false;
    }
    bool native = s_.pending_packing == '@' || s_.pending_packing == '^';
    std::size_t size = native ? native_size(s_.pending, s_.pending_complex)
                              : standard_size(s_.pending, s_.pending_complex);
    if (size == 0) {
      refuse("Python does not define a standard format string size for long double ('g')..");
      return false;
    }
    if (s_.pending_packing == '@') {
      std::size_t align = native_alignment(s_.pending);
      if (s_.offset % align != 0) s_.offset += align - s_.offset % align;
      if (s_.record_alignment == 0) s_.record_alignment = align;
    }
    char kind = kind_of(s_.pending, s_.pending_complex);
    bool char_of_same_size = kind == 'H' && size == expected_.size;
    if ((size != expected_.size || kind != expected_.kind) && !char_of_same_size) {
      refuse_expected();
      return false;
    }
    if (s_.offset != 0) {
      refuse("Buffer dtype mismatch; next field is at offset %zd but %zd expected",
             static_cast<std::ptrdiff_t>(s_.offset), static_cast<std::ptrdiff_t>(0));
      return false;
    }
    s_.offset += size;
    s_.done = true;
    if (--s_.pending_count != 0) {
      refuse_expected();
      return false;
    }
    s_.pending = 0;
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

  // An array shape "(d1,d2,...)"; the expected element has no shape. Null if refused.
  const char* parse_shape(const char* t) noexcept {
    ++t;
    if (s_.new_count != 1) {
      refuse("Cannot handle repeated arrays in format string");
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
        refuse_char("Does not understand character buffer dtype format string ('%s')", *t);
        return nullptr;
      }
      if (*t == 0) break;
      if (*t != ',' && *t != ')') {
        refuse_char("Expected a comma in format string, got '%s'", *t);
        return nullptr;
      }
      if (*t == ',') ++t;
      ++dims;
    }
    // A text that ends inside the shape is refused as unclosed, unless it ended right
    // after a separator, when the count of dimensions is known.
    bool unclosed = *t == 0 && t[-1] != ',';
    if (!unclosed && dims != dims_expected) {
      refuse("Expected %d dimension(s), got %d", dims_expected, dims);
      return nullptr;
    }
    if (*t == 0) {
      refuse("Unexpected end of format string, expected ')'");
      return nullptr;
    }
    s_.shaped = true;
    s_.new_count = 1;
    return t + 1;
  }

  // Parses up to the end of the text or of the current record; returns where it stopped,
  // or null if the format was refused.
  const char* parse(const char* t, int depth) noexcept {
    bool complex_prefix = false;
    while (true) {
      if (++steps_ > kMaxSteps) {
        refuse_unparseable();
        return nullptr;
      }
      char c = *t;
      if (c == 0) {
        if (s_.pending != 0 && s_.done) {
          refuse_expected();
          return nullptr;
        }
        if (!flush()) return nullptr;
        if (!s_.done) {
          refuse_expected();
          return nullptr;
        }
        return t;
      }
      switch (c) {
        case ' ': case '\r': case '\n':
          ++t;
          break;
        case '<':  // little-endian, the native order here
          s_.new_packing = '=';
          ++t;
          break;
        case '>': case '!':
          refuse("Big-endian buffer not supported on little-endian compiler");
          return nullptr;
        case '=': case '@': case '^':
          s_.new_packing = c;
          ++t;
          break;
        case 'T': {
          std::size_t repeats = s_.new_count;
          std::size_t outer_alignment = s_.record_alignment;
          s_.new_count = 1;
          ++t;
          if (*t != '{') {
            refuse("Buffer acquisition: Expected '{' after 'T'");
            return nullptr;
          }
          if (depth >= kMaxRecordDepth) {
            refuse_unparseable();
            return nullptr;
          }
          if (!flush()) return nullptr;
          s_.pending = 0;
          s_.pending_count = 0;
          s_.record_alignment = 0;
          ++t;
          const char* after = t;
          for (std::size_t i = 0; i < repeats; ++i) {
            State before = s_;
            after = parse(t, depth + 1);
            if (after == nullptr) return nullptr;
            // Once a repetition leaves the state as it found it, the rest would too.
            if (s_.same_outcome_as(before)) break;
          }
          t = after;
          if (outer_alignment != 0) s_.record_alignment = outer_alignment;
          break;
        }
        case '}': {
          if (depth == 0) {  // closes no record
            refuse_char("Does not understand character buffer dtype format string ('%s')", c);
            return nullptr;
          }
          std::size_t alignment = s_.record_alignment;
          ++t;
          if (!flush()) return nullptr;
          s_.pending = 0;
          if (alignment != 0 && s_.offset % alignment != 0) {
            s_.offset += alignment - s_.offset % alignment;
          }
          return t;
        }
        case 'x':
          if (!flush()) return nullptr;
          s_.offset += s_.new_count;
          s_.new_count = 1;
          s_.pending_count = 0;
          s_.pending = 0;
          s_.pending_packing = s_.new_packing;
          ++t;
          break;
        case 'Z':
          ++t;
          if (*t != 'f' && *t != 'd' && *t != 'g') {
            refuse_char("Unexpected format string character: '%s'", 'Z');
            return nullptr;
          }
          complex_prefix = true;
          [[fallthrough]];
        case 'c': case 'b': case 'B': case 'h': case 'H': case 'i': case 'I': case 'l':
        case 'L': case 'q': case 'Q': case 'f': case 'd': case 'g': case 'O': case 'p':
        case 'P':
        case 's':
          c = *t;
          if (c != 's' && is_value_code(c) && s_.pending == c &&
              complex_prefix == s_.pending_complex && s_.pending_packing == s_.new_packing &&
              !s_.shaped) {
            // The same code again: one more of the values being collected.
            s_.pending_count += s_.new_count;
          } else {
            if (!flush()) return nullptr;
            s_.pending_count = s_.new_count;
            s_.pending_packing = s_.new_packing;
            s_.pending = c;
            s_.pending_complex = complex_prefix;
          }
          s_.new_count = 1;
          complex_prefix = false;
          ++t;
          break;
        case ':':  // a member name, ":name:"
          ++t;
          while (*t != 0 && *t != ':') ++t;
          if (*t == ':') ++t;
          break;
        case '(':
          t = parse_shape(t);
          if (t == nullptr) return nullptr;
          break;
        default: {
          long n = read_number(&t);
          if (n < 0) {
            refuse_char("Does not understand character buffer dtype format string ('%s')", c);
            return nullptr;
          }
          s_.new_count = static_cast<std::size_t>(n);
        }
      }
    }
  }

  const ElementSpec& expected_;
  State s_;
  long steps_ = 0;
  FormatVerdict verdict_{};
};

}  // namespace

FormatVerdict check_buffer_format(const char* format, const ElementSpec& expected) noexcept {
  return Checker(expected).run(format);
}

}  // namespace vendrel
