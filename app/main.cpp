#include "Application.h"
#include "HidPort.h"

int main(int argc, char* argv[]) {
  // Never destroyed: the program ends inside RunAndExit.
  auto* app = new zodivo::Application(argc, argv);
  zodivo::RunAndExit(*app, devlink::SystemHidPort());
}
