// Subcommands of the fwsim tool. Private to sim/.
#pragma once

// fwsim root [--root DIR] [--libs DIR]: lays out a simulated handheld.
int FwsimRootCommand(int argc, char** argv);
// fwsim engine [options]: serves a simulated engine on a pseudo-terminal.
int FwsimEngineCommand(int argc, char** argv);
