#include "McpServer.hpp"

#include <cmath>
#include <set>

#include "Base64.hpp"

namespace computeruse::mcp {

using Json = nlohmann::ordered_json;

namespace {

struct RpcError {
  int code;
  std::string message;
};

constexpr int kParseError = -32700;
constexpr int kInvalidRequest = -32600;
constexpr int kMethodNotFound = -32601;
constexpr int kInvalidParams = -32602;
constexpr int kInternalError = -32603;

const char* const kProtocolVersions[] = {"2025-06-18", "2025-03-26", "2024-11-05"};

Json prop(const char* type, const char* description) { return Json{{"type", type}, {"description", description}}; }

Json schema(Json properties, std::vector<std::string> required) {
  Json s{{"type", "object"}, {"properties", std::move(properties)}};
  if (!required.empty()) s["required"] = required;
  s["additionalProperties"] = false;
  return s;
}

const Json kApp = prop("string", "Application: bundle identifier, name, part of a name, bundle file name or path.");
const Json kIndex = prop("string", "Element index from the tree of the last get_app_state of this app, e.g. \"12\".");

Json buildTools() {
  Json tools = Json::array();
  auto add = [&](const char* name, const char* description, Json inputSchema) {
    tools.push_back(Json{{"name", name}, {"description", description}, {"inputSchema", std::move(inputSchema)}});
  };
  add("list_apps", "List the running applications a user can see, with name, bundle identifier, pid and whether each is frontmost.",
      schema(Json::object(), {}));
  add("get_app_state",
      "Return the app's key window as an accessibility tree (elements numbered by element_index) and a PNG screenshot "
      "of that window with its scale (screenshot pixels per screen point). Launches the app if needed; never brings it "
      "to the front.",
      schema(Json{{"app", kApp}}, {"app"}));
  Json button = prop("string", "Mouse button.");
  button["enum"] = {"left", "right", "middle"};
  button["default"] = "left";
  Json clickCount = prop("integer", "Number of clicks (2 for a double click).");
  clickCount["default"] = 1;
  add("click",
      "Click an element by element_index, or a point by x/y in pixels of the last screenshot. A single left click on an "
      "element that supports AXPress works in the background; other clicks need the app to be frontmost.",
      schema(Json{{"app", kApp},
                  {"element_index", kIndex},
                  {"x", prop("number", "Screenshot x in pixels.")},
                  {"y", prop("number", "Screenshot y in pixels.")},
                  {"click_count", clickCount},
                  {"button", button}},
             {"app"}));
  add("drag", "Drag with the left button between two points given in pixels of the last screenshot.",
      schema(Json{{"app", kApp},
                  {"from_x", prop("number", "Start x in screenshot pixels.")},
                  {"from_y", prop("number", "Start y in screenshot pixels.")},
                  {"to_x", prop("number", "End x in screenshot pixels.")},
                  {"to_y", prop("number", "End y in screenshot pixels.")}},
             {"app", "from_x", "from_y", "to_x", "to_y"}));
  Json direction = prop("string", "Scroll direction.");
  direction["enum"] = {"up", "down", "left", "right"};
  Json pages = prop("number", "Amount in pages (one page is ten lines).");
  pages["default"] = 1;
  add("scroll", "Scroll the mouse wheel over an element.",
      schema(Json{{"app", kApp}, {"element_index", kIndex}, {"direction", direction}, {"pages", pages}},
             {"app", "element_index", "direction"}));
  add("type_text", "Type text into the app's focused element, independent of the keyboard layout.",
      schema(Json{{"app", kApp}, {"text", prop("string", "Text to type.")}}, {"app", "text"}));
  add("press_key", "Press a key combination such as cmd+shift+t, return or f5.",
      schema(Json{{"app", kApp}, {"key", prop("string", "Key combination: modifiers and one key joined by +.")}},
             {"app", "key"}));
  add("set_value", "Set the value of a settable element (for example a text field) directly.",
      schema(Json{{"app", kApp}, {"element_index", kIndex}, {"value", prop("string", "New value.")}},
             {"app", "element_index", "value"}));
  add("perform_secondary_action", "Perform a named accessibility action on an element, e.g. AXShowMenu or AXIncrement.",
      schema(Json{{"app", kApp}, {"element_index", kIndex}, {"action", prop("string", "Accessibility action name.")}},
             {"app", "element_index", "action"}));
  return tools;
}

// Checks a tool's arguments against its schema as the tool reads them.
class Arguments {
 public:
  Arguments(const std::string& tool, const Json& args, const Json& inputSchema) : tool_(tool), args_(args) {
    if (!args_.is_object()) fail("arguments must be an object");
    const auto& props = inputSchema["properties"];
    for (auto it = args_.begin(); it != args_.end(); ++it)
      if (!props.contains(it.key())) fail("unknown argument '" + it.key() + "'");
    if (inputSchema.contains("required"))
      for (const auto& r : inputSchema["required"])
        if (!present(r.get<std::string>())) fail("missing required argument '" + r.get<std::string>() + "'");
  }

  std::optional<std::string> string(const char* key) const {
    if (!present(key)) return std::nullopt;
    const auto& v = args_.at(key);
    if (!v.is_string()) fail(std::string("argument '") + key + "' must be a string");
    return v.get<std::string>();
  }
  std::string requiredString(const char* key) const { return *string(key); }

  std::optional<double> number(const char* key) const {
    if (!present(key)) return std::nullopt;
    const auto& v = args_.at(key);
    if (!v.is_number()) fail(std::string("argument '") + key + "' must be a number");
    return v.get<double>();
  }
  double requiredNumber(const char* key) const { return *number(key); }

  std::optional<std::int64_t> integer(const char* key) const {
    if (!present(key)) return std::nullopt;
    const auto& v = args_.at(key);
    if (v.is_number_integer() && !(v.is_number_unsigned() && v.get<std::uint64_t>() > INT64_MAX))
      return v.get<std::int64_t>();
    // 2.0 is as good as 2; 2.5 is not a count.
    if (v.is_number_float()) {
      double d = v.get<double>();
      if (d == std::trunc(d) && std::fabs(d) < 9e15) return static_cast<std::int64_t>(d);
    }
    fail(std::string("argument '") + key + "' must be an integer");
  }

 private:
  bool present(const std::string& key) const { return args_.contains(key) && !args_.at(key).is_null(); }
  [[noreturn]] void fail(const std::string& why) const {
    throw RpcError{kInvalidParams, "Invalid arguments for tool '" + tool_ + "': " + why};
  }

  std::string tool_;
  const Json& args_;
};

// Text from the desktop may carry ill-formed UTF-8; it must not take the server down.
std::string dumpLenient(const Json& j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); }

Json textContent(const std::string& text) { return Json{{"type", "text"}, {"text", text}}; }

Json toolResult(Json content, bool isError = false) {
  return Json{{"content", std::move(content)}, {"isError", isError}};
}

Json response(const Json& id, Json result) { return Json{{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}}; }

Json errorResponse(const Json& id, const RpcError& e) {
  return Json{{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", e.code}, {"message", e.message}}}};
}

}  // namespace

McpServer::McpServer(ComputerUseSession& session, Permissions& permissions)
    : session_(session), permissions_(permissions) {}

const Json& McpServer::toolDefinitions() {
  static const Json tools = buildTools();
  return tools;
}

Json McpServer::initialize(const Json& params) {
  std::string version = kProtocolVersions[0];
  if (params.is_object() && params.contains("protocolVersion") && params["protocolVersion"].is_string()) {
    // Answer in the client's version when we speak it, else in our latest.
    for (const char* v : kProtocolVersions)
      if (params["protocolVersion"] == v) version = v;
  }
  return Json{{"protocolVersion", version},
              {"capabilities", {{"tools", {{"listChanged", false}}}}},
              {"serverInfo", {{"name", kName}, {"version", kVersion}}},
              {"instructions",
               "Call get_app_state first: it returns the app's accessibility tree with element indices and a "
               "screenshot. Then act by element_index, or by x/y in pixels of that screenshot."}};
}

Json McpServer::callTool(const Json& params) {
  if (!params.is_object()) throw RpcError{kInvalidParams, "params must be an object"};
  if (!params.contains("name") || !params["name"].is_string()) throw RpcError{kInvalidParams, "params.name must be a string"};
  const auto name = params["name"].get<std::string>();
  const Json* definition = nullptr;
  for (const auto& t : toolDefinitions())
    if (t["name"] == name) definition = &t;
  if (!definition) throw RpcError{kInvalidParams, "Unknown tool: " + name};
  static const Json kNoArguments = Json::object();
  const Json& raw = params.contains("arguments") && !params["arguments"].is_null() ? params["arguments"] : kNoArguments;
  const Arguments args(name, raw, (*definition)["inputSchema"]);

  // Arguments are read before anything happens, so a bad call changes nothing.
  try {
    if (name == "list_apps") return toolResult(Json::array({textContent(dumpLenient(toJson(session_.listApps())))}));

    if (!permissions_.status().allGranted() && !permissions_.request().allGranted())
      return toolResult(Json::array({textContent(Permissions::pendingMessage)}), true);

    const auto app = args.requiredString("app");
    if (name == "get_app_state") {
      auto state = session_.getAppState(app);
      Json text = Json::object();
      text["app"] = toJson(state.app);
      if (state.window) text["window"] = toJson(*state.window);
      text["screenshotScale"] = state.screenshotScale;
      Json content = Json::array({textContent(dumpLenient(text))});
      if (state.screenshotPNG)
        content.push_back(Json{{"type", "image"}, {"data", base64Encode(*state.screenshotPNG)}, {"mimeType", "image/png"}});
      return toolResult(std::move(content));
    }
    if (name == "click") {
      const auto buttonName = args.string("button").value_or("left");
      const auto button = InputSynthesizer::mouseButton(buttonName);
      if (!button) throw RpcError{kInvalidParams, "Invalid arguments for tool 'click': unknown button '" + buttonName + "'"};
      session_.click(app, args.string("element_index"), args.number("x"), args.number("y"),
                     args.integer("click_count").value_or(1), *button);
      return toolResult(Json::array({textContent("Clicked.")}));
    }
    if (name == "drag") {
      session_.drag(app, args.requiredNumber("from_x"), args.requiredNumber("from_y"), args.requiredNumber("to_x"),
                    args.requiredNumber("to_y"));
      return toolResult(Json::array({textContent("Dragged.")}));
    }
    if (name == "scroll") {
      session_.scroll(app, args.requiredString("element_index"), args.requiredString("direction"),
                      args.number("pages").value_or(1.0));
      return toolResult(Json::array({textContent("Scrolled.")}));
    }
    if (name == "type_text") {
      session_.typeText(app, args.requiredString("text"));
      return toolResult(Json::array({textContent("Typed.")}));
    }
    if (name == "press_key") {
      session_.pressKey(app, args.requiredString("key"));
      return toolResult(Json::array({textContent("Pressed.")}));
    }
    if (name == "set_value") {
      session_.setValue(app, args.requiredString("element_index"), args.requiredString("value"));
      return toolResult(Json::array({textContent("Value set.")}));
    }
    session_.performSecondaryAction(app, args.requiredString("element_index"), args.requiredString("action"));
    return toolResult(Json::array({textContent("Action performed.")}));
  } catch (const ComputerUseError& e) {
    return toolResult(Json::array({textContent(e.what())}), true);
  }
}

std::optional<std::string> McpServer::handleLine(const std::string& line) {
  if (line.find_first_not_of(" \t\r\n") == std::string::npos) return std::nullopt;  // blank keep-alive lines
  const Json null = nullptr;
  if (line.size() > kMaxLineBytes) return errorResponse(null, {kInvalidRequest, "Request too large"}).dump();
  Json request = Json::parse(line, nullptr, false);
  if (request.is_discarded()) return errorResponse(null, {kParseError, "Parse error"}).dump();
  if (!request.is_object()) return errorResponse(null, {kInvalidRequest, "Invalid Request"}).dump();

  const bool isNotification = !request.contains("id");
  Json id = isNotification ? null : request["id"];
  if (!id.is_null() && !id.is_string() && !id.is_number()) id = null;
  const bool badId = !isNotification && id.is_null() && !request["id"].is_null();
  if (request.value("jsonrpc", Json()) != "2.0" || !request.contains("method") || !request["method"].is_string() || badId)
    return errorResponse(id, {kInvalidRequest, "Invalid Request"}).dump();

  const auto method = request["method"].get<std::string>();
  const Json params = request.contains("params") ? request["params"] : Json::object();
  try {
    Json result;
    if (method == "initialize") {
      result = initialize(params);
    } else if (method == "ping") {
      result = Json::object();
    } else if (method == "tools/list") {
      result = Json{{"tools", toolDefinitions()}};
    } else if (method == "tools/call") {
      result = callTool(params);
    } else if (method.starts_with("notifications/")) {
      if (isNotification) return std::nullopt;
      throw RpcError{kMethodNotFound, "Method not found: " + method};
    } else {
      throw RpcError{kMethodNotFound, "Method not found: " + method};
    }
    if (isNotification) return std::nullopt;
    return dumpLenient(response(id, std::move(result)));
  } catch (const RpcError& e) {
    if (isNotification) return std::nullopt;
    return dumpLenient(errorResponse(id, e));
  } catch (const std::exception& e) {
    if (isNotification) return std::nullopt;
    return dumpLenient(errorResponse(id, {kInternalError, std::string("Internal error: ") + e.what()}));
  }
}

void McpServer::run(std::istream& in, std::ostream& out) {
  std::string line;
  while (std::getline(in, line)) {
    if (auto reply = handleLine(line)) {
      out << *reply << '\n';
      out.flush();
      if (!out) return;
    }
  }
}

}  // namespace computeruse::mcp
