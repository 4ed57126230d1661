#pragma once

#include <string>

// The help words are matched exactly; anything else, however close, is a configuration file name.
bool isHelpArgument(const char* argument);
std::string usageText(const char* programPath);
