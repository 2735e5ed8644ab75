// Environment variables: the one place the library reads them. Unset and empty both mean "not
// given"; switches are "0" or "1"; numbers are decimals, checked against a range where one is stated.
// A value that does not parse is named on standard error (once per variable) and read as not given,
// so a typo never takes a session down.
#pragma once

#include <optional>
#include <string>

namespace vesk::env {

// The value when it is set and non-empty.
std::optional<std::string> text(const char* name);

// "1" is true and "0" false; unset or empty gives `fallback`.
bool flag(const char* name, bool fallback = false);

// A whole decimal number from lo to hi; nothing when unset, empty or not such a number.
std::optional<long long> integer(const char* name, long long lo, long long hi);

// The decimal number a value starts with, as strtoll reads it ("3 threads" is 3), for the variables
// whose documented rule is that one; nothing when unset, empty or not starting with a number.
std::optional<long long> leadingInteger(const char* name);

}  // namespace vesk::env
