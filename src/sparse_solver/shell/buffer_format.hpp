// Checking a buffer's struct-style format text against the one element type a typed
// argument expects. Pure: text in, verdict out, no Python objects, so that it can be
// tested exhaustively and fuzzed on its own.
#pragma once

#include <cstddef>

namespace vendrel {

// An expected element: its name in messages, its kind ('R' floating point, 'I' signed
// integer, 'U' unsigned integer) and its size in bytes.
struct ElementSpec {
  const char* name;
  char kind;
  std::size_t size;
};

inline constexpr ElementSpec kDoubleElement{"double", 'R', sizeof(double)};
inline constexpr ElementSpec kIntElement{"int", 'I', sizeof(int)};
inline constexpr ElementSpec kUInt8Element{"uint8_t", 'U', 1};

struct FormatVerdict {
  bool accepted;
  char message[192];  // UTF-8, set when refused
};

// Whether `format` (NUL-terminated; null means "B", as the buffer protocol says) describes
// exactly one value of the expected element type: same kind and size, where a character
// code matches any type of its size, possibly as the only member of a record.
FormatVerdict check_buffer_format(const char* format, const ElementSpec& expected) noexcept;

}  // namespace vendrel
