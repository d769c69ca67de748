#pragma once
#include "platform/SessionEventPoster.hpp"

namespace desktopshare {

// The events the session input arbiter posts, and the poster it posts them through; the
// platform layer owns the types so that each backend can implement the poster.
using platform::SessionEventPoster;
using platform::SessionHidEvent;
using platform::SessionKeyEvent;
using platform::SessionMouseEvent;
using platform::SessionScrollEvent;
using platform::SessionUnicodeEvent;

}  // namespace desktopshare
