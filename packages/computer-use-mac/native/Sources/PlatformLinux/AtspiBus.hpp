#pragma once
// A private libdbus connection to the accessibility bus, with blocking calls and pipelined
// batches of calls (all sent before any answer is awaited), and readers for the reply types
// AT-SPI uses.
#include <dbus/dbus.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platformlinux::atspi {

struct MessageDeleter {
  void operator()(DBusMessage* m) const { dbus_message_unref(m); }
};
using Message = std::unique_ptr<DBusMessage, MessageDeleter>;

// An accessible object: the bus name of its application and its object path.
struct ObjectRef {
  std::string bus;
  std::string path;
  bool operator==(const ObjectRef&) const = default;
};

// A method call under construction; arguments are appended in order.
class Call {
 public:
  Call(const std::string& destination, const std::string& path, const char* interface, const char* method);
  Call& s(const std::string& v);
  Call& i(std::int32_t v);
  Call& u(std::uint32_t v);
  Call& variantDouble(double v);
  Call& strings(const std::vector<std::string>& v);
  Message take() { return std::move(message_); }

 private:
  Message message_;
  DBusMessageIter iter_{};
};

// Result of one call: the reply, or the error name (a method error or a time-out).
struct Reply {
  Message message;
  std::string error;  // empty on success
  bool ok() const { return message != nullptr; }
};

class Bus {
 public:
  // The accessibility bus: AT_SPI_BUS_ADDRESS, else org.a11y.Bus.GetAddress on the session bus.
  // None when neither answers.
  static std::unique_ptr<Bus> connectAccessibilityBus(int timeoutMs = 3000);
  static std::unique_ptr<Bus> connectAddress(const std::string& address);
  // A direct connection to one application's own server (no bus daemon in between).
  static std::unique_ptr<Bus> connectPeer(const std::string& address);
  ~Bus();
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  Reply call(Message message, int timeoutMs);
  // Sends every call before waiting for any answer (at most `window` outstanding), so the
  // application answers them back to back instead of one round trip each.
  std::vector<Reply> callAll(std::vector<Message> messages, int timeoutMs, std::size_t window = 512);
  bool connected() const;
  const std::string& address() const { return address_; }

 private:
  Bus(DBusConnection* connection, std::string address) : connection_(connection), address_(std::move(address)) {}
  DBusConnection* connection_;
  std::string address_;
};

// Readers: each checks the type under the iterator and advances past the value it read.
bool readString(DBusMessageIter& it, std::string& out);
bool readObjectRef(DBusMessageIter& it, ObjectRef& out);
bool readInt32(DBusMessageIter& it, std::int32_t& out);
bool readUint32(DBusMessageIter& it, std::uint32_t& out);
bool readBool(DBusMessageIter& it, bool& out);
bool readStringArray(DBusMessageIter& it, std::vector<std::string>& out);
bool readUint32Array(DBusMessageIter& it, std::vector<std::uint32_t>& out);
bool readObjectRefArray(DBusMessageIter& it, std::vector<ObjectRef>& out);
// A variant holding a string, number or boolean; numbers are widened to double.
bool readVariantString(DBusMessageIter& it, std::string& out);
bool readVariantNumber(DBusMessageIter& it, double& out);

// First argument of a reply, when there is one.
bool firstArgument(const Reply& reply, DBusMessageIter& it);

}  // namespace platformlinux::atspi
