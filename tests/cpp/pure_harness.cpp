// Drives the module's pure functions from the tests: one case per input line, one answer
// per output line. Each input text is copied into a buffer of exactly its size, so that a
// sanitizer build catches any read past its end.
//
//   format <double|int|uint8_t> <hex bytes>  ->  "accepted" | "refused <message as hex>"
//   version <hex bytes> <major> <minor>      ->  "match <shown>" | "mismatch <shown>"
//   numpy <major.minor=level,...> <hex bytes>  ->  the feature level, in decimal
#include "shell/buffer_format.hpp"
#include "shell/version_text.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::unique_ptr<char[]> from_hex(const std::string& hex) {
  std::size_t n = hex.size() / 2;
  std::unique_ptr<char[]> text(new char[n + 1]);
  for (std::size_t i = 0; i < n; ++i) {
    text[i] = static_cast<char>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
  }
  text[n] = 0;
  return text;
}

const vendrel::ElementSpec* element_named(const std::string& name) {
  if (name == "double") return &vendrel::kDoubleElement;
  if (name == "int") return &vendrel::kIntElement;
  if (name == "uint8_t") return &vendrel::kUInt8Element;
  return nullptr;
}

}  // namespace

int main() {
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string command;
    in >> command;
    if (command == "format") {
      std::string name, hex;
      in >> name >> hex;
      const vendrel::ElementSpec* element = element_named(name);
      if (element == nullptr) return 2;
      auto text = from_hex(hex);
      vendrel::FormatVerdict verdict = vendrel::check_buffer_format(text.get(), *element);
      if (verdict.accepted) {
        std::cout << "accepted\n";
      } else {
        std::cout << "refused ";
        for (const char* c = verdict.message; *c != 0; ++c) {
          char hex[3];
          std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(*c));
          std::cout << hex;
        }
        std::cout << "\n";
      }
    } else if (command == "version") {
      std::string hex;
      int major = 0, minor = 0;
      in >> hex >> major >> minor;
      auto text = from_hex(hex);
      char shown[32];
      bool match = vendrel::version_matches(text.get(), major, minor, shown, sizeof shown);
      std::cout << (match ? "match " : "mismatch ") << shown << "\n";
    } else if (command == "numpy") {
      std::string hex, table;
      in >> table >> hex;
      std::vector<vendrel::NumpyRelease> releases;
      std::istringstream rows(table);
      std::string row;
      while (std::getline(rows, row, ',')) {
        vendrel::NumpyRelease release{};
        if (std::sscanf(row.c_str(), "%d.%d=%u", &release.major, &release.minor,
                        &release.level) != 3) {
          return 2;
        }
        releases.push_back(release);
      }
      auto text = from_hex(hex);
      std::cout << vendrel::numpy_feature_level(text.get(), releases.data(), releases.size())
                << "\n";
    } else {
      return 2;
    }
    std::cout.flush();
  }
  return 0;
}
