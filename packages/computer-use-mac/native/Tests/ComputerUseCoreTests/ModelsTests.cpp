#include <gtest/gtest.h>

#include "computeruse/InputSynthesizer.hpp"
#include "computeruse/Models.hpp"
#include "computeruse/Permissions.hpp"

using namespace computeruse;

TEST(Models, MinimalNodeEncodesOnlyRequiredKeys) {
  EXPECT_EQ(toJson(AXNode("0", "AXWindow")).dump(), R"({"index":"0","role":"AXWindow"})");
}

TEST(Models, FullNodeKeepsFieldOrderAndNests) {
  AXNode child("1", "AXButton");
  child.title = "OK";
  AXNode n("0", "AXWindow");
  n.subrole = "AXStandardWindow";
  n.value = "v";
  n.enabled = true;
  n.settable = false;
  n.actions = std::vector<std::string>{"AXRaise"};
  n.frame = Rect(1, 2, 3, 4);
  n.children = std::vector<AXNode>{child};
  EXPECT_EQ(toJson(n).dump(),
            R"({"index":"0","role":"AXWindow","subrole":"AXStandardWindow","value":"v","enabled":true,)"
            R"("settable":false,"actions":["AXRaise"],"frame":{"x":1.0,"y":2.0,"width":3.0,"height":4.0},)"
            R"("children":[{"index":"1","role":"AXButton","title":"OK"}]})");
  EXPECT_EQ(axNodeFromJson(toJson(n)), n);
}

TEST(Models, AppInfoWithoutOptionalsRoundTrips) {
  AppInfo a("Finder", std::nullopt, std::nullopt, true, false);
  EXPECT_EQ(toJson(a).dump(), R"({"name":"Finder","isRunning":true,"isActive":false})");
  auto back = appInfoFromJson(toJson(a));
  EXPECT_FALSE(back.bundleIdentifier);
  EXPECT_FALSE(back.pid);
  EXPECT_EQ(back, a);
  AppInfo full("Mail", "com.apple.mail", 42, true, true);
  EXPECT_EQ(toJson(full).dump(), R"({"name":"Mail","bundleIdentifier":"com.apple.mail","pid":42,"isRunning":true,"isActive":true})");
}

TEST(Models, DecodingTreatsNullAsAbsentAndRequiresRequiredKeys) {
  auto n = axNodeFromJson(Json::parse(R"({"index":"3","role":"AXButton","subrole":null})"));
  EXPECT_FALSE(n.subrole);
  EXPECT_THROW(axNodeFromJson(Json::parse(R"({"index":"3"})")), JsonDecodingError);
  EXPECT_THROW(axNodeFromJson(Json::parse(R"({"index":3,"role":"AXButton"})")), JsonDecodingError);
  EXPECT_THROW(appInfoFromJson(Json::parse(R"({"name":"A","isRunning":true})")), JsonDecodingError);
  EXPECT_THROW(rectFromJson(Json::parse(R"({"x":1,"y":2,"width":"3","height":4})")), JsonDecodingError);
  EXPECT_EQ(permissionsStatusFromJson(toJson(Permissions::Status{true, false})), (Permissions::Status{true, false}));
  EXPECT_EQ(toJson(Permissions::Status{true, false}).dump(), R"({"accessibility":true,"screenRecording":false})");
}

TEST(Models, RectCenterKeepsNegativeSizes) {
  EXPECT_EQ(Rect(10, 20, 100, 50).center(), (Point{60, 45}));
  EXPECT_LT(Rect(10, 20, -100, 50).center().x, 10);
  EXPECT_EQ(Rect(platform::ScreenRect{1, 2, -3, 4}), Rect(1, 2, -3, 4));
}

TEST(Models, MouseButtonFromStringIsExact) {
  EXPECT_FALSE(InputSynthesizer::mouseButton("Left"));
  EXPECT_EQ(InputSynthesizer::mouseButton("middle"), InputSynthesizer::MouseButton::middle);
  EXPECT_EQ(static_cast<int>(*InputSynthesizer::mouseButton("middle")), 2);
  EXPECT_EQ(static_cast<int>(*InputSynthesizer::mouseButton("right")), 1);
  EXPECT_EQ(InputSynthesizer::rawValue(InputSynthesizer::MouseButton::left), "left");
}

TEST(Models, ErrorTextIsTheMessage) {
  ComputerUseError e("Empty key combination.");
  EXPECT_STREQ(e.what(), "Empty key combination.");
  EXPECT_EQ(e.message(), "Empty key combination.");
}

TEST(Models, CoordinatesPrintShortestWithFraction) {
  EXPECT_EQ(messages::outOfBounds(1500, 20.5, 1280, 800),
            "Coordinates (1500.0, 20.5) are outside the screenshot bounds (1280x800).");
  EXPECT_EQ(formatCoordinate(-1), "-1.0");
  EXPECT_EQ(formatCoordinate(0.1), "0.1");
  EXPECT_EQ(formatCoordinate(1e-5), "1e-05");
  EXPECT_EQ(formatCoordinate(1e16), "1e+16");
}
