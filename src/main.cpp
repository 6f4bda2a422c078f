#include "startup.h"

int main(int argc, char** argv) { return tarnwick::run_server(argc, argv, tarnwick::ToolsCallHandler()); }
