// get_app_state on a 2500-node simulated window of 1600x1000 points:
//   tree walk through the accessibility interface vs a plain pre-order walk of the same nodes;
//   our PNG encoding vs libspng encoding the same pixels alone.
// After the runs, a summary prints ours / baseline / ratio side by side (CPU time: the machine
// may be shared, and the work is single-threaded).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include <spng.h>

#include "computeruse/Accessibility.hpp"
#include "computeruse/ComputerUseSession.hpp"
#include "computeruse/ScreenCapture.hpp"
#include "platformsim/SimDesktop.hpp"
#include "support/Clock.hpp"
#include "support/RunLoop.hpp"

namespace {

using nlohmann::json;

// Window + 49 groups of 50 elements = 2500 nodes, spread over the whole window.
json scenario() {
  json groups = json::array();
  for (int g = 0; g < 49; ++g) {
    json kids = json::array();
    for (int k = 0; k < 50; ++k) {
      const double x = 10 + (k % 10) * 158, y = 30 + (g % 7) * 138 + (k / 10) * 26;
      json e = {{"role", k % 3 ? "AXButton" : "AXTextField"}, {"title", "Item " + std::to_string(g * 50 + k)},
                {"frame", {x, y, 150, 22}}, {"enabled", true}};
      if (k % 3) e["actions"] = {"AXPress"};
      else e["settable"] = true, e["value"] = "text " + std::to_string(k);
      kids.push_back(e);
    }
    groups.push_back({{"role", "AXGroup"}, {"description", "Group " + std::to_string(g)}, {"children", kids}});
  }
  return {{"answerDelay", 0},
          {"applications",
           {{{"pid", 42},
             {"name", "Big"},
             {"windows", {{{"number", 1}, {"title", "Big"}, {"frame", {0, 0, 1600, 1000}}, {"key", true}, {"children", groups}}}}}}}};
}

struct World {
  platformsim::SimDesktop desktop{platformsim::Scenario::fromJson(scenario())};
};

World& world() {
  static World w;
  return w;
}

// The same fields read straight from the scenario's nodes: no interface, no cache.
computeruse::AXNode plainWalk(const platformsim::SimElement& e, std::int64_t& counter) {
  computeruse::AXNode n(std::to_string(counter++), e.role.value_or("AXUnknown"));
  n.subrole = e.subrole;
  if (e.title && !e.title->empty()) n.title = e.title;
  if (e.value)
    if (auto* s = std::get_if<std::string>(&*e.value); s && !s->empty()) n.value = *s;
  n.description = e.description;
  n.enabled = e.enabled;
  n.focused = e.focused;
  n.settable = e.settable;
  if (e.frame) n.frame = computeruse::Rect(*e.frame);
  if (!e.actions.empty()) n.actions = e.actions;
  if (!e.children.empty()) {
    std::vector<computeruse::AXNode> kids;
    kids.reserve(e.children.size());
    for (const auto& c : e.children) kids.push_back(plainWalk(*c, counter));
    n.children = std::move(kids);
  }
  return n;
}

void BM_TreeWalk_Ours(benchmark::State& state) {
  computeruse::AccessibilityService ax(world().desktop);
  for (auto _ : state) benchmark::DoNotOptimize(ax.snapshotWindow(42, 1));
}
BENCHMARK(BM_TreeWalk_Ours)->Unit(benchmark::kMicrosecond);

void BM_TreeWalk_PlainPreorder(benchmark::State& state) {
  const auto& root = *world().desktop.application(42)->windows[0]->root;
  for (auto _ : state) {
    std::int64_t counter = 0;
    benchmark::DoNotOptimize(plainWalk(root, counter));
  }
}
BENCHMARK(BM_TreeWalk_PlainPreorder)->Unit(benchmark::kMicrosecond);

const platform::RgbaImage& pixels() {
  static const auto image = *world().desktop.render({platform::CaptureFilter::Kind::window, 1}, 1600, 1000);
  return image;
}

void BM_PngEncode_Ours(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(computeruse::ScreenCapture::pngData(pixels()));
}
BENCHMARK(BM_PngEncode_Ours)->Unit(benchmark::kMillisecond);

void BM_PngEncode_LibspngAlone(benchmark::State& state) {
  const auto& img = pixels();
  for (auto _ : state) {
    spng_ctx* ctx = spng_ctx_new(SPNG_CTX_ENCODER);
    spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1);
    spng_ihdr ihdr{};
    ihdr.width = 1600;
    ihdr.height = 1000;
    ihdr.bit_depth = 8;
    ihdr.color_type = SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
    spng_set_ihdr(ctx, &ihdr);
    spng_encode_image(ctx, img.pixels.data(), img.pixels.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE);
    size_t size = 0;
    int err = 0;
    void* png = spng_get_png_buffer(ctx, &size, &err);
    benchmark::DoNotOptimize(png);
    std::free(png);
    spng_ctx_free(ctx);
  }
}
BENCHMARK(BM_PngEncode_LibspngAlone)->Unit(benchmark::kMillisecond);

// The whole operation on a fake clock (its 0.15 s pause and the answer delays cost nothing).
void BM_GetAppState_Total(benchmark::State& state) {
  support::FakeClock clock;
  support::RunLoop loop(clock);
  support::RunLoop::Scope scope(loop);
  auto& d = world().desktop;
  computeruse::ComputerUseSession session({d, d, d, d, d, clock});
  for (auto _ : state) benchmark::DoNotOptimize(session.getAppState("Big"));
}
BENCHMARK(BM_GetAppState_Total)->Unit(benchmark::kMillisecond);

class Collecting : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs)
      if (r.run_type == Run::RT_Iteration) nanos[r.benchmark_name()] = r.GetAdjustedCPUTime() * unitNanos(r.time_unit);
    ConsoleReporter::ReportRuns(runs);
  }
  static double unitNanos(benchmark::TimeUnit u) {
    switch (u) {
      case benchmark::kNanosecond: return 1;
      case benchmark::kMicrosecond: return 1e3;
      case benchmark::kMillisecond: return 1e6;
      default: return 1e9;
    }
  }
  std::map<std::string, double> nanos;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Collecting reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto row = [&](const char* what, const char* ours, const char* base, double goal) {
    if (!reporter.nanos.count(ours) || !reporter.nanos.count(base)) return;
    const double o = reporter.nanos[ours], b = reporter.nanos[base];
    std::printf("%-28s ours %10.3f ms   baseline %10.3f ms   ratio %.2fx (goal <= %.2fx)\n", what, o / 1e6, b / 1e6,
                o / b, goal);
  };
  std::printf("\n");
  row("tree walk (2500 nodes)", "BM_TreeWalk_Ours", "BM_TreeWalk_PlainPreorder", 1.5);
  row("PNG encode (1600x1000)", "BM_PngEncode_Ours", "BM_PngEncode_LibspngAlone", 1.10);
  if (reporter.nanos.count("BM_GetAppState_Total"))
    std::printf("%-28s total %9.3f ms\n", "get_app_state", reporter.nanos["BM_GetAppState_Total"] / 1e6);
  benchmark::Shutdown();
  return 0;
}
