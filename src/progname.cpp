// progname.cpp: the program's name as invoked.
#include "progname.h"

namespace zervgen {

const char* programName = "";

}  // namespace zervgen
