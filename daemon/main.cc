// The daemon's executable: everything is in E1Main, which test programs
// also run with their hooks set.
#include "daemon/e1_main.h"

int main(int argc, char** argv) {
  return E1Main(argc, argv);
}
