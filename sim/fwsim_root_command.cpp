#include "fwsim_commands.h"
int FwsimRootCommand(int, char**) { return 1; }
