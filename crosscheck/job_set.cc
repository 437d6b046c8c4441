#include "crosscheck/job_set.h"

#include <initializer_list>
#include <optional>
#include <utility>

namespace crosscheck {
namespace {

using host::Page;
using host::RasterLine;
using host::RecordFields;

// What a run of lines looks like.
enum class Ink {
  kBlank,    // all zero
  kText,     // glyph-like rows with gaps: run-length encoding pays
  kNoise,    // pseudo-random bytes: encoding does not pay
  kSolid,    // every dot set
  kColumns,  // noise in bytes [from, to) only: band mode narrows to these
};

struct Run {
  Ink ink;
  int lines;
  int from = 0;
  int to = 72;
};

class Generator {
 public:
  explicit Generator(std::uint32_t seed) : state_(seed * 2654435761u + 1) {}
  std::uint8_t next() {
    state_ = state_ * 1664525u + 1013904223u;
    return static_cast<std::uint8_t>(state_ >> 24);
  }

 private:
  std::uint32_t state_;
};

RasterLine lineOf(const Run& run, int index, Generator& gen) {
  RasterLine line{};
  switch (run.ink) {
    case Ink::kBlank:
      break;
    case Ink::kText:
      // Rows of "characters" 2 bytes wide every 3 bytes, one blank line in 8.
      if (index % 8 != 7) {
        for (int b = run.from; b + 1 < run.to; b += 3) {
          line[b] = static_cast<std::uint8_t>(0x3C ^ (index * 7 + b));
          line[b + 1] = static_cast<std::uint8_t>(0x81 | (b << 1));
        }
      }
      break;
    case Ink::kNoise:
    case Ink::kColumns:
      for (int b = run.from; b < run.to; ++b) line[b] = gen.next();
      break;
    case Ink::kSolid:
      line.fill(0xFF);
      break;
  }
  return line;
}

Page pageOf(std::uint32_t seed, std::initializer_list<Run> runs) {
  Generator gen(seed);
  Page page;
  for (const Run& run : runs)
    for (int i = 0; i < run.lines; ++i) page.push_back(lineOf(run, i, gen));
  return page;
}

// A receipt-like page: text, a logo-like noise area, more text, a tail of
// blank lines that trimming removes from a last page.
Page receipt(std::uint32_t seed, int trailingBlank = 40) {
  return pageOf(seed, {{Ink::kText, 96}, {Ink::kBlank, 16}, {Ink::kColumns, 48, 20, 52},
                       {Ink::kBlank, 8}, {Ink::kText, 64, 4, 68}, {Ink::kBlank, trailingBlank}});
}

std::vector<Page> receipts(int count, std::uint32_t seed, int trailingBlank = 40) {
  std::vector<Page> pages;
  for (int i = 0; i < count; ++i) pages.push_back(receipt(seed + static_cast<std::uint32_t>(i), trailingBlank));
  return pages;
}

NamedJob job(std::string name, RecordFields fields, std::vector<Page> pages,
             std::optional<std::int32_t> imageLine = std::nullopt, std::int16_t paperLength = 2970) {
  NamedJob j;
  j.name = std::move(name);
  j.spec.fields = fields;
  j.spec.pages = std::move(pages);
  j.spec.imageLine = imageLine;
  j.spec.paperLength = paperLength;
  j.fileSpooled = paperLength >= kLongPaper;
  return j;
}

// Fields with nothing but the cut and feed settings given.
RecordFields cut(std::uint32_t mode, std::uint32_t kind, std::uint32_t preCutFeed) {
  RecordFields f;
  f.cutMode = mode;
  f.cutKind = kind;
  f.preCutFeed = preCutFeed;
  return f;
}

}  // namespace

std::vector<NamedJob> jobSet() {
  std::vector<NamedJob> jobs;
  auto add = [&jobs](NamedJob j) { jobs.push_back(std::move(j)); };

  // Block mode, pages in memory.
  add(job("01-block-defaults", {}, receipts(1, 1)));
  {
    RecordFields f;
    f.keepTrailingBlank = 1;
    add(job("02-block-trim-off", f, receipts(1, 1), 3350));
  }
  add(job("03-block-cut-every-page", cut(1, 1, 96), receipts(3, 3), 3350));
  add(job("04-block-cut-last-kind0", cut(2, 0, 0), receipts(3, 4), 3350));
  {
    RecordFields f = cut(0, 1, 96);
    f.pageEndFeed = 24;
    f.jobEndFeed = 80;
    add(job("05-block-no-cut-feeds", f, receipts(2, 5), 3350));
  }
  {
    RecordFields f = cut(1, 1, 50);
    f.markMode = 1;
    f.gsAValue = 20;
    add(job("06-block-mark-cut-every", f, receipts(2, 6), 3350));
  }
  {
    RecordFields f = cut(2, 0, 50);
    f.markMode = 1;
    add(job("07-block-mark-cut-last", f, receipts(3, 7), 3350));
  }
  // Chunks of ImageLine lines; the noise block turns later blocks raw.
  add(job("08-block-imageline-100", cut(2, 1, 96),
          {pageOf(8, {{Ink::kText, 150}, {Ink::kNoise, 100}, {Ink::kText, 150}, {Ink::kBlank, 50}})}, 100));
  add(job("09-block-imageline-1", {}, {pageOf(9, {{Ink::kText, 12}, {Ink::kSolid, 4}, {Ink::kBlank, 4}})}, 1));
  // Values outside 1..3350 fall back to 3350.
  add(job("10-block-imageline-zero", {}, receipts(2, 10), 0));
  add(job("11-block-imageline-negative", {}, receipts(2, 11), -5));
  {
    RecordFields f;
    f.blockLevel = 1;
    f.topMarginLines = 0;
    f.firstPageExtraLines = 30;
    f.gsESelect = 1;
    f.gsEValue = 7;
    f.fsEValue = 50;
    add(job("12-block-level1-margins", f, receipts(2, 12), 3350));
  }
  {
    RecordFields f;
    f.blockLevel = 0;
    add(job("13-block-level0-noise", f, {pageOf(13, {{Ink::kNoise, 200}})}, 64));
  }
  {
    RecordFields f;
    f.blockLevel = 2;
    f.topMarginLines = 255;
    add(job("14-block-level2-solid", f, {pageOf(14, {{Ink::kSolid, 90}, {Ink::kBlank, 30}, {Ink::kSolid, 10}})},
            3350));
  }

  // Band mode, pages in memory: blank runs become feeds, the print area
  // narrows to the inked columns, nothing is trimmed.
  {
    RecordFields f;
    f.bandMode = 1;
    add(job("15-band-two-pages", f,
            {pageOf(15, {{Ink::kColumns, 60, 10, 20}, {Ink::kBlank, 70}, {Ink::kText, 140, 30, 72}}), receipt(16)}));
  }
  {
    RecordFields f = cut(1, 1, 96);
    f.bandMode = 1;
    f.markMode = 1;
    add(job("16-band-mark-cut-every", f, receipts(2, 16)));
  }
  {
    RecordFields f;
    f.bandMode = 1;
    f.keepTrailingBlank = 0;
    add(job("17-band-trailing-blank-kept", f, {receipt(17, 200)}));
  }
  {
    RecordFields f;
    f.bandMode = 1;
    f.topMarginLines = 255;
    f.firstPageExtraLines = 255;
    add(job("18-band-long-blank-runs", f,
            {pageOf(18, {{Ink::kText, 10, 0, 8}, {Ink::kBlank, 600}, {Ink::kColumns, 130, 64, 72}, {Ink::kBlank, 300}})}));
  }
  {
    RecordFields f = cut(2, 1, 10);
    f.bandMode = 1;
    add(job("19-band-all-blank", f, {pageOf(19, {{Ink::kBlank, 150}})}));
  }

  // Pages too long for the buffers: spooled through page files.
  add(job("20-file-block-trim", cut(2, 1, 96), receipts(3, 20, 120), 3350, kLongPaper));
  {
    RecordFields f = cut(1, 0, 96);
    f.keepTrailingBlank = 1;
    add(job("21-file-block-trim-off-cut-every", f, receipts(3, 21, 60), 3350, kLongPaper));
  }
  {
    RecordFields f = cut(2, 1, 96);
    f.bandMode = 1;
    add(job("22-file-band", f,
            {receipt(22), pageOf(23, {{Ink::kBlank, 300}, {Ink::kColumns, 200, 0, 9}, {Ink::kBlank, 20}})},
            3350, kLongPaper));
  }
  {
    RecordFields f = cut(2, 1, 96);
    f.markMode = 1;
    f.gsAValue = 63;
    add(job("23-file-imageline-64-mark", f, receipts(2, 23), 64, kLongPaper));
  }
  {
    RecordFields f;
    f.firstPageExtraLines = 10;
    add(job("24-file-single-blank-page", f, {pageOf(24, {{Ink::kBlank, 100}})}, 3350, kLongPaper));
  }
  {
    RecordFields f = cut(1, 1, 30);
    f.pageEndFeed = 10;
    f.jobEndFeed = 30;
    add(job("25-file-five-pages", f, receipts(5, 25, 10), 500, kLongPaper));
  }

  // Edges of the job itself.
  add(job("26-no-pages", cut(2, 1, 96), {}, 3350));
  add(job("27-last-page-all-blank", cut(1, 1, 96), {receipt(27), pageOf(28, {{Ink::kBlank, 90}})}, 3350));
  return jobs;
}

host::JobSpec fileSpooledProbeJob() {
  return job("probe", cut(1, 1, 96), receipts(2, 99), 3350, kLongPaper).spec;
}

}  // namespace crosscheck
