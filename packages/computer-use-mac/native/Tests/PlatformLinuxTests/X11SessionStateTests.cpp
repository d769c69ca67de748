#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <unistd.h>

#include "X11TestClient.hpp"
#include "XvfbServer.hpp"
#include "desktopshare/DesktopShareStatus.hpp"
#include "desktopshare/SessionGuard.hpp"
#include "platformlinux/X11Desktop.hpp"

using platform::SessionRecord;
using platformlinux::LinuxSessionFacts;

namespace {

// Facts of a display: socket owner, optional logind session (uid, active, on a seat, lock hint),
// screen saver, and our own uid 1000.
LinuxSessionFacts facts(std::optional<uid_t> socketOwner, std::optional<bool> screenSaverOn) {
  LinuxSessionFacts f;
  f.serverReachable = true;
  f.socketOwner = socketOwner;
  f.screenSaverOn = screenSaverOn;
  f.processUid = 1000;
  return f;
}
LinuxSessionFacts withLogind(LinuxSessionFacts f, bool active, bool onSeat, std::optional<bool> lockedHint) {
  LinuxSessionFacts::Logind l;
  l.uid = 1000;
  l.active = active;
  if (onSeat) l.seat = "seat0";
  l.lockedHint = lockedHint;
  f.logind = l;
  return f;
}

TEST(LinuxSessionRecord, FromFacts) {
  // A virtual server of our own user is on console; the screen saver stands in for the lock.
  EXPECT_EQ(platformlinux::sessionRecordFrom(facts(1000, false)), (SessionRecord{1000, true, false}));
  EXPECT_EQ(platformlinux::sessionRecordFrom(facts(1000, true)), (SessionRecord{1000, true, true}));
  // Another user's virtual server is not ours to share.
  EXPECT_EQ(platformlinux::sessionRecordFrom(facts(0, std::nullopt)), (SessionRecord{0, false, std::nullopt}));
  EXPECT_EQ(platformlinux::sessionRecordFrom(facts(std::nullopt, std::nullopt)),
            (SessionRecord{std::nullopt, false, std::nullopt}));
  // logind decides owner, console and lock where it knows the display.
  EXPECT_EQ(platformlinux::sessionRecordFrom(withLogind(facts(0, true), true, true, false)),
            (SessionRecord{1000, true, false}));
  EXPECT_EQ(platformlinux::sessionRecordFrom(withLogind(facts(0, false), false, true, true)),
            (SessionRecord{1000, false, true}));
  EXPECT_EQ(platformlinux::sessionRecordFrom(withLogind(facts(0, true), true, false, std::nullopt)),
            (SessionRecord{1000, false, true}));
}

TEST(X11SessionState, ReadsTheDisplaysSessionAndNoticesItGoing) {
  x11test::XvfbServer server(64, 48);
  platformlinux::X11SessionStateReader reader(server.display());
  desktopshare::SessionGuard guard(reader);
  const auto record = reader.currentSession();
  ASSERT_TRUE(record);
  EXPECT_EQ(record->userId, std::optional<std::int64_t>(getuid()));  // we started it
  EXPECT_EQ(record->onConsole, true);
  EXPECT_EQ(record->screenLocked, false);
  EXPECT_EQ(guard.check(getuid()), std::nullopt);
  EXPECT_EQ(guard.check(getuid() + 1), desktopshare::SessionGuardRefusal::sessionNotOwned);
  const desktopshare::DesktopShareStatus status(desktopshare::DesktopShareMode::viewAndControl,
                                                platformlinux::X11Permissions::screenRecording,
                                                platformlinux::X11Permissions::accessibility, guard.currentState(),
                                                getuid());
  EXPECT_EQ(desktopshare::encodeJson(status),
            R"({"screenRecording":true,"accessibility":true,"guiSession":true,"consoleUidMatch":true,)"
            R"("screenLocked":false,"ready":true})");

  {
    x11test::TestClient client(server.display());
    XForceScreenSaver(client.get(), ScreenSaverActive);
    XSync(client.get(), False);
    EXPECT_EQ(guard.check(getuid()), desktopshare::SessionGuardRefusal::sessionLocked);
    XForceScreenSaver(client.get(), ScreenSaverReset);
    XSync(client.get(), False);
    EXPECT_EQ(guard.check(getuid()), std::nullopt);
  }

  server.stop();
  EXPECT_EQ(reader.currentSession(), std::nullopt);
  EXPECT_EQ(guard.check(getuid()), desktopshare::SessionGuardRefusal::noGuiSession);
}

}  // namespace
