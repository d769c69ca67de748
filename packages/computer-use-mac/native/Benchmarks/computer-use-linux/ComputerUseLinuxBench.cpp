// computer-use-linux-bench: get_app_state on real GTK windows (gtk3-widget-factory and a generated
// form of about 2000 widgets) on a private Xvfb desktop. Ours (bulk cache read + pipelined calls)
// against a plain libatspi walk of the same nodes (role, name, states, extents, actions per node,
// pre-order, 2500 nodes, depth 40), and window capture + PNG of 800x600.
#include <atspi/atspi.h>
#include <signal.h>
#include <spng.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "computeruse/Accessibility.hpp"
#include "computeruse/ComputerUseSession.hpp"
#include "computeruse/ScreenCapture.hpp"
#include "platformlinux/X11ComputerUse.hpp"
#include "support/Clock.hpp"
#include "testsupport/LinuxDesktop.hpp"

using Clock = std::chrono::steady_clock;

namespace {

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::size_t countNodes(const computeruse::AXNode& n) {
  std::size_t c = 1;
  if (n.children)
    for (const auto& k : *n.children) c += countNodes(k);
  return c;
}

// The baseline: what a straightforward libatspi client does, one blocking call after another.
struct PlainWalk {
  std::size_t nodes = 0;
  void walk(AtspiAccessible* node, int depth) {
    if (nodes >= 2500 || depth > 40) return;
    ++nodes;
    GError* error = nullptr;
    atspi_accessible_get_role(node, &error);
    g_clear_error(&error);
    g_free(atspi_accessible_get_name(node, &error));
    g_clear_error(&error);
    if (AtspiStateSet* states = atspi_accessible_get_state_set(node)) g_object_unref(states);
    if (AtspiComponent* component = atspi_accessible_get_component_iface(node)) {
      g_free(atspi_component_get_extents(component, ATSPI_COORD_TYPE_SCREEN, &error));
      g_clear_error(&error);
      g_object_unref(component);
    }
    if (AtspiAction* action = atspi_accessible_get_action_iface(node)) {
      const gint n = atspi_action_get_n_actions(action, &error);
      g_clear_error(&error);
      for (gint i = 0; i < n; ++i) {
        g_free(atspi_action_get_action_name(action, i, &error));
        g_clear_error(&error);
      }
      g_object_unref(action);
    }
    const gint count = atspi_accessible_get_child_count(node, &error);
    g_clear_error(&error);
    for (gint i = 0; i < count && nodes < 2500; ++i) {
      AtspiAccessible* child = atspi_accessible_get_child_at_index(node, i, &error);
      g_clear_error(&error);
      if (!child) continue;
      walk(child, depth + 1);
      g_object_unref(child);
    }
  }
};

AtspiAccessible* atspiWindowOf(pid_t pid) {
  AtspiAccessible* desktop = atspi_get_desktop(0);
  AtspiAccessible* window = nullptr;
  const gint apps = atspi_accessible_get_child_count(desktop, nullptr);
  for (gint i = 0; i < apps && !window; ++i) {
    AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop, i, nullptr);
    if (!app) continue;
    if (atspi_accessible_get_process_id(app, nullptr) == static_cast<guint>(pid))
      window = atspi_accessible_get_child_at_index(app, 0, nullptr);
    g_object_unref(app);
  }
  g_object_unref(desktop);
  return window;
}

// libspng with its default level and adaptive filters, for comparison with the library's encoder.
std::optional<std::vector<std::uint8_t>> defaultPng(const platform::RgbaImage& image) {
  spng_ctx* ctx = spng_ctx_new(SPNG_CTX_ENCODER);
  spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1);
  spng_ihdr ihdr{};
  ihdr.width = static_cast<std::uint32_t>(image.width);
  ihdr.height = static_cast<std::uint32_t>(image.height);
  ihdr.bit_depth = 8;
  ihdr.color_type = SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
  spng_set_ihdr(ctx, &ihdr);
  std::optional<std::vector<std::uint8_t>> out;
  if (spng_encode_image(ctx, image.pixels.data(), image.pixels.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE) == 0) {
    std::size_t size = 0;
    int error = 0;
    auto* buffer = static_cast<std::uint8_t*>(spng_get_png_buffer(ctx, &size, &error));
    if (buffer) out = std::vector<std::uint8_t>(buffer, buffer + size);
    std::free(buffer);
  }
  spng_ctx_free(ctx);
  return out;
}

void benchApp(const std::string& label, pid_t pid, const std::string& query, platformlinux::LinuxComputerUsePlatform& p,
              int rounds) {
  computeruse::AccessibilityService ours(*p.accessibility);
  platformlinux::AtspiAccessibility unbatched(p.desktop.get());
  unbatched.setBulkReads(false);
  platformlinux::AtspiAccessibility viaDaemon(p.desktop.get());
  viaDaemon.setPeerToPeer(false);
  computeruse::AccessibilityService oursViaDaemon(viaDaemon);
  computeruse::AccessibilityService oursUnbatched(unbatched);
  computeruse::ComputerUseSession session({*p.accessibility, *p.applications, *p.desktop, *p.desktop, *p.events,
                                           support::Clock::system()});
  // Ready once its window's tree has stopped growing (widgets are realised after the window maps).
  std::size_t last = 0, stable = 0;
  testsupport::LinuxDesktop::waitFor(
      [&] {
        auto tree = ours.snapshotWindow(pid, std::nullopt);
        const std::size_t n = tree ? countNodes(*tree) : 0;
        stable = n > 1 && n == last ? stable + 1 : 0;
        last = n;
        return stable >= 3;
      },
      std::chrono::seconds(30));
  AtspiAccessible* window = atspiWindowOf(pid);

  std::vector<double> tOurs, tUnbatched, tDaemon, tPlain, tState, tCapture;
  std::size_t nOurs = 0, nPlain = 0, nState = 0;
  for (int r = 0; r < rounds; ++r) {
    auto t0 = Clock::now();
    auto tree = ours.snapshotWindow(pid, std::nullopt);
    tOurs.push_back(ms(Clock::now() - t0));
    nOurs = tree ? countNodes(*tree) : 0;

    t0 = Clock::now();
    oursUnbatched.snapshotWindow(pid, std::nullopt);
    tUnbatched.push_back(ms(Clock::now() - t0));

    t0 = Clock::now();
    oursViaDaemon.snapshotWindow(pid, std::nullopt);
    tDaemon.push_back(ms(Clock::now() - t0));

    if (window) {
      atspi_accessible_clear_cache(window);  // every round reads from the application
      PlainWalk walk;
      t0 = Clock::now();
      walk.walk(window, 0);
      tPlain.push_back(ms(Clock::now() - t0));
      nPlain = walk.nodes;
    }

    t0 = Clock::now();
    auto state = session.getAppState(query);
    tState.push_back(ms(Clock::now() - t0));
    nState = state.window ? countNodes(*state.window) : 0;
  }
  if (window) g_object_unref(window);
  const double o = median(tOurs), u = median(tUnbatched), pl = tPlain.empty() ? 0 : median(tPlain);
  std::printf("%s\n", label.c_str());
  std::printf("  tree read, ours (bulk + pipelined, direct) %8.1f ms  %5zu nodes  %8.0f nodes/s\n", o, nOurs,
              nOurs / (o / 1000));
  std::printf("  tree read, ours (same, through the daemon)  %8.1f ms  %5zu nodes  %8.0f nodes/s\n", median(tDaemon),
              nOurs, nOurs / (median(tDaemon) / 1000));
  std::printf("  tree read, ours (pipelined only, direct)  %8.1f ms  %5zu nodes  %8.0f nodes/s\n", u, nOurs,
              nOurs / (u / 1000));
  if (!tPlain.empty())
    std::printf("  tree read, plain libatspi walk             %8.1f ms  %5zu nodes  %8.0f nodes/s   (ours %.1fx faster)\n",
                pl, nPlain, nPlain / (pl / 1000), pl / o);
  std::printf("  get_app_state total (incl. 150 ms settle) %8.1f ms  %5zu nodes\n", median(tState), nState);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  if (auto missing = testsupport::LinuxDesktop::missingProgram()) {
    std::fprintf(stderr, "computer-use-linux-bench: missing %s\n", missing->c_str());
    return 2;
  }
  testsupport::LinuxDesktop desktop(1280, 1024);
  desktop.exportToThisProcess();
  atspi_init();
  platformlinux::LinuxComputerUsePlatform p;

  // The name the application is listed under, once it is.
  auto waitRegistered = [&](pid_t pid) {
    std::optional<std::string> name;
    testsupport::LinuxDesktop::waitFor(
        [&] {
          for (const auto& a : p.applications->runningApplications())
            if (a.pid == pid && a.activationPolicy == platform::ActivationPolicy::regular && a.localizedName)
              name = a.localizedName;
          return name.has_value();
        },
        std::chrono::seconds(30));
    return name;
  };

  std::printf("computer-use-linux-bench: median of %d rounds\n\n", rounds);
  if (::access("/usr/bin/gtk3-widget-factory", X_OK) == 0) {
    const pid_t factory = desktop.launch({"/usr/bin/gtk3-widget-factory"});
    if (auto name = waitRegistered(factory)) benchApp("gtk3-widget-factory", factory, *name, p, rounds);
    ::kill(factory, SIGTERM);
  }
  // About 2000 widgets, and enough for a full tree of 2500 nodes.
  pid_t form = -1;
  for (const int rows : {500, 640}) {
    if (form > 0) ::kill(form, SIGTERM);
    form = desktop.launch({WIDE_FORM_PATH, std::to_string(rows)});
    const auto formName = waitRegistered(form);
    if (!formName) {
      std::fprintf(stderr, "the generated form did not start\n");
      return 1;
    }
    std::printf("\n");
    benchApp("generated form, " + std::to_string(rows) + " rows x 4 widgets", form, *formName, p, rounds);
  }

  // Capture + PNG of 800x600 pixels of the form's window.
  std::optional<platform::ScreenRect> frame;
  for (const auto& w : p.desktop->clientWindows())
    if (w.pid == form) frame = w.frame;
  if (frame) {
    const platform::ScreenRect region{frame->x, frame->y, 800, 600};
    std::vector<double> grab, pngOurs, pngBaseline;
    std::size_t bytesOurs = 0, bytesBaseline = 0;
    for (int r = 0; r < rounds * 4; ++r) {
      auto t0 = Clock::now();
      auto image = p.desktop->captureRegion(region, 800, 600);
      grab.push_back(ms(Clock::now() - t0));
      if (!image) continue;
      t0 = Clock::now();
      auto a = computeruse::ScreenCapture::pngData(*image);
      pngOurs.push_back(ms(Clock::now() - t0));
      t0 = Clock::now();
      auto b = defaultPng(*image);
      pngBaseline.push_back(ms(Clock::now() - t0));
      bytesOurs = a ? a->size() : 0;
      bytesBaseline = b ? b->size() : 0;
    }
    std::printf("\ncapture 800x600 (MIT-SHM read of the window region) %6.2f ms\n", median(grab));
    std::printf("PNG, the library's encoder (level 1, sub filter)     %6.2f ms  %7zu bytes\n", median(pngOurs),
                bytesOurs);
    std::printf("PNG, libspng defaults (for comparison)               %6.2f ms  %7zu bytes\n", median(pngBaseline),
                bytesBaseline);
    std::printf("capture + PNG (library encoder)                      %6.2f ms\n", median(grab) + median(pngOurs));
  }
  return 0;
}
