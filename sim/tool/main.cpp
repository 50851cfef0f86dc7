// drover-sim: manages a simulated USB bus for drover (see RunSimTool).
#include <cstdio>
#include <string>
#include <vector>

#include "sim/sim_bus.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  std::string out, err;
  const int status = drover::sim::RunSimTool(args, out, err);
  std::fputs(out.c_str(), stdout);
  std::fputs(err.c_str(), stderr);
  return status;
}
