// base/progname.cpp: the program's name as invoked.
#include "base/progname.h"

namespace zervgen {

// Set by the parser; read by every message, the signal handler's too,
// which has no handle to the run.
const char* programName = "";

}  // namespace zervgen
