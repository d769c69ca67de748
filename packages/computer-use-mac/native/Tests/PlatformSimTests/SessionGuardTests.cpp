#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "desktopshare/DesktopShareStatus.hpp"
#include "desktopshare/SessionGuard.hpp"
#include "platformsim/SimDesktopShare.hpp"

using namespace desktopshare;
using platform::SessionRecord;

namespace {

constexpr std::uint32_t kUid = 501;

TEST(SessionGuard, ReadsTheSessionRecord) {
  platformsim::ScriptedSessionStateReader reader;
  SessionGuard guard(reader);
  EXPECT_EQ(guard.currentState(), (GuiSessionState{false, std::nullopt, false, false}));
  EXPECT_EQ(guard.check(kUid), SessionGuardRefusal::noGuiSession);

  reader.set(SessionRecord{});  // a record with no entries at all
  EXPECT_EQ(guard.currentState(), (GuiSessionState{true, std::nullopt, false, false}));
  EXPECT_EQ(guard.check(kUid), SessionGuardRefusal::sessionNotOwned);

  reader.set(SessionRecord{kUid, true, false});
  EXPECT_EQ(guard.currentState(), (GuiSessionState{true, kUid, true, false}));
  EXPECT_EQ(guard.check(kUid), std::nullopt);

  // A user id that does not fit 32 bits is no user id.
  reader.set(SessionRecord{-1, true, false});
  EXPECT_EQ(guard.currentState().consoleSessionUid, std::nullopt);
  reader.set(SessionRecord{0x100000000LL, true, false});
  EXPECT_EQ(guard.currentState().consoleSessionUid, std::nullopt);
}

TEST(SessionGuard, EvaluationAndStatusAgree) {
  struct Case {
    GuiSessionState state;
    std::optional<SessionGuardRefusal> refusal;
    bool consoleUidMatch;
  };
  const Case cases[] = {
      {{false, std::nullopt, false, false}, SessionGuardRefusal::noGuiSession, false},
      {{true, std::nullopt, true, false}, SessionGuardRefusal::sessionNotOwned, false},
      {{true, 502, true, false}, SessionGuardRefusal::sessionNotOwned, false},
      {{true, 502, true, true}, SessionGuardRefusal::sessionNotOwned, false},  // another user's locked session
      {{true, kUid, false, false}, SessionGuardRefusal::sessionNotOwned, false},
      {{true, kUid, true, true}, SessionGuardRefusal::sessionLocked, true},
      {{true, kUid, true, false}, std::nullopt, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SessionGuard::evaluate(c.state, kUid), c.refusal);
    for (auto mode : {DesktopShareMode::view, DesktopShareMode::viewAndControl})
      for (bool screen : {false, true})
        for (bool access : {false, true}) {
          const DesktopShareStatus s(mode, screen, access, c.state, kUid);
          EXPECT_EQ(s.guiSession, c.state.hasGuiSession);
          EXPECT_EQ(s.consoleUidMatch, c.consoleUidMatch);
          EXPECT_EQ(s.screenLocked, c.state.screenLocked);
          const bool permissions = screen && (mode == DesktopShareMode::view || access);
          EXPECT_EQ(s.ready, !c.refusal && permissions);
        }
  }
}

TEST(SessionGuard, RawValues) {
  EXPECT_EQ(sessionGuardRefusal("session_locked"), SessionGuardRefusal::sessionLocked);
  EXPECT_EQ(sessionGuardRefusal("no_gui_session"), SessionGuardRefusal::noGuiSession);
  EXPECT_EQ(sessionGuardRefusal("locked"), std::nullopt);
  EXPECT_EQ(rawValue(SessionGuardRefusal::sessionNotOwned), "session_not_owned");
  EXPECT_EQ(desktopShareMode("view_and_control"), DesktopShareMode::viewAndControl);
  EXPECT_EQ(desktopShareMode("view"), DesktopShareMode::view);
  EXPECT_EQ(desktopShareMode("control"), std::nullopt);
  EXPECT_EQ(rawValue(DesktopShareMode::viewAndControl), "view_and_control");
}

TEST(DesktopShareStatus, JsonInFieldOrderAndStrictDecoding) {
  const DesktopShareStatus s(DesktopShareMode::view, true, false, GuiSessionState{true, kUid, true, false}, kUid);
  const std::string text = encodeJson(s);
  EXPECT_EQ(text,
            R"({"screenRecording":true,"accessibility":false,"guiSession":true,"consoleUidMatch":true,)"
            R"("screenLocked":false,"ready":true})");
  EXPECT_EQ(nlohmann::json::parse(text).get<DesktopShareStatus>(), s);
  auto missing = nlohmann::json::parse(text);
  missing.erase("ready");
  EXPECT_THROW(missing.get<DesktopShareStatus>(), nlohmann::json::exception);
  auto wrongType = nlohmann::json::parse(text);
  wrongType["guiSession"] = 1;
  EXPECT_THROW(wrongType.get<DesktopShareStatus>(), nlohmann::json::exception);
}

}  // namespace
