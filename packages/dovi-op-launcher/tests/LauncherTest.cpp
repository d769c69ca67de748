// End-to-end tests: the built launchers run as a caller would run them, against a fake op
// signed with throwaway keys generated during the build.
#include <gtest/gtest.h>
#include <rnp/rnp.h>
#include <rnp/rnp_err.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string kUntrusted = "dovi-op-launcher: untrusted 1Password CLI\n";
const std::string kUnsupported = "dovi-op-launcher: unsupported invocation\n";
const std::string kNoConfinement = "dovi-op-launcher: could not restrict App Data access\n";
const std::string kChanged = "dovi-op-launcher: 1Password CLI changed before launch\n";
const std::string kNoStart = "dovi-op-launcher: could not start 1Password CLI\n";

using Strings = std::vector<std::string>;

struct Result {
  int status = -1;
  std::string out;
  std::string err;

  Strings lines(const std::string& prefix) const {
    Strings found;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
      if (line.starts_with(prefix)) found.push_back(line.substr(prefix.size()));
    }
    return found;
  }
};

std::string readAll(int fd) {
  std::string text;
  ::lseek(fd, 0, SEEK_SET);
  char buffer[4096];
  for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(got));
  return text;
}

std::vector<char*> pointers(Strings& strings) {
  std::vector<char*> result;
  for (auto& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

// Runs `args` with exactly `env`. With `inWindow`, the test launcher pauses after its
// signature check, `inWindow` runs, and the launcher continues.
Result run(Strings args, Strings env, const std::function<void()>& inWindow = {}) {
  const int out = ::memfd_create("out", MFD_CLOEXEC);
  const int err = ::memfd_create("err", MFD_CLOEXEC);
  int toChild[2] = {-1, -1};
  int fromChild[2] = {-1, -1};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
  if (inWindow) {
    EXPECT_EQ(::pipe2(toChild, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(fromChild, O_CLOEXEC), 0);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], 100);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], 101);
    env.push_back("DOVI_OP_TEST_SYNC_FDS=100,101");
  }
  auto argv = pointers(args);
  auto envp = pointers(env);
  pid_t pid = -1;
  Result result;
  const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(spawned, 0) << args[0];
  if (inWindow) {
    ::close(toChild[0]);
    ::close(fromChild[1]);
    char byte = 0;
    EXPECT_EQ(::read(fromChild[0], &byte, 1), 1) << "the launcher did not reach its signature check";
    inWindow();
    EXPECT_EQ(::write(toChild[1], &byte, 1), 1);
    ::close(toChild[1]);
    ::close(fromChild[0]);
  }
  if (spawned == 0) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  result.out = readAll(out);
  result.err = readAll(err);
  ::close(out);
  ::close(err);
  return result;
}

void writeFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Writes a binary detached signature of `file` by the test key `keyName` to `signature`.
void sign(const fs::path& file, const std::string& keyName, const fs::path& signature, bool armored = false) {
  const fs::path keys(DOVI_TEST_KEYS);
  std::string fingerprint = readFile(keys / (keyName + ".fpr"));
  fingerprint.erase(fingerprint.find_last_not_of("\n") + 1);
  rnp_ffi_t ffi = nullptr;
  ASSERT_EQ(rnp_ffi_create(&ffi, RNP_KEYSTORE_GPG, RNP_KEYSTORE_GPG), RNP_SUCCESS);
  rnp_input_t keyInput = nullptr;
  rnp_input_t data = nullptr;
  rnp_output_t output = nullptr;
  rnp_key_handle_t key = nullptr;
  rnp_op_sign_t op = nullptr;
  fs::remove(signature);
  EXPECT_EQ(rnp_input_from_path(&keyInput, (keys / (keyName + ".sec.asc")).c_str()), RNP_SUCCESS);
  EXPECT_EQ(rnp_load_keys(ffi, RNP_KEYSTORE_GPG, keyInput, RNP_LOAD_SAVE_SECRET_KEYS | RNP_LOAD_SAVE_PUBLIC_KEYS),
            RNP_SUCCESS);
  EXPECT_EQ(rnp_locate_key(ffi, "fingerprint", fingerprint.c_str(), &key), RNP_SUCCESS);
  EXPECT_NE(key, nullptr);
  EXPECT_EQ(rnp_input_from_path(&data, file.c_str()), RNP_SUCCESS);
  EXPECT_EQ(rnp_output_to_path(&output, signature.c_str()), RNP_SUCCESS);
  EXPECT_EQ(rnp_op_sign_detached_create(&op, ffi, data, output), RNP_SUCCESS);
  EXPECT_EQ(rnp_op_sign_add_signature(op, key, nullptr), RNP_SUCCESS);
  EXPECT_EQ(rnp_op_sign_set_armor(op, armored), RNP_SUCCESS);
  EXPECT_EQ(rnp_op_sign_execute(op), RNP_SUCCESS);
  rnp_op_sign_destroy(op);
  rnp_output_destroy(output);
  rnp_input_destroy(data);
  rnp_input_destroy(keyInput);
  rnp_key_handle_destroy(key);
  rnp_ffi_destroy(ffi);
}

class Launcher : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/dovi-op-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = new fs::path(fs::canonical(pattern));
    writeFile(home() / ".config/1Password/secret.txt", "secret\n");
    writeFile(home() / ".config/1Password/sub/deep.txt", "deep secret\n");
    writeFile(home() / ".config/other/settings.txt", "settings\n");
    writeFile(home() / "notes.txt", "notes\n");
    writeFile(*root_ / "data/public.txt", "public\n");
    op_ = new fs::path(signedOp("bin"));
    fs::create_directories(*root_ / "link");
    fs::create_symlink(*op_, *root_ / "link/op");
  }

  static void TearDownTestSuite() {
    std::error_code ignored;
    fs::remove_all(*root_, ignored);
    delete root_;
    delete op_;
  }

  static fs::path home() { return *root_ / "home"; }

  // A copy of the fake op in <root>/<dir>/op, signed by `keyName` into op.sig.
  static fs::path signedOp(const std::string& dir, const std::string& keyName = "trusted") {
    const fs::path op = *root_ / dir / "op";
    fs::create_directories(op.parent_path());
    fs::copy_file(DOVI_FAKE_OP, op, fs::copy_options::overwrite_existing);
    fs::permissions(op, fs::perms(0755));
    sign(op, keyName, op.string() + ".sig");
    return op;
  }

  static Strings baseEnv() { return {"PATH=/usr/bin:/bin", "DOVI_OP_TEST_HOME=" + home().string()}; }

  static Result launch(const fs::path& op, const Strings& opArgs, Strings env = baseEnv(),
                       const std::function<void()>& inWindow = {}) {
    Strings args = {DOVI_TEST_LAUNCHER, op.string()};
    args.insert(args.end(), opArgs.begin(), opArgs.end());
    return run(args, env, inWindow);
  }

  static void expectRefused(const Result& result, int status, const std::string& message) {
    EXPECT_EQ(result.status, status);
    EXPECT_EQ(result.err, message);
    EXPECT_EQ(result.out, "") << "op must not run";
  }

  static inline fs::path* root_ = nullptr;
  static inline fs::path* op_ = nullptr;
};

const Strings kVersion = {"--version"};

TEST_F(Launcher, RunsEveryAllowListRowWithItsArgumentsUnchanged) {
  const std::vector<Strings> rows = {
      {"--version"},
      {"account", "list", "--format=json"},
      {"vault", "list", "--account", "my-team.1password_com", "--format=json"},
      {"vault", "create", "Shared \xC3\xBC vault", "--account", "acct", "--format=json"},
      {"service-account", "create", "ci bot", "--account", "acct", "--vault", "vault_1:read_items", "--expires-in",
       "31536000s", "--raw"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.front() + " (" + std::to_string(row.size() + 2) + " arguments)");
    const Result result = launch(*op_, row);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    Strings expected = {op_->string()};
    expected.insert(expected.end(), row.begin(), row.end());
    Strings got;
    for (std::size_t i = 0; i <= expected.size(); ++i) {
      const auto values = result.lines("argv[" + std::to_string(i) + "]=");
      got.insert(got.end(), values.begin(), values.end());
    }
    EXPECT_EQ(got, expected);
  }
}

TEST_F(Launcher, AppliesTheValidatorsAndLiteralsExactly) {
  const std::string s256(256, 'a');
  const std::string s257(257, 'a');
  struct Case {
    Strings args;
    bool accepted;
  };
  auto vaultList = [](const std::string& account) {
    return Strings{"vault", "list", "--account", account, "--format=json"};
  };
  auto vaultCreate = [](const std::string& name) {
    return Strings{"vault", "create", name, "--account", "acct", "--format=json"};
  };
  auto serviceAccount = [](const std::string& scope, const std::string& expiry) {
    return Strings{"service-account", "create", "bot", "--account", "acct", "--vault", scope, "--expires-in", expiry,
                   "--raw"};
  };
  std::vector<Case> cases = {
      // literals: exact, case-sensitive, fixed order
      {{}, false},
      {{"--version", "--version"}, false},
      {{"--Version"}, false},
      {{"--version "}, false},
      {{"-v"}, false},
      {{"list", "account", "--format=json"}, false},
      {{"account", "list", "--format=JSON"}, false},
      {{"account", "list", "--format", "json"}, false},
      {{"vault", "list", "--format=json", "--account", "acct"}, false},
      {{"service-account", "create", "bot", "--account", "acct", "--vault", "v:read_items", "--expires-in", "1s",
        "--RAW"},
       false},
      // safe identifier
      {vaultList("a/b"), false},
      {vaultList("a b"), false},
      {vaultList("-acct"), false},
      {vaultList(""), false},
      {vaultList("\xC3\xBC"), false},
      {vaultList("a\x01"), false},
      {vaultList(s256), true},
      {vaultList(s257), false},
      {vaultList("A-z.0_9"), true},
      // safe text
      {vaultCreate("-name"), false},
      {vaultCreate(""), false},
      {vaultCreate("tab\there"), false},
      {vaultCreate("del\x7F"), false},
      {vaultCreate("line\nbreak"), false},
      {vaultCreate(" "), true},
      {vaultCreate("\x80\xFF"), true},
      {vaultCreate("name-with-dash"), true},
      {vaultCreate(s256), true},
      {vaultCreate(s257), false},
      // read-items scope
      {serviceAccount("v:read_items", "1s"), true},
      {serviceAccount(s256 + ":read_items", "1s"), true},
      {serviceAccount(s257 + ":read_items", "1s"), false},
      {serviceAccount(":read_items", "1s"), false},
      {serviceAccount("vault:read_item", "1s"), false},
      {serviceAccount("vault:write_items", "1s"), false},
      {serviceAccount("vault:READ_ITEMS", "1s"), false},
      {serviceAccount("vault:read_itemsx", "1s"), false},
      {serviceAccount("vault", "1s"), false},
      {serviceAccount("va lt:read_items", "1s"), false},
      {serviceAccount("-vault:read_items", "1s"), false},
      {serviceAccount("a:b:read_items", "1s"), false},
      // expiration
      {serviceAccount("v:read_items", "31536000s"), true},
      {serviceAccount("v:read_items", "31536001s"), false},
      {serviceAccount("v:read_items", "0s"), false},
      {serviceAccount("v:read_items", "01s"), false},
      {serviceAccount("v:read_items", "s"), false},
      {serviceAccount("v:read_items", "1"), false},
      {serviceAccount("v:read_items", "1m"), false},
      {serviceAccount("v:read_items", "1S"), false},
      {serviceAccount("v:read_items", "-1s"), false},
      {serviceAccount("v:read_items", "+1s"), false},
      {serviceAccount("v:read_items", " 1s"), false},
      {serviceAccount("v:read_items", "999999999s"), false},
      {serviceAccount("v:read_items", "1234567890s"), false},
  };
  // One argument more or fewer than each row.
  for (const Strings& row : {kVersion, Strings{"account", "list", "--format=json"}, vaultList("acct"),
                             vaultCreate("name"), serviceAccount("v:read_items", "1s")}) {
    Strings longer = row;
    longer.push_back("--format=json");
    cases.push_back({longer, false});
    cases.push_back({Strings(row.begin(), row.end() - 1), false});
  }
  for (const Case& c : cases) {
    std::string label;
    for (const auto& a : c.args) label += "[" + a.substr(0, 24) + "]";
    SCOPED_TRACE(label);
    const Result result = launch(*op_, c.args);
    if (c.accepted) {
      EXPECT_EQ(result.status, 0);
      EXPECT_EQ(result.err, "");
    } else {
      expectRefused(result, 64, kUnsupported);
    }
  }
}

TEST_F(Launcher, RefusesFilesWithoutAValidPinnedSignature) {
  struct Case {
    std::string name;
    std::function<fs::path()> prepare;  // returns the op path to pass
  };
  const std::vector<Case> cases = {
      {"no signature",
       [] {
         auto op = signedOp("unsigned");
         fs::remove(op.string() + ".sig");
         return op;
       }},
      {"signed by another key", [] { return signedOp("other-key", "other"); }},
      {"garbage signature",
       [] {
         auto op = signedOp("garbage-sig");
         writeFile(op.string() + ".sig", "not a signature\n");
         return op;
       }},
      {"empty signature",
       [] {
         auto op = signedOp("empty-sig");
         writeFile(op.string() + ".sig", "");
         return op;
       }},
      {"truncated signature",
       [] {
         auto op = signedOp("short-sig");
         const std::string sig = readFile(op.string() + ".sig");
         writeFile(op.string() + ".sig", sig.substr(0, sig.size() / 2));
         return op;
       }},
      {"one byte changed after signing",
       [] {
         auto op = signedOp("tampered");
         std::string bytes = readFile(op);
         bytes[bytes.size() / 2] ^= 0x01;
         writeFile(op, bytes);
         return op;
       }},
      {"one byte appended after signing",
       [] {
         auto op = signedOp("appended");
         std::ofstream(op, std::ios::binary | std::ios::app) << '\0';
         return op;
       }},
      {"signature of another file",
       [] {
         auto op = signedOp("swapped-sig");
         const auto other = signedOp("swapped-sig-other");
         std::ofstream(other, std::ios::binary | std::ios::app) << "other";
         sign(other, "trusted", other.string() + ".sig");
         fs::copy_file(other.string() + ".sig", op.string() + ".sig", fs::copy_options::overwrite_existing);
         return op;
       }},
      {"signature is a FIFO",
       [] {
         auto op = signedOp("fifo-sig");
         fs::remove(op.string() + ".sig");
         ::mkfifo((op.string() + ".sig").c_str(), 0600);
         return op;
       }},
      {"op is a directory",
       [] {
         fs::create_directories(*root_ / "dir-op/op");
         sign(DOVI_FAKE_OP, "trusted", *root_ / "dir-op/op.sig");
         return *root_ / "dir-op/op";
       }},
      {"op is a FIFO",
       [] {
         fs::create_directories(*root_ / "fifo-op");
         ::mkfifo((*root_ / "fifo-op/op").c_str(), 0700);
         return *root_ / "fifo-op/op";
       }},
      {"op does not exist", [] { return *root_ / "missing/op"; }},
      {"relative path", [] { return fs::path("bin/op"); }},
      {"empty path", [] { return fs::path(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path op = c.prepare();
    expectRefused(launch(op, kVersion), 65, kUntrusted);
  }
  // The signature is checked first, even for an invocation that will be refused.
  auto unsigned_ = signedOp("unsigned-bad-args");
  fs::remove(unsigned_.string() + ".sig");
  expectRefused(launch(unsigned_, {"--version", "extra"}), 65, kUntrusted);
  // A missing op argument.
  expectRefused(run({DOVI_TEST_LAUNCHER}, baseEnv()), 65, kUntrusted);
}

TEST_F(Launcher, AcceptsArmoredAndMultiSignerSignatures) {
  const fs::path armored = signedOp("armored");
  sign(armored, "trusted", armored.string() + ".sig", true);
  ASSERT_TRUE(readFile(armored.string() + ".sig").starts_with("-----BEGIN PGP SIGNATURE-----"));
  EXPECT_EQ(launch(armored, kVersion).status, 0);

  // Another signer's signature beside the pinned key's, in either order.
  for (const bool pinnedFirst : {true, false}) {
    SCOPED_TRACE(pinnedFirst ? "pinned first" : "pinned last");
    const fs::path op = signedOp(pinnedFirst ? "two-signers-a" : "two-signers-b");
    sign(op, "other", op.string() + ".other");
    const std::string pinned = readFile(op.string() + ".sig");
    const std::string other = readFile(op.string() + ".other");
    writeFile(op.string() + ".sig", pinnedFirst ? pinned + other : other + pinned);
    const Result result = launch(op, kVersion);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
  }
}

// The configured signer key must hold the pinned fingerprint as a usable signing key, or
// the default launcher would refuse every op.
TEST(LauncherBuild, TheEmbeddedKeyHoldsThePinnedFingerprint) {
  rnp_ffi_t ffi = nullptr;
  ASSERT_EQ(rnp_ffi_create(&ffi, RNP_KEYSTORE_GPG, RNP_KEYSTORE_GPG), RNP_SUCCESS);
  rnp_input_t input = nullptr;
  ASSERT_EQ(rnp_input_from_path(&input, DOVI_SIGNER_KEY), RNP_SUCCESS);
  EXPECT_EQ(rnp_load_keys(ffi, RNP_KEYSTORE_GPG, input, RNP_LOAD_SAVE_PUBLIC_KEYS), RNP_SUCCESS);
  rnp_key_handle_t key = nullptr;
  EXPECT_EQ(rnp_locate_key(ffi, "fingerprint", DOVI_SIGNER_FINGERPRINT, &key), RNP_SUCCESS);
  ASSERT_NE(key, nullptr);
  bool primary = false;
  bool valid = false;
  bool canSign = false;
  EXPECT_EQ(rnp_key_is_primary(key, &primary), RNP_SUCCESS);
  EXPECT_EQ(rnp_key_is_valid(key, &valid), RNP_SUCCESS);
  EXPECT_EQ(rnp_key_allows_usage(key, "sign", &canSign), RNP_SUCCESS);
  EXPECT_TRUE(primary);
  EXPECT_TRUE(valid) << "expired or revoked";
  EXPECT_TRUE(canSign);
  rnp_key_handle_destroy(key);
  rnp_input_destroy(input);
  rnp_ffi_destroy(ffi);
}

TEST_F(Launcher, TheDefaultBuildTrustsOnlyItsPinnedKey) {
  // The test hooks would let a caller move the confinement elsewhere: never in this build.
  const std::string binary = readFile(DOVI_LAUNCHER);
  ASSERT_FALSE(binary.empty());
  EXPECT_EQ(binary.find("DOVI_OP_TEST_"), std::string::npos);
  EXPECT_NE(readFile(DOVI_TEST_LAUNCHER).find("DOVI_OP_TEST_HOME"), std::string::npos);

  expectRefused(run({DOVI_LAUNCHER, op_->string(), "--version"}, baseEnv()), 65, kUntrusted);
  expectRefused(run({DOVI_LAUNCHER, "op", "--version"}, baseEnv()), 65, kUntrusted);
}

TEST_F(Launcher, AcceptsASymlinkAndStartsTheResolvedFile) {
  const Result result = launch(*root_ / "link/op", kVersion);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.lines("argv[0]="), Strings{op_->string()});
}

TEST_F(Launcher, ScrubsTheOpEnvironmentAndPassesTheRestInOrder) {
  const std::string testHome = "DOVI_OP_TEST_HOME=" + home().string();
  const Strings env = {"PATH=/usr/bin:/bin", "OP_CACHE=true", "HOME=/nowhere", "OP_SESSION_abc=token",
                       "op_lower=kept", testHome, "OP_=x", "OP_LOAD_DESKTOP_APP_SETTINGS=true", "Z=last"};
  const Result result = launch(*op_, kVersion, env);
  ASSERT_EQ(result.status, 0) << result.err;
  const Strings expected = {"PATH=/usr/bin:/bin",
                            "HOME=/nowhere",
                            "op_lower=kept",
                            testHome,
                            "Z=last",
                            "OP_CACHE=false",
                            "OP_BIOMETRIC_UNLOCK_ENABLED=true",
                            "OP_LOAD_DESKTOP_APP_SETTINGS=false"};
  EXPECT_EQ(result.lines("env="), expected);
}

TEST_F(Launcher, PassesOpsExitStatusThrough) {
  Strings env = baseEnv();
  env.push_back("FAKE_OP_EXIT=42");
  EXPECT_EQ(launch(*op_, kVersion, env).status, 42);
}

TEST_F(Launcher, OpCannotReadTheAppDataButEverythingElse) {
  const fs::path written = fs::path("/tmp") / ("dovi-op-written-" + std::to_string(::getpid()));
  const fs::path appData = home() / ".config/1Password";
  Strings env = baseEnv();
  env.push_back("FAKE_OP_PROBES=r:" + (appData / "secret.txt").string() + ";r:" + (appData / "sub/deep.txt").string() +
                ";r:" + (home() / "notes.txt").string() + ";r:" + (home() / ".config/other/settings.txt").string() +
                ";r:" + (*root_ / "data/public.txt").string() + ";r:/etc/passwd;w:" + written.string());
  const Result result = launch(*op_, kVersion, env);
  ASSERT_EQ(result.status, 0) << result.err;
  const Strings expected = {
      "r " + (appData / "secret.txt").string() + ": Permission denied",
      "r " + (appData / "sub/deep.txt").string() + ": Permission denied",
      "r " + (home() / "notes.txt").string() + ": ok",
      "r " + (home() / ".config/other/settings.txt").string() + ": ok",
      "r " + (*root_ / "data/public.txt").string() + ": ok",
      "r /etc/passwd: ok",
      "w " + written.string() + ": ok",
  };
  Strings probes = result.lines("r ");
  for (auto& line : probes) line = "r " + line;
  for (const auto& line : result.lines("w ")) probes.push_back("w " + line);
  EXPECT_EQ(probes, expected);
  EXPECT_EQ(readFile(written), "written by op\n");
  fs::remove(written);
  // Only the launched process is confined: its caller still reads the app data.
  EXPECT_EQ(readFile(appData / "secret.txt"), "secret\n");
}

TEST_F(Launcher, AppDataThatAppearsWhileOpRunsStaysUnreadable) {
  const fs::path fresh = *root_ / "fresh-home";
  fs::create_directories(fresh);
  const fs::path appData = fresh / ".config/1Password";
  Strings env = {"PATH=/usr/bin:/bin", "DOVI_OP_TEST_HOME=" + fresh.string(),
                 "FAKE_OP_PROBES=m:" + appData.string() + ";w:" + (appData / "new.txt").string() + ";r:" +
                     (appData / "new.txt").string() + ";w:" + (fresh / ".config/op/config").string() + ";r:" +
                     (fresh / ".config/op/config").string()};
  const Result result = launch(*op_, kVersion, env);
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.out.find("m " + appData.string() + ": ok"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("r " + (appData / "new.txt").string() + ": Permission denied"), std::string::npos)
      << result.out;
  // op's configuration directory was created before confining, so op can use it.
  EXPECT_NE(result.out.find("r " + (fresh / ".config/op/config").string() + ": ok"), std::string::npos)
      << result.out;
  struct stat status {};
  ASSERT_EQ(::stat((fresh / ".config/op").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0700u);
}

TEST_F(Launcher, RefusesAFileChangedAfterTheSignatureCheck) {
  struct Case {
    std::string name;
    std::function<void(const fs::path&)> change;
  };
  const std::vector<Case> cases = {
      {"replaced by an identical signed copy",
       [](const fs::path& op) {
         const fs::path copy = op.string() + ".new";
         fs::copy_file(op, copy);
         fs::rename(copy, op);
       }},
      {"first byte rewritten with its own value",
       [](const fs::path& op) {
         const int fd = ::open(op.c_str(), O_WRONLY);
         EXPECT_EQ(::pwrite(fd, "\x7f", 1, 0), 1);  // the ELF magic's first byte
         ::close(fd);
       }},
      {"grown", [](const fs::path& op) { std::ofstream(op, std::ios::binary | std::ios::app) << '\0'; }},
      {"modification time changed",
       [](const fs::path& op) {
         const timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 5}};
         EXPECT_EQ(::utimensat(AT_FDCWD, op.c_str(), times, 0), 0);
       }},
      {"mode changed", [](const fs::path& op) { fs::permissions(op, fs::perms(0700)); }},
      {"replaced by a symlink to a copy",
       [](const fs::path& op) {
         const fs::path copy = op.string() + ".copy";
         fs::copy_file(op, copy);
         fs::remove(op);
         fs::create_symlink(copy, op);
       }},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path op = signedOp("swap-" + std::to_string(index++));
    // Timestamps advance in clock ticks: let one pass so that every change is visible.
    const Result result = launch(op, kVersion, baseEnv(), [&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      c.change(op);
    });
    expectRefused(result, 65, kChanged);
  }
  // Untouched during the same window: runs.
  const fs::path op = signedOp("swap-none");
  EXPECT_EQ(launch(op, kVersion, baseEnv(), [] {}).status, 0);
}

TEST_F(Launcher, RefusesWhenLandlockIsUnavailable) {
  Strings env = baseEnv();
  const Result result = run({DOVI_LANDLOCK_ENOSYS, DOVI_TEST_LAUNCHER, op_->string(), "--version"}, env);
  expectRefused(result, 69, kNoConfinement);
}

TEST_F(Launcher, RefusesAHomeItCannotConfine) {
  const fs::path file = *root_ / "home-is-a-file";
  writeFile(file, "x");
  for (const std::string& home : Strings{"relative/home", "", "/nonexistent/dovi-op-home", file.string()}) {
    SCOPED_TRACE(home);
    expectRefused(launch(*op_, kVersion, {"PATH=/usr/bin:/bin", "DOVI_OP_TEST_HOME=" + home}), 69, kNoConfinement);
  }
  // The app-data path may take 1023 bytes, not 1024.
  const std::string suffix = "/.config/1Password";
  for (const std::size_t length : {1023u, 1024u}) {
    fs::path deep = *root_ / ("long-" + std::to_string(length));
    const std::size_t homeLength = length - suffix.size();
    while (deep.string().size() + 1 < homeLength) {
      const std::size_t room = homeLength - deep.string().size() - 1;
      deep /= std::string(std::min<std::size_t>(room, 200), 'd');
    }
    ASSERT_EQ(deep.string().size(), homeLength);
    fs::create_directories(deep);
    const Result result = launch(*op_, kVersion, {"PATH=/usr/bin:/bin", "DOVI_OP_TEST_HOME=" + deep.string()});
    if (length == 1023) {
      EXPECT_EQ(result.status, 0) << result.err;
    } else {
      expectRefused(result, 69, kNoConfinement);
    }
  }
}

TEST_F(Launcher, ReportsAnOpThatCannotBeStarted) {
  const fs::path op = signedOp("not-executable");
  fs::permissions(op, fs::perms(0644));
  expectRefused(launch(op, kVersion), 71, kNoStart);
}

}  // namespace
