// Reading numbers whole: no blanks around them, nothing after them, nothing
// out of range.
#include "numbers.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

// Splits text at commas into exactly count fields, each handed to parse_one.
template <typename parse_field>
bool parse_list(const char* text, std::size_t count, parse_field parse_one) {
  const char* field = text;
  for (std::size_t i = 0; i < count; ++i) {
    const char* end = std::strchr(field, ',');
    const bool last = i + 1 == count;
    if (last != (end == nullptr))
      return false;
    char copy[64];
    const std::size_t length = last ? std::strlen(field) : static_cast<std::size_t>(end - field);
    if (length == 0 || length >= sizeof copy)
      return false;
    std::memcpy(copy, field, length);
    copy[length] = '\0';
    if (!parse_one(copy, i))
      return false;
    field = end + 1;
  }
  return true;
}

}  // namespace

bool parse_integer(const char* text, std::int64_t low, std::int64_t high, std::int64_t& value) {
  // strtoll would skip leading blanks: " 5" is no whole integer.
  if (std::isspace(static_cast<unsigned char>(text[0])) != 0)
    return false;
  char* end = nullptr;
  errno = 0;
  const long long parsed = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || parsed < low || parsed > high)
    return false;
  value = parsed;
  return true;
}

bool parse_integer_list(const char* text, std::int64_t low, std::int64_t high, std::int64_t* values,
                        std::size_t count) {
  return parse_list(text, count, [&](const char* field, std::size_t i) {
    return parse_integer(field, low, high, values[i]);
  });
}

bool parse_number_list(const char* text, double* values, std::size_t count) {
  return parse_list(text, count, [&](const char* field, std::size_t i) {
    if (std::isspace(static_cast<unsigned char>(field[0])) != 0)
      return false;
    char* end = nullptr;
    errno = 0;
    values[i] = std::strtod(field, &end);
    return end != field && *end == '\0' && errno == 0 && std::isfinite(values[i]);
  });
}
