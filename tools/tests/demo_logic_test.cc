// The demo's own logic: outlines drawn onto captures, the printed lines, the
// consent decision and the window's report.

#include "tools/demo/demo_logic.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pelagon2::demo {
namespace {

// The image as text, one character per pixel: '#' for the drawing colour,
// '.' for the untouched background.
std::string picture(const vision_core::RgbImage& image) {
  std::string out;
  for (std::uint32_t y = 0; y < image.height; ++y) {
    for (std::uint32_t x = 0; x < image.width; ++x) {
      const std::uint8_t* p = &image.pixels[(std::size_t{y} * image.width + x) * 3];
      out += p[0] == 200 && p[1] == 10 && p[2] == 20 ? '#' : p[0] == 1 && p[1] == 2 && p[2] == 3 ? '.' : '?';
    }
    out += '\n';
  }
  return out;
}

vision_core::RgbImage background(std::uint32_t w, std::uint32_t h) {
  vision_core::RgbImage image(w, h);
  for (std::size_t i = 0; i < image.pixels.size(); i += 3) {
    image.pixels[i] = 1, image.pixels[i + 1] = 2, image.pixels[i + 2] = 3;
  }
  return image;
}

TEST(DemoOutline, DrawsInsideTheRectangleAndClipsToTheImage) {
  struct Case {
    const char* name;
    Rect rect;
    int thickness;
    const char* expected;
  };
  const Case cases[] = {
      {"inside", {1, 1, 4, 3}, 1,
       "......\n"
       ".####.\n"
       ".#..#.\n"
       ".####.\n"
       "......\n"},
      {"thick band fills a small rectangle", {0, 0, 3, 5}, 2,
       "###...\n"
       "###...\n"
       "###...\n"
       "###...\n"
       "###...\n"},
      {"partly left of and above the image", {-2, -1, 5, 4}, 1,
       "..#...\n"
       "..#...\n"
       "###...\n"
       "......\n"
       "......\n"},
      {"partly right of and below the image", {4, 3, 10, 10}, 1,
       "......\n"
       "......\n"
       "......\n"
       "....##\n"
       "....#.\n"},
      {"entirely outside", {6, 0, 3, 3}, 1,
       "......\n"
       "......\n"
       "......\n"
       "......\n"
       "......\n"},
      {"empty rectangle", {1, 1, 0, 3}, 1,
       "......\n"
       "......\n"
       "......\n"
       "......\n"
       "......\n"},
      {"no thickness", {1, 1, 3, 3}, 0,
       "......\n"
       "......\n"
       "......\n"
       "......\n"
       "......\n"},
  };
  for (const Case& c : cases) {
    vision_core::RgbImage image = background(6, 5);
    draw_outline(image, c.rect, {200, 10, 20}, c.thickness);
    EXPECT_EQ(picture(image), c.expected) << c.name;
  }
}

TEST(DemoOutline, ClipAndCropFollowTheImageEdges) {
  EXPECT_EQ(clip_rect({10, 20, 30, 40}, 5, 10, 100, 100), (Rect{5, 10, 30, 40}));
  EXPECT_EQ(clip_rect({-5, -5, 20, 20}, 0, 0, 10, 8), (Rect{0, 0, 10, 8}));
  EXPECT_EQ(clip_rect({100, 0, 20, 20}, 0, 0, 100, 100), std::nullopt);
  EXPECT_EQ(clip_rect({0, 0, 20, 20}, 20, 0, 100, 100), std::nullopt);

  vision_core::RgbImage image(4, 3);
  for (std::size_t i = 0; i < image.pixels.size(); ++i) image.pixels[i] = static_cast<std::uint8_t>(i);
  const vision_core::RgbImage piece = crop(image, {2, 1, 5, 5});
  ASSERT_EQ(piece.width, 2u);
  ASSERT_EQ(piece.height, 2u);
  // Pixel (2,1) of the source starts at byte (1*4+2)*3 = 18; (2,2) at 30.
  EXPECT_EQ(piece.pixels, (std::vector<std::uint8_t>{18, 19, 20, 21, 22, 23, 30, 31, 32, 33, 34, 35}));
  EXPECT_EQ(crop(image, {9, 9, 2, 2}).width, 0u);
}

TEST(DemoPrinting, RepliesBecomeOneLine) {
  const Json match = Json::parse(
      R"({"id":1,"result":{"containsGreenPinkBoxes":false,"errorCode":0,"regions":[
          {"matchedRect":{"height":72,"width":240,"x":152,"y":192},"order":0,"score":0.99987}]}})");
  const Json two = Json::parse(
      R"({"id":1,"result":{"regions":[{"matchedRect":{"height":2,"width":3,"x":-4,"y":5},"score":0.9},
          {"matchedRect":{"height":2,"width":3,"x":40,"y":5},"score":0.85}],"capturePath":"/tmp/c.png"}})");
  struct Case {
    const char* method;
    Json reply;
    std::string expected;
  };
  const Case cases[] = {
      {"search_desktop", match, "1 match: 240x72 at (152,192), score 1.000"},
      {"search_image", two, "2 matches, best 3x2 at (-4,5), score 0.900, capture in /tmp/c.png"},
      {"search_desktop", Json::parse(R"({"id":1,"result":{"regions":[]}})"), "no match"},
      {"wait_for_image", Json::parse(R"({"id":1,"result":{"elapsedMs":1500,"found":false,"regions":[]}})"),
       "not found after 1500 ms"},
      {"send_text", Json::parse(R"({"error":{"message":"bad_key: unterminated '${'"},"id":1})"),
       "error: bad_key: unterminated '${'"},
      {"send_mouse_event", Json::parse(R"({"id":1,"result":true})"), "done"},
      {"capture_desktop", Json::parse(R"({"id":1,"result":"/tmp/x.png"})"), "wrote /tmp/x.png"},
      {"get_display_list",
       Json::parse(R"({"id":1,"result":[{"height":768,"isPrimary":true,"scaleFactor":1.0,"width":1024,"x":0,"y":0},
                                       {"height":900,"isPrimary":false,"scaleFactor":2.0,"width":1440,"x":-1440,"y":0}]})"),
       "2 displays: 1024x768 at (0,0) scale 1 (primary); 1440x900 at (-1440,0) scale 2"},
      {"get_display_list", Json::parse(R"({"id":1,"result":[]})"), "no displays"},
      {"ocr_image",
       Json::parse(R"({"id":1,"result":{"lines":[{"text":"Clicked!"},{"text":"h\u00e9llo"}],"text":"Clicked!\nh\u00e9llo"}})"),
       "2 lines: \"Clicked!\" | \"h\u00e9llo\""},
      {"ocr_image", Json::parse(R"({"id":1,"result":{"lines":[],"text":""}})"), "no text"},
      {"run_process", Json::parse(R"({"id":1,"result":{"exitCode":3,"stdout":"hi\n","stderr":""}})"),
       "exit 3, stdout \"hi\""},
      {"run_process", Json::parse(R"({"id":1,"result":{"exitCode":null}})"), "started"},
      {"get_version", Json::parse(R"({"id":1,"result":"2.0.2"})"), "\"2.0.2\""},
  };
  for (const Case& c : cases) EXPECT_EQ(summarize(c.method, c.reply), c.expected) << c.method << " " << c.reply.dump();

  // Long results are cut at a character boundary, never inside one.
  std::string long_text;
  for (int i = 0; i < 200; ++i) long_text += "\u00e9";
  const std::string line = summarize("read_all_text", Json{{"result", long_text}});
  EXPECT_LE(line.size(), 110u);
  EXPECT_TRUE(line.ends_with("\u00e9\u2026")) << line;
}

TEST(DemoPrinting, ParamsShowImageDataBySizeOnly) {
  const std::string data(3 * 1024 + 512, 'A');
  EXPECT_EQ(short_params(Json{{"pattern", {{"data", data}}}, {"options", {{"minSimilarity", 0.9}}}}),
            R"({"options":{"minSimilarity":0.9},"pattern":{"data":"<3.5 KiB>"}})");
  EXPECT_EQ(short_params(Json{{"list", Json::array({std::string(100, 'x'), "short"})}}),
            R"({"list":["<100 bytes>","short"]})");
  EXPECT_EQ(short_params(Json{{"text", "h\u00e9llo w\u00f6rld"}}), "{\"text\":\"h\u00e9llo w\u00f6rld\"}");
  EXPECT_EQ(short_params(Json::object()), "{}");

  EXPECT_EQ(format_duration(0.04), "0.0 ms");
  EXPECT_EQ(format_duration(12.34), "12.3 ms");
  EXPECT_EQ(format_duration(1250.0), "1.25 s");
}

TEST(DemoConsent, AsksOnlyOnTheUsersOwnScreen) {
  struct Case {
    bool own_screen, assume_yes, terminal;
    std::optional<std::string> answer;
    bool prompt;
    Consent expected;
  };
  const Case cases[] = {
      {false, false, false, std::nullopt, false, Consent::granted},  // our private screen
      {false, false, true, "n\n", false, Consent::granted},          // an answer is not even read there
      {true, true, false, std::nullopt, false, Consent::granted},    // --yes
      {true, false, false, "y\n", false, Consent::no_terminal},      // nobody to ask
      {true, false, true, "y\n", true, Consent::granted},
      {true, false, true, " YES \n", true, Consent::granted},
      {true, false, true, "\n", true, Consent::declined},  // the default is no
      {true, false, true, "no\n", true, Consent::declined},
      {true, false, true, "yes please\n", true, Consent::declined},
      {true, false, true, std::nullopt, true, Consent::declined},  // input closed
  };
  for (const Case& c : cases) {
    const std::string name = std::to_string(c.own_screen) + std::to_string(c.assume_yes) + std::to_string(c.terminal) +
                             " " + c.answer.value_or("<eof>");
    EXPECT_EQ(needs_prompt(c.own_screen, c.assume_yes, c.terminal), c.prompt) << name;
    EXPECT_EQ(decide_consent(c.own_screen, c.assume_yes, c.terminal, c.answer), c.expected) << name;
  }
}

TEST(DemoWindowReport, LinesUpdateWhatTheWindowSaw) {
  WindowReport report;
  struct Step {
    const char* line;
    bool known;
  };
  const Step steps[] = {
      {"window 120 100 640 380", true},
      {"button 152 192 240 72", true},
      {"click 1 272 228 1", true},
      {"click 3 272 228 1", true},  // the right button does not press it
      {"click 1 5 5 0", true},
      {"focus", true},
      {"text h\u00e9llo w\u00f6rld", true},
      {"text ", true},
      {"text a b ", true},  // the field's blanks are kept
      {"button 1 2 0 5", false},
      {"window 1 2 3", false},
      {"window 1 2 3 4 5", false},
      {"click 1 2 3 7", false},
      {"closed", false},
      {"", false},
  };
  for (const Step& s : steps) EXPECT_EQ(apply_window_line(report, s.line), s.known) << s.line;
  EXPECT_EQ(report.window, (Rect{120, 100, 640, 380}));
  EXPECT_EQ(report.button, (Rect{152, 192, 240, 72}));
  EXPECT_EQ(report.button_clicks, 1);
  EXPECT_EQ(report.other_clicks, 2);
  EXPECT_TRUE(report.focused);
  EXPECT_TRUE(report.text_seen);
  EXPECT_EQ(report.text, "a b ");
}

TEST(DemoReadBack, AccentsAreSetAsideOnlyWhenTheyDiffer) {
  const std::string typed = "h\u00e9llo w\u00f6rld";
  struct Case {
    const char* recognised;
    ReadBack expected;
  };
  const Case cases[] = {
      {"pelagon2\nh\u00e9llo w\u00f6rld\nclicks: 1", ReadBack::exact},
      {"h\u00e9llo world", ReadBack::without_accents},
      {"hello w\u00f3rld", ReadBack::without_accents},
      {"h\u00e9llo w\u00f6rld|", ReadBack::exact},
      {"h\u00e9llo wirld", ReadBack::missing},
      {"h\u00e9llo\nw\u00f6rld", ReadBack::missing},  // split over two lines
      {"", ReadBack::missing},
  };
  for (const Case& c : cases) EXPECT_EQ(compare_read_back(typed, c.recognised), c.expected) << c.recognised;
  EXPECT_EQ(compare_read_back("", "anything"), ReadBack::missing);

  EXPECT_EQ(without_accents("\u00c0\u00c7\u00c9\u00d1\u00d6\u00d8\u00dc\u00df\u00e0\u00e7\u00e9\u00f1\u00f6\u00f8\u00fc\u00ff"),
            "ACENOOUsaceno" "ouy");
  // Letters without a base letter, and everything beyond Latin-1, stay as they are.
  EXPECT_EQ(without_accents("\u00d7\u00de\u00f0\u00f7 \u0151 \u20ac"), "\u00d7\u00de\u00f0\u00f7 \u0151 \u20ac");
}

TEST(DemoGeometry, RectanglesAndOriginFromReplies) {
  const Json regions = Json::parse(
      R"({"regions":[{"matchedRect":{"x":1,"y":2,"width":3,"height":4}},{"matchedRect":{"x":"a"}},{"order":0}]})");
  EXPECT_EQ(region_rects(regions), (std::vector<Rect>{{1, 2, 3, 4}}));
  EXPECT_TRUE(region_rects(Json("not an object")).empty());

  const Json ocr = Json::parse(R"({"lines":[
      {"text":"a","words":[{"text":"a","rect":{"x":10.4,"y":20.6,"width":5.2,"height":4.0}}]},
      {"text":"b","words":[{"text":"b","rect":{"x":null,"y":0,"width":1,"height":1}}]},
      {"text":"c","words":[{"text":"c","rect":{"x":1e300,"y":0,"width":1,"height":1}}]}]})");
  // Rounded outwards: left/top down, right/bottom up.
  EXPECT_EQ(ocr_line_rects(ocr), (std::vector<Rect>{{10, 20, 6, 5}}));

  const Json displays = Json::parse(R"([
      {"x":0,"y":0,"physicalWidth":2880,"physicalHeight":1800,"scaleFactor":2.0,"isPrimary":false},
      {"x":-1440,"y":0,"physicalWidth":2880,"physicalHeight":1800,"scaleFactor":2.0,"isPrimary":true},
      {"x":1440,"y":-100,"physicalWidth":1920,"physicalHeight":1080,"scaleFactor":1.0,"isPrimary":false}])");
  EXPECT_EQ(capture_origin(displays, 2880, 1800), (Point{-2880, 0}));  // the primary among equals
  EXPECT_EQ(capture_origin(displays, 1920, 1080), (Point{1440, -100}));
  EXPECT_EQ(capture_origin(displays, 800, 600), (Point{0, 0}));
  EXPECT_EQ(capture_origin(Json::object(), 800, 600), (Point{0, 0}));
}

TEST(DemoGeometry, ClickOnlyWhereTheButtonIs) {
  const Rect button{152, 192, 240, 72};
  struct Case {
    Rect match;
    bool inside;
  };
  const Case cases[] = {
      {{152, 192, 240, 72}, true},   // the button itself
      {{150, 190, 240, 72}, true},   // a little off, centre still on it
      {{-100, 192, 240, 72}, false},  // centre left of it
      {{392, 192, 240, 72}, false},   // centre right of it
      {{152, 400, 240, 72}, false},   // below
      {{272, 228, 0, 0}, true},       // a point on it
      {{392, 228, 0, 0}, false},      // the right edge is outside
      {{272, 264, 0, 0}, false},      // the bottom edge is outside
  };
  for (const Case& c : cases) {
    EXPECT_EQ(centre_inside(c.match, button), c.inside) << c.match.x << "," << c.match.y;
  }
  EXPECT_EQ(centre({152, 192, 240, 72}), (Point{272, 228}));
  EXPECT_EQ(centre({-5, -5, 3, 3}), (Point{-4, -4}));
}

TEST(DemoGeometry, PatternCutIsTheBusiestPiece) {
  vision_core::RgbImage image = background(64, 48);
  const Rect all{0, 0, 64, 48};
  EXPECT_EQ(textured_cut(image, 16, 16, all), std::nullopt);  // one colour: nothing worth finding
  // A checkerboard block at (32, 16).
  for (std::uint32_t y = 16; y < 32; ++y) {
    for (std::uint32_t x = 32; x < 48; ++x) {
      const std::uint8_t v = ((x / 2 + y / 2) % 2) ? 250 : 0;
      std::uint8_t* p = &image.pixels[(std::size_t{y} * image.width + x) * 3];
      p[0] = p[1] = p[2] = v;
    }
  }
  EXPECT_EQ(textured_cut(image, 16, 16, all), (Rect{32, 16, 16, 16}));
  EXPECT_EQ(textured_cut(image, 16, 16, {-10, -10, 200, 200}), (Rect{32, 16, 16, 16}));
  // Only cuts inside the area count, even when a busier piece lies outside it.
  EXPECT_EQ(textured_cut(image, 16, 16, {0, 0, 32, 48}), std::nullopt);
  const std::optional<Rect> edge = textured_cut(image, 16, 16, {24, 0, 24, 48});
  ASSERT_TRUE(edge.has_value());
  EXPECT_GE(edge->x, 24);
  EXPECT_LE(edge->x + edge->width, 48);
  EXPECT_EQ(textured_cut(image, 65, 16, all), std::nullopt);
  EXPECT_EQ(textured_cut(image, 16, 16, {60, 0, 10, 48}), std::nullopt);  // the area is narrower than a cut
}

}  // namespace
}  // namespace pelagon2::demo
