#include "SimFixture.hpp"

using namespace computeruse;
using namespace cutest;

namespace {

class Apps : public SimFixture {
 protected:
  AppManager& manager() {
    if (!manager_) manager_ = std::make_unique<AppManager>(*desktop, clock);
    return *manager_;
  }
  std::optional<std::int32_t> match(const std::string& q) {
    auto a = manager().runningApp(q);
    return a ? std::optional(a->pid) : std::nullopt;
  }
  std::string failure(const std::string& q) {
    try {
      manager().activate(q, false);
    } catch (const ComputerUseError& e) {
      return e.message();
    }
    return "";
  }
  std::unique_ptr<AppManager> manager_;
};

json plainApp(int pid, const std::string& name, const std::string& bundle) {
  return {{"pid", pid}, {"name", name}, {"bundleIdentifier", bundle}};
}

}  // namespace

TEST_F(Apps, MatchingPassesInOrder) {
  load({{"applications",
         {plainApp(1, "Mail", "com.apple.mail"), plainApp(2, "Mailbox", "com.example.mailbox"),
          plainApp(3, "Calculator", "com.apple.calculator"), plainApp(4, "Xylo", "mail"),
          {{"pid", 5}, {"name", "Agent"}, {"activationPolicy", "accessory"}}}}});
  struct Case {
    const char* query;
    std::optional<std::int32_t> pid;
  } cases[] = {
      {"MAIL", 4},                             // pass 1: a bundle identifier beats every name
      {"com.APPLE.mail", 1},                   // pass 1, any letter case
      {"mailbox", 2},                          // pass 2
      {"/Applications/Calculator.app", 3},     // pass 3: base name
      {"/Applications/Calculator.app/", 3},    // trailing slash ignored
      {"mailb", 2},                            // pass 4: prefix
      {"box", 2},                              // pass 5: contains
      {"ulat", 3},
      {"agent", std::nullopt},                 // accessory applications never match
      {"nothing", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(match(c.query), c.pid) << c.query;
}

TEST_F(Apps, ExactNameAnywhereBeatsEarlierPrefix) {
  load({{"applications", {plainApp(1, "Notes Helper", "a"), plainApp(2, "Notes", "b")}}});
  EXPECT_EQ(match("notes"), 2);
}

TEST_F(Apps, ListingIsSortedAndMarksTheFrontmost) {
  load({{"applications",
         {plainApp(1, "zeta", "z"), plainApp(2, "Alpha", "a"), {{"pid", 3}},
          {{"pid", 4}, {"bundleIdentifier", "com.only.id"}}, plainApp(5, "\xC3\x89" "clair", "e"),
          plainApp(6, "alpha", "a2"), {{"pid", 7}, {"name", "Hidden agent"}, {"activationPolicy", "prohibited"}}}},
        {"frontmost", "zeta"}});
  auto apps = manager().listApps();
  std::vector<std::string> names;
  for (const auto& a : apps) names.push_back(a.name);
  EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "alpha", "com.only.id", "Unknown", "zeta", "\xC3\x89" "clair"}));
  int active = 0;
  for (const auto& a : apps) {
    active += a.isActive;
    EXPECT_TRUE(a.isRunning);
  }
  EXPECT_EQ(active, 1);
  EXPECT_TRUE(apps[4].isActive);
  EXPECT_FALSE(apps[3].bundleIdentifier);
  EXPECT_EQ(apps[3].pid, 3);

  desktop->scenario().frontmostPid.reset();
  for (const auto& a : manager().listApps()) EXPECT_FALSE(a.isActive);
}

TEST_F(Apps, ActivationBringsForwardOnlyWhenAsked) {
  load({{"applications", {plainApp(1, "One", "one"), plainApp(2, "Two", "two")}}, {"frontmost", "one"}});
  EXPECT_EQ(manager().activate("two", false).pid, 2);
  EXPECT_TRUE(records("activate").empty());
  EXPECT_EQ(manager().activate("two", true).pid, 2);
  ASSERT_EQ(records("activate").size(), 1u);
  EXPECT_EQ(records("activate")[0]["options"], 1);
  EXPECT_EQ(desktop->frontmostApplication()->pid, 2);
}

TEST_F(Apps, LaunchesByWorkspacePathWithoutActivating) {
  load({{"applications",
         {plainApp(1, "Mail", "com.apple.mail"),
          {{"pid", 9}, {"name", "Notes"}, {"bundleIdentifier", "com.apple.notes"}, {"running", false}, {"launchDelay", 2.5}}}},
        {"frontmost", "Mail"}});
  const auto start = clock.now();
  auto launched = manager().activate("Notes", false);
  EXPECT_EQ(launched.pid, 9);
  EXPECT_EQ(records("launch")[0]["bundlePath"], "/Applications/Notes.app");
  EXPECT_EQ(records("launch")[0]["activates"], false);
  EXPECT_EQ(desktop->frontmostApplication()->pid, 1);
  // The answer arrived after 2.5 s through the run loop, then the 0.6 s settle pause.
  EXPECT_NEAR(std::chrono::duration<double>(clock.now() - start).count(), 3.1, 0.051);
}

TEST_F(Apps, LaunchesByBundleIdentifierAndByPath) {
  load({{"applications",
         {{{"pid", 9}, {"name", "Notes"}, {"bundleIdentifier", "com.apple.notes"}, {"running", false},
           {"bundlePath", "/Apps/N.app"}}}}});
  EXPECT_EQ(manager().activate("com.apple.notes", true).pid, 9);
  EXPECT_EQ(desktop->frontmostApplication()->pid, 9);
  desktop->application(9)->running = false;
  EXPECT_EQ(manager().activate("/Apps/N.app", false).pid, 9);
  EXPECT_EQ(records("launch").size(), 2u);
}

TEST_F(Apps, LaunchFailures) {
  load({{"applications",
         {{{"pid", 9}, {"name", "Broken"}, {"running", false}, {"launchFailure", {{"error", "The file is damaged."}}}},
          {{"pid", 10}, {"name", "Slow"}, {"running", false}, {"launchFailure", {{"timeout", true}}}},
          {{"pid", 11}, {"name", "Locked"}, {"running", false}, {"launchable", false}}}}});
  EXPECT_EQ(failure("Broken"), "Failed to launch 'Broken': The file is damaged.");
  const auto start = clock.now();
  EXPECT_EQ(failure("Slow"), "Failed to launch 'Slow'.");
  EXPECT_NEAR(std::chrono::duration<double>(clock.now() - start).count(), 10.0, 0.051);
  EXPECT_EQ(failure("Locked"), "Could not find an app matching 'Locked'.");
  EXPECT_EQ(failure("/nowhere/X.app"), "Failed to launch '/nowhere/X.app': The application could not be found.");
}

TEST_F(Apps, LastPathComponent) {
  EXPECT_EQ(lastPathComponent("/Applications/Mail.app"), "Mail.app");
  EXPECT_EQ(lastPathComponent("/a/b//"), "b");
  EXPECT_EQ(lastPathComponent("Mail"), "Mail");
  EXPECT_EQ(lastPathComponent("/"), "/");
  EXPECT_EQ(lastPathComponent(""), "");
}

TEST_F(Apps, LaunchAnswerAfterTheTimeoutIsDropped) {
  load({{"applications", {{{"pid", 9}, {"name", "Late"}, {"running", false}, {"launchDelay", 12}}}}});
  EXPECT_EQ(failure("Late"), "Failed to launch 'Late'.");
  EXPECT_EQ(loop.pendingCount(), 1u);
  manager_.reset();
  load({{"applications", json::array()}});  // the desktop that owes the answer is gone
  EXPECT_TRUE(loop.runOnce(std::chrono::seconds(5)));
  EXPECT_TRUE(desktop->runningApplications().empty());
}
