// libvncserver serving the benchmark scene. libvncserver listens only on TCP, so this peer
// accepts on a Unix socket itself and hands each client to libvncserver with rfbNewClient.
#include <poll.h>
#include <rfb/rfb.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "../BenchScene.hpp"

namespace {

volatile sig_atomic_t stopping = 0;
void onSignal(int) { stopping = 1; }

std::vector<std::uint8_t> images[2];
int toggled = 0;

void onPointer(int, int, int, rfbClientPtr client) {
  toggled = !toggled;
  const std::size_t row = 4 * benchscene::width;
  for (int y = benchscene::blockY; y < benchscene::blockY + benchscene::blockSize; ++y) {
    const std::size_t offset = y * row + 4 * benchscene::blockX;
    std::memcpy(client->screen->frameBuffer + offset, images[toggled].data() + offset, 4 * benchscene::blockSize);
  }
  rfbMarkRectAsModified(client->screen, benchscene::blockX, benchscene::blockY,
                        benchscene::blockX + benchscene::blockSize, benchscene::blockY + benchscene::blockSize);
}

void quiet(const char*, ...) {}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <socket path>\n", argv[0]);
    return 2;
  }
  signal(SIGTERM, onSignal);
  signal(SIGINT, onSignal);
  signal(SIGPIPE, SIG_IGN);
  if (!std::getenv("DESKTOP_SHARE_BENCH_LOG")) {
    rfbLog = quiet;
    rfbErr = quiet;
  }
  images[0] = benchscene::pixels(false);
  images[1] = benchscene::pixels(true);

  int fakeArgc = 1;
  rfbScreenInfoPtr screen = rfbGetScreen(&fakeArgc, argv, benchscene::width, benchscene::height, 8, 3, 4);
  // The scene's memory order B, G, R, X: red in bits 16-23 of a little-endian pixel.
  screen->serverFormat.redShift = 16;
  screen->serverFormat.greenShift = 8;
  screen->serverFormat.blueShift = 0;
  std::vector<std::uint8_t> framebuffer = images[0];
  screen->frameBuffer = reinterpret_cast<char*>(framebuffer.data());
  screen->desktopName = "bench";
  screen->alwaysShared = TRUE;
  screen->port = -1;  // no TCP listener: clients come from the Unix socket below
  screen->ipv6port = -1;
  screen->httpPort = -1;
  screen->deferUpdateTime = 0;  // compare encoders and I/O, not batching delays
  screen->ptrAddEvent = onPointer;
  rfbInitServer(screen);

  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, argv[1], sizeof address.sun_path - 1);
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 4) != 0) {
    std::perror("bind");
    return 1;
  }
  while (!stopping) {
    const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client >= 0) rfbNewClient(screen, client);
    rfbProcessEvents(screen, 1000);
  }
  close(listener);
  unlink(argv[1]);
  rfbShutdownServer(screen, TRUE);
  return 0;
}
