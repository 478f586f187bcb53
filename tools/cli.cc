// The companion programs' shared command-line handling: one place for the
// conventions, so no tool answers --help or a bad option differently.
#include "cli.h"

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

cli_program the_program = {"touchkey", "", ""};

constexpr int help_value = 'h';
constexpr int version_value = 0x10000;  // beyond every character a short option can be

// Room for every tool's options plus --help and --version; the tables are
// small and fixed, so a static copy spares an allocation.
constexpr std::size_t max_long_options = 32;

void print_message(const char* format, va_list args) {
  std::fprintf(stderr, "%s: ", the_program.name);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
}

// The long option whose value is `value`, for messages about it.
const option* long_option_for(const option* options, int value) {
  for (const option* o = options; o->name != nullptr; ++o)
    if (o->flag == nullptr && o->val == value)
      return o;
  return nullptr;
}

// How the option at argv[index] is named in a message: "--name" without any
// "=value", or "-c" for a short option.
void name_option(char* out, std::size_t size, const char* arg, int short_option) {
  if (short_option != 0 && std::strncmp(arg, "--", 2) != 0) {
    std::snprintf(out, size, "-%c", short_option);
    return;
  }
  const char* equals = std::strchr(arg, '=');
  const int length = equals != nullptr ? static_cast<int>(equals - arg) : static_cast<int>(std::strlen(arg));
  std::snprintf(out, size, "%.*s", length, arg);
}

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

void cli_start(const cli_program& program) { the_program = program; }

int cli_next_option(int argc, char** argv, const char* short_options, const option* long_options) {
  // ':' first (after any '+') makes getopt report a missing value apart from
  // an unknown option, and print nothing itself.
  static char shorts[128];
  const bool stop_at_operand = short_options[0] == '+';
  std::snprintf(shorts, sizeof shorts, "%s:h%s", stop_at_operand ? "+" : "", short_options + stop_at_operand);

  static option longs[max_long_options];
  std::size_t n = 0;
  for (const option* o = long_options; o->name != nullptr && n + 3 < max_long_options; ++o)
    longs[n++] = *o;
  longs[n++] = {"help", no_argument, nullptr, help_value};
  longs[n++] = {"version", no_argument, nullptr, version_value};
  longs[n] = {nullptr, 0, nullptr, 0};

  opterr = 0;
  const int previous = optind;
  const int value = getopt_long(argc, argv, shorts, longs, nullptr);
  // The argument getopt has just looked at; short options may share one.
  const char* arg = optind > previous ? argv[optind - 1] : argv[previous];
  char name[64];
  switch (value) {
    case help_value: std::printf("usage: %s\n%s", the_program.synopsis, the_program.help); std::exit(0);
    case version_value: std::printf("%s (touchkeyd) %s\n", the_program.name, TOUCHKEY_VERSION); std::exit(0);
    case ':': name_option(name, sizeof name, arg, optopt); cli_usage_error("%s needs a value", name);
    case '?': {
      const option* known = optopt != 0 ? long_option_for(longs, optopt) : nullptr;
      name_option(name, sizeof name, arg, optopt);
      if (known != nullptr && known->has_arg == no_argument && std::strchr(arg, '=') != nullptr)
        cli_usage_error("%s takes no value", name);
      cli_usage_error("unknown option %s", name);
    }
    default: return value;
  }
}

void cli_warn(const char* format, ...) {
  va_list args;
  va_start(args, format);
  print_message(format, args);
  va_end(args);
}

void cli_fail(int status, const char* format, ...) {
  va_list args;
  va_start(args, format);
  print_message(format, args);
  va_end(args);
  std::exit(status);
}

void cli_usage_error(const char* format, ...) {
  va_list args;
  va_start(args, format);
  print_message(format, args);
  va_end(args);
  std::fprintf(stderr, "usage: %s\nTry '%s --help' for more information.\n", the_program.synopsis,
               the_program.name);
  std::exit(usage_status);
}

bool parse_integer(const char* text, std::int64_t low, std::int64_t high, std::int64_t& value) {
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
    char* end = nullptr;
    errno = 0;
    values[i] = std::strtod(field, &end);
    return end != field && *end == '\0' && errno == 0 && std::isfinite(values[i]);
  });
}
