// Command lines of the companion programs, the way every Linux tool has them:
// getopt_long, --help on standard output, --version, messages prefixed with
// the program's name and status 2 for usage errors.
#pragma once

#include <cstdint>
#include <getopt.h>

#include "failure.h"

constexpr int usage_status = 2;

struct cli_program {
  const char* name;      // prefixes every message
  const char* synopsis;  // the usage lines, each starting with the program's name, one per line
  const char* help;      // what --help prints after the synopsis: options, one per line
};

// Remembers the program for everything below; call first in main.
void cli_start(const cli_program& program);

// getopt_long over argv. --help (-h) and --version are answered here, so the
// tables need not list them; an unknown option, a missing value or a value
// given to an option that takes none is a usage error. Start short_options
// with "+" where the operands start a command or text: options end at the
// first operand. Returns the option's value, or -1 once the options end
// (optind is then the first operand).
int cli_next_option(int argc, char** argv, const char* short_options, const option* long_options);

// "NAME: MESSAGE" on standard error, printf-style.
void cli_warn(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The message, then exit with status.
[[noreturn]] void cli_fail(int status, const char* format, ...) __attribute__((format(printf, 2, 3)));

// What a library call found wrong: a usage error when it is one, else the
// message, then exit with status.
[[noreturn]] void cli_fail(const failure& why, int status = 1);

// The message, the synopsis and a pointer to --help, then exit with status 2.
[[noreturn]] void cli_usage_error(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Flushes standard output; when anything written there was lost (a full disk,
// a closed pipe), says so and exits with status 1, so that no caller takes a
// truncated output for a whole one.
void cli_finish_output();

// "MIN,MAX", 32-bit integers with MIN < MAX, as the panels' --x-range and
// --y-range take them; anything else is a usage error naming the option.
void parse_range_option(const char* option, const char* text, std::int32_t& min, std::int32_t& max);
