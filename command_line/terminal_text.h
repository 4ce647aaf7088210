// Text on a terminal: its width, and the columns that UTF-8 text takes there, for the progress
// lines of nivosfx, mklzh and mksfx.
#pragma once

#include <string>

namespace nivo {

// The width of the terminal on stderr in columns; 80 when it does not say.
int terminalWidth();

// Columns the UTF-8 text takes on a terminal: East Asian wide characters take two, combining
// marks none.
int displayColumns(const std::string& utf8);

// The longest start of the UTF-8 text that fits in columns, cut between characters.
std::string fitColumns(const std::string& utf8, int columns);

}  // namespace nivo
