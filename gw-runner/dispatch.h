// Maps the command line (verb, sub-verb, operands) to one operation.
#pragma once

// argv[0] is the program's own name, argv[1] the verb. Gives the run's result;
// some verbs end the process themselves (restrict, kill, the tools).
int dispatch(int argc, char** argv);
