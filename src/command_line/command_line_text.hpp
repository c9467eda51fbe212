#pragma once

#include <string>
#include <string_view>

#include "command_line.hpp"

// The help, version and usage-error texts of a command, laid out from its declaration. Pure. With `colours` the
// texts carry terminal styles; without them, no escape bytes.
namespace brindlemoor {

// The short help (-h) or the long help (--help); `program` is the name the usage line shows.
std::string help_text(const CommandDeclaration& command, std::string_view program, bool long_form, bool colours);

// "<name> <version>" and a newline.
std::string version_text(const CommandDeclaration& command);

// "error: ...", for some kinds the usage line, then the hint to ask for help.
std::string usage_error_text(const CommandDeclaration& command, std::string_view program, const UsageError& error,
                             bool colours);

}  // namespace brindlemoor
