#include <cstdio>

#include "builder/run.h"

int main(int argc, char* argv[]) { return builder::Run(argc, argv, stdout, stderr); }
