// 8-bit text in the system's ANSI code page (CP949); lengths count bytes.
#pragma once

#include <string>

using AnsiString = std::string;
