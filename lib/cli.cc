// The companion programs' shared command-line handling: one place for the
// conventions, so no tool answers --help or a bad option differently.
#include "cli.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "numbers.h"

namespace {

cli_program the_program = {"touchkey", "", ""};

constexpr int help_value = 'h';
constexpr int version_value = 0x10000;  // beyond every character a short option can be

void print_message(const char* format, va_list args) {
  std::fprintf(stderr, "%s: ", the_program.name);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
}

// "usage: " before the first synopsis line and as many blanks before the
// others, so that the program's names line up.
void print_synopsis(std::FILE* to) {
  const char* lead = "usage: ";
  for (const char* line = the_program.synopsis; *line != '\0';) {
    const char* end = std::strchr(line, '\n');
    const int length = end != nullptr ? static_cast<int>(end - line) : static_cast<int>(std::strlen(line));
    std::fprintf(to, "%s%.*s\n", lead, length, line);
    lead = "       ";
    line += length + (end != nullptr ? 1 : 0);
  }
}

// The long option that `name` (without "--" and "=value") selects: the one
// of exactly that name, else the only one it abbreviates. matches counts the
// candidates, so that an abbreviation of several can be called ambiguous.
const option* long_option_named(const option* options, const char* name, int& matches) {
  const std::size_t length = std::strcspn(name, "=");
  const option* found = nullptr;
  matches = 0;
  for (const option* o = options; o->name != nullptr; ++o) {
    if (std::strncmp(o->name, name, length) != 0)
      continue;
    if (o->name[length] == '\0') {
      matches = 1;
      return o;
    }
    found = o;
    ++matches;
  }
  return found;
}

// How the option in arg is named in a message: "--name" without any
// "=value", or "-c" for a short option.
void name_option(char* out, std::size_t size, const char* arg, int short_option) {
  if (short_option != 0 && std::strncmp(arg, "--", 2) != 0) {
    std::snprintf(out, size, "-%c", short_option);
    return;
  }
  std::snprintf(out, size, "%.*s", static_cast<int>(std::strcspn(arg, "=")), arg);
}

// Why getopt refused the option in arg, as a usage error.
[[noreturn]] void refuse_option(const option* options, const char* arg, int short_option) {
  char name[64];
  name_option(name, sizeof name, arg, short_option);
  if (std::strncmp(arg, "--", 2) == 0) {
    int matches = 0;
    const option* known = long_option_named(options, arg + 2, matches);
    if (matches > 1)
      cli_usage_error("option %s is ambiguous", name);
    if (known != nullptr && known->has_arg == no_argument && std::strchr(arg, '=') != nullptr)
      cli_usage_error("%s takes no value", name);
  }
  cli_usage_error("unknown option %s", name);
}

}  // namespace

void cli_start(const cli_program& program) { the_program = program; }

int cli_next_option(int argc, char** argv, const char* short_options, const option* long_options) {
  // ':' first (after any '+') makes getopt report a missing value apart from
  // an unknown option, and print nothing itself. The copies take the
  // program's tables whole, however long.
  static std::string shorts;
  const bool stop_at_operand = short_options[0] == '+';
  shorts = std::string(stop_at_operand ? "+" : "") + ":h" + (short_options + stop_at_operand);

  static std::vector<option> longs;
  longs.clear();
  for (const option* o = long_options; o->name != nullptr; ++o)
    longs.push_back(*o);
  longs.push_back({"help", no_argument, nullptr, help_value});
  longs.push_back({"version", no_argument, nullptr, version_value});
  longs.push_back({nullptr, 0, nullptr, 0});

  opterr = 0;
  const int previous = optind;
  const int value = getopt_long(argc, argv, shorts.c_str(), longs.data(), nullptr);
  // The argument getopt has just looked at; short options may share one.
  const char* arg = optind > previous ? argv[optind - 1] : argv[previous];
  switch (value) {
    case help_value:
      print_synopsis(stdout);
      std::fputs(the_program.help, stdout);
      cli_finish_output();
      std::exit(0);
    case version_value:
      std::printf("%s (touchkeyd) %s\n", the_program.name, TOUCHKEY_VERSION);
      cli_finish_output();
      std::exit(0);
    case ':': {
      char name[64];
      name_option(name, sizeof name, arg, optopt);
      cli_usage_error("%s needs a value", name);
    }
    case '?': refuse_option(longs.data(), arg, optopt);
    default: return value;
  }
}

// These three are printf-style, so that the compiler checks every format
// against its arguments (the attributes in cli.h).
// NOLINTNEXTLINE(cert-dcl50-cpp)
void cli_warn(const char* format, ...) {
  va_list args;
  va_start(args, format);
  print_message(format, args);
  va_end(args);
}

// NOLINTNEXTLINE(cert-dcl50-cpp)
void cli_fail(int status, const char* format, ...) {
  va_list args;
  va_start(args, format);
  print_message(format, args);
  va_end(args);
  std::exit(status);
}

void cli_fail(const failure& why, int status) {
  if (why.usage)
    cli_usage_error("%s", why.message.c_str());
  cli_fail(status, "%s", why.message.c_str());
}

// NOLINTNEXTLINE(cert-dcl50-cpp)
void cli_usage_error(const char* format, ...) {
  va_list args;
  va_start(args, format);
  print_message(format, args);
  va_end(args);
  print_synopsis(stderr);
  std::fprintf(stderr, "Try '%s --help' for more information.\n", the_program.name);
  std::exit(usage_status);
}

void cli_finish_output() {
  const bool flushed = std::fflush(stdout) == 0;
  if (!flushed || std::ferror(stdout) != 0)
    cli_fail(1, "writing standard output: %s", std::strerror(errno));
}

void parse_range_option(const char* option, const char* text, std::int32_t& min, std::int32_t& max) {
  std::int64_t ends[2];
  if (!parse_integer_list(text, INT32_MIN, INT32_MAX, ends, 2) || ends[0] >= ends[1])
    cli_usage_error("%s wants MIN,MAX with MIN < MAX, not '%s'", option, text);
  min = static_cast<std::int32_t>(ends[0]);
  max = static_cast<std::int32_t>(ends[1]);
}
