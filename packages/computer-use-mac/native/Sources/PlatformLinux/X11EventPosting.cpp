#include <chrono>
#include <thread>

#include "platformlinux/X11ComputerUse.hpp"

namespace platformlinux {

// In its own translation unit: the desktop-share headers define a capture configuration of
// their own under the same name as the screenshot one.
std::unique_ptr<platform::SessionEventPoster> makeX11SessionEventPoster(const std::optional<std::string>& displayName);

namespace {

class X11PlatformEvent final : public platform::PlatformEvent {
 public:
  explicit X11PlatformEvent(platform::InputEvent e) : event_(std::move(e)) {}
  const platform::InputEvent& description() const override { return event_; }

 private:
  platform::InputEvent event_;
};

// UTF-16 to UTF-8, one string per Unicode scalar (lone surrogates become U+FFFD).
std::vector<std::string> scalarsOf(const std::u16string& text) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    std::string s;
    if (c < 0x80) {
      s += static_cast<char>(c);
    } else if (c < 0x800) {
      s += static_cast<char>(0xC0 | (c >> 6));
      s += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      s += static_cast<char>(0xE0 | (c >> 12));
      s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      s += static_cast<char>(0xF0 | (c >> 18));
      s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (c & 0x3F));
    }
    out.push_back(std::move(s));
  }
  return out;
}

bool isButtonEvent(platform::MouseEventType t) {
  using T = platform::MouseEventType;
  return t == T::leftMouseDown || t == T::leftMouseUp || t == T::rightMouseDown || t == T::rightMouseUp ||
         t == T::otherMouseDown || t == T::otherMouseUp;
}

}  // namespace

X11EventPoster::X11EventPoster(X11Desktop& desktop)
    : desktop_(desktop), poster_(makeX11SessionEventPoster(desktop.displayName())) {}

X11EventPoster::~X11EventPoster() = default;

std::unique_ptr<platform::PlatformEvent> X11EventPoster::create(const platform::InputEvent& event) {
  return std::make_unique<X11PlatformEvent>(event);
}

void X11EventPoster::focusProcess(std::int32_t pid) {
  const auto windows = desktop_.clientWindows();
  if (auto active = desktop_.activeWindow())
    for (const auto& w : windows)
      if (w.id == *active && w.pid == pid) return;
  std::optional<std::uint32_t> target;
  for (const auto& w : windows)
    if (w.pid == pid && w.viewable && !w.hidden) {
      target = w.id;
      break;
    }
  if (!target) return;
  desktop_.activateWindow(*target);
  // Keys typed before the window manager moved the focus would go to the old window.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
  while (std::chrono::steady_clock::now() < deadline) {
    if (desktop_.activeWindow() == target) {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));  // the focus change reaches the client
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void X11EventPoster::post(const platform::PlatformEvent& event, std::optional<std::int32_t> pid) {
  const auto& e = event.description();
  if (const auto* m = std::get_if<platform::MouseEvent>(&e)) {
    if (pid && isButtonEvent(m->type)) {
      auto under = desktop_.clientAt(m->x, m->y);
      if (under && under->pid && *under->pid != *pid) {
        ++dropped_;
        return;
      }
    }
    platform::SessionMouseEvent s;
    s.type = static_cast<std::int32_t>(m->type);
    s.x = m->x;
    s.y = m->y;
    s.button = m->button;
    s.clickState = m->clickState;
    poster_->post(s);
  } else if (const auto* w = std::get_if<platform::ScrollEvent>(&e)) {
    platform::SessionScrollEvent s;
    s.vertical = w->wheel1;
    s.horizontal = w->wheel2;
    poster_->post(s);
  } else if (const auto* k = std::get_if<platform::KeyEvent>(&e)) {
    if (pid && k->keyDown) focusProcess(*pid);
    if (!k->text.empty()) {
      // The text travels on the key-down; the key-up of a text event has nothing left to do.
      if (!k->keyDown) return;
      for (const auto& scalar : scalarsOf(k->text)) {
        poster_->post(platform::SessionUnicodeEvent{scalar, true, false, 0});
        poster_->post(platform::SessionUnicodeEvent{scalar, false, false, 0});
      }
      return;
    }
    platform::SessionKeyEvent s;
    s.code = k->keyCode;
    s.down = k->keyDown;
    s.flags = k->flags;
    poster_->post(s);
  }
}

LinuxComputerUsePlatform::LinuxComputerUsePlatform(std::optional<std::string> displayName)
    : desktop(std::make_unique<X11Desktop>(std::move(displayName))),
      accessibility(std::make_unique<AtspiAccessibility>(desktop.get())),
      applications(std::make_unique<X11Applications>(*desktop, *accessibility)),
      events(std::make_unique<X11EventPoster>(*desktop)) {}

}  // namespace platformlinux
