// fwsim: the simulated handheld and scan engine, for demonstrations, tests
// and trying the program without hardware.
#include <cstdio>
#include <cstring>

#include "fwsim_commands.h"
#include "platform.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: fwsim COMMAND [options]\n"
    "\n"
    "Commands:\n"
    "  root     lays out a simulated handheld's device root: \"My Documents\",\n"
    "           \"Windows\", an empty registry and the simulated libraries\n"
    "  engine   serves a simulated scan engine on a pseudo-terminal linked in\n"
    "           under a COM name of the device root\n"
    "\n"
    "\"fwsim COMMAND --help\" tells a command's options. The device root is\n"
    "$FLASHWRIGHT_ROOT, else ~/.flashwright.\n";

struct Command {
  const char* name;
  int (*run)(int argc, char** argv);
};

const Command kCommands[] = {
    {"root", FwsimRootCommand},
    {"engine", FwsimEngineCommand},
};

}  // namespace

int main(int argc, char** argv) {
  plat::InitProcess();
  if (argc < 2) {
    fputs(kUsage, stderr);
    return kExitUsage;
  }
  const char* name = argv[1];
  if (strcmp(name, "--help") == 0 || strcmp(name, "-h") == 0 || strcmp(name, "help") == 0) {
    fputs(kUsage, stdout);
    return kExitOk;
  }
  for (const Command& command : kCommands) {
    // The command sees its own name as argv[0] and its options after it.
    if (strcmp(name, command.name) == 0) return command.run(argc - 1, argv + 1);
  }
  fprintf(stderr, "fwsim: unknown command: %s (see fwsim --help)\n", name);
  return kExitUsage;
}
