// The test runner as a program of its own, beside the server.
#include "platform/test_runner.h"

int main(int argc, char** argv) { return tarnwick::platform::run_test_runner(argc, argv); }
