// Numbers on command lines and in files, read whole and range-checked: for
// the command-line module and the calibration file alike.
#pragma once

#include <cstddef>
#include <cstdint>

// A whole decimal integer from low to high.
bool parse_integer(const char* text, std::int64_t low, std::int64_t high, std::int64_t& value);

// Exactly `count` comma-separated decimal integers, each from low to high.
bool parse_integer_list(const char* text, std::int64_t low, std::int64_t high, std::int64_t* values,
                        std::size_t count);

// Exactly `count` comma-separated finite decimal numbers.
bool parse_number_list(const char* text, double* values, std::size_t count);
