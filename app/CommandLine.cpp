#include "CommandLine.h"

#include <cstring>

bool isHelpArgument(const char* argument)
{
    if (!argument) return false;
    return std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0 || std::strcmp(argument, "help") == 0;
}

std::string usageText(const char* programPath)
{
    return std::string("Usage: ") + (programPath ? programPath : "") + " [configuration-file]\n";
}
