#pragma once
// A simulated desktop on a fake clock: launches, window lists and screenshots arrive through
// the test thread's run loop, and every pause or time-out passes instantly.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "computeruse/ComputerUseSession.hpp"
#include "platformsim/Scenario.hpp"
#include "platformsim/SimDesktop.hpp"
#include "support/Clock.hpp"
#include "support/RunLoop.hpp"

namespace cutest {

using nlohmann::json;

// One application with one window (number = pid * 10) holding `children`.
inline json app(int pid, const std::string& name, json children = json::array(), json extra = json::object()) {
  json a = {{"pid", pid},
            {"name", name},
            {"bundleIdentifier", "com.test." + name},
            {"windows",
             json::array({{{"number", pid * 10},
                           {"title", name + " Window"},
                           {"frame", {100, 200, 800, 600}},
                           {"key", true},
                           {"main", true},
                           {"children", children}}})}};
  for (auto it = extra.begin(); it != extra.end(); ++it) a[it.key()] = it.value();
  return a;
}

inline json button(const std::string& id, const std::string& title, json frame = {120, 240, 100, 30}) {
  return {{"id", id}, {"role", "AXButton"}, {"title", title}, {"frame", frame}, {"actions", {"AXPress"}}};
}

class SimFixture : public ::testing::Test {
 protected:
  void load(const json& scenario) {
    session.reset();
    desktop = std::make_unique<platformsim::SimDesktop>(platformsim::Scenario::fromJson(scenario));
    session = std::make_unique<computeruse::ComputerUseSession>(services());
  }

  computeruse::PlatformServices services() {
    return computeruse::PlatformServices{*desktop, *desktop, *desktop, *desktop, *desktop, clock};
  }

  // Records of one kind ("mouse", "key", "scroll", "action", ...), in order.
  std::vector<nlohmann::ordered_json> records(const std::string& kind) const {
    std::vector<nlohmann::ordered_json> out;
    for (const auto& r : desktop->records())
      if (r["kind"] == kind) out.push_back(r);
    return out;
  }

  support::FakeClock clock;
  support::RunLoop loop{clock};
  support::RunLoop::Scope scope{loop};
  std::unique_ptr<platformsim::SimDesktop> desktop;
  std::unique_ptr<computeruse::ComputerUseSession> session;
};

}  // namespace cutest
