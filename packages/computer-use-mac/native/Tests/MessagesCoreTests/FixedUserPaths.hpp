#pragma once
#include <string>

#include "platform/UserPaths.hpp"

// User paths pinned to test folders.
struct FixedUserPaths final : platform::UserPaths {
  std::string home;
  std::string tmp;
  FixedUserPaths(std::string h, std::string t) : home(std::move(h)), tmp(std::move(t)) {}
  std::string homeDirectory() const override { return home; }
  std::string temporaryDirectory() const override { return tmp; }
  std::string homeDirectoryOf(const std::string& user) const override { return user == "other" ? "/home/other" : ""; }
};
