#pragma once

// The command line read into options, against the tables of commands and options.
#include "Options.h"
#include "Result.h"

namespace zenta::cli {

// Reads the arguments into options: the command, its operand and the options it takes. Bad
// usage: the reason.
Result<Options> Parse(int argc, char** argv);

} // namespace zenta::cli
