#include "testkit/ui_text_screen.h"

namespace pelagon2::testing {

TextScreen ui_text_screen(std::uint32_t width, std::uint32_t height) {
  TextScreen screen;
  screen.image = filled_image(width, height, Rgb{236, 236, 236});
  vision_core::RgbImage& image = screen.image;
  TextRenderer font;
  auto line = [&](const std::string& text, std::int64_t x, std::int64_t baseline, std::uint32_t size, Rgb ink) {
    screen.lines.push_back(DrawnLine{text, font.draw(image, text, x, baseline, size, ink)});
  };
  const Rgb dark{32, 33, 36}, light{240, 240, 240}, grey{95, 99, 104};

  // Title bar with a menu icon (three bars), and the menu.
  fill_rect(image, 0, 0, width, 36, 43, 43, 43);
  for (std::uint32_t bar = 0; bar < 3; ++bar) fill_rect(image, 14, 11 + bar * 6, 16, 2, 220, 220, 220);
  line("Quarterly Report - Budget Overview", 760, 24, 14, light);
  fill_rect(image, 0, 36, width, 28, 248, 248, 248);
  line("File   Edit   View   Insert   Format   Tools   Help", 14, 55, 13, dark);

  // Sidebar.
  fill_rect(image, 0, 64, 260, height - 64 - 26, 246, 246, 246);
  const char* items[] = {"Inbox (24)", "Drafts", "Sent Items", "Archive 2023", "Shared with me", "Settings"};
  std::int64_t y = 110;
  for (const char* item : items) {
    line(item, 28, y, 14, dark);
    y += 34;
  }

  // Document.
  fill_rect(image, 300, 90, 1180, 760, 255, 255, 255);
  line("Meeting notes for Tuesday, March 12", 340, 140, 16, dark);
  const char* paragraph[] = {
      "The deployment window moves to 18:30 UTC after the final review.",
      "Please confirm the new schedule with the operations team by Friday.",
      "Open issues: login timeout on slow networks, export to CSV fails.",
      "Budget for the second quarter is approved at 12,400 EUR.",
  };
  y = 180;
  for (const char* text : paragraph) {
    line(text, 340, y, 13, dark);
    y += 24;
  }
  line("Attendees: Maria Lopez, Jonas Weber, Priya Natarajan", 340, 300, 12, grey);

  // A checkbox, a filled circle (avatar) and a photo: shapes that are not text.
  fill_rect(image, 340, 330, 14, 14, 120, 120, 120);
  fill_rect(image, 342, 332, 10, 10, 255, 255, 255);
  line("Send a copy to all attendees", 362, 342, 13, dark);
  for (std::int64_t dy = -12; dy <= 12; ++dy) {
    for (std::int64_t dx = -12; dx <= 12; ++dx) {
      if (dx * dx + dy * dy <= 144)
        fill_rect(image, static_cast<std::uint32_t>(1556 + dx), static_cast<std::uint32_t>(260 + dy), 1, 1, 90, 160,
                  120);
    }
  }
  Lcg rng(7);
  for (std::uint32_t row = 0; row < 160; ++row) {
    for (std::uint32_t col = 0; col < 240; ++col) {
      const std::uint32_t grain = rng.below(40);
      fill_rect(image, 340 + col, 400 + row, 1, 1, static_cast<std::uint8_t>(60 + col * 150 / 240 + grain),
                static_cast<std::uint8_t>(90 + row / 2 + grain), static_cast<std::uint8_t>(140 + grain));
    }
  }

  // Buttons: light text on blue, dark text on grey.
  fill_rect(image, 340, 780, 150, 36, 26, 115, 232);
  line("Save changes", 366, 803, 14, Rgb{255, 255, 255});
  fill_rect(image, 510, 780, 110, 36, 218, 220, 224);
  line("Cancel", 540, 803, 14, dark);

  // Right-hand panel on a dark background.
  fill_rect(image, 1520, 90, 360, 220, 52, 58, 64);
  line("Notifications", 1540, 124, 15, light);
  line("3 new comments on Budget.xlsx", 1540, 160, 13, Rgb{200, 204, 208});
  line("Backup finished at 09:14", 1540, 190, 13, Rgb{200, 204, 208});

  // Status bar.
  fill_rect(image, 0, height - 26, width, 26, 30, 30, 30);
  line("Connected to server eu-west-2 | Last sync 2 minutes ago", 12, height - 8, 12, Rgb{220, 220, 220});
  return screen;
}

}  // namespace pelagon2::testing
