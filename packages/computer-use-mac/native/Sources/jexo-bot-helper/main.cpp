#include "helper/Driver.hpp"

extern "C" int jexo_bot_helper_main(int argc, char** argv) { return helper::runHelper(argc, argv); }

int main(int argc, char** argv) { return jexo_bot_helper_main(argc, argv); }
