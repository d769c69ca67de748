#include <gtest/gtest.h>

#include "desktopshare/RfbCommandOptions.hpp"
#include "desktopshare/RfbProtocol.hpp"

using namespace desktopshare;

namespace {
std::string failure(const std::vector<std::string>& args) {
  try {
    RfbCommandOptions::parse(args);
  } catch (const RfbProtocolError& e) {
    return e.reason();
  }
  return "(parsed)";
}
}  // namespace

TEST(RfbCommandOptions, Defaults) {
  const auto o = RfbCommandOptions::parse({"--socket", "/tmp/s"});
  EXPECT_EQ(o.socketPath, "/tmp/s");
  EXPECT_EQ(o.frameSource, RfbFrameSourceKind::sck);
  EXPECT_EQ(o.geometry, FrameSize(1280, 800));
  EXPECT_EQ(o.input, RfbInputKind::session);
  EXPECT_FALSE(o.inputPath);
  EXPECT_EQ(o.maxClients, 4);
  EXPECT_EQ(o.name, "Zorvan Agent Desktop");
  EXPECT_FALSE(o.allowedPeerPid);
  EXPECT_EQ(RfbCommandOptions::parse({"--socket", "--name"}).socketPath, "--name");
}

TEST(RfbCommandOptions, AcceptedValues) {
  const auto o = RfbCommandOptions::parse({"--geometry", "800X600", "--socket", "/s", "--frame-source", "synthetic",
                                           "--input", "record", "--input-path", "/tmp/in.log", "--max-clients", "+3",
                                           "--name", "Desk", "--allowed-peer-pid", "501", "--max-clients", "7"});
  EXPECT_EQ(o.geometry, FrameSize(800, 600));
  EXPECT_EQ(o.frameSource, RfbFrameSourceKind::synthetic);
  EXPECT_EQ(o.input, RfbInputKind::record);
  EXPECT_EQ(o.inputPath, "/tmp/in.log");
  EXPECT_EQ(o.maxClients, 7);  // the last value wins
  EXPECT_EQ(o.name, "Desk");
  EXPECT_EQ(o.allowedPeerPid, 501);
  EXPECT_EQ(RfbCommandOptions::parse({"--socket", "/s", "--frame-source", "synthetic", "--geometry", "65535x1"})
                .geometry,
            FrameSize(65535, 1));
  EXPECT_EQ(RfbCommandOptions::parse({"--socket", "/s", "--input", "none"}).input, RfbInputKind::none);
  EXPECT_EQ(RfbCommandOptions::parse({"--socket", "/s", "--allowed-peer-pid", "2147483647"}).allowedPeerPid,
            2147483647);
  EXPECT_EQ(rawValue(RfbInputKind::record), "record");
  EXPECT_EQ(rawValue(RfbFrameSourceKind::synthetic), "synthetic");
}

TEST(RfbCommandOptions, Refusals) {
  const std::vector<std::string> base = {"--socket", "/s", "--frame-source", "synthetic"};
  auto with = [&](std::vector<std::string> extra) {
    auto args = base;
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  };
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "socket_path_required"},
      {{"--socket", ""}, "socket_path_required"},
      {{"--socket"}, "--socket_requires_a_value"},
      {with({"--name"}), "--name_requires_a_value"},
      {{"--socket", "/s", "--geometry", "800x600"}, "geometry_requires_synthetic_frame_source"},
      {with({"--geometry", "0x600"}), "geometry_must_be_WxH"},
      {with({"--geometry", "65536x10"}), "geometry_must_be_WxH"},
      {with({"--geometry", "x600"}), "geometry_must_be_WxH"},
      {with({"--geometry", "800x"}), "geometry_must_be_WxH"},
      {with({"--geometry", "800x600x1"}), "geometry_must_be_WxH"},
      {with({"--geometry", "800 x600"}), "geometry_must_be_WxH"},
      {with({"--geometry", "-800x600"}), "geometry_must_be_WxH"},
      {with({"--geometry", "99999999999999999999x1"}), "geometry_must_be_WxH"},
      {with({"--max-clients", "0"}), "max_clients_must_be_positive"},
      {with({"--max-clients", "two"}), "max_clients_must_be_positive"},
      {with({"--max-clients", ""}), "max_clients_must_be_positive"},
      {with({"--max-clients", "+"}), "max_clients_must_be_positive"},
      {with({"--max-clients", "99999999999999999999"}), "max_clients_must_be_positive"},
      {with({"--allowed-peer-pid", "2147483648"}), "allowed_peer_pid_must_be_positive"},
      {with({"--allowed-peer-pid", "-5"}), "allowed_peer_pid_must_be_positive"},
      {with({"--allowed-peer-pid", " 5"}), "allowed_peer_pid_must_be_positive"},
      {with({"--input", "record"}), "input_path_required"},
      {with({"--input", "record", "--input-path", ""}), "input_path_required"},
      {with({"--input-path", "/tmp/input.log"}), "input_path_requires_record_input"},
      {with({"--input-path", ""}), "input_path_requires_record_input"},
      {with({"--name", ""}), "desktop_name_required"},
      {with({"--frame-source", "SCK"}), "unsupported_frame_source_SCK"},
      {with({"--input", "Session"}), "unsupported_input_Session"},
      {with({"--verbose", "1"}), "unknown_rfb_flag_--verbose"},
      // The first problem ends parsing, before the cross-checks.
      {{"--verbose", "1", "--socket"}, "unknown_rfb_flag_--verbose"},
  };
  for (const auto& [args, reason] : cases) EXPECT_EQ(failure(args), reason) << ::testing::PrintToString(args);
}
