// Encoders and the frame store on a deterministic 1920x1080 desktop-like frame, each next to
// the bare library work it stands on; a summary prints ours / baseline / ratio at the end.
//   ninja -C build desktopshare-bench && build/bin/desktopshare-bench
#include <benchmark/benchmark.h>
#include <turbojpeg.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "desktopshare/FrameStore.hpp"
#include "desktopshare/RfbEncoders.hpp"

using namespace desktopshare;

namespace {

constexpr std::int64_t kWidth = 1920, kHeight = 1080;

// Flat window chrome, text-like strokes, a gradient and a photo-like noisy region.
Frame desktopFrame(std::uint64_t sequence = 0) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(kWidth * kHeight * 4));
  std::uint32_t seed = 0x9E3779B9u;
  for (std::int64_t y = 0; y < kHeight; ++y) {
    for (std::int64_t x = 0; x < kWidth; ++x) {
      std::uint8_t* p = bytes.data() + (y * kWidth + x) * 4;
      int r, g, b;
      if (y < 28) {  // menu bar
        r = g = b = 236;
        if (y > 8 && y < 20 && (x / 4) % 9 < 6 && x < 900) r = g = b = 40;
      } else if (x < 1100 && y < 760) {  // window with text lines
        r = g = b = 250;
        const bool line = (y - 60) % 22 < 13 && y > 60 && x > 40 && x < 1000 - (y * 37) % 300;
        if (line && ((x * 7 + y * 3) % 11 < 5 || (x / 3 + y) % 13 == 0)) r = g = b = 25 + (x % 3) * 10;
      } else if (y >= 760) {  // gradient
        r = static_cast<int>(x * 255 / kWidth);
        g = static_cast<int>((y - 760) * 255 / (kHeight - 760));
        b = 180 - static_cast<int>(x * 100 / kWidth);
      } else {  // photo-like region
        seed = seed * 1664525u + 1013904223u;
        const int noise = static_cast<int>(seed >> 27) - 16;
        r = 110 + static_cast<int>((x * x / 97 + y) % 90) + noise;
        g = 80 + static_cast<int>((y * 3 + x / 5) % 70) + noise;
        b = 60 + static_cast<int>(((x ^ y) / 4) % 60) + noise;
      }
      p[0] = static_cast<std::uint8_t>(std::clamp(b, 0, 255));
      p[1] = static_cast<std::uint8_t>(std::clamp(g, 0, 255));
      p[2] = static_cast<std::uint8_t>(std::clamp(r, 0, 255));
      p[3] = 255;
    }
  }
  const FrameSize size(kWidth, kHeight);
  return Frame(FramePixels(std::move(bytes), size), size, {size.bounds()}, sequence);
}

const Frame& frame() {
  static const Frame f = desktopFrame();
  return f;
}

std::vector<FrameRect> bands() {
  std::vector<FrameRect> out;
  const std::int64_t rows = RfbEncoder::bandRows(kWidth);
  for (std::int64_t y = 0; y < kHeight; y += rows) out.emplace_back(0, y, kWidth, std::min(rows, kHeight - y));
  return out;
}

void reportBytes(benchmark::State& state, const std::vector<EncodedRectangle>& rects) {
  std::size_t total = 0;
  for (const auto& r : rects) total += r.payload.size();
  state.counters["bytes"] = static_cast<double>(total);
  state.counters["bytes_per_rect"] = static_cast<double>(total) / static_cast<double>(rects.size());
  state.counters["rects"] = static_cast<double>(rects.size());
}

void encodeFrame(benchmark::State& state, const ClientEncodings& encodings) {
  RfbEncoderSession session;
  std::vector<EncodedRectangle> out;
  for (auto _ : state) {
    out = session.encode(frame(), {FrameRect(0, 0, kWidth, kHeight)}, encodings, RfbPixelFormat::zorvan);
    benchmark::DoNotOptimize(out.data());
  }
  reportBytes(state, out);
}

void TightJpeg_Ours(benchmark::State& state) { encodeFrame(state, ClientEncodings{false, true, 6, std::nullopt}); }

void TightJpeg_Baseline(benchmark::State& state) {
  // tjCompress2 alone on the same bands, same quality and subsampling, into ready buffers.
  tjhandle handle = tjInitCompress();
  const int quality = RfbEncoder::turboJpegQuality(6);
  std::vector<std::vector<unsigned char>> buffers;
  for (const auto& band : bands())
    buffers.emplace_back(tjBufSize(static_cast<int>(band.width()), static_cast<int>(band.height()), TJSAMP_420));
  std::size_t total = 0;
  for (auto _ : state) {
    total = 0;
    std::size_t i = 0;
    for (const auto& band : bands()) {
      unsigned char* out = buffers[i].data();
      unsigned long size = buffers[i++].size();
      tjCompress2(handle, frame().pixels().row(band.y()), static_cast<int>(band.width()),
                  static_cast<int>(frame().pixels().bytesPerRow()), static_cast<int>(band.height()), TJPF_BGRX, &out,
                  &size, TJSAMP_420, quality, TJFLAG_NOREALLOC);
      total += size;
    }
    benchmark::DoNotOptimize(total);
  }
  state.counters["bytes"] = static_cast<double>(total);
  tjDestroy(handle);
}

void Zrle_Ours(benchmark::State& state) { encodeFrame(state, ClientEncodings{true, false, std::nullopt, 6}); }

void Zrle_Baseline(benchmark::State& state) {
  // Packing 3-byte pixels in 64x64 tile order, then deflate at the same level through one
  // persistent stream with a sync flush per band.
  z_stream stream{};
  deflateInit(&stream, 6);
  std::vector<std::uint8_t> packed(static_cast<std::size_t>(kWidth * 264 * 3 + 1024));
  std::vector<std::uint8_t> out(deflateBound(&stream, static_cast<uLong>(packed.size())) + 1024);
  std::size_t total = 0;
  for (auto _ : state) {
    total = 0;
    for (const auto& band : bands()) {
      std::uint8_t* o = packed.data();
      for (std::int64_t ty = band.y(); ty < band.maxY(); ty += 64) {
        for (std::int64_t tx = 0; tx < kWidth; tx += 64) {
          *o++ = 0;
          const std::int64_t tw = std::min<std::int64_t>(64, kWidth - tx);
          for (std::int64_t y = ty; y < std::min(ty + 64, band.maxY()); ++y) {
            const std::uint8_t* s = frame().pixels().row(y) + 4 * tx;
            for (std::int64_t x = 0; x < tw; ++x, s += 4, o += 3) std::memcpy(o, s, 3);
          }
        }
      }
      stream.next_in = packed.data();
      stream.avail_in = static_cast<uInt>(o - packed.data());
      stream.next_out = out.data();
      stream.avail_out = static_cast<uInt>(out.size());
      deflate(&stream, Z_SYNC_FLUSH);
      total += out.size() - stream.avail_out;
    }
    benchmark::DoNotOptimize(total);
  }
  state.counters["bytes"] = static_cast<double>(total);
  deflateEnd(&stream);
}

void Raw_Ours(benchmark::State& state) { encodeFrame(state, ClientEncodings{}); }

void Raw_Baseline(benchmark::State& state) {
  std::vector<std::uint8_t> out(static_cast<std::size_t>(kWidth * kHeight * 4));
  for (auto _ : state) {
    std::memcpy(out.data(), frame().pixels().data(), out.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.counters["bytes"] = static_cast<double>(out.size());
}

// The same copy into a new buffer per frame, as every encoder's output is.
void Raw_BaselineFreshBuffer(benchmark::State& state) {
  const std::size_t n = static_cast<std::size_t>(kWidth * kHeight * 4);
  for (auto _ : state) {
    Bytes out(n);
    std::memcpy(out.data(), frame().pixels().data(), n);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
}

void FrameStore_Publish1PercentAndChanges(benchmark::State& state) {
  // 5 of the 510 tiles of a 1080p frame change per frame (about 1%).
  FrameStore store(FrameSize(kWidth, kHeight), 32);
  const auto session = store.reset();
  const FramePixels pixels = frame().pixels();
  std::uint64_t sequence = 0;
  store.publish(Frame(pixels, pixels.size(), {}, sequence), session);
  for (auto _ : state) {
    const std::uint64_t previous = sequence++;
    std::vector<FrameRect> dirty;
    for (int i = 0; i < 5; ++i)
      dirty.emplace_back(static_cast<std::int64_t>((sequence * 7 + i * 131) % 30) * 64,
                         static_cast<std::int64_t>((sequence * 3 + i * 5) % 17) * 64, 40, 30);
    store.publish(Frame(pixels, pixels.size(), dirty, sequence), session);
    auto update = store.changes(previous);
    benchmark::DoNotOptimize(update);
  }
}

BENCHMARK(TightJpeg_Ours)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(TightJpeg_Baseline)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Zrle_Ours)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Zrle_Baseline)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Raw_Ours)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Raw_Baseline)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Raw_BaselineFreshBuffer)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(FrameStore_Publish1PercentAndChanges)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Keeps the per-iteration real time and counters of each run for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
      // With --benchmark_repetitions the fastest repetition counts: the least disturbed one.
      auto& r = results[run.run_name.function_name];
      const double seconds = run.real_accumulated_time / static_cast<double>(run.iterations);
      if (r.seconds > 0 && r.seconds <= seconds) continue;
      r.seconds = seconds;
      for (const auto& [name, counter] : run.counters) r.counters[name] = counter.value;
    }
  }
  struct Result {
    double seconds = 0;
    std::map<std::string, double> counters;
  };
  std::map<std::string, Result> results;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  auto& r = reporter.results;
  std::printf("\n%-34s %12s %12s %8s %8s\n", "1920x1080 desktop-like frame", "ours ms", "baseline ms", "ratio", "goal");
  const struct {
    const char *label, *ours, *baseline;
    double goal;
  } pairs[] = {{"Tight JPEG q6 vs tjCompress2", "TightJpeg_Ours", "TightJpeg_Baseline", 1.10},
               {"ZRLE vs CPIXEL pack + deflate(6)", "Zrle_Ours", "Zrle_Baseline", 1.15},
               {"Raw (native) vs memcpy", "Raw_Ours", "Raw_Baseline", 0},
               {"Raw (native) vs memcpy, new buffer", "Raw_Ours", "Raw_BaselineFreshBuffer", 0}};
  for (const auto& p : pairs) {
    if (!r.count(p.ours) || !r.count(p.baseline)) continue;
    const double ours = r[p.ours].seconds * 1e3, base = r[p.baseline].seconds * 1e3;
    char goal[16] = "-";
    if (p.goal > 0) std::snprintf(goal, sizeof goal, "<= %.2f", p.goal);
    std::printf("%-34s %12.3f %12.3f %8.3f %8s\n", p.label, ours, base, ours / base, goal);
  }
  if (r.count("FrameStore_Publish1PercentAndChanges"))
    std::printf("%-34s %12.4f %12s %8s %8s\n", "store publish+changes, 1% tiles",
                r["FrameStore_Publish1PercentAndChanges"].seconds * 1e3, "-", "-", "<= 0.5");
  std::printf("\n%-12s %14s %10s %16s\n", "encoding", "frame bytes", "rects", "bytes per rect");
  for (const char* name : {"TightJpeg_Ours", "Zrle_Ours", "Raw_Ours"}) {
    if (!r.count(name)) continue;
    auto& c = r[name].counters;
    std::printf("%-12s %14.0f %10.0f %16.0f\n", std::string(name).substr(0, std::string(name).find('_')).c_str(),
                c["bytes"], c["rects"], c["bytes_per_rect"]);
  }
  return 0;
}
