#include "app/datagen.h"

int main(int argc, char** argv) { return zervgen::Main_Run(argc, argv); }
