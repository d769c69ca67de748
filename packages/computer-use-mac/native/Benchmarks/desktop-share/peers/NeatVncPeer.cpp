// neatvnc serving the benchmark scene on a Unix socket until SIGTERM.
extern "C" {
#include <aml.h>
#include <neatvnc.h>
}
#include <pixman.h>
#include <signal.h>

#include <cstdio>
#include <vector>

#include "../BenchScene.hpp"

namespace {

constexpr std::uint32_t xrgb8888 = 0x34325258;  // DRM_FORMAT_XRGB8888: memory order B, G, R, X

std::vector<std::uint8_t> images[2];
nvnc_fb* buffers[2];
nvnc_display* display;
int toggled = 0;

void onPointer(nvnc_client*, std::uint16_t, std::uint16_t, nvnc_button_mask) {
  toggled = !toggled;
  pixman_region16_t damage;
  pixman_region_init_rect(&damage, benchscene::blockX, benchscene::blockY, benchscene::blockSize, benchscene::blockSize);
  nvnc_display_feed_buffer(display, buffers[toggled], &damage);
  pixman_region_fini(&damage);
}

void onSignal(void* signal) { aml_exit(aml_get_default()); (void)signal; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <socket path>\n", argv[0]);
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  aml* loop = aml_new();
  aml_set_default(loop);
  aml_require_workers(loop, -1);
  nvnc* server = nvnc_open_unix(argv[1]);
  if (!server) {
    std::perror("nvnc_open_unix");
    return 1;
  }
  nvnc_set_name(server, "bench");
  display = nvnc_display_new(0, 0);
  nvnc_add_display(server, display);
  nvnc_set_pointer_fn(server, onPointer);
  for (int i = 0; i < 2; ++i) {
    images[i] = benchscene::pixels(i == 1);
    buffers[i] = nvnc_fb_from_buffer(images[i].data(), benchscene::width, benchscene::height, xrgb8888,
                                     benchscene::width);
  }
  pixman_region16_t whole;
  pixman_region_init_rect(&whole, 0, 0, benchscene::width, benchscene::height);
  nvnc_display_feed_buffer(display, buffers[0], &whole);
  pixman_region_fini(&whole);

  aml_signal* term = aml_signal_new(SIGTERM, onSignal, nullptr, nullptr);
  aml_start(loop, term);
  aml_run(loop);
  aml_unref(term);
  nvnc_close(server);
  nvnc_display_unref(display);
  for (nvnc_fb* fb : buffers) nvnc_fb_unref(fb);
  aml_unref(loop);
  return 0;
}
