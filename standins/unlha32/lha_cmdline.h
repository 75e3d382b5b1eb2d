// The command line of the library's extraction entry point:
//   e -y "<archive>" <options> "<folder>\"
// Tokens are separated by blanks; double quotes group a token and are removed, and a backslash is
// an ordinary character (so the closing `\"` of the folder keeps its backslash). An unquoted token
// that starts with '-' is a switch. The text is in the system's ANSI code page; no byte of a
// Shift-JIS character's second half can be a quote or a blank, so splitting bytes is safe.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace lha {

struct Command {
    char command = 'e';                 // 'e' or 'x': both extract with the stored folders
    std::string archive;                // as given
    std::string folder;                 // as given, a trailing '\' or '/' removed
    std::vector<std::string> switches;  // accepted and not acted on: extraction always overwrites
};

// Throws Error(ErrorCode::CommandLine) with a short text when the line cannot be carried out.
Command ParseCommandLine(std::string_view line);

}  // namespace lha
