// base/progname.cpp: the program's name as invoked.
#include "base/progname.h"

namespace zervgen {

const char* programName = "";

}  // namespace zervgen
