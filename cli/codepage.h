// Conversion between UTF-8 (manifests, terminal) and a Windows ANSI code
// page (the bytes the stub stores and shows), through iconv.
#pragma once

#include <string>

namespace sweepkit {

// The iconv name of a Windows code page: 1252 -> "CP1252".
std::string CodepageName(unsigned codepage);

// Throws PackError when iconv does not know the code page.
void CheckCodepage(unsigned codepage);

// UTF-8 to code page bytes. Returns false when some character has no exact
// equivalent in the code page (or the input is not valid UTF-8).
bool FromUtf8(const std::string& utf8, unsigned codepage, std::string* out);

// Code page bytes to UTF-8 for display; a byte that does not convert is
// shown as \xNN.
std::string ToUtf8(const std::string& bytes, unsigned codepage);

}  // namespace sweepkit
