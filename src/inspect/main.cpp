#include "inspect/inspect_run.h"

int main(int argc, char* argv[]) {
  return run_inspect(argc, argv);
}
