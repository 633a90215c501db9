// The search driver: ranking and overlap suppression, the reply, and whole
// searches on generated images.

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <set>
#include <vector>

#include "cv/search_pattern.h"
#include "support/process_limits.h"
#include "testkit/synthetic_screen.h"

namespace pelagon2::cv {
namespace {

using pelagon2::testing::crop;
using pelagon2::testing::noise_image;
using pelagon2::testing::upscale_nearest;

MatchRecord rect(std::int32_t x, std::int32_t y, std::uint32_t w, std::uint32_t h, float score, float scale = 1.0f) {
  return MatchRecord{x, y, w, h, score, scale};
}

struct RankCase {
  const char* name;
  std::vector<MatchRecord> input;
  std::vector<std::pair<std::int32_t, std::int32_t>> kept;  // positions, in output order
};

TEST(RankMatchesTest, SortsByScoreAndSuppressesOverlaps) {
  const RankCase cases[] = {
      {"IoU 0.82 keeps the better one", {rect(10, 10, 20, 20, 0.9f), rect(12, 10, 20, 20, 0.95f)}, {{12, 10}}},
      {"intersection 100, union 700: both kept",
       {rect(10, 10, 20, 20, 0.9f), rect(25, 10, 20, 20, 0.95f)},
       {{25, 10}, {10, 10}}},
      // 10x20 overlap of two 20x20: I = 200, U = 600, 4I > U.
      {"IoU exactly above a quarter", {rect(0, 0, 20, 20, 0.9f), rect(10, 0, 20, 20, 0.8f)}, {{0, 0}}},
      // I = 80 (4x20), U = 720: 320 < 720, kept. I = 160 (8x20), U = 640: 640 >= 640, dropped.
      {"IoU boundary", {rect(0, 0, 20, 20, 0.9f), rect(16, 0, 20, 20, 0.8f), rect(-12, 0, 20, 20, 0.7f)},
       {{0, 0}, {16, 0}}},
      {"touching edges do not overlap",
       {rect(0, 0, 20, 20, 0.9f), rect(20, 0, 20, 20, 0.8f), rect(0, 20, 20, 20, 0.7f)},
       {{0, 0}, {20, 0}, {0, 20}}},
      {"identical rectangles from two scales or windows",
       {rect(5, 5, 30, 30, 0.99f, 1.0f), rect(5, 5, 30, 30, 0.99f, 0.95f), rect(5, 5, 30, 30, 0.97f, 1.05f)},
       {{5, 5}}},
      {"equal scores keep list order",
       {rect(0, 0, 10, 10, 0.9f), rect(100, 0, 10, 10, 0.9f), rect(50, 0, 10, 10, 0.95f)},
       {{50, 0}, {0, 0}, {100, 0}}},
      {"a small rectangle inside a big one is dropped only if the ratio reaches a quarter",
       {rect(0, 0, 40, 40, 0.9f), rect(10, 10, 20, 20, 0.8f), rect(11, 10, 19, 20, 0.7f)},
       {{0, 0}, {11, 10}}},
      {"suppressed matches do not suppress others",
       {rect(0, 0, 20, 20, 0.9f), rect(10, 0, 20, 20, 0.8f), rect(20, 0, 20, 20, 0.7f)},
       {{0, 0}, {20, 0}}},
      {"negative scores sort below positive ones",
       {rect(0, 0, 10, 10, -0.5f), rect(20, 0, 10, 10, 0.1f), rect(40, 0, 10, 10, -0.1f)},
       {{20, 0}, {40, 0}, {0, 0}}},
  };
  for (const RankCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<MatchRecord> kept = rank_matches(c.input, 16);
    std::vector<std::pair<std::int32_t, std::int32_t>> positions;
    for (const MatchRecord& m : kept) positions.emplace_back(m.x, m.y);
    EXPECT_EQ(positions, c.kept);
  }
}

TEST(RankMatchesTest, KeepsTheSixteenBestOfSeventeen) {
  std::vector<MatchRecord> matches;
  for (int i = 0; i < 17; ++i) matches.push_back(rect(i * 30, 0, 20, 20, 0.5f + 0.01f * static_cast<float>(i)));
  const std::vector<MatchRecord> kept = rank_matches(matches, 16);
  ASSERT_EQ(kept.size(), 16u);
  for (std::size_t i = 0; i < kept.size(); ++i) EXPECT_EQ(kept[i].x, static_cast<int>(16 - i) * 30);
}

TEST(RankMatchesTest, CapCountsKeptMatchesNotCandidates) {
  // Each well-separated match has a suppressed twin right behind it.
  std::vector<MatchRecord> matches;
  for (int i = 0; i < 20; ++i) {
    const float score = 0.99f - 0.01f * static_cast<float>(i);
    matches.push_back(rect(i * 50, 0, 20, 20, score));
    matches.push_back(rect(i * 50 + 1, 0, 20, 20, score - 0.001f));
  }
  const std::vector<MatchRecord> kept = rank_matches(matches, 16);
  ASSERT_EQ(kept.size(), 16u);
  EXPECT_EQ(kept.back().x, 15 * 50);
}

TEST(RankMatchesTest, SaturatedSizesDoNotWrap) {
  const std::uint32_t huge = std::numeric_limits<std::uint32_t>::max();
  const std::int32_t far = std::numeric_limits<std::int32_t>::max() - 5;
  const std::vector<MatchRecord> kept =
      rank_matches({rect(far, far, huge, huge, 0.9f), rect(far, far, huge, huge, 0.8f), rect(0, 0, 10, 10, 0.7f)}, 16);
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[1].x, 0);
}

TEST(SearchReplyTest, WholeReplyWithReadingOrder) {
  const std::vector<MatchRecord> two = {rect(50, 10, 20, 20, 0.95f), rect(10, 40, 20, 20, 0.9f)};
  EXPECT_EQ(to_json_text(build_search_reply(two)),
            R"({"containsGreenPinkBoxes":false,"errorCode":0,"regions":[)"
            R"({"matchedRect":{"height":20,"width":20,"x":50,"y":10},"order":0,"score":0.949999988079071},)"
            R"({"matchedRect":{"height":20,"width":20,"x":10,"y":40},"order":1,"score":0.8999999761581421}]})");

  const std::vector<MatchRecord> three = {rect(50, 10, 20, 20, 0.95f), rect(10, 40, 20, 20, 0.9f),
                                          rect(5, 5, 20, 20, 0.8f)};
  const Json reply = build_search_reply(three);
  ASSERT_EQ(reply["regions"].size(), 3u);
  EXPECT_EQ(reply["regions"][0]["order"], 1);
  EXPECT_EQ(reply["regions"][1]["order"], 2);
  EXPECT_EQ(reply["regions"][2]["order"], 0);
  EXPECT_EQ(to_json_text(reply["regions"][2]["score"]), "0.800000011920929");
}

TEST(SearchReplyTest, CapturePathNegativeCoordinatesAndNonFiniteScores) {
  const std::vector<MatchRecord> matches = {rect(-2780, 50, 64, 64, std::numeric_limits<float>::quiet_NaN()),
                                            rect(-2780, 50, 64, 64, 1.0f)};
  EXPECT_EQ(to_json_text(build_search_reply(matches, std::string("/tmp/cap.png"))),
            R"({"capturePath":"/tmp/cap.png","containsGreenPinkBoxes":false,"errorCode":0,"regions":[)"
            R"({"matchedRect":{"height":64,"width":64,"x":-2780,"y":50},"order":0,"score":null},)"
            R"({"matchedRect":{"height":64,"width":64,"x":-2780,"y":50},"order":1,"score":1.0}]})");
  EXPECT_EQ(to_json_text(build_search_reply({})),
            R"({"containsGreenPinkBoxes":false,"errorCode":0,"regions":[]})");
}

TEST(ReadingOrderTest, TopEdgeThenLeftEdgeStable) {
  const std::vector<MatchRecord> matches = {rect(30, 5, 1, 1, 0.9f), rect(10, 5, 1, 1, 0.8f), rect(10, 5, 1, 1, 0.7f),
                                            rect(0, -3, 1, 1, 0.6f), rect(-5, 100, 1, 1, 0.5f)};
  EXPECT_EQ(reading_order(matches), (std::vector<std::size_t>{3, 1, 2, 0, 4}));
}

SearchOptions options_from(const char* options_json) {
  Expected<SearchOptions> parsed = parse_search_options(Json{{"options", Json::parse(options_json)}});
  EXPECT_TRUE(parsed.ok());
  return parsed.ok() ? *parsed : SearchOptions{};
}

TEST(SearchPatternTest, FindsACutOutPatternWhereverTheAreaAllows) {
  const vision_core::RgbImage haystack = noise_image(120, 90, 7);
  const vision_core::RgbImage pattern = crop(haystack, 60, 20, 12, 10);
  struct Case {
    const char* options;
    bool found;
  };
  const Case cases[] = {
      {R"({})", true},
      {R"({"limitSearchArea":true,"searchArea":{"x":50,"y":10,"width":30,"height":30}})", true},
      {R"({"limitSearchArea":true,"searchArea":{"x":60,"y":20,"width":12,"height":10}})", true},
      {R"({"limitSearchArea":true,"searchArea":{"x":61,"y":20,"width":40,"height":40}})", false},
      {R"({"limitSearchArea":true,"searchArea":{"x":-100,"y":0,"width":171,"height":90}})", false},
      {R"({"limitSearchArea":true,"searchArea":{"x":-100,"y":0,"width":172,"height":90}})", true},
      {R"({"limitSearchArea":false,"searchArea":{"x":0,"y":0,"width":5,"height":5}})", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    Expected<std::vector<MatchRecord>> found =
        search_pattern(haystack.view(), pattern.view(), options_from(c.options), 96.0, 96.0);
    ASSERT_TRUE(found.ok()) << found.error();
    if (!c.found) {
      EXPECT_TRUE(found->empty());
      continue;
    }
    ASSERT_EQ(found->size(), 1u);
    EXPECT_EQ(found->front().x, 60);  // haystack pixels, not area pixels
    EXPECT_EQ(found->front().y, 20);
    EXPECT_EQ(found->front().width, 12u);
    EXPECT_EQ(found->front().height, 10u);
    EXPECT_NEAR(found->front().score, 1.0f, 1e-5f);
  }
}

TEST(SearchPatternTest, AreaErrorsAndOversizedPatterns) {
  const vision_core::RgbImage haystack = noise_image(100, 80, 3);
  const vision_core::RgbImage pattern = crop(haystack, 0, 0, 10, 10);
  Expected<std::vector<MatchRecord>> outside = search_pattern(
      haystack.view(), pattern.view(),
      options_from(R"({"limitSearchArea":true,"searchArea":{"x":150,"y":10,"width":20,"height":20}})"), 96, 96);
  ASSERT_FALSE(outside.ok());
  EXPECT_EQ(outside.error(), "bad_params: searchArea 20x20 at (150,10) lies fully outside the 100x80 image");

  // An area smaller than the pattern, and a pattern larger than the image: no error, nothing found.
  Expected<std::vector<MatchRecord>> small = search_pattern(
      haystack.view(), pattern.view(),
      options_from(R"({"limitSearchArea":true,"searchArea":{"x":0,"y":0,"width":9,"height":30}})"), 96, 96);
  ASSERT_TRUE(small.ok());
  EXPECT_TRUE(small->empty());
  Expected<std::vector<MatchRecord>> larger =
      search_pattern(pattern.view(), haystack.view(), options_from("{}"), 96, 96);
  ASSERT_TRUE(larger.ok());
  EXPECT_TRUE(larger->empty());
}

TEST(SearchPatternTest, HighDpiShrinksTheHaystackAtEveryScale) {
  // The haystack is the pattern's world at twice the density.
  const vision_core::RgbImage world = noise_image(150, 100, 11);
  const vision_core::RgbImage haystack = upscale_nearest(world, 2);
  const vision_core::RgbImage pattern = crop(world, 40, 30, 24, 24);
  for (const bool vary : {false, true}) {
    SCOPED_TRACE(vary);
    Expected<std::vector<MatchRecord>> found = search_pattern(
        haystack.view(), pattern.view(),
        options_from(vary ? R"({"enableHighDpi":true,"allowSizeVariation":true,"minSimilarity":0.3})"
                          : R"({"enableHighDpi":true,"minSimilarity":0.3})"),
        192.0, 96.0);
    ASSERT_TRUE(found.ok()) << found.error();
    ASSERT_FALSE(found->empty());
    const MatchRecord& best = found->front();
    EXPECT_EQ(best.x, 80);
    EXPECT_EQ(best.y, 60);
    EXPECT_EQ(best.width, 48u);
    EXPECT_EQ(best.height, 48u);
    EXPECT_EQ(best.scale, 2.0f);
    EXPECT_GT(best.score, 0.9f);
    // The pattern is used at its own size on a shrunken haystack, so sizes are
    // round(24 x d) for the scales of the list.
    const std::set<std::uint32_t> sizes = {48, 43, 46, 50, 53};
    for (const MatchRecord& m : *found) {
      EXPECT_TRUE(sizes.count(m.width) == 1) << m.width << " at scale " << m.scale;
      EXPECT_EQ(m.width, m.height);
      EXPECT_EQ(m.width, static_cast<std::uint32_t>(std::lround(24.0f * m.scale)));
      if (!vary) {
        EXPECT_EQ(m.scale, 2.0f);
      }
    }
  }
}

TEST(SearchPatternTest, SearchingAnAreaEqualsSearchingACopyOfIt) {
  // The area is searched in place; results must be those of a copy of it,
  // moved by the area's corner. Covers the coarse-to-fine path (a side of 800
  // or more) and the shrunken haystack of high-DPI searches.
  const vision_core::RgbImage haystack = upscale_nearest(noise_image(520, 460, 17), 2);
  const std::uint32_t left = 50, top = 30, width = 900, height = 850;
  const vision_core::RgbImage area = crop(haystack, left, top, width, height);
  struct Case {
    const char* options;
    std::uint32_t pattern_x, pattern_y, pattern_size;
    double pattern_dpi;
  };
  const Case cases[] = {
      {R"({"minSimilarity":0.5})", 400, 300, 48, 192.0},
      {R"({"enableHighDpi":true,"allowSizeVariation":true,"minSimilarity":0.5})", 200, 150, 24, 96.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    const vision_core::RgbImage pattern =
        c.pattern_dpi == 96.0 ? crop(noise_image(520, 460, 17), c.pattern_x, c.pattern_y, c.pattern_size, c.pattern_size)
                              : crop(haystack, c.pattern_x, c.pattern_y, c.pattern_size, c.pattern_size);
    SearchOptions limited = options_from(c.options);
    limited.options["limitSearchArea"] = true;
    limited.options["searchArea"] = Json{{"x", left}, {"y", top}, {"width", width}, {"height", height}};
    Expected<std::vector<MatchRecord>> in_place =
        search_pattern(haystack.view(), pattern.view(), limited, 192.0, c.pattern_dpi);
    Expected<std::vector<MatchRecord>> copied =
        search_pattern(area.view(), pattern.view(), options_from(c.options), 192.0, c.pattern_dpi);
    ASSERT_TRUE(in_place.ok() && copied.ok());
    ASSERT_FALSE(copied->empty());
    ASSERT_EQ(in_place->size(), copied->size());
    for (std::size_t i = 0; i < copied->size(); ++i) {
      EXPECT_EQ((*in_place)[i].x, (*copied)[i].x + static_cast<std::int32_t>(left)) << i;
      EXPECT_EQ((*in_place)[i].y, (*copied)[i].y + static_cast<std::int32_t>(top)) << i;
      EXPECT_EQ((*in_place)[i].width, (*copied)[i].width) << i;
      EXPECT_EQ((*in_place)[i].score, (*copied)[i].score) << i;
      EXPECT_EQ((*in_place)[i].scale, (*copied)[i].scale) << i;
    }
    EXPECT_EQ(in_place->front().x, static_cast<std::int32_t>(c.pattern_x * (c.pattern_dpi == 96.0 ? 2 : 1)));
    EXPECT_EQ(in_place->front().y, static_cast<std::int32_t>(c.pattern_y * (c.pattern_dpi == 96.0 ? 2 : 1)));
  }
}

TEST(SearchPatternTest, WithoutHighDpiTheDensitiesAreIgnored) {
  const vision_core::RgbImage haystack = noise_image(90, 70, 5);
  const vision_core::RgbImage pattern = crop(haystack, 33, 44, 16, 16);
  Expected<std::vector<MatchRecord>> found =
      search_pattern(haystack.view(), pattern.view(), options_from("{}"), 192.0, 72.0);
  ASSERT_TRUE(found.ok());
  ASSERT_EQ(found->size(), 1u);
  EXPECT_EQ(found->front().x, 33);
  EXPECT_EQ(found->front().y, 44);
  EXPECT_EQ(found->front().scale, 1.0f);
}

TEST(SearchPatternTest, RepeatedPatternIsCappedAtSixteen) {
  // A tile repeated 5 x 4 times: twenty exact matches, sixteen reported, best first.
  const vision_core::RgbImage tile = noise_image(10, 10, 21);
  vision_core::RgbImage haystack(50, 40);
  for (std::uint32_t y = 0; y < 40; ++y) {
    for (std::uint32_t x = 0; x < 50; ++x) {
      for (int c = 0; c < 3; ++c) {
        haystack.pixels[(std::size_t{y} * 50 + x) * 3 + c] = tile.pixels[(std::size_t{y % 10} * 10 + x % 10) * 3 + c];
      }
    }
  }
  Expected<std::vector<MatchRecord>> found =
      search_pattern(haystack.view(), tile.view(), options_from(R"({"minSimilarity":0.99})"), 96, 96);
  ASSERT_TRUE(found.ok());
  ASSERT_EQ(found->size(), 16u);
  for (std::size_t i = 1; i < found->size(); ++i) EXPECT_GE((*found)[i - 1].score, (*found)[i].score);
  for (const MatchRecord& m : *found) {
    EXPECT_EQ(m.x % 10, 0);
    EXPECT_EQ(m.y % 10, 0);
  }
}

// Random numbers below `n` from `gen`.
std::uint32_t below(std::mt19937& gen, std::uint32_t n) { return static_cast<std::uint32_t>(gen() % n); }

bool same_records(const std::vector<MatchRecord>& a, const std::vector<MatchRecord>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::memcmp(&a[i], &b[i], sizeof(MatchRecord)) != 0) return false;
  }
  return true;
}

std::string describe(const std::vector<MatchRecord>& records) {
  std::string text;
  for (const MatchRecord& m : records) {
    text += "(" + std::to_string(m.x) + "," + std::to_string(m.y) + " " + std::to_string(m.width) + "x" +
            std::to_string(m.height) + " " + std::to_string(m.score) + ") ";
  }
  return text;
}

// Ranking in small batches against ranking the whole list at once, on random
// candidate lists full of ties and overlaps.
TEST(RankInBatchesTest, EqualsRankingTheWholeList) {
  std::mt19937 gen(1234);
  const float scores[] = {0.9f, 0.5f, 0.5f, 0.0f, -0.0f, -0.3f, 1.0f, std::numeric_limits<float>::quiet_NaN()};
  for (int round = 0; round < 400; ++round) {
    std::vector<MatchRecord> list(below(gen, 120));
    for (MatchRecord& m : list) {
      m = rect(static_cast<std::int32_t>(below(gen, 40)) - 5, static_cast<std::int32_t>(below(gen, 40)) - 5,
               1 + below(gen, 12), 1 + below(gen, 12),
               round % 2 == 0 ? scores[below(gen, 8)] : static_cast<float>(below(gen, 1000)) / 500.0f - 1.0f);
    }
    const std::uint64_t max_results = round % 3 == 0 ? 1 + below(gen, 20) : 16;
    const std::vector<MatchRecord> whole = rank_matches(list, max_results);
    for (const std::size_t batch : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{7}, list.size()}) {
      int calls = 0;
      const std::vector<MatchRecord> batched = rank_in_batches(
          [&](vision_core::PeakSink& sink) {
            ++calls;
            for (const MatchRecord& m : list) sink.add(m);
          },
          max_results, batch);
      ASSERT_TRUE(same_records(batched, whole))
          << "round " << round << ", batch " << batch << "\nbatched: " << describe(batched) << "\nwhole:   " << describe(whole);
      if (batch >= list.size()) {
        EXPECT_EQ(calls, 1) << "a batch that holds everything needs one pass";
      }
    }
  }
}

// Whole searches with tiny batches against one unbounded batch (the list
// sorted and thinned in one go), on random images, thresholds and scales.
TEST(SearchPatternTest, BatchedSearchEqualsUnboundedSearch) {
  std::mt19937 gen(99);
  for (int round = 0; round < 40; ++round) {
    const std::uint32_t w = 30 + below(gen, 40);
    const std::uint32_t h = 30 + below(gen, 40);
    vision_core::RgbImage haystack = noise_image(w, h, below(gen, 1000));
    if (round % 3 == 0) {
      // Flat areas: plateaus of equal scores.
      testing::fill_rect(haystack, 0, 0, w / 2, h, 40, 80, 120);
    }
    const std::uint32_t pw = 4 + below(gen, 8);
    const std::uint32_t ph = 4 + below(gen, 8);
    const vision_core::RgbImage pattern = crop(haystack, below(gen, w - pw), below(gen, h - ph), pw, ph);
    const float min_similarity = static_cast<float>(static_cast<int>(below(gen, 21)) - 10) / 10.0f;
    const std::string options = R"({"minSimilarity":)" + std::to_string(min_similarity) +
                                R"(,"allowSizeVariation":)" + (below(gen, 2) ? "true" : "false") +
                                R"(,"enableHighDpi":)" + (below(gen, 2) ? "true" : "false") + "}";
    const SearchOptions parsed = options_from(options.c_str());
    const auto unbounded =
        search_pattern(haystack.view(), pattern.view(), parsed, 192.0, 96.0, std::numeric_limits<std::size_t>::max());
    ASSERT_TRUE(unbounded.ok()) << unbounded.error();
    for (const std::size_t batch : {std::size_t{1}, std::size_t{5}, std::size_t{64}}) {
      const auto batched = search_pattern(haystack.view(), pattern.view(), parsed, 192.0, 96.0, batch);
      ASSERT_TRUE(batched.ok()) << batched.error();
      ASSERT_TRUE(same_records(*batched, *unbounded))
          << options << " batch " << batch << "\nbatched:   " << describe(*batched) << "\nunbounded: " << describe(*unbounded);
    }
  }
}

// A flat haystack with a threshold of 0 makes every placement a peak; the
// memory a search takes must not grow with them. Measured in a child process
// so the figure is this search's alone.
TEST(SearchPatternTest, EveryPlacementAPeakDoesNotCostMemoryPerPeak) {
  const vision_core::RgbImage pattern = noise_image(15, 15, 5);
  int channel[2];
  ASSERT_EQ(::pipe(channel), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(channel[0]);
    std::string report = "no report";
    try {
      // 2000 x 2000: four million placements, each a peak.
      vision_core::RgbImage haystack(2000, 2000);
      std::fill(haystack.pixels.begin(), haystack.pixels.end(), std::uint8_t{90});
      std::ofstream("/proc/self/clear_refs") << "5";  // restart the peak count here
      const std::uint64_t before = testing::status_bytes(::getpid(), "VmRSS").value_or(0);
      const auto found = search_pattern(haystack.view(), pattern.view(), options_from(R"({"minSimilarity":0})"), 96, 96);
      const std::uint64_t peak = testing::status_bytes(::getpid(), "VmHWM").value_or(0);
      report = std::to_string(peak > before ? (peak - before) >> 20 : 0) + " MiB;";
      // Equal scores keep list order: row 0 from the left, every tenth
      // placement clear of the ones before it.
      for (const MatchRecord& m : found.ok() ? *found : std::vector<MatchRecord>()) {
        report += " " + std::to_string(m.x) + "," + std::to_string(m.y) + "/" + std::to_string(m.score);
      }
    } catch (...) {
      report = "exception";
    }
    (void)!::write(channel[1], report.data(), report.size());
    ::_exit(0);
  }
  ::close(channel[1]);
  std::string report;
  char buffer[4096];
  for (ssize_t n; (n = ::read(channel[0], buffer, sizeof buffer)) > 0;) report.append(buffer, static_cast<std::size_t>(n));
  ::close(channel[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  std::string expected_matches;
  for (int i = 0; i < 16; ++i) expected_matches += " " + std::to_string(10 * i) + ",0/0.000000";
  const std::size_t semicolon = report.find(';');
  ASSERT_NE(semicolon, std::string::npos) << report;
  EXPECT_EQ(report.substr(semicolon + 1), expected_matches);
  const int mebibytes = std::stoi(report);
  // Each peak held as a record would take about 100 MB here.
  EXPECT_LT(mebibytes, 24) << "the search took " << mebibytes << " MiB above the images";
}

}  // namespace
}  // namespace pelagon2::cv
