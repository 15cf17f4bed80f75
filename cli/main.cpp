// cindral-cli: archive and recording tool on the same core as the program.
#include "cli/cli_command.h"

int main(int argc, char** argv) { return RunCli(argc, argv, CliCommands()); }
