#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "desktopshare/InputSink.hpp"

using namespace desktopshare;

TEST(RecordingInputSinkConcurrency, SessionsOnThreadsWriteWholeLines) {
  char pattern[] = "/tmp/desktopshare-input-XXXXXX";
  const std::filesystem::path dir = ::mkdtemp(pattern);
  const std::string path = (dir / "input.jsonl").string();
  RecordingInputSink sink(path);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&sink, t] {
      auto session = sink.open();
      for (int i = 0; i < 50; ++i) session->pointer(PointerInput{t, i, static_cast<std::uint8_t>(t)});
      session->close();
    });
  }
  for (auto& t : threads) t.join();
  std::vector<std::string> all;
  {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) all.push_back(line);
  }
  std::filesystem::remove_all(dir);
  ASSERT_EQ(all.size(), 4u * 51);
  std::set<std::pair<int, int>> seen;
  for (const auto& line : all) {
    const auto j = nlohmann::json::parse(line);  // throws on an interleaved line
    if (j["type"] == "pointer") seen.insert({j["x"].get<int>(), j["y"].get<int>()});
  }
  EXPECT_EQ(seen.size(), 200u);
}
