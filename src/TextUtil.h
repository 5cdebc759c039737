#pragma once

#include <string>
#include <vector>

namespace velk {

// Removes every carriage return and line feed, in place.
void removeLineBreaks(std::string& text);

// Replaces every occurrence of `from`, continuing after the inserted text.
std::string replaceAll(std::string text, const std::string& from, const std::string& to);

// One shell word: single-quoted, embedded quotes escaped, so the text cannot add commands.
std::string shellQuote(const std::string& text);

// Pieces between delimiters; empty pieces are skipped.
std::vector<std::string> split(const std::string& text, char delimiter);

}  // namespace velk
