#include "proc_scan.hpp"
#include <gtest/gtest.h>
TEST(X, Y) {}
