#include "daemon/command_line.h"

int main(int argc, char** argv) {
  return E1Main(argc, argv);
}
