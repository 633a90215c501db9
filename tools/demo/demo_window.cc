// pelagon2-demo-window: the window the desktop demo works with. It shows a
// title, a striped button and a text field, and says on its standard output
// (and in the --log file) what happened to it, one line each:
//
//   window X Y W H      its place in root pixels (again whenever it moves)
//   button X Y W H      the button's place in root pixels
//   focus               it received the keyboard focus
//   click B X Y HIT     a press of mouse button B at root (X, Y); HIT 1 on the button
//   text UTF-8...       the field's contents after each change
//
// A left click on the button turns it green and takes the keyboard focus;
// keys typed then go into the field. --pattern FILE writes the button as it
// looks before the click, as a PNG, for the demo to search the screen for.
// The window goes when its standard input closes or it is closed.
//
//   pelagon2-demo-window [--pattern FILE] [--log FILE] [--at X,Y]

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <ft2build.h>
#include <sys/select.h>
#include <unistd.h>
#include <xkbcommon/xkbcommon.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/utf8.h"
#include "cv/png_output.h"
#include "vision_core/image.h"

namespace {

struct Rgb {
  std::uint8_t r, g, b;
};

constexpr unsigned kWidth = 640;
constexpr unsigned kHeight = 380;
constexpr int kButtonX = 32, kButtonY = 92, kButtonW = 240, kButtonH = 72;
constexpr int kFieldX = 32, kFieldY = 218, kFieldW = 576, kFieldH = 72;

constexpr Rgb kPaper{238, 241, 245};
constexpr Rgb kInk{30, 34, 40};
constexpr Rgb kMuted{90, 98, 110};
constexpr Rgb kWhite{255, 255, 255};

void fill(vision_core::RgbImage& image, int x, int y, int w, int h, Rgb c) {
  for (int row = std::max(y, 0); row < std::min<int>(y + h, static_cast<int>(image.height)); ++row) {
    for (int col = std::max(x, 0); col < std::min<int>(x + w, static_cast<int>(image.width)); ++col) {
      std::uint8_t* p = &image.pixels[(static_cast<std::size_t>(row) * image.width + static_cast<std::size_t>(col)) * 3];
      p[0] = c.r, p[1] = c.g, p[2] = c.b;
    }
  }
}

// Text drawn with FreeType: any character the font has, blended over the picture.
class Fonts {
 public:
  Fonts() {
    if (FT_Init_FreeType(&library_) != 0) {
      library_ = nullptr;
      return;
    }
    const char* dir = "/usr/share/fonts/truetype/dejavu/";
    if (FT_New_Face(library_, (std::string(dir) + "DejaVuSans.ttf").c_str(), 0, &regular_) != 0) regular_ = nullptr;
    if (FT_New_Face(library_, (std::string(dir) + "DejaVuSans-Bold.ttf").c_str(), 0, &bold_) != 0) bold_ = regular_;
  }
  ~Fonts() {
    if (bold_ != nullptr && bold_ != regular_) FT_Done_Face(bold_);
    if (regular_ != nullptr) FT_Done_Face(regular_);
    if (library_ != nullptr) FT_Done_FreeType(library_);
  }
  Fonts(const Fonts&) = delete;
  Fonts& operator=(const Fonts&) = delete;

  // Draws `text` from `x` on `baseline`; returns the pen's end position.
  int draw(vision_core::RgbImage& image, const std::string& text, int x, int baseline, unsigned size, Rgb ink,
           bool bold = false) {
    return run(&image, text, x, baseline, size, ink, bold);
  }
  int width(const std::string& text, unsigned size, bool bold = false) {
    return run(nullptr, text, 0, 0, size, Rgb{}, bold);
  }

 private:
  int run(vision_core::RgbImage* image, const std::string& text, int x, int baseline, unsigned size, Rgb ink,
          bool bold) {
    FT_Face face = bold ? bold_ : regular_;
    if (face == nullptr || FT_Set_Pixel_Sizes(face, 0, size) != 0) return x;
    long pen = x * 64L;
    for (const char32_t c : pelagon2::utf8_code_points(text)) {
      if (FT_Load_Char(face, c, FT_LOAD_RENDER | FT_LOAD_TARGET_LIGHT) != 0) continue;
      const FT_GlyphSlot slot = face->glyph;
      if (image != nullptr) {
        blend(*image, slot->bitmap, static_cast<int>((pen + 32) / 64) + slot->bitmap_left, baseline - slot->bitmap_top,
              ink);
      }
      pen += slot->advance.x;
    }
    return static_cast<int>((pen + 63) / 64);
  }

  static void blend(vision_core::RgbImage& image, const FT_Bitmap& bitmap, int left, int top, Rgb ink) {
    for (unsigned row = 0; row < bitmap.rows; ++row) {
      const int y = top + static_cast<int>(row);
      if (y < 0 || y >= static_cast<int>(image.height)) continue;
      for (unsigned col = 0; col < bitmap.width; ++col) {
        const int x = left + static_cast<int>(col);
        if (x < 0 || x >= static_cast<int>(image.width)) continue;
        const unsigned a = bitmap.buffer[static_cast<std::ptrdiff_t>(row) * bitmap.pitch + col];
        std::uint8_t* p = &image.pixels[(static_cast<std::size_t>(y) * image.width + static_cast<std::size_t>(x)) * 3];
        const std::uint8_t c[3] = {ink.r, ink.g, ink.b};
        for (int i = 0; i < 3; ++i) p[i] = static_cast<std::uint8_t>((p[i] * (255 - a) + c[i] * a + 127) / 255);
      }
    }
  }

  FT_Library library_ = nullptr;
  FT_Face regular_ = nullptr;
  FT_Face bold_ = nullptr;
};

struct State {
  bool clicked = false;
  int clicks = 0;
  std::string text;
};

vision_core::RgbImage render(Fonts& fonts, const State& state) {
  vision_core::RgbImage image(kWidth, kHeight);
  fill(image, 0, 0, kWidth, kHeight, kPaper);
  fonts.draw(image, "pelagon2 demo window", 32, 58, 34, kInk);

  // Diagonal stripes make the button unmistakable for the search.
  const Rgb base = state.clicked ? Rgb{46, 155, 71} : Rgb{31, 95, 191};
  const Rgb stripe = state.clicked ? Rgb{70, 178, 96} : Rgb{58, 124, 222};
  fill(image, kButtonX, kButtonY, kButtonW, kButtonH, base);
  for (int y = 0; y < kButtonH; ++y) {
    for (int x = 0; x < kButtonW; ++x) {
      if ((x + y) % 16 < 4) fill(image, kButtonX + x, kButtonY + y, 1, 1, stripe);
    }
  }
  const std::string label = state.clicked ? "Clicked!" : "Click me";
  const int label_width = fonts.width(label, 30, true);
  fonts.draw(image, label, kButtonX + (kButtonW - label_width) / 2, kButtonY + 47, 30, kWhite, true);

  fonts.draw(image, "Type here:", kFieldX, kFieldY - 12, 22, kMuted);
  fill(image, kFieldX, kFieldY, kFieldW, kFieldH, kMuted);
  fill(image, kFieldX + 2, kFieldY + 2, kFieldW - 4, kFieldH - 4, kWhite);
  // The caret only marks the empty field: beside text, recognition reads it as a letter.
  fonts.draw(image, state.text, kFieldX + 14, kFieldY + 52, 44, kInk);
  if (state.text.empty()) fill(image, kFieldX + 14, kFieldY + 12, 2, kFieldH - 24, kInk);

  fonts.draw(image, "clicks: " + std::to_string(state.clicks), 32, 336, 22, kMuted);
  return image;
}

unsigned long scaled(std::uint8_t value, unsigned long mask) {
  if (mask == 0) return 0;
  int shift = 0;
  while (((mask >> shift) & 1) == 0) ++shift;
  const unsigned long max = mask >> shift;
  return ((value * max + 127) / 255) << shift;
}

// Makes `image` the window's background, so the server repaints it by itself.
void present(Display* d, Window w, const vision_core::RgbImage& image) {
  const int screen = DefaultScreen(d);
  Visual* visual = DefaultVisual(d, screen);
  const auto depth = static_cast<unsigned>(DefaultDepth(d, screen));
  XImage* ximage = XCreateImage(d, visual, depth, ZPixmap, 0, nullptr, image.width, image.height, 32, 0);
  if (ximage == nullptr) return;
  ximage->data = static_cast<char*>(std::malloc(static_cast<std::size_t>(ximage->bytes_per_line) * image.height));
  if (ximage->data == nullptr) {
    XDestroyImage(ximage);
    return;
  }
  for (std::uint32_t y = 0; y < image.height; ++y) {
    for (std::uint32_t x = 0; x < image.width; ++x) {
      const std::uint8_t* p = &image.pixels[(std::size_t{y} * image.width + x) * 3];
      XPutPixel(ximage, static_cast<int>(x), static_cast<int>(y),
                scaled(p[0], visual->red_mask) | scaled(p[1], visual->green_mask) | scaled(p[2], visual->blue_mask));
    }
  }
  const Pixmap pixmap = XCreatePixmap(d, w, image.width, image.height, depth);
  const GC gc = XCreateGC(d, pixmap, 0, nullptr);
  XPutImage(d, pixmap, gc, ximage, 0, 0, 0, 0, image.width, image.height);
  XFreeGC(d, gc);
  XDestroyImage(ximage);
  XSetWindowBackgroundPixmap(d, w, pixmap);
  XFreePixmap(d, pixmap);
  XClearWindow(d, w);
  XSync(d, False);
}

FILE* g_log = nullptr;

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
  if (g_log != nullptr) {
    std::fprintf(g_log, "%s\n", line.c_str());
    std::fflush(g_log);
  }
}

int quit_quietly(Display*) { std::_Exit(0); }

void remove_last_character(std::string& text) {
  while (!text.empty()) {
    const auto byte = static_cast<unsigned char>(text.back());
    text.pop_back();
    if ((byte & 0xC0) != 0x80) break;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char* pattern_path = nullptr;
  int at_x = 80, at_y = 80;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return 2;
    if (arg == "--pattern") {
      pattern_path = argv[++i];
    } else if (arg == "--log") {
      g_log = std::fopen(argv[++i], "a");
      if (g_log == nullptr) return 2;
    } else if (arg == "--at") {
      if (std::sscanf(argv[++i], "%d,%d", &at_x, &at_y) != 2) return 2;
    } else {
      return 2;
    }
  }

  XSetIOErrorHandler(quit_quietly);
  Display* d = XOpenDisplay(nullptr);
  if (d == nullptr) return 3;
  const int screen = DefaultScreen(d);
  const Window root = RootWindow(d, screen);
  XSetWindowAttributes attributes{};
  attributes.background_pixel = WhitePixel(d, screen);
  attributes.event_mask = StructureNotifyMask | ExposureMask | ButtonPressMask | KeyPressMask | FocusChangeMask;
  const Window w = XCreateWindow(d, root, at_x, at_y, kWidth, kHeight, 0, CopyFromParent, InputOutput, CopyFromParent,
                                 CWBackPixel | CWEventMask, &attributes);
  XStoreName(d, w, "pelagon2 demo");
  XSizeHints size{};
  size.flags = PPosition | PMinSize | PMaxSize;
  size.x = at_x, size.y = at_y;
  size.min_width = size.max_width = kWidth;
  size.min_height = size.max_height = kHeight;
  XSetWMNormalHints(d, w, &size);
  XWMHints wm{};
  wm.flags = InputHint;
  wm.input = True;
  XSetWMHints(d, w, &wm);
  // Kept above other windows where a window manager honours it, so the
  // search finds the button on a busy screen.
  const Atom above = XInternAtom(d, "_NET_WM_STATE_ABOVE", False);
  XChangeProperty(d, w, XInternAtom(d, "_NET_WM_STATE", False), XA_ATOM, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&above), 1);
  Atom delete_window = XInternAtom(d, "WM_DELETE_WINDOW", False);
  XSetWMProtocols(d, w, &delete_window, 1);
  // The keyboard map now, so later changes arrive as MappingNotify.
  XKeysymToKeycode(d, XK_a);

  Fonts fonts;
  State state;
  vision_core::RgbImage picture = render(fonts, state);
  if (pattern_path != nullptr) {
    vision_core::RgbImage button(kButtonW, kButtonH);
    for (int y = 0; y < kButtonH; ++y) {
      std::memcpy(&button.pixels[static_cast<std::size_t>(y) * kButtonW * 3],
                  &picture.pixels[(static_cast<std::size_t>(kButtonY + y) * kWidth + kButtonX) * 3], kButtonW * 3);
    }
    if (!pelagon2::cv::write_png_file(button.pixels, kButtonW, kButtonH, pelagon2::cv::PngColor::rgb, 96.0,
                                      pattern_path)) {
      return 4;
    }
  }

  XMapRaised(d, w);
  bool mapped = false, exposed = false;
  while (!mapped || !exposed) {
    XEvent e;
    XNextEvent(d, &e);
    if (e.type == MapNotify && e.xmap.window == w) mapped = true;
    if (e.type == Expose && e.xexpose.window == w) exposed = true;
  }
  present(d, w, picture);

  int last_x = -1 << 30, last_y = -1 << 30;
  const auto report_place = [&] {
    int x = 0, y = 0;
    Window child = 0;
    XTranslateCoordinates(d, w, root, 0, 0, &x, &y, &child);
    if (x == last_x && y == last_y) return;
    last_x = x, last_y = y;
    say("window " + std::to_string(x) + " " + std::to_string(y) + " " + std::to_string(kWidth) + " " +
        std::to_string(kHeight));
    say("button " + std::to_string(x + kButtonX) + " " + std::to_string(y + kButtonY) + " " + std::to_string(kButtonW) +
        " " + std::to_string(kButtonH));
  };
  report_place();

  const int x_fd = ConnectionNumber(d);
  for (;;) {
    bool changed = false;
    while (XPending(d) > 0) {
      XEvent e;
      XNextEvent(d, &e);
      switch (e.type) {
        case ConfigureNotify:
          report_place();
          break;
        case FocusIn:
          if (e.xfocus.window == w && e.xfocus.detail != NotifyPointer) say("focus");
          break;
        case ButtonPress: {
          const int x = e.xbutton.x, y = e.xbutton.y;
          const bool hit = x >= kButtonX && x < kButtonX + kButtonW && y >= kButtonY && y < kButtonY + kButtonH;
          say("click " + std::to_string(e.xbutton.button) + " " + std::to_string(e.xbutton.x_root) + " " +
              std::to_string(e.xbutton.y_root) + " " + (hit ? "1" : "0"));
          if (hit && e.xbutton.button == Button1) {
            state.clicked = true;
            ++state.clicks;
            changed = true;
            // Without a window manager nobody else gives us the keyboard.
            XSetInputFocus(d, w, RevertToParent, e.xbutton.time);
          }
          break;
        }
        case KeyPress: {
          char buffer[32];
          KeySym keysym = NoSymbol;
          XLookupString(&e.xkey, buffer, sizeof buffer, &keysym, nullptr);
          if (keysym == XK_BackSpace) {
            if (state.text.empty()) break;
            remove_last_character(state.text);
          } else {
            char text[16] = {};
            if (xkb_keysym_to_utf8(static_cast<xkb_keysym_t>(keysym), text, sizeof text) <= 0) break;
            // Control characters (Return, Tab, Escape, …) do not go into a one-line field.
            if (static_cast<unsigned char>(text[0]) < 0x20 || text[0] == 0x7f) break;
            state.text += text;
          }
          changed = true;
          say("text " + state.text);
          break;
        }
        case MappingNotify:
          XRefreshKeyboardMapping(&e.xmapping);
          break;
        case ClientMessage:
          if (static_cast<Atom>(e.xclient.data.l[0]) == delete_window) {
            say("closed");
            XCloseDisplay(d);
            return 0;
          }
          break;
        default:
          break;
      }
    }
    if (changed) {
      picture = render(fonts, state);
      present(d, w, picture);
      // Its round trip may have queued events that select() would not see.
      continue;
    }
    fd_set fds;
    FD_ZERO(&fds);
    FD_SET(0, &fds);
    FD_SET(x_fd, &fds);
    if (select(x_fd + 1, &fds, nullptr, nullptr, nullptr) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (FD_ISSET(0, &fds)) {
      char c;
      if (read(0, &c, 1) <= 0) break;
    }
  }
  XCloseDisplay(d);
  return 0;
}
