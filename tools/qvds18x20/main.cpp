// qvds18x20: find DS18B20/DS18S20 sensors on a 1-Wire bus and measure
// them, on a serial adapter or on the simulated bus.
#include "qvds18x20/program.hpp"

int main(int argc, char** argv) { return qvtool::run_program(argc, argv); }
