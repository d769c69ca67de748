#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "desktopshare/InputSink.hpp"

using namespace desktopshare;

namespace {

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/desktopshare-input-XXXXXX";
    path_ = ::mkdtemp(pattern);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

std::string contents(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

TEST(InputRecords, JsonShapes) {
  EXPECT_EQ(nlohmann::json(PointerInput{1, 2, 3}), nlohmann::json::parse(R"({"x":1,"y":2,"buttonMask":3})"));
  EXPECT_EQ(nlohmann::json::parse(R"({"keysym":97,"down":true})").get<KeyInput>(), (KeyInput{97, true}));
  EXPECT_THROW(nlohmann::json::parse(R"({"x":1,"y":2})").get<PointerInput>(), nlohmann::json::exception);
  EXPECT_THROW(nlohmann::json::parse(R"({"keysym":97})").get<KeyInput>(), nlohmann::json::exception);
  EXPECT_EQ(nlohmann::json::parse(R"({"x":-4,"y":9007199254740993,"buttonMask":255})").get<PointerInput>(),
            (PointerInput{-4, 9007199254740993, 255}));
  for (const char* bad : {R"({"x":1.5,"y":2,"buttonMask":0})", R"({"x":1,"y":2,"buttonMask":256})",
                          R"({"x":1,"y":2,"buttonMask":-1})", R"({"x":"1","y":2,"buttonMask":0})"})
    EXPECT_THROW(nlohmann::json::parse(bad).get<PointerInput>(), nlohmann::json::exception) << bad;
  EXPECT_THROW(nlohmann::json::parse(R"({"keysym":4294967296,"down":true})").get<KeyInput>(),
               nlohmann::json::exception);
  EXPECT_THROW(nlohmann::json::parse(R"({"keysym":1,"down":1})").get<KeyInput>(), nlohmann::json::exception);
}

TEST(RecordingInputSink, WritesJsonLinesInCallOrder) {
  TempDir dir;
  const std::string path = dir / "deep/er/input.jsonl";
  RecordingInputSink sink(path);  // creates the missing directories
  auto session = sink.open();
  session->pointer(PointerInput{10, 20, 1});
  session->key(KeyInput{97, false});
  session->close();
  session->close();
  session->key(KeyInput{0xFF0D, true});  // a closed session still records
  EXPECT_EQ(contents(path),
            "{\"type\":\"pointer\",\"x\":10,\"y\":20,\"buttonMask\":1}\n"
            "{\"type\":\"key\",\"keysym\":97,\"down\":false}\n"
            "{\"type\":\"close\"}\n"
            "{\"type\":\"close\"}\n"
            "{\"type\":\"key\",\"keysym\":65293,\"down\":true}\n");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(RecordingInputSink, TruncatesAndOutlivesTheSinkThroughSessions) {
  TempDir dir;
  const std::string path = dir / "input.jsonl";
  { std::ofstream(path) << "old content\n"; }
  std::unique_ptr<InputSession> session;
  {
    RecordingInputSink sink(path);
    EXPECT_EQ(contents(path), "");
    session = sink.open();
  }
  session->pointer(PointerInput{-1, 70000, 255});
  EXPECT_EQ(contents(path), "{\"type\":\"pointer\",\"x\":-1,\"y\":70000,\"buttonMask\":255}\n");
}

TEST(RecordingInputSink, OpenFailuresThrow) {
  TempDir dir;
  { std::ofstream(dir / "file") << "x"; }
  EXPECT_THROW(RecordingInputSink(dir / "file/child.jsonl"), std::filesystem::filesystem_error);
  try {
    RecordingInputSink sink(dir / "");  // a directory cannot be opened for writing
    FAIL();
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().value(), EISDIR);
  }
}

TEST(NullInputSink, DropsEverything) {
  NullInputSink sink;
  auto a = sink.open();
  auto b = sink.open();
  EXPECT_NE(a.get(), b.get());
  a->pointer(PointerInput{1, 1, 1});
  a->key(KeyInput{1, true});
  a->close();
}

