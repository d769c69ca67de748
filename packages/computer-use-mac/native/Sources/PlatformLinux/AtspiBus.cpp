#include "AtspiBus.hpp"

#include <cstdlib>
#include <deque>

namespace platformlinux::atspi {

namespace {

struct ErrorGuard {
  DBusError e;
  ErrorGuard() { dbus_error_init(&e); }
  ~ErrorGuard() { dbus_error_free(&e); }
};

void initThreads() {
  // libdbus must know about threads before its first use when several threads may hold
  // connections (a capture thread next to a caller's thread, for example).
  static const bool done = [] { return dbus_threads_init_default() != 0; }();
  (void)done;
}

Reply replyFrom(DBusMessage* message) {
  Reply r;
  if (!message) {
    r.error = "org.freedesktop.DBus.Error.NoReply";
    return r;
  }
  if (dbus_message_get_type(message) == DBUS_MESSAGE_TYPE_ERROR) {
    const char* name = dbus_message_get_error_name(message);
    r.error = name ? name : "org.freedesktop.DBus.Error.Failed";
    dbus_message_unref(message);
    return r;
  }
  r.message.reset(message);
  return r;
}

}  // namespace

Call::Call(const std::string& destination, const std::string& path, const char* interface, const char* method)
    : message_(dbus_message_new_method_call(destination.c_str(), path.c_str(), interface, method)) {
  if (message_) dbus_message_iter_init_append(message_.get(), &iter_);
}

Call& Call::s(const std::string& v) {
  const char* p = v.c_str();
  if (message_) dbus_message_iter_append_basic(&iter_, DBUS_TYPE_STRING, &p);
  return *this;
}
Call& Call::i(std::int32_t v) {
  dbus_int32_t x = v;
  if (message_) dbus_message_iter_append_basic(&iter_, DBUS_TYPE_INT32, &x);
  return *this;
}
Call& Call::u(std::uint32_t v) {
  dbus_uint32_t x = v;
  if (message_) dbus_message_iter_append_basic(&iter_, DBUS_TYPE_UINT32, &x);
  return *this;
}
Call& Call::strings(const std::vector<std::string>& v) {
  if (!message_) return *this;
  DBusMessageIter array;
  dbus_message_iter_open_container(&iter_, DBUS_TYPE_ARRAY, DBUS_TYPE_STRING_AS_STRING, &array);
  for (const auto& x : v) {
    const char* p = x.c_str();
    dbus_message_iter_append_basic(&array, DBUS_TYPE_STRING, &p);
  }
  dbus_message_iter_close_container(&iter_, &array);
  return *this;
}

Call& Call::variantDouble(double v) {
  if (!message_) return *this;
  DBusMessageIter variant;
  dbus_message_iter_open_container(&iter_, DBUS_TYPE_VARIANT, DBUS_TYPE_DOUBLE_AS_STRING, &variant);
  dbus_message_iter_append_basic(&variant, DBUS_TYPE_DOUBLE, &v);
  dbus_message_iter_close_container(&iter_, &variant);
  return *this;
}

std::unique_ptr<Bus> Bus::connectAddress(const std::string& address) {
  initThreads();
  ErrorGuard error;
  DBusConnection* c = dbus_connection_open_private(address.c_str(), &error.e);
  if (!c) return nullptr;
  dbus_connection_set_exit_on_disconnect(c, FALSE);
  if (!dbus_bus_register(c, &error.e)) {
    dbus_connection_close(c);
    dbus_connection_unref(c);
    return nullptr;
  }
  return std::unique_ptr<Bus>(new Bus(c, address));
}

std::unique_ptr<Bus> Bus::connectPeer(const std::string& address) {
  initThreads();
  ErrorGuard error;
  DBusConnection* c = dbus_connection_open_private(address.c_str(), &error.e);
  if (!c) return nullptr;
  dbus_connection_set_exit_on_disconnect(c, FALSE);
  return std::unique_ptr<Bus>(new Bus(c, address));
}

std::unique_ptr<Bus> Bus::connectAccessibilityBus(int timeoutMs) {
  if (const char* direct = std::getenv("AT_SPI_BUS_ADDRESS"); direct && *direct) return connectAddress(direct);
  // Only an explicit session bus: libdbus would otherwise autolaunch one through X11.
  const char* session = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (!session || !*session) return nullptr;
  auto sessionBus = connectAddress(session);
  if (!sessionBus) return nullptr;
  auto reply = sessionBus->call(Call("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress").take(), timeoutMs);
  DBusMessageIter it;
  std::string address;
  if (!firstArgument(reply, it) || !readString(it, address) || address.empty()) return nullptr;
  return connectAddress(address);
}

Bus::~Bus() {
  dbus_connection_close(connection_);
  dbus_connection_unref(connection_);
}

bool Bus::connected() const { return dbus_connection_get_is_connected(connection_); }

Reply Bus::call(Message message, int timeoutMs) {
  if (!message) return replyFrom(nullptr);
  ErrorGuard error;
  DBusMessage* reply = dbus_connection_send_with_reply_and_block(connection_, message.get(), timeoutMs, &error.e);
  if (!reply) {
    Reply r;
    r.error = dbus_error_is_set(&error.e) && error.e.name ? error.e.name : "org.freedesktop.DBus.Error.NoReply";
    return r;
  }
  return replyFrom(reply);
}

std::vector<Reply> Bus::callAll(std::vector<Message> messages, int timeoutMs, std::size_t window) {
  std::vector<Reply> replies(messages.size());
  std::deque<std::pair<std::size_t, DBusPendingCall*>> outstanding;
  auto settleOldest = [&] {
    auto [index, pending] = outstanding.front();
    outstanding.pop_front();
    dbus_pending_call_block(pending);
    replies[index] = replyFrom(dbus_pending_call_steal_reply(pending));
    dbus_pending_call_unref(pending);
  };
  for (std::size_t i = 0; i < messages.size(); ++i) {
    if (!messages[i]) {
      replies[i] = replyFrom(nullptr);
      continue;
    }
    DBusPendingCall* pending = nullptr;
    if (!dbus_connection_send_with_reply(connection_, messages[i].get(), &pending, timeoutMs) || !pending) {
      replies[i] = replyFrom(nullptr);
      continue;
    }
    outstanding.emplace_back(i, pending);
    if (outstanding.size() >= window) {
      dbus_connection_flush(connection_);
      settleOldest();
    }
  }
  dbus_connection_flush(connection_);
  while (!outstanding.empty()) settleOldest();
  return replies;
}

bool firstArgument(const Reply& reply, DBusMessageIter& it) {
  return reply.ok() && dbus_message_iter_init(reply.message.get(), &it);
}

bool readString(DBusMessageIter& it, std::string& out) {
  const int t = dbus_message_iter_get_arg_type(&it);
  if (t != DBUS_TYPE_STRING && t != DBUS_TYPE_OBJECT_PATH) return false;
  const char* s = nullptr;
  dbus_message_iter_get_basic(&it, &s);
  out = s ? s : "";
  dbus_message_iter_next(&it);
  return true;
}

bool readInt32(DBusMessageIter& it, std::int32_t& out) {
  if (dbus_message_iter_get_arg_type(&it) != DBUS_TYPE_INT32) return false;
  dbus_int32_t v = 0;
  dbus_message_iter_get_basic(&it, &v);
  out = v;
  dbus_message_iter_next(&it);
  return true;
}

bool readUint32(DBusMessageIter& it, std::uint32_t& out) {
  if (dbus_message_iter_get_arg_type(&it) != DBUS_TYPE_UINT32) return false;
  dbus_uint32_t v = 0;
  dbus_message_iter_get_basic(&it, &v);
  out = v;
  dbus_message_iter_next(&it);
  return true;
}

bool readBool(DBusMessageIter& it, bool& out) {
  if (dbus_message_iter_get_arg_type(&it) != DBUS_TYPE_BOOLEAN) return false;
  dbus_bool_t v = 0;
  dbus_message_iter_get_basic(&it, &v);
  out = v != 0;
  dbus_message_iter_next(&it);
  return true;
}

bool readObjectRef(DBusMessageIter& it, ObjectRef& out) {
  if (dbus_message_iter_get_arg_type(&it) != DBUS_TYPE_STRUCT) return false;
  DBusMessageIter s;
  dbus_message_iter_recurse(&it, &s);
  if (!readString(s, out.bus) || !readString(s, out.path)) return false;
  dbus_message_iter_next(&it);
  return true;
}

template <typename T, typename F>
static bool readArray(DBusMessageIter& it, std::vector<T>& out, F readOne) {
  if (dbus_message_iter_get_arg_type(&it) != DBUS_TYPE_ARRAY) return false;
  DBusMessageIter a;
  dbus_message_iter_recurse(&it, &a);
  out.clear();
  while (dbus_message_iter_get_arg_type(&a) != DBUS_TYPE_INVALID) {
    T v{};
    if (!readOne(a, v)) return false;
    out.push_back(std::move(v));
  }
  dbus_message_iter_next(&it);
  return true;
}

bool readStringArray(DBusMessageIter& it, std::vector<std::string>& out) {
  return readArray(it, out, [](DBusMessageIter& a, std::string& v) { return readString(a, v); });
}
bool readUint32Array(DBusMessageIter& it, std::vector<std::uint32_t>& out) {
  return readArray(it, out, [](DBusMessageIter& a, std::uint32_t& v) { return readUint32(a, v); });
}
bool readObjectRefArray(DBusMessageIter& it, std::vector<ObjectRef>& out) {
  return readArray(it, out, [](DBusMessageIter& a, ObjectRef& v) { return readObjectRef(a, v); });
}

bool readVariantString(DBusMessageIter& it, std::string& out) {
  if (dbus_message_iter_get_arg_type(&it) != DBUS_TYPE_VARIANT) return false;
  DBusMessageIter v;
  dbus_message_iter_recurse(&it, &v);
  if (!readString(v, out)) return false;
  dbus_message_iter_next(&it);
  return true;
}

bool readVariantNumber(DBusMessageIter& it, double& out) {
  if (dbus_message_iter_get_arg_type(&it) != DBUS_TYPE_VARIANT) return false;
  DBusMessageIter v;
  dbus_message_iter_recurse(&it, &v);
  switch (dbus_message_iter_get_arg_type(&v)) {
    case DBUS_TYPE_DOUBLE: {
      double d = 0;
      dbus_message_iter_get_basic(&v, &d);
      out = d;
      break;
    }
    case DBUS_TYPE_INT32: {
      dbus_int32_t x = 0;
      dbus_message_iter_get_basic(&v, &x);
      out = x;
      break;
    }
    case DBUS_TYPE_UINT32: {
      dbus_uint32_t x = 0;
      dbus_message_iter_get_basic(&v, &x);
      out = x;
      break;
    }
    case DBUS_TYPE_INT64: {
      dbus_int64_t x = 0;
      dbus_message_iter_get_basic(&v, &x);
      out = static_cast<double>(x);
      break;
    }
    case DBUS_TYPE_BOOLEAN: {
      dbus_bool_t x = 0;
      dbus_message_iter_get_basic(&v, &x);
      out = x ? 1 : 0;
      break;
    }
    default:
      return false;
  }
  dbus_message_iter_next(&it);
  return true;
}

}  // namespace platformlinux::atspi
