#include "tests/desktop/OtherWindows.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <gtk/gtk.h>

#include <cstdint>
#include <cstdio>
#include <vector>

namespace qvtest {

std::string ShellQuoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string ShellOutput(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
    (void)pclose(pipe);
  }
  return out;
}

bool SaveXWindowPicture(unsigned long windowId, const std::string& pngPath, std::string* why) {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    *why = "the display cannot be opened";
    return false;
  }
  bool saved = false;
  XWindowAttributes attributes{};
  const Window root = DefaultRootWindow(display);
  Window child = 0;
  int x = 0;
  int y = 0;
  if (XGetWindowAttributes(display, windowId, &attributes) == 0 ||
      XTranslateCoordinates(display, windowId, root, 0, 0, &x, &y, &child) == 0) {
    *why = "no such window";
  } else if (XImage* image =
                 XGetImage(display, root, x, y, static_cast<unsigned>(attributes.width),
                           static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap)) {
    // The screen's own pixel layout (8 bits a colour), read pixel by pixel into RGB.
    const auto channel = [](unsigned long pixel, unsigned long mask) {
      return static_cast<std::uint8_t>(mask == 0 ? 0 : (pixel & mask) >> __builtin_ctzl(mask));
    };
    const int width = attributes.width;
    const int height = attributes.height;
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * height * 3);
    std::size_t at = 0;
    for (int row = 0; row < height; ++row) {
      for (int column = 0; column < width; ++column) {
        const unsigned long pixel = XGetPixel(image, column, row);
        rgb[at++] = channel(pixel, image->red_mask);
        rgb[at++] = channel(pixel, image->green_mask);
        rgb[at++] = channel(pixel, image->blue_mask);
      }
    }
    XDestroyImage(image);
    GBytes* bytes = g_bytes_new(rgb.data(), rgb.size());
    GdkTexture* texture = gdk_memory_texture_new(width, height, GDK_MEMORY_R8G8B8, bytes,
                                                 static_cast<gsize>(width) * 3);
    saved = gdk_texture_save_to_png(texture, pngPath.c_str()) != FALSE;
    if (!saved) *why = "the picture cannot be written to " + pngPath;
    g_object_unref(texture);
    g_bytes_unref(bytes);
  } else {
    *why = "the window's part of the screen cannot be read";
  }
  XCloseDisplay(display);
  return saved;
}

}  // namespace qvtest
