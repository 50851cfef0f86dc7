#pragma once
// The application object: start-up, one mode, tear-down and the exit code.

namespace drover {

class CDroverApp {
 public:
  int Run(int argc, char** argv);
};

}  // namespace drover
