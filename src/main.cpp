#include "ZErov.h"

int main(int argc, char* argv[]) { return ZErovMain(argc, argv); }
