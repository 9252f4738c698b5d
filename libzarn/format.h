// printf-style formatting into a std::string.
#pragma once

#include <cstdarg>
#include <string>

std::string vformat(const char* format, va_list args);
std::string format(const char* format, ...) __attribute__((format(printf, 1, 2)));
