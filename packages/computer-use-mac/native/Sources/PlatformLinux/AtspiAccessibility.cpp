#include "platformlinux/AtspiAccessibility.hpp"

#include <atspi/atspi.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <unordered_map>

#include "AtspiBus.hpp"

namespace platformlinux {

using platform::AXCopyResult;
using platform::AXElementRef;
using platform::AXError;

namespace {

constexpr const char* kAccessible = "org.a11y.atspi.Accessible";
constexpr const char* kProperties = "org.freedesktop.DBus.Properties";
constexpr const char* kRootPath = "/org/a11y/atspi/accessible/root";
// Most nodes a walk can use, and the deepest level it builds (the tree service's limits); the
// bulk read plans this far and anything beyond falls back to live reads.
constexpr std::size_t kPlanNodes = 2500;
constexpr int kPlanDepth = 40;

enum Interface : std::uint32_t {
  kIfaceAction = 1u << 0,
  kIfaceComponent = 1u << 1,
  kIfaceText = 1u << 2,
  kIfaceEditableText = 1u << 3,
  kIfaceValue = 1u << 4,
};

std::uint32_t interfaceBits(const std::vector<std::string>& names) {
  std::uint32_t bits = 0;
  for (const auto& n : names) {
    if (n == "org.a11y.atspi.Action") bits |= kIfaceAction;
    else if (n == "org.a11y.atspi.Component") bits |= kIfaceComponent;
    else if (n == "org.a11y.atspi.Text") bits |= kIfaceText;
    else if (n == "org.a11y.atspi.EditableText") bits |= kIfaceEditableText;
    else if (n == "org.a11y.atspi.Value") bits |= kIfaceValue;
  }
  return bits;
}

bool isCheckable(std::uint32_t role) {
  switch (role) {
    case ATSPI_ROLE_CHECK_BOX:
    case ATSPI_ROLE_TOGGLE_BUTTON:
    case ATSPI_ROLE_RADIO_BUTTON:
    case ATSPI_ROLE_CHECK_MENU_ITEM:
    case ATSPI_ROLE_RADIO_MENU_ITEM:
      return true;
    default:
      return false;
  }
}

bool isTextRole(std::uint32_t role) {
  switch (role) {
    case ATSPI_ROLE_TEXT:
    case ATSPI_ROLE_ENTRY:
    case ATSPI_ROLE_TERMINAL:
    case ATSPI_ROLE_DOCUMENT_TEXT:
    case ATSPI_ROLE_EDITBAR:
    case ATSPI_ROLE_AUTOCOMPLETE:
      return true;
    default:
      return false;
  }
}

bool isRangeRole(std::uint32_t role) {
  switch (role) {
    case ATSPI_ROLE_SLIDER:
    case ATSPI_ROLE_SPIN_BUTTON:
    case ATSPI_ROLE_SCROLL_BAR:
    case ATSPI_ROLE_PROGRESS_BAR:
    case ATSPI_ROLE_LEVEL_BAR:
    case ATSPI_ROLE_DIAL:
      return true;
    default:
      return false;
  }
}

bool isWindowRole(std::uint32_t role) {
  switch (role) {
    case ATSPI_ROLE_FRAME:
    case ATSPI_ROLE_WINDOW:
    case ATSPI_ROLE_DIALOG:
    case ATSPI_ROLE_ALERT:
    case ATSPI_ROLE_FILE_CHOOSER:
    case ATSPI_ROLE_COLOR_CHOOSER:
    case ATSPI_ROLE_FONT_CHOOSER:
      return true;
    default:
      return false;
  }
}

AXError statusFor(const std::string& error, AXError unsupported) {
  if (error.empty()) return platform::kAXErrorSuccess;
  if (error == "org.freedesktop.DBus.Error.UnknownMethod" || error == "org.freedesktop.DBus.Error.UnknownInterface" ||
      error == "org.freedesktop.DBus.Error.UnknownProperty")
    return unsupported;
  if (error == "org.freedesktop.DBus.Error.UnknownObject" || error == "org.freedesktop.DBus.Error.ServiceUnknown" ||
      error == "org.freedesktop.DBus.Error.NameHasNoOwner")
    return platform::kAXErrorInvalidUIElement;
  if (error == "org.freedesktop.DBus.Error.InvalidArgs") return platform::kAXErrorIllegalArgument;
  return platform::kAXErrorCannotComplete;
}

std::string key(const atspi::ObjectRef& r) { return r.bus + '\n' + r.path; }

atspi::Message propertyGet(const atspi::ObjectRef& r, const char* interface, const char* property) {
  return atspi::Call(r.bus, r.path, kProperties, "Get").s(interface).s(property).take();
}

}  // namespace

// ---- Mapping ----

bool hasAtspiState(const AtspiStates& states, int state) {
  if (state < 0 || state >= 64) return false;
  return (states[static_cast<std::size_t>(state / 32)] >> (state % 32)) & 1u;
}

std::string axCamelName(std::string_view words) {
  std::string out = "AX";
  bool upper = true;
  for (char c : words) {
    const auto u = static_cast<unsigned char>(c);
    if (!std::isalnum(u)) {
      upper = true;
      continue;
    }
    out += upper ? static_cast<char>(std::toupper(u)) : c;
    upper = false;
  }
  return out;
}

AXRoleName axRoleFor(std::uint32_t role, const AtspiStates& states) {
  using R = AXRoleName;
  switch (role) {
    case ATSPI_ROLE_INVALID: return R{"AXUnknown", std::nullopt};
    case ATSPI_ROLE_APPLICATION: return R{"AXApplication", std::nullopt};
    case ATSPI_ROLE_FRAME:
    case ATSPI_ROLE_WINDOW: return R{"AXWindow", "AXStandardWindow"};
    case ATSPI_ROLE_DIALOG:
    case ATSPI_ROLE_FILE_CHOOSER:
    case ATSPI_ROLE_FONT_CHOOSER: return R{"AXWindow", "AXDialog"};
    case ATSPI_ROLE_ALERT: return R{"AXWindow", "AXSystemDialog"};
    case ATSPI_ROLE_PUSH_BUTTON:
    case ATSPI_ROLE_PUSH_BUTTON_MENU: return R{"AXButton", std::nullopt};
    case ATSPI_ROLE_TOGGLE_BUTTON: return R{"AXCheckBox", "AXToggle"};
    case ATSPI_ROLE_CHECK_BOX: return R{"AXCheckBox", std::nullopt};
    case ATSPI_ROLE_RADIO_BUTTON: return R{"AXRadioButton", std::nullopt};
    case ATSPI_ROLE_COMBO_BOX: return R{"AXComboBox", std::nullopt};
    case ATSPI_ROLE_TEXT:
    case ATSPI_ROLE_ENTRY:
    case ATSPI_ROLE_EDITBAR:
    case ATSPI_ROLE_AUTOCOMPLETE:
      if (hasAtspiState(states, ATSPI_STATE_MULTI_LINE)) return R{"AXTextArea", std::nullopt};
      return R{"AXTextField", std::nullopt};
    case ATSPI_ROLE_PASSWORD_TEXT: return R{"AXTextField", "AXSecureTextField"};
    case ATSPI_ROLE_TERMINAL:
    case ATSPI_ROLE_DOCUMENT_TEXT: return R{"AXTextArea", std::nullopt};
    case ATSPI_ROLE_LABEL:
    case ATSPI_ROLE_STATIC:
    case ATSPI_ROLE_ACCELERATOR_LABEL:
    case ATSPI_ROLE_CAPTION: return R{"AXStaticText", std::nullopt};
    case ATSPI_ROLE_HEADING: return R{"AXHeading", std::nullopt};
    case ATSPI_ROLE_LINK: return R{"AXLink", std::nullopt};
    case ATSPI_ROLE_IMAGE:
    case ATSPI_ROLE_ICON:
    case ATSPI_ROLE_DESKTOP_ICON:
    case ATSPI_ROLE_ANIMATION: return R{"AXImage", std::nullopt};
    case ATSPI_ROLE_MENU_BAR: return R{"AXMenuBar", std::nullopt};
    case ATSPI_ROLE_MENU:
    case ATSPI_ROLE_POPUP_MENU: return R{"AXMenu", std::nullopt};
    case ATSPI_ROLE_MENU_ITEM:
    case ATSPI_ROLE_CHECK_MENU_ITEM:
    case ATSPI_ROLE_RADIO_MENU_ITEM:
    case ATSPI_ROLE_TEAROFF_MENU_ITEM: return R{"AXMenuItem", std::nullopt};
    case ATSPI_ROLE_LIST:
    case ATSPI_ROLE_LIST_BOX: return R{"AXList", std::nullopt};
    case ATSPI_ROLE_LIST_ITEM: return R{"AXGroup", "AXListItem"};
    case ATSPI_ROLE_TABLE:
    case ATSPI_ROLE_TREE_TABLE: return R{"AXTable", std::nullopt};
    case ATSPI_ROLE_TREE: return R{"AXOutline", std::nullopt};
    case ATSPI_ROLE_TABLE_ROW:
    case ATSPI_ROLE_TREE_ITEM: return R{"AXRow", std::nullopt};
    case ATSPI_ROLE_TABLE_CELL: return R{"AXCell", std::nullopt};
    case ATSPI_ROLE_COLUMN_HEADER:
    case ATSPI_ROLE_TABLE_COLUMN_HEADER: return R{"AXCell", "AXColumnHeader"};
    case ATSPI_ROLE_ROW_HEADER:
    case ATSPI_ROLE_TABLE_ROW_HEADER: return R{"AXCell", "AXRowHeader"};
    case ATSPI_ROLE_SCROLL_BAR: return R{"AXScrollBar", std::nullopt};
    case ATSPI_ROLE_SCROLL_PANE:
    case ATSPI_ROLE_VIEWPORT: return R{"AXScrollArea", std::nullopt};
    case ATSPI_ROLE_SLIDER: return R{"AXSlider", std::nullopt};
    case ATSPI_ROLE_SPIN_BUTTON: return R{"AXIncrementor", std::nullopt};
    case ATSPI_ROLE_PROGRESS_BAR: return R{"AXProgressIndicator", std::nullopt};
    case ATSPI_ROLE_LEVEL_BAR: return R{"AXLevelIndicator", std::nullopt};
    case ATSPI_ROLE_PAGE_TAB_LIST: return R{"AXTabGroup", std::nullopt};
    case ATSPI_ROLE_PAGE_TAB: return R{"AXRadioButton", "AXTabButton"};
    case ATSPI_ROLE_SPLIT_PANE: return R{"AXSplitGroup", std::nullopt};
    case ATSPI_ROLE_SEPARATOR: return R{"AXSplitter", std::nullopt};
    case ATSPI_ROLE_TOOL_BAR: return R{"AXToolbar", std::nullopt};
    case ATSPI_ROLE_TOOL_TIP: return R{"AXHelpTag", std::nullopt};
    case ATSPI_ROLE_COLOR_CHOOSER: return R{"AXColorWell", std::nullopt};
    case ATSPI_ROLE_DOCUMENT_FRAME:
    case ATSPI_ROLE_DOCUMENT_WEB: return R{"AXWebArea", std::nullopt};
    case ATSPI_ROLE_PANEL:
    case ATSPI_ROLE_FILLER:
    case ATSPI_ROLE_SECTION:
    case ATSPI_ROLE_GROUPING:
    case ATSPI_ROLE_FORM:
    case ATSPI_ROLE_PARAGRAPH:
    case ATSPI_ROLE_STATUS_BAR:
    case ATSPI_ROLE_INFO_BAR:
    case ATSPI_ROLE_HEADER:
    case ATSPI_ROLE_FOOTER:
    case ATSPI_ROLE_ROOT_PANE:
    case ATSPI_ROLE_LAYERED_PANE:
    case ATSPI_ROLE_GLASS_PANE:
    case ATSPI_ROLE_INTERNAL_FRAME:
    case ATSPI_ROLE_OPTION_PANE: return R{"AXGroup", std::nullopt};
    default: break;
  }
  gchar* name = atspi_role_get_name(static_cast<AtspiRole>(role));
  if (!name) return R{"AXUnknown", std::nullopt};
  std::string out = axCamelName(name);
  g_free(name);
  if (out == "AX" || out == "AXUnknown") return R{"AXUnknown", std::nullopt};
  return R{std::move(out), std::nullopt};
}

std::string axActionFor(std::string_view action, std::uint32_t role) {
  std::string a;
  for (char c : action) a += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (a == "activate" && (isTextRole(role) || role == ATSPI_ROLE_PASSWORD_TEXT)) return "AXConfirm";
  if (a == "click" || a == "press" || a == "activate" || a == "toggle" || a == "jump" || a == "open")
    return "AXPress";
  if (a == "showmenu" || a == "show-menu" || a == "show menu" || a == "popup" || a == "menu") return "AXShowMenu";
  if (a == "increment") return "AXIncrement";
  if (a == "decrement") return "AXDecrement";
  if (a == "cancel" || a == "escape") return "AXCancel";
  if (a == "raise") return "AXRaise";
  if (a == "pick") return "AXPick";
  return axCamelName(action);
}

// ---- Elements and node data ----

struct Extents {
  std::int32_t x = 0, y = 0, width = 0, height = 0;
};

struct AtspiAccessibility::NodeData {
  bool basicsOk = false;  // role and states were read
  std::uint32_t role = ATSPI_ROLE_INVALID;
  std::string name, description;
  AtspiStates states{};
  std::uint32_t interfaces = 0;
  std::vector<atspi::ObjectRef> children;
  std::optional<Extents> extents;
  std::vector<std::string> actions;  // AT-SPI names, in the object's order
  std::optional<std::string> text;   // Text contents, read for text roles
  std::optional<double> number;      // Value.CurrentValue, read for range roles
};

// Node data read ahead for one walk, keyed by object; each entry is handed out once.
struct AtspiAccessibility::Batch {
  std::unordered_map<std::string, std::shared_ptr<NodeData>> nodes;
};

namespace {

class AtspiElement final : public platform::AccessibilityElement {
 public:
  AtspiElement(atspi::ObjectRef r, std::int32_t p, bool app) : ref(std::move(r)), pid(p), isApplication(app) {}
  atspi::ObjectRef ref;
  std::int32_t pid = 0;
  bool isApplication = false;
  std::shared_ptr<AtspiAccessibility::Batch> batch;
};

AtspiElement* atspiElement(const AXElementRef& e) { return dynamic_cast<AtspiElement*>(e.get()); }

std::optional<platform::AXValue> valueOf(const AtspiAccessibility::NodeData& n) {
  if (isCheckable(n.role)) return platform::AXNumber{hasAtspiState(n.states, ATSPI_STATE_CHECKED) ? 1.0 : 0.0};
  if (n.role == ATSPI_ROLE_PAGE_TAB) return platform::AXNumber{hasAtspiState(n.states, ATSPI_STATE_SELECTED) ? 1.0 : 0.0};
  if (n.number) return platform::AXNumber{*n.number};
  if (n.text) return *n.text;
  // Labels carry their text as their name; agents read it as the value, as static text has.
  if ((n.role == ATSPI_ROLE_LABEL || n.role == ATSPI_ROLE_STATIC) && !n.name.empty()) return n.name;
  return std::nullopt;
}

bool valueSettable(const AtspiAccessibility::NodeData& n) {
  if ((n.interfaces & kIfaceEditableText) && hasAtspiState(n.states, ATSPI_STATE_EDITABLE)) return true;
  return (n.interfaces & kIfaceValue) && isRangeRole(n.role) && n.role != ATSPI_ROLE_PROGRESS_BAR &&
         n.role != ATSPI_ROLE_LEVEL_BAR && hasAtspiState(n.states, ATSPI_STATE_SENSITIVE);
}

// Hidden objects report INT_MIN positions (GTK: 1x1 at INT_MIN); they have no frame.
bool frameUsable(const Extents& e) { return e.x != INT_MIN && e.y != INT_MIN && e.width >= 0 && e.height >= 0; }

std::vector<std::string> mappedActions(const AtspiAccessibility::NodeData& n) {
  std::vector<std::string> out;
  for (const auto& a : n.actions) {
    auto m = axActionFor(a, n.role);
    if (std::find(out.begin(), out.end(), m) == out.end()) out.push_back(std::move(m));
  }
  return out;
}

bool parseExtents(const atspi::Reply& reply, Extents& out) {
  DBusMessageIter it;
  if (!atspi::firstArgument(reply, it) || dbus_message_iter_get_arg_type(&it) != DBUS_TYPE_STRUCT) return false;
  DBusMessageIter s;
  dbus_message_iter_recurse(&it, &s);
  return atspi::readInt32(s, out.x) && atspi::readInt32(s, out.y) && atspi::readInt32(s, out.width) &&
         atspi::readInt32(s, out.height);
}

bool parseActions(const atspi::Reply& reply, std::vector<std::string>& out) {
  DBusMessageIter it;
  if (!atspi::firstArgument(reply, it) || dbus_message_iter_get_arg_type(&it) != DBUS_TYPE_ARRAY) return false;
  DBusMessageIter a;
  dbus_message_iter_recurse(&it, &a);
  out.clear();
  while (dbus_message_iter_get_arg_type(&a) == DBUS_TYPE_STRUCT) {
    DBusMessageIter s;
    dbus_message_iter_recurse(&a, &s);
    std::string name;
    if (!atspi::readString(s, name)) return false;
    out.push_back(std::move(name));
    dbus_message_iter_next(&a);
  }
  return true;
}

bool parseStates(const atspi::Reply& reply, AtspiStates& out) {
  DBusMessageIter it;
  std::vector<std::uint32_t> words;
  if (!atspi::firstArgument(reply, it) || !atspi::readUint32Array(it, words)) return false;
  out = {words.size() > 0 ? words[0] : 0u, words.size() > 1 ? words[1] : 0u};
  return true;
}

}  // namespace

// ---- Connection ----

AtspiAccessibility::AtspiAccessibility(WindowNumberLocator* locator) : locator_(locator) {}
AtspiAccessibility::~AtspiAccessibility() = default;

atspi::Bus* AtspiAccessibility::bus() {
  if (bus_ && !bus_->connected()) {
    bus_.reset();
    triedConnect_ = false;
    listenerRegistered_ = false;
    busByPid_.clear();
    peers_.clear();
  }
  if (!bus_ && !triedConnect_) {
    triedConnect_ = true;
    bus_ = atspi::Bus::connectAccessibilityBus();
  }
  if (!bus_) triedConnect_ = false;  // a bus started later is found by a later call
  return bus_.get();
}

atspi::Bus& AtspiAccessibility::link(const std::string& busName) {
  if (!peerToPeer_) return *bus_;
  auto it = peers_.find(busName);
  if (it != peers_.end() && it->second && !it->second->connected()) {
    peers_.erase(it);  // the application went away; bus names are never reused
    return *bus_;
  }
  if (it == peers_.end()) {
    // Requests straight to the application skip the daemon's two hops per message.
    std::unique_ptr<atspi::Bus> peer;
    auto reply = bus_->call(
        atspi::Call(busName, kRootPath, "org.a11y.atspi.Application", "GetApplicationBusAddress").take(), kCallTimeoutMs);
    DBusMessageIter i;
    std::string address;
    if (atspi::firstArgument(reply, i) && atspi::readString(i, address) && !address.empty())
      peer = atspi::Bus::connectPeer(address);
    it = peers_.emplace(busName, std::move(peer)).first;
  }
  return it->second ? *it->second : *bus_;
}

atspi::Bus& AtspiAccessibility::linkFor(const std::vector<std::string>& buses) {
  // A batch that reaches into another application (an embedded one) goes through the bus.
  if (buses.empty() || std::any_of(buses.begin(), buses.end(), [&](const std::string& b) { return b != buses.front(); }))
    return *bus_;
  return link(buses.front());
}

void AtspiAccessibility::ensureCacheListener() {
  // Applications publish their object cache only while some client listens for events; a
  // listener for a rare event costs them nothing in practice.
  if (listenerRegistered_ || !bus()) return;
  listenerRegistered_ = true;
  auto registerEvent = [&](bool withProperties) {
    atspi::Call call("org.a11y.atspi.Registry", "/org/a11y/atspi/registry", "org.a11y.atspi.Registry", "RegisterEvent");
    call.s("window:minimize");
    if (withProperties) call.strings({}).s("");  // the newer signature (event, properties, application)
    return bus_->call(call.take(), kCallTimeoutMs);
  };
  if (!registerEvent(true).ok()) registerEvent(false);
}

bool AtspiAccessibility::isProcessTrusted(bool) {
  auto* b = bus();
  if (!b) return false;
  auto reply = b->call(atspi::Call("org.a11y.atspi.Registry", kRootPath, kAccessible, "GetRole").take(), kCallTimeoutMs);
  return reply.ok();
}

std::vector<AtspiApplication> AtspiAccessibility::applications() {
  std::vector<AtspiApplication> apps;
  auto* b = bus();
  if (!b) return apps;
  auto reply = b->call(atspi::Call("org.a11y.atspi.Registry", kRootPath, kAccessible, "GetChildren").take(),
                       kCallTimeoutMs);
  DBusMessageIter it;
  std::vector<atspi::ObjectRef> refs;
  if (!atspi::firstArgument(reply, it) || !atspi::readObjectRefArray(it, refs)) return apps;
  std::vector<atspi::Message> calls;
  for (const auto& r : refs) {
    calls.push_back(atspi::Call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                "GetConnectionUnixProcessID")
                        .s(r.bus)
                        .take());
    calls.push_back(propertyGet(r, kAccessible, "Name"));
  }
  auto replies = b->callAll(std::move(calls), kCallTimeoutMs);
  for (std::size_t i = 0; i < refs.size(); ++i) {
    std::uint32_t pid = 0;
    DBusMessageIter p;
    if (!atspi::firstArgument(replies[2 * i], p) || !atspi::readUint32(p, pid) || pid == 0) continue;
    AtspiApplication app;
    app.pid = static_cast<std::int32_t>(pid);
    app.busName = refs[i].bus;
    DBusMessageIter n;
    if (atspi::firstArgument(replies[2 * i + 1], n)) atspi::readVariantString(n, app.name);
    apps.push_back(std::move(app));
  }
  busByPid_.clear();
  for (const auto& a : apps) busByPid_.emplace(a.pid, a.busName);
  return apps;
}

std::optional<std::string> AtspiAccessibility::busNameFor(std::int32_t pid) {
  if (auto it = busByPid_.find(pid); it != busByPid_.end()) {
    // Still the same connection? Bus names are never reused, so an answer means yes.
    auto reply = bus_->call(atspi::Call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                        "GetConnectionUnixProcessID")
                                .s(it->second)
                                .take(),
                            kCallTimeoutMs);
    if (reply.ok()) return it->second;
  }
  applications();
  if (auto it = busByPid_.find(pid); it != busByPid_.end()) return it->second;
  return std::nullopt;
}

AXElementRef AtspiAccessibility::applicationElement(std::int32_t pid) {
  std::string busName;
  if (bus()) {
    ensureCacheListener();
    busName = busNameFor(pid).value_or(std::string());
  }
  return std::make_shared<AtspiElement>(atspi::ObjectRef{busName, kRootPath}, pid, true);
}

// ---- Reading ----

void AtspiAccessibility::fillBasics(std::vector<std::pair<atspi::ObjectRef, std::shared_ptr<NodeData>>>& nodes) {
  constexpr std::size_t kPer = 6;
  std::vector<atspi::Message> calls;
  calls.reserve(nodes.size() * kPer);
  for (const auto& [r, n] : nodes) {
    calls.push_back(atspi::Call(r.bus, r.path, kAccessible, "GetRole").take());
    calls.push_back(atspi::Call(r.bus, r.path, kAccessible, "GetState").take());
    calls.push_back(propertyGet(r, kAccessible, "Name"));
    calls.push_back(propertyGet(r, kAccessible, "Description"));
    calls.push_back(atspi::Call(r.bus, r.path, kAccessible, "GetInterfaces").take());
    calls.push_back(atspi::Call(r.bus, r.path, kAccessible, "GetChildren").take());
  }
  std::vector<std::string> buses;
  for (const auto& [r, n] : nodes) buses.push_back(r.bus);
  auto replies = linkFor(buses).callAll(std::move(calls), kCallTimeoutMs);
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    NodeData& n = *nodes[i].second;
    auto* r = &replies[i * kPer];
    DBusMessageIter it;
    n.basicsOk = atspi::firstArgument(r[0], it) && atspi::readUint32(it, n.role) && parseStates(r[1], n.states);
    if (atspi::firstArgument(r[2], it)) atspi::readVariantString(it, n.name);
    if (atspi::firstArgument(r[3], it)) atspi::readVariantString(it, n.description);
    std::vector<std::string> ifaces;
    if (atspi::firstArgument(r[4], it) && atspi::readStringArray(it, ifaces)) n.interfaces = interfaceBits(ifaces);
    if (atspi::firstArgument(r[5], it)) atspi::readObjectRefArray(it, n.children);
  }
}

void AtspiAccessibility::fillExtras(std::vector<std::pair<std::string, std::shared_ptr<NodeData>>>& nodes) {
  enum Kind { extents, actions, text, number };
  std::vector<atspi::Message> calls;
  std::vector<std::pair<NodeData*, Kind>> what;
  calls.reserve(nodes.size() * 2);
  what.reserve(nodes.size() * 2);
  for (auto& [k, n] : nodes) {
    if (!n->basicsOk) continue;
    const auto nl = k.find('\n');
    const atspi::ObjectRef r{k.substr(0, nl), k.substr(nl + 1)};
    if (n->interfaces & kIfaceComponent) {
      calls.push_back(atspi::Call(r.bus, r.path, "org.a11y.atspi.Component", "GetExtents").u(0).take());
      what.emplace_back(n.get(), extents);
    }
    if (n->interfaces & kIfaceAction) {
      calls.push_back(atspi::Call(r.bus, r.path, "org.a11y.atspi.Action", "GetActions").take());
      what.emplace_back(n.get(), actions);
    }
    if ((n->interfaces & kIfaceValue) && isRangeRole(n->role)) {
      calls.push_back(propertyGet(r, "org.a11y.atspi.Value", "CurrentValue"));
      what.emplace_back(n.get(), number);
    } else if ((n->interfaces & kIfaceText) && isTextRole(n->role)) {
      calls.push_back(atspi::Call(r.bus, r.path, "org.a11y.atspi.Text", "GetText").i(0).i(-1).take());
      what.emplace_back(n.get(), text);
    }
  }
  std::vector<std::string> buses;
  for (const auto& [k, n] : nodes) buses.push_back(k.substr(0, k.find('\n')));
  auto replies = linkFor(buses).callAll(std::move(calls), kCallTimeoutMs);
  for (std::size_t i = 0; i < replies.size(); ++i) {
    NodeData& n = *what[i].first;
    DBusMessageIter it;
    switch (what[i].second) {
      case extents: {
        Extents e;
        if (parseExtents(replies[i], e)) n.extents = e;
        break;
      }
      case actions:
        parseActions(replies[i], n.actions);
        break;
      case text: {
        std::string s;
        if (atspi::firstArgument(replies[i], it) && atspi::readString(it, s)) n.text = std::move(s);
        break;
      }
      case number: {
        double d = 0;
        if (atspi::firstArgument(replies[i], it) && atspi::readVariantNumber(it, d)) n.number = d;
        break;
      }
    }
  }
}

std::shared_ptr<AtspiAccessibility::NodeData> AtspiAccessibility::fetchOne(const atspi::ObjectRef& ref) {
  auto node = std::make_shared<NodeData>();
  if (!bus() || ref.bus.empty()) return node;
  std::vector<std::pair<atspi::ObjectRef, std::shared_ptr<NodeData>>> basics{{ref, node}};
  fillBasics(basics);
  std::vector<std::pair<std::string, std::shared_ptr<NodeData>>> extras{{key(ref), node}};
  fillExtras(extras);
  return node;
}

std::shared_ptr<AtspiAccessibility::Batch> AtspiAccessibility::prefetch(const atspi::ObjectRef& root) {
  auto batch = std::make_shared<Batch>();
  if (!bus() || root.bus.empty()) return batch;

  // One bulk read of the application's cache: role, name, description, states, interfaces and
  // the parent link of every object it knows.
  struct Cached {
    std::shared_ptr<NodeData> node;
    std::int32_t childCount = 0;
  };
  std::unordered_map<std::string, Cached> cached;
  std::unordered_map<std::string, std::vector<std::pair<std::int32_t, atspi::ObjectRef>>> childrenOf;
  if (bulkReads_) {
    ensureCacheListener();
    auto reply = link(root.bus).call(atspi::Call(root.bus, "/org/a11y/atspi/cache", "org.a11y.atspi.Cache", "GetItems").take(),
                            kCallTimeoutMs);
    DBusMessageIter it;
    if (atspi::firstArgument(reply, it) && dbus_message_iter_get_arg_type(&it) == DBUS_TYPE_ARRAY) {
      DBusMessageIter a;
      dbus_message_iter_recurse(&it, &a);
      while (dbus_message_iter_get_arg_type(&a) == DBUS_TYPE_STRUCT) {
        DBusMessageIter s;
        dbus_message_iter_recurse(&a, &s);
        atspi::ObjectRef self, app, parent;
        std::int32_t indexInParent = 0, childCount = 0;
        std::vector<std::string> ifaces;
        auto n = std::make_shared<NodeData>();
        std::vector<std::uint32_t> states;
        if (atspi::readObjectRef(s, self) && atspi::readObjectRef(s, app) && atspi::readObjectRef(s, parent) &&
            atspi::readInt32(s, indexInParent) && atspi::readInt32(s, childCount) &&
            atspi::readStringArray(s, ifaces) && atspi::readString(s, n->name) && atspi::readUint32(s, n->role) &&
            atspi::readString(s, n->description) && atspi::readUint32Array(s, states)) {
          n->basicsOk = true;
          n->interfaces = interfaceBits(ifaces);
          n->states = {states.size() > 0 ? states[0] : 0u, states.size() > 1 ? states[1] : 0u};
          childrenOf[key(parent)].emplace_back(indexInParent, self);
          cached[key(self)] = Cached{std::move(n), childCount};
        }
        dbus_message_iter_next(&a);
      }
    }
  }

  // Plan the walk level by level, reading what the cache lacks with pipelined calls.
  std::vector<atspi::ObjectRef> level{root};
  std::vector<std::pair<std::string, std::shared_ptr<NodeData>>> planned;
  for (int depth = 0; depth <= kPlanDepth && !level.empty() && planned.size() < kPlanNodes * 2; ++depth) {
    std::vector<std::pair<atspi::ObjectRef, std::shared_ptr<NodeData>>> needBasics;
    std::vector<std::pair<atspi::ObjectRef, std::shared_ptr<NodeData>>> needChildren;
    std::vector<std::shared_ptr<NodeData>> levelNodes;
    for (const auto& r : level) {
      const auto k = key(r);
      if (batch->nodes.count(k)) continue;  // reached twice (a confused parent link)
      std::shared_ptr<NodeData> n;
      if (auto c = cached.find(k); c != cached.end()) {
        n = c->second.node;
        auto kids = childrenOf.find(k);
        const std::size_t known = kids == childrenOf.end() ? 0 : kids->second.size();
        if (c->second.childCount > 0 && known == static_cast<std::size_t>(c->second.childCount)) {
          auto& list = kids->second;
          std::stable_sort(list.begin(), list.end(), [](auto& l, auto& r2) { return l.first < r2.first; });
          for (auto& [i, child] : list) n->children.push_back(child);
        } else if (c->second.childCount != 0) {
          needChildren.emplace_back(r, n);
        }
      } else {
        n = std::make_shared<NodeData>();
        needBasics.emplace_back(r, n);
      }
      batch->nodes.emplace(k, n);
      planned.emplace_back(k, n);
      levelNodes.push_back(n);
    }
    if (!needBasics.empty()) fillBasics(needBasics);
    if (!needChildren.empty()) {
      std::vector<atspi::Message> calls;
      for (const auto& [r, n] : needChildren) calls.push_back(atspi::Call(r.bus, r.path, kAccessible, "GetChildren").take());
      std::vector<std::string> buses;
      for (const auto& [r, n] : needChildren) buses.push_back(r.bus);
      auto replies = linkFor(buses).callAll(std::move(calls), kCallTimeoutMs);
      for (std::size_t i = 0; i < replies.size(); ++i) {
        DBusMessageIter it;
        if (atspi::firstArgument(replies[i], it)) atspi::readObjectRefArray(it, needChildren[i].second->children);
      }
    }
    std::vector<atspi::ObjectRef> next;
    for (const auto& n : levelNodes)
      for (const auto& c : n->children) next.push_back(c);
    level = std::move(next);
  }
  fillExtras(planned);
  return batch;
}

void AtspiAccessibility::readElementAttributes(const AXElementRef& element, platform::AXElementAttributes& out) {
  auto* e = atspiElement(element);
  if (!e || e->isApplication) return platform::Accessibility::readElementAttributes(element, out);
  std::shared_ptr<NodeData> node;
  if (!e->batch) e->batch = prefetch(e->ref);
  if (auto it = e->batch->nodes.find(key(e->ref)); it != e->batch->nodes.end()) {
    node = std::move(it->second);
    e->batch->nodes.erase(it);
  } else {
    node = fetchOne(e->ref);
  }
  const NodeData& n = *node;
  out = platform::AXElementAttributes{};
  if (!n.basicsOk) return;
  auto role = axRoleFor(n.role, n.states);
  out.role = std::move(role.role);
  out.subrole = std::move(role.subrole);
  if (!n.name.empty() && n.role != ATSPI_ROLE_LABEL && n.role != ATSPI_ROLE_STATIC) out.title = n.name;
  if (!n.description.empty()) out.description = n.description;
  out.value = valueOf(n);
  out.enabled = hasAtspiState(n.states, ATSPI_STATE_ENABLED) || hasAtspiState(n.states, ATSPI_STATE_SENSITIVE);
  out.focused = hasAtspiState(n.states, ATSPI_STATE_FOCUSED);
  if (n.extents && frameUsable(*n.extents)) {
    out.position = platform::AXPoint{static_cast<double>(n.extents->x), static_cast<double>(n.extents->y)};
    out.size = platform::AXSize{static_cast<double>(n.extents->width), static_cast<double>(n.extents->height)};
  }
  out.children.reserve(n.children.size());
  for (const auto& c : n.children) {
    auto child = std::make_shared<AtspiElement>(c, e->pid, false);
    child->batch = e->batch;
    out.children.push_back(std::move(child));
  }
  out.actionNames = mappedActions(n);
  out.valueSettable = valueSettable(n);
}

namespace {
// Out of line: GCC's uninitialised-use analysis misreads the variant moved into the optional.
[[gnu::noinline]] AXCopyResult succeeded(platform::AXValue v) {
  AXCopyResult r;
  r.error = platform::kAXErrorSuccess;
  r.value.emplace(std::move(v));
  return r;
}
AXCopyResult failed(AXError status) {
  AXCopyResult r;
  r.error = status;
  return r;
}
}  // namespace

AXCopyResult AtspiAccessibility::copyAttributeValue(const AXElementRef& element, std::string_view attribute) {
  auto* e = atspiElement(element);
  if (!e || !bus() || e->ref.bus.empty()) return failed(platform::kAXErrorInvalidUIElement);
  auto ok = [](auto v) { return succeeded(platform::AXValue(std::move(v))); };
  auto none = [](AXError status = platform::kAXErrorNoValue) { return failed(status); };

  if (e->isApplication) {
    if (attribute == "AXRole") return ok(std::string("AXApplication"));
    if (attribute == "AXTitle") {
      auto n = fetchOne(e->ref);
      return n->name.empty() ? none() : ok(n->name);
    }
    if (attribute != "AXWindows" && attribute != "AXFocusedWindow" && attribute != "AXMainWindow" &&
        attribute != "AXChildren")
      return none(platform::kAXErrorAttributeUnsupported);
    auto reply = bus_->call(atspi::Call(e->ref.bus, e->ref.path, kAccessible, "GetChildren").take(), kCallTimeoutMs);
    std::vector<atspi::ObjectRef> refs;
    DBusMessageIter it;
    if (!atspi::firstArgument(reply, it) || !atspi::readObjectRefArray(it, refs))
      return none(statusFor(reply.error, platform::kAXErrorAttributeUnsupported));
    std::vector<std::pair<atspi::ObjectRef, std::shared_ptr<NodeData>>> windows;
    for (auto& r : refs) windows.emplace_back(std::move(r), std::make_shared<NodeData>());
    // Roles and states of all windows in one pipelined round.
    fillBasics(windows);
    auto make = [&](const atspi::ObjectRef& r) { return std::make_shared<AtspiElement>(r, e->pid, false); };
    if (attribute == "AXWindows" || attribute == "AXChildren") {
      std::vector<AXElementRef> list;
      for (const auto& [r, n] : windows)
        if (n->basicsOk && (attribute == "AXChildren" || isWindowRole(n->role))) list.push_back(make(r));
      return ok(std::move(list));
    }
    for (const auto& [r, n] : windows) {
      if (!n->basicsOk || !isWindowRole(n->role)) continue;
      const bool active = hasAtspiState(n->states, ATSPI_STATE_ACTIVE);
      const bool visible = hasAtspiState(n->states, ATSPI_STATE_SHOWING) && !hasAtspiState(n->states, ATSPI_STATE_ICONIFIED);
      if (attribute == "AXFocusedWindow" ? active : visible) return ok(make(r));
    }
    return none();
  }

  auto n = fetchOne(e->ref);
  if (!n->basicsOk) return none(platform::kAXErrorInvalidUIElement);
  if (attribute == "AXRole") return ok(axRoleFor(n->role, n->states).role);
  if (attribute == "AXSubrole") {
    auto r = axRoleFor(n->role, n->states);
    return r.subrole ? ok(*r.subrole) : none();
  }
  if (attribute == "AXTitle") return n->name.empty() ? none() : ok(n->name);
  if (attribute == "AXDescription") return n->description.empty() ? none() : ok(n->description);
  if (attribute == "AXValue") {
    auto v = valueOf(*n);
    return v ? ok(std::move(*v)) : none();
  }
  auto flag = [&](bool b) { return ok(platform::AXNumber{b ? 1.0 : 0.0}); };
  if (attribute == "AXEnabled")
    return flag(hasAtspiState(n->states, ATSPI_STATE_ENABLED) || hasAtspiState(n->states, ATSPI_STATE_SENSITIVE));
  if (attribute == "AXFocused") return flag(hasAtspiState(n->states, ATSPI_STATE_FOCUSED));
  if (attribute == "AXSelected") return flag(hasAtspiState(n->states, ATSPI_STATE_SELECTED));
  if (attribute == "AXMinimized") return flag(hasAtspiState(n->states, ATSPI_STATE_ICONIFIED));
  if (attribute == "AXPosition" || attribute == "AXSize") {
    if (!n->extents || !frameUsable(*n->extents)) return none();
    if (attribute == "AXPosition") return ok(platform::AXPoint{double(n->extents->x), double(n->extents->y)});
    return ok(platform::AXSize{double(n->extents->width), double(n->extents->height)});
  }
  if (attribute == "AXChildren") {
    std::vector<AXElementRef> list;
    for (const auto& c : n->children) list.push_back(std::make_shared<AtspiElement>(c, e->pid, false));
    return ok(std::move(list));
  }
  if (attribute == "AXWindowNumber") {
    if (!isWindowRole(n->role) || !locator_ || !n->extents) return none();
    auto number = locator_->windowNumberFor(e->pid, n->name, n->extents->x, n->extents->y, n->extents->width,
                                            n->extents->height);
    return number ? ok(platform::AXNumber{static_cast<double>(*number)}) : none();
  }
  return none(platform::kAXErrorAttributeUnsupported);
}

AXError AtspiAccessibility::copyActionNames(const AXElementRef& element, std::vector<std::string>& names) {
  auto* e = atspiElement(element);
  names.clear();
  if (!e || !bus() || e->ref.bus.empty()) return platform::kAXErrorInvalidUIElement;
  if (e->isApplication) return platform::kAXErrorSuccess;
  auto n = fetchOne(e->ref);
  if (!n->basicsOk) return platform::kAXErrorInvalidUIElement;
  names = mappedActions(*n);
  return platform::kAXErrorSuccess;
}

AXError AtspiAccessibility::isAttributeSettable(const AXElementRef& element, std::string_view attribute,
                                                bool& settable) {
  auto* e = atspiElement(element);
  settable = false;
  if (!e || !bus() || e->ref.bus.empty()) return platform::kAXErrorInvalidUIElement;
  if (e->isApplication) return platform::kAXErrorSuccess;
  auto n = fetchOne(e->ref);
  if (!n->basicsOk) return platform::kAXErrorInvalidUIElement;
  if (attribute == "AXValue") settable = valueSettable(*n);
  else if (attribute == "AXFocused") settable = hasAtspiState(n->states, ATSPI_STATE_FOCUSABLE);
  return platform::kAXErrorSuccess;
}

AXError AtspiAccessibility::performAction(const AXElementRef& element, std::string_view action) {
  auto* e = atspiElement(element);
  if (!e || !bus() || e->ref.bus.empty()) return platform::kAXErrorInvalidUIElement;
  if (e->isApplication) return platform::kAXErrorActionUnsupported;
  const auto& r = e->ref;
  std::vector<atspi::Message> calls;
  calls.push_back(atspi::Call(r.bus, r.path, kAccessible, "GetRole").take());
  calls.push_back(atspi::Call(r.bus, r.path, "org.a11y.atspi.Action", "GetActions").take());
  auto replies = bus_->callAll(std::move(calls), kCallTimeoutMs);
  DBusMessageIter it;
  std::uint32_t role = 0;
  if (!atspi::firstArgument(replies[0], it) || !atspi::readUint32(it, role))
    return statusFor(replies[0].error, platform::kAXErrorInvalidUIElement);
  std::vector<std::string> actions;
  if (!parseActions(replies[1], actions)) return statusFor(replies[1].error, platform::kAXErrorActionUnsupported);
  std::optional<std::int32_t> index;
  for (std::size_t i = 0; i < actions.size() && !index; ++i)
    if (axActionFor(actions[i], role) == action || actions[i] == action) index = static_cast<std::int32_t>(i);
  if (!index) return platform::kAXErrorActionUnsupported;
  auto reply = bus_->call(atspi::Call(r.bus, r.path, "org.a11y.atspi.Action", "DoAction").i(*index).take(),
                          kCallTimeoutMs);
  bool done = false;
  if (!atspi::firstArgument(reply, it) || !atspi::readBool(it, done))
    return statusFor(reply.error, platform::kAXErrorActionUnsupported);
  return done ? platform::kAXErrorSuccess : platform::kAXErrorFailure;
}

AXError AtspiAccessibility::setAttributeValue(const AXElementRef& element, std::string_view attribute,
                                              const std::string& value) {
  auto* e = atspiElement(element);
  if (!e || !bus() || e->ref.bus.empty()) return platform::kAXErrorInvalidUIElement;
  if (e->isApplication) return platform::kAXErrorAttributeUnsupported;
  const auto& r = e->ref;
  auto n = fetchOne(r);
  if (!n->basicsOk) return platform::kAXErrorInvalidUIElement;
  DBusMessageIter it;
  if (attribute == "AXFocused") {
    if (value != "1" && value != "true") return platform::kAXErrorIllegalArgument;
    auto reply = bus_->call(atspi::Call(r.bus, r.path, "org.a11y.atspi.Component", "GrabFocus").take(), kCallTimeoutMs);
    bool done = false;
    if (!atspi::firstArgument(reply, it) || !atspi::readBool(it, done))
      return statusFor(reply.error, platform::kAXErrorAttributeUnsupported);
    return done ? platform::kAXErrorSuccess : platform::kAXErrorFailure;
  }
  if (attribute != "AXValue") return platform::kAXErrorAttributeUnsupported;
  if (n->interfaces & kIfaceEditableText) {
    auto reply = bus_->call(
        atspi::Call(r.bus, r.path, "org.a11y.atspi.EditableText", "SetTextContents").s(value).take(), kCallTimeoutMs);
    bool done = false;
    if (!atspi::firstArgument(reply, it) || !atspi::readBool(it, done))
      return statusFor(reply.error, platform::kAXErrorAttributeUnsupported);
    return done ? platform::kAXErrorSuccess : platform::kAXErrorFailure;
  }
  if (n->interfaces & kIfaceValue) {
    char* end = nullptr;
    const double number = std::strtod(value.c_str(), &end);
    if (value.empty() || !end || *end != '\0') return platform::kAXErrorIllegalArgument;
    auto reply = bus_->call(atspi::Call(r.bus, r.path, kProperties, "Set")
                                .s("org.a11y.atspi.Value")
                                .s("CurrentValue")
                                .variantDouble(number)
                                .take(),
                            kCallTimeoutMs);
    return statusFor(reply.error, platform::kAXErrorAttributeUnsupported);
  }
  return platform::kAXErrorAttributeUnsupported;
}

}  // namespace platformlinux
