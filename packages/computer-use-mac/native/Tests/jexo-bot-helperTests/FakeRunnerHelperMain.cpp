#include "helper/Driver.hpp"

int main(int argc, char** argv) {
  helper::DriverOptions options;
  options.osascriptPath = FAKE_OSASCRIPT_PATH;
  return helper::runHelper(argc, argv, options);
}
