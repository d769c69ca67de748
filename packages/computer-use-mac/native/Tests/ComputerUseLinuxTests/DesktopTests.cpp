// The computer-use session on a private X11 desktop (Xvfb, D-Bus, AT-SPI, openbox) against
// zenity's entry dialog, a stock GTK 3 program: tree, screenshot, presses, values, typing, keys,
// coordinate clicks, a minimised window, and launching from a desktop entry.
#include <png.h>
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>

#include "computeruse/Accessibility.hpp"
#include "computeruse/ComputerUseSession.hpp"
#include "computeruse/Models.hpp"
#include "platformlinux/X11ComputerUse.hpp"
#include "support/Clock.hpp"
#include "testsupport/LinuxDesktop.hpp"
#include "testsupport/ProcessRunner.hpp"
#include "testsupport/TempDir.hpp"

// Xlib last: its macros (None, Status, ...) clash with the headers above.
#include <X11/Xlib.h>
#include <X11/extensions/Xcomposite.h>

using computeruse::AXNode;
using computeruse::ComputerUseError;
using computeruse::ComputerUseSession;
using testsupport::LinuxDesktop;
using namespace std::chrono_literals;

namespace {

const AXNode* findNode(const AXNode& node, const std::function<bool(const AXNode&)>& match) {
  if (match(node)) return &node;
  if (node.children)
    for (const auto& c : *node.children)
      if (auto* f = findNode(c, match)) return f;
  return nullptr;
}

const AXNode* byRoleTitle(const AXNode& root, const std::string& role, const std::string& title) {
  return findNode(root, [&](const AXNode& n) { return n.role == role && n.title == title; });
}

void collectIndices(const AXNode& n, std::vector<std::string>& out) {
  out.push_back(n.index);
  if (n.children)
    for (const auto& c : *n.children) collectIndices(c, out);
}

struct Png {
  std::uint32_t width = 0, height = 0;
};
std::optional<Png> decodePng(const std::vector<std::uint8_t>& bytes) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) return std::nullopt;
  image.format = PNG_FORMAT_RGBA;
  std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) return std::nullopt;
  return Png{image.width, image.height};
}

class ComputerUseLinux : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (auto missing = LinuxDesktop::missingProgram()) {
      skipReason_ = "missing " + *missing;
      return;
    }
    if (::access("/usr/bin/zenity", X_OK) != 0) {
      skipReason_ = "missing /usr/bin/zenity";
      return;
    }
    desktop_ = new LinuxDesktop(1280, 800);
    desktop_->exportToThisProcess();
    // A desktop entry for zenity, so that launching by name and describing it by its entry work.
    ::mkdir((desktop_->home() + "/data/applications").c_str(), 0700);
    testsupport::writeFile(desktop_->home() + "/data/applications/zenity-launch-test.desktop",
                           "[Desktop Entry]\nType=Application\nName=Zenity Launch Test\n"
                           "Exec=zenity --entry --title=Launched --text=Launched %U\n");
    platform_ = new platformlinux::LinuxComputerUsePlatform();
  }
  static void TearDownTestSuite() {
    // Applications the session launched detach from us; everything with a window on this
    // private display is ours to end.
    if (platform_)
      for (const auto& a : platform_->applications->runningApplications()) ::kill(a.pid, SIGTERM);
    delete platform_;
    platform_ = nullptr;
    delete desktop_;
    desktop_ = nullptr;
  }

  void SetUp() override {
    if (!skipReason_.empty()) GTEST_SKIP() << skipReason_;
    session_ = std::make_unique<ComputerUseSession>(computeruse::PlatformServices{
        *platform_->accessibility, *platform_->applications, *platform_->desktop, *platform_->desktop,
        *platform_->events, support::Clock::system()});
  }

  void TearDown() override {
    if (zenity_ > 0) {
      ::kill(zenity_, SIGTERM);
      int status = 0;
      ::waitpid(zenity_, &status, 0);
      // Gone from the registry before the next test looks for "zenity".
      LinuxDesktop::waitFor(
          [&] {
            for (const auto& a : platform_->accessibility->applications())
              if (a.pid == zenity_) return false;
            return true;
          },
          5s);
    }
  }

  // Starts zenity's entry dialog and waits until get_app_state shows its text field.
  computeruse::AppState startZenity(const std::string& title, const std::string& initialText = "") {
    output_ = std::make_unique<testsupport::TempDir>();
    zenity_ = desktop_->launch(
        {"zenity", "--entry", "--title=" + title, "--text=Your name:", "--entry-text=" + initialText},
        *output_ / "out.txt");
    // Registered first: get_app_state of an application that is not running launches one.
    const bool running = LinuxDesktop::waitFor(
        [&] {
          for (const auto& a : platform_->applications->runningApplications())
            if (a.pid == zenity_ && a.activationPolicy == platform::ActivationPolicy::regular) return true;
          return false;
        },
        20s);
    if (!running) throw std::runtime_error("zenity did not register");
    std::optional<computeruse::AppState> state;
    const bool ready = LinuxDesktop::waitFor(
        [&] {
          try {
            state = session_->getAppState("zenity");
          } catch (const ComputerUseError&) {
            return false;
          }
          return state->app.pid == zenity_ && state->window && state->screenshotPNG &&
                 findNode(*state->window, [](const AXNode& n) { return n.role == "AXTextField"; });
        },
        20s);
    if (!ready) throw std::runtime_error("zenity did not become accessible");
    return *state;
  }

  // Waits for zenity to exit; its exit status and what it printed.
  std::pair<int, std::string> zenityResult() {
    int status = -1;
    const bool exited = LinuxDesktop::waitFor([&] { return ::waitpid(zenity_, &status, WNOHANG) == zenity_; }, 10s);
    if (!exited) return {-1, ""};
    zenity_ = -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, testsupport::readFile(*output_ / "out.txt")};
  }

  std::optional<std::string> valueOf(std::int32_t pid, const std::string& index) {
    auto element = session_->ax().element(pid, index);
    auto r = platform_->accessibility->copyAttributeValue(element, "AXValue");
    if (r.error != platform::kAXErrorSuccess || !r.value) return std::nullopt;
    if (auto* s = std::get_if<std::string>(&*r.value)) return *s;
    return std::nullopt;
  }

  static inline LinuxDesktop* desktop_ = nullptr;
  static inline platformlinux::LinuxComputerUsePlatform* platform_ = nullptr;
  static inline std::string skipReason_;
  std::unique_ptr<ComputerUseSession> session_;
  std::unique_ptr<testsupport::TempDir> output_;
  pid_t zenity_ = -1;
};

TEST_F(ComputerUseLinux, GetAppStateReturnsTheDialogTreeAndItsScreenshot) {
  auto state = startZenity("Entry Test");
  const AXNode& window = *state.window;
  EXPECT_EQ(window.index, "0");
  EXPECT_EQ(window.role, "AXWindow");
  EXPECT_EQ(window.title, "Entry Test");
  ASSERT_TRUE(window.frame);

  const AXNode* field = findNode(window, [](const AXNode& n) { return n.role == "AXTextField"; });
  ASSERT_NE(field, nullptr);
  EXPECT_EQ(field->settable, true);
  const AXNode* ok = byRoleTitle(window, "AXButton", "OK");
  const AXNode* cancel = byRoleTitle(window, "AXButton", "Cancel");
  ASSERT_NE(ok, nullptr);
  ASSERT_NE(cancel, nullptr);
  ASSERT_TRUE(ok->actions);
  EXPECT_NE(std::find(ok->actions->begin(), ok->actions->end(), "AXPress"), ok->actions->end());
  ASSERT_TRUE(ok->frame);
  EXPECT_TRUE(findNode(window, [](const AXNode& n) { return n.role == "AXStaticText" && n.value == "Your name:"; }));

  // Pre-order indices from "0" without gaps.
  std::vector<std::string> indices;
  collectIndices(window, indices);
  for (std::size_t i = 0; i < indices.size(); ++i) EXPECT_EQ(indices[i], std::to_string(i));

  // A PNG of the window itself, at scale 1 (it is smaller than 1600 pixels).
  EXPECT_EQ(state.screenshotScale, 1.0);
  auto png = decodePng(*state.screenshotPNG);
  ASSERT_TRUE(png);
  EXPECT_EQ(png->width, static_cast<std::uint32_t>(window.frame->width));
  EXPECT_EQ(png->height, static_cast<std::uint32_t>(window.frame->height));

  EXPECT_EQ(state.app.pid, zenity_);
  EXPECT_EQ(state.app.name, "Zenity Launch Test");  // named by its desktop entry
  EXPECT_EQ(state.app.bundleIdentifier, "zenity-launch-test");
  bool listed = false;
  for (const auto& app : session_->listApps()) listed |= app.pid == zenity_;
  EXPECT_TRUE(listed);
}

TEST_F(ComputerUseLinux, EveryReadPathGivesTheSameTree) {
  // The bulk cache read, per-object reads, and the bus daemon instead of the application's own
  // socket must describe the same window identically.
  startZenity("Read Paths");
  auto snapshot = [&](bool bulk, bool direct) {
    platformlinux::AtspiAccessibility accessibility(platform_->desktop.get());
    accessibility.setBulkReads(bulk);
    accessibility.setPeerToPeer(direct);
    computeruse::AccessibilityService service(accessibility);
    auto tree = service.snapshotWindow(zenity_, std::nullopt);
    return tree ? computeruse::toJson(*tree).dump() : std::string("(none)");
  };
  const auto reference = snapshot(true, true);
  EXPECT_NE(reference, "(none)");
  EXPECT_EQ(snapshot(false, true), reference);
  EXPECT_EQ(snapshot(true, false), reference);
  EXPECT_EQ(snapshot(false, false), reference);
}

TEST_F(ComputerUseLinux, CompositedWindowsAreCapturedWithoutWhatCoversThem) {
  startZenity("Under");
  std::optional<platformlinux::X11ClientWindow> under;
  for (const auto& w : platform_->desktop->clientWindows())
    if (w.pid == zenity_) under = w;
  ASSERT_TRUE(under);
  // A second dialog of the same size, placed over the first.
  const pid_t over = desktop_->launch({"zenity", "--entry", "--title=Over", "--text=Your name:"});
  std::optional<platformlinux::X11ClientWindow> cover;
  ASSERT_TRUE(LinuxDesktop::waitFor(
      [&] {
        for (const auto& w : platform_->desktop->clientWindows())
          if (w.pid == over && w.viewable) cover = w;
        return cover.has_value();
      },
      20s));
  Display* d = XOpenDisplay(desktop_->display().c_str());
  ASSERT_NE(d, nullptr);
  XMoveWindow(d, cover->id, static_cast<int>(under->frame.x), static_cast<int>(under->frame.y));
  XSync(d, False);
  auto capture = [&](std::uint32_t id) {
    std::optional<platform::RgbaImage> image;
    platform_->desktop->captureImage({platform::CaptureFilter::Kind::window, id},
                                     {static_cast<std::int32_t>(under->frame.width),
                                      static_cast<std::int32_t>(under->frame.height), true, true},
                                     [&](platform::ScreenshotResult r) { image = std::move(r.image); });
    return image ? image->pixels : std::vector<std::uint8_t>();
  };
  // Without a compositor the screen at the window's place shows the dialog in front.
  ASSERT_TRUE(LinuxDesktop::waitFor([&] { return capture(under->id) == capture(cover->id); }, 10s));
  // With every window redirected, each has contents of its own.
  XCompositeRedirectSubwindows(d, DefaultRootWindow(d), CompositeRedirectAutomatic);
  XSync(d, False);
  EXPECT_TRUE(LinuxDesktop::waitFor(
      [&] {
        auto a = capture(under->id), b = capture(cover->id);
        return !a.empty() && !b.empty() && a != b;
      },
      10s));
  XCompositeUnredirectSubwindows(d, DefaultRootWindow(d), CompositeRedirectAutomatic);
  XCloseDisplay(d);
  ::kill(over, SIGTERM);
  int status = 0;
  ::waitpid(over, &status, 0);
}

TEST_F(ComputerUseLinux, SetValueThenPressOkByElementIndex) {
  auto state = startZenity("Set Value");
  const AXNode* field = findNode(*state.window, [](const AXNode& n) { return n.role == "AXTextField"; });
  const AXNode* ok = byRoleTitle(*state.window, "AXButton", "OK");
  ASSERT_TRUE(field && ok);
  session_->setValue("zenity", field->index, "Grüße 42");
  EXPECT_EQ(valueOf(zenity_, field->index), "Grüße 42");
  session_->click("zenity", ok->index, std::nullopt, std::nullopt, 1, computeruse::InputSynthesizer::MouseButton::left);
  EXPECT_EQ(zenityResult(), (std::pair<int, std::string>{0, "Grüße 42\n"}));
}

TEST_F(ComputerUseLinux, TypeTextThenPressReturn) {
  auto state = startZenity("Typing");
  const AXNode* field = findNode(*state.window, [](const AXNode& n) { return n.role == "AXTextField"; });
  ASSERT_TRUE(field);
  session_->typeText("zenity", "hello wörld");
  EXPECT_TRUE(LinuxDesktop::waitFor([&] { return valueOf(zenity_, field->index) == "hello wörld"; }, 5s))
      << valueOf(zenity_, field->index).value_or("(none)");
  session_->pressKey("zenity", "return");
  EXPECT_EQ(zenityResult(), (std::pair<int, std::string>{0, "hello wörld\n"}));
}

TEST_F(ComputerUseLinux, KeyCombinationsCarryTheirModifiers) {
  auto state = startZenity("Keys", "old");
  const AXNode* field = findNode(*state.window, [](const AXNode& n) { return n.role == "AXTextField"; });
  ASSERT_TRUE(field);
  // End drops the selection the dialog starts with; only Control+A selects everything again.
  session_->pressKey("zenity", "end");
  session_->pressKey("zenity", "ctrl+a");
  session_->typeText("zenity", "new");
  EXPECT_TRUE(LinuxDesktop::waitFor([&] { return valueOf(zenity_, field->index) == "new"; }, 5s))
      << valueOf(zenity_, field->index).value_or("(none)");
}

TEST_F(ComputerUseLinux, CoordinateClickHitsTheElementUnderTheScreenshotPixel) {
  auto state = startZenity("Coordinates");
  const AXNode* cancel = byRoleTitle(*state.window, "AXButton", "Cancel");
  ASSERT_TRUE(cancel && cancel->frame && state.window->frame);
  ASSERT_TRUE(platform_->applications->activate(zenity_, platform::kActivateAllWindows));
  ASSERT_TRUE(LinuxDesktop::waitFor(
      [&] {
        auto front = platform_->applications->frontmostApplication();
        return front && front->pid == zenity_;
      },
      5s));
  // The centre of Cancel in screenshot pixels.
  const auto c = cancel->frame->center();
  const double x = (c.x - state.window->frame->x) * state.screenshotScale;
  const double y = (c.y - state.window->frame->y) * state.screenshotScale;
  session_->click("zenity", std::nullopt, x, y, 1, computeruse::InputSynthesizer::MouseButton::left);
  EXPECT_EQ(zenityResult().first, 1);  // Cancel
}

TEST_F(ComputerUseLinux, MinimisedWindowRefusesCoordinateClicksButKeepsIndices) {
  startZenity("Minimised");
  std::optional<std::uint32_t> window;
  for (const auto& w : platform_->desktop->clientWindows())
    if (w.pid == zenity_) window = w.id;
  ASSERT_TRUE(window);
  ASSERT_TRUE(platform_->desktop->iconifyWindow(*window));
  ASSERT_TRUE(LinuxDesktop::waitFor(
      [&] {
        for (const auto& w : platform_->desktop->clientWindows())
          if (w.id == *window) return w.hidden;
        return false;
      },
      5s));
  auto state = session_->getAppState("zenity");
  ASSERT_TRUE(state.window);
  ASSERT_TRUE(state.screenshotPNG);  // of the display
  // A drag maps its points the same way and, unlike a click, does not need the application
  // frontmost (with its only window minimised, it has no active window).
  try {
    session_->drag("zenity", 10.0, 10.0, 20.0, 20.0);
    ADD_FAILURE() << "coordinate drag into a minimised window was sent";
  } catch (const ComputerUseError& e) {
    EXPECT_STREQ(e.what(),
                 "Coordinate clicks require a window screenshot; call get_app_state again with a visible app window.");
  }
  const AXNode* field = findNode(*state.window, [](const AXNode& n) { return n.role == "AXTextField"; });
  ASSERT_TRUE(field);
  session_->setValue("zenity", field->index, "still there");
  EXPECT_EQ(valueOf(zenity_, field->index), "still there");
}

TEST_F(ComputerUseLinux, UnknownActionsAndIndicesReportTheCatalogueMessages) {
  auto state = startZenity("Errors");
  const AXNode* ok = byRoleTitle(*state.window, "AXButton", "OK");
  ASSERT_TRUE(ok);
  try {
    session_->performSecondaryAction("zenity", ok->index, "AXNoSuchAction");
    ADD_FAILURE() << "unknown action performed";
  } catch (const ComputerUseError& e) {
    EXPECT_STREQ(e.what(), "Accessibility action 'AXNoSuchAction' failed (-25206).");
  }
  try {
    session_->setValue("zenity", "9999", "x");
    ADD_FAILURE() << "unknown index accepted";
  } catch (const ComputerUseError& e) {
    EXPECT_STREQ(e.what(), "Unknown element_index '9999'. Call get_app_state again to refresh the tree.");
  }
}

TEST_F(ComputerUseLinux, LaunchesAnApplicationFromItsDesktopEntry) {
  try {
    session_->getAppState("No Such Application");
    ADD_FAILURE() << "an unknown application was found";
  } catch (const ComputerUseError& e) {
    EXPECT_STREQ(e.what(), "Could not find an app matching 'No Such Application'.");
  }
  auto state = session_->getAppState("Zenity Launch Test");
  ASSERT_TRUE(state.app.pid);
  const pid_t launched = *state.app.pid;
  ASSERT_TRUE(state.window);
  EXPECT_EQ(state.window->title, "Launched");
  EXPECT_EQ(state.app.bundleIdentifier, "zenity-launch-test");
  // Not our child (the launcher detaches it): ended by its id.
  ::kill(launched, SIGTERM);
  LinuxDesktop::waitFor([&] { return ::kill(launched, 0) != 0; }, 5s);
}

}  // namespace
