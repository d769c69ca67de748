// Node-API entry points: an asynchronous process-tree scan and a system-memory query.
#include <napi.h>
#include <unistd.h>

#include <cmath>
#include <exception>
#include <utility>
#include <vector>

#include "proc_scan.hpp"

namespace {

using zorvan::proclist::ProcessInfo;
using zorvan::proclist::ProcFs;

constexpr const char* kUnknownError = "zorvan_proclist_scan_async: unknown error";

const ProcFs& procFs() {
  static const ProcFs fs;
  return fs;
}

class ProclistScanWorker : public Napi::AsyncWorker {
 public:
  ProclistScanWorker(Napi::Env env, std::vector<int32_t> roots)
      : Napi::AsyncWorker(env), roots_(std::move(roots)), deferred_(Napi::Promise::Deferred::New(env)) {}

  Napi::Promise promise() const { return deferred_.Promise(); }

  void Execute() override {
    // Only the standard library's own failures (allocation, lengths) can reach here.
    try {
      zorvan::proclist::StatCache stats;
      for (int32_t pid : zorvan::proclist::getDescendantPids(procFs(), roots_, true, &stats)) {
        auto known = stats.find(pid);
        ProcessInfo info;
        if (zorvan::proclist::getProcessInformation(procFs(), pid, info,
                                                    known != stats.end() ? &known->second : nullptr)) {
          results_.push_back(std::move(info));
        }
      }
    } catch (const std::exception& error) {
      // An empty message would read as success to the wrapper.
      SetError(*error.what() != '\0' ? error.what() : kUnknownError);
    } catch (...) {
      SetError(kUnknownError);
    }
  }

  void OnOK() override {
    Napi::Env env = Env();
    Napi::Array list = Napi::Array::New(env, results_.size());
    uint32_t index = 0;
    for (const ProcessInfo& info : results_) {
      Napi::Array args = Napi::Array::New(env, info.args.size());
      for (uint32_t i = 0; i < info.args.size(); ++i) {
        args.Set(i, Napi::String::New(env, info.args[i]));
      }
      Napi::Array tuple = Napi::Array::New(env, 9);
      tuple.Set(0u, Napi::Number::New(env, info.pid));
      tuple.Set(1u, Napi::Number::New(env, info.ppid));
      tuple.Set(2u, Napi::String::New(env, info.command));
      tuple.Set(3u, Napi::String::New(env, info.spawnedByExtensionId));
      tuple.Set(4u, Napi::Number::New(env, static_cast<double>(info.cpuTimeMs)));
      tuple.Set(5u, Napi::Number::New(env, static_cast<double>(info.residentMiB)));
      tuple.Set(6u, args);
      tuple.Set(7u, Napi::String::New(env, info.conversationId));
      tuple.Set(8u, Napi::String::New(env, info.requestId));
      list.Set(index++, tuple);
    }
    deferred_.Resolve(list);
  }

  void OnError(const Napi::Error& error) override { deferred_.Reject(error.Value()); }

 private:
  std::vector<int32_t> roots_;
  Napi::Promise::Deferred deferred_;
  std::vector<ProcessInfo> results_;
};

Napi::Value zorvanProclistScanAsync(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  std::vector<int32_t> roots;
  if (info.Length() >= 1 && info[0].IsArray()) {
    Napi::Array array = info[0].As<Napi::Array>();
    uint32_t length = array.Length();
    if (env.IsExceptionPending()) return Napi::Value();
    for (uint32_t i = 0; i < length && i < zorvan::proclist::kMaxRootElements; ++i) {
      Napi::Value element = array.Get(i);
      if (env.IsExceptionPending()) return Napi::Value();  // a throwing getter
      if (!element.IsNumber()) continue;
      double value = element.As<Napi::Number>().DoubleValue();
      if (!std::isfinite(value) || value < 1 || value > 2147483647.0 || std::floor(value) != value) continue;
      auto pid = static_cast<int32_t>(value);
      bool known = false;
      for (int32_t root : roots) known = known || root == pid;
      if (!known) roots.push_back(pid);
      if (roots.size() >= zorvan::proclist::kMaxRoots) break;
    }
  }
  if (roots.empty()) roots.push_back(static_cast<int32_t>(::getpid()));

  auto* worker = new ProclistScanWorker(env, std::move(roots));
  if (env.IsExceptionPending()) {
    delete worker;
    return Napi::Value();
  }
  Napi::Promise promise = worker->promise();
  worker->Queue();
  return promise;
}

Napi::Value zorvanProclistSystemMemory(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  zorvan::proclist::SystemMemoryInfo memory;
  if (!zorvan::proclist::getSystemMemoryInfo(procFs(), memory)) return env.Null();
  Napi::Object result = Napi::Object::New(env);
  result.Set("totalBytes", Napi::Number::New(env, static_cast<double>(memory.totalBytes)));
  result.Set("availableBytes", Napi::Number::New(env, static_cast<double>(memory.availableBytes)));
  if (memory.hasPressureLevel) result.Set("pressureLevel", Napi::Number::New(env, memory.pressureLevel));
  return result;
}

Napi::Object Init(Napi::Env env, Napi::Object exports) {
  exports.Set("zorvan_proclist_scan_async",
              Napi::Function::New(env, zorvanProclistScanAsync, "zorvan_proclist_scan_async"));
  exports.Set("zorvan_proclist_system_memory",
              Napi::Function::New(env, zorvanProclistSystemMemory, "zorvan_proclist_system_memory"));
  return exports;
}

}  // namespace

NODE_API_MODULE(zorvan_proclist, Init)
