#pragma once

// Windows only: the patch program's paths arrive and travel as UTF-8 and
// cross the system's calls as UTF-16, so every name works whatever the
// system's code page, and a long absolute path gets the prefix that lifts
// the 260-character limit.
#include <string>
#include <vector>

std::wstring windows_path(const std::string &utf8);
// The program's arguments as UTF-8, taken from the wide command line.
std::vector<std::string> windows_arguments();
