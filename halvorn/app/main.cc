#include "halvorn/app/cli.h"

int main(int argc, char* argv[]) { return halvorn::RunHalvorn(argc, argv); }
