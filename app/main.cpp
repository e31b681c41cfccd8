#include <cstdio>

#include "app/run.h"

int main(int argc, char* argv[]) { return run(argc, argv, stdin); }
