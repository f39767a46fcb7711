// korvaxsim's three modes; each returns the program's exit status.
#pragma once

#include "options.h"

namespace korvaxsim {

int RunDemo(const Options& options);
int RunTerm(const Options& options);
int RunPty(const Options& options);

} // namespace korvaxsim
