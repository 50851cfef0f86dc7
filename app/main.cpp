#include "app/drover_app.h"

int main(int argc, char** argv) {
  drover::CDroverApp app;
  return app.Run(argc, argv);
}
