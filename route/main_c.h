// Process entry of VelunorRoute and the route layer's receive-and-dispatch loop.
#pragma once

int VelunorRoute_main(int argc, char** argv);
