#include "route/main_c.h"

int main(int argc, char** argv) { return VelunorRoute_main(argc, argv); }
