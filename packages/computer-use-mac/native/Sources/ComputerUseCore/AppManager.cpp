#include "computeruse/AppManager.hpp"

#include <algorithm>
#include <memory>

#include "Text.hpp"
#include "computeruse/RunLoopAwait.hpp"

namespace computeruse {

using platform::RunningApplication;

std::string lastPathComponent(const std::string& path) {
  auto end = path.find_last_not_of('/');
  if (end == std::string::npos) return path.empty() ? std::string() : std::string("/");
  auto start = path.rfind('/', end);
  start = start == std::string::npos ? 0 : start + 1;
  return path.substr(start, end + 1 - start);
}

AppManager::AppManager(platform::Applications& applications, support::Clock& clock)
    : applications_(applications), clock_(clock) {}

std::vector<RunningApplication> AppManager::candidates() {
  auto all = applications_.runningApplications();
  std::erase_if(all, [](const RunningApplication& a) { return a.activationPolicy != platform::ActivationPolicy::regular; });
  return all;
}

std::vector<AppInfo> AppManager::listApps() {
  const auto front = applications_.frontmostApplication();
  struct Keyed {
    std::string key;
    AppInfo info;
  };
  std::vector<Keyed> list;
  for (auto& a : candidates()) {
    std::string name = a.localizedName ? *a.localizedName : a.bundleIdentifier ? *a.bundleIdentifier : "Unknown";
    bool active = front && front->pid == a.pid;
    // UTF-8 byte order equals Unicode scalar order, so the normalised text compares directly.
    std::string key = text::canonicallyNormalized(text::lowercased(name));
    list.push_back({std::move(key), AppInfo(std::move(name), a.bundleIdentifier, a.pid, true, active)});
  }
  std::stable_sort(list.begin(), list.end(), [](const Keyed& l, const Keyed& r) { return l.key < r.key; });
  std::vector<AppInfo> out;
  out.reserve(list.size());
  for (auto& k : list) out.push_back(std::move(k.info));
  return out;
}

std::optional<RunningApplication> AppManager::runningApp(const std::string& query) {
  const auto all = candidates();
  const auto q = text::lowercased(query);
  std::vector<std::optional<std::string>> names;
  names.reserve(all.size());
  for (const auto& a : all) names.push_back(a.localizedName ? std::optional(text::lowercased(*a.localizedName)) : std::nullopt);

  for (const auto& a : all)
    if (a.bundleIdentifier && text::lowercased(*a.bundleIdentifier) == q) return a;
  for (std::size_t i = 0; i < all.size(); ++i)
    if (names[i] && *names[i] == q) return all[i];

  std::string base = lastPathComponent(query);
  for (auto pos = base.find(".app"); pos != std::string::npos; pos = base.find(".app", pos)) base.erase(pos, 4);
  base = text::lowercased(base);
  for (std::size_t i = 0; i < all.size(); ++i)
    if (names[i] && *names[i] == base) return all[i];

  for (std::size_t i = 0; i < all.size(); ++i)
    if (names[i].value_or(std::string()).starts_with(q)) return all[i];
  for (std::size_t i = 0; i < all.size(); ++i)
    if (names[i] && names[i]->find(q) != std::string::npos) return all[i];
  return std::nullopt;
}

RunningApplication AppManager::activate(const std::string& query, bool bringToFront) {
  if (auto app = runningApp(query)) {
    if (bringToFront) applications_.activate(app->pid, platform::kActivateAllWindows);
    return *app;
  }

  std::optional<std::string> bundle;
  if (query.starts_with("/")) {
    bundle = query;
  } else if (auto byId = applications_.applicationPathForBundleIdentifier(query)) {
    bundle = byId;
  } else {
    bundle = applications_.applicationPathToOpen("/Applications/" + lastPathComponent(query) + ".app");
  }
  if (!bundle) throw ComputerUseError(messages::appNotFound(query));

  // The box outlives this call: a late answer after the time-out must still land somewhere.
  auto box = std::make_shared<AnswerBox<platform::LaunchResult>>();
  applications_.openApplication(*bundle, bringToFront, [box](platform::LaunchResult r) { box->deliver(std::move(r)); });
  RunLoopAwait::pumpUntil(kLaunchTimeoutSeconds, [&] { return box->isDone(); });

  std::optional<RunningApplication> launched;
  if (box->isDone()) {
    auto answer = box->take();
    if (answer && answer->errorDescription) throw ComputerUseError(messages::launchFailed(query, *answer->errorDescription));
    if (answer) launched = answer->application;
  }
  if (!launched) launched = runningApp(query);
  if (!launched) throw ComputerUseError(messages::launchFailed(query));
  clock_.sleepFor(support::seconds(kSettleSeconds));
  return *launched;
}

}  // namespace computeruse
