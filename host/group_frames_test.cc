#include "host/group_frames.h"

#include <gtest/gtest.h>

#include <set>

#include "emulator/emulator.h"
#include "host/job_stream.h"
#include "host/linked_module.h"
#include "host/print_session.h"
#include "platform/fault_injection.h"

namespace {

host::RasterLine inked(std::size_t n) {
  host::RasterLine line{};
  for (std::size_t i = 0; i < line.size(); i += 1 + n % 5) line[i] = static_cast<std::uint8_t>(0x81 ^ (n * 7 + i));
  return line;
}

// The frames a whole job makes, as a reader in another process gets them.
std::vector<std::vector<std::uint8_t>> framedJob(const host::JobSpec& job, std::vector<std::uint8_t>* wire) {
  auto module = host::linkedModule();
  std::string error;
  auto session = host::PrintSession::open(*module, {}, &error);
  EXPECT_NE(session, nullptr) << error;
  host::MemorySink raw;
  host::FramingSink framing(raw);
  auto stream = host::JobStream::start(*session, job, framing, &error);
  EXPECT_NE(stream, nullptr) << error;
  for (const host::Page& page : job.pages) {
    stream->startPage();
    for (const host::RasterLine& line : page) stream->addLine(line);
    stream->endPage();
  }
  EXPECT_TRUE(stream->end()) << stream->error();
  *wire = raw.stream();
  host::FrameReader reader;
  EXPECT_TRUE(reader.add(wire->data(), wire->size()));
  std::vector<std::vector<std::uint8_t>> frames;
  std::vector<std::uint8_t> frame;
  while (reader.next(&frame)) frames.push_back(frame);
  EXPECT_EQ(reader.pending(), 0u);
  return frames;
}

// A worker may die after any frame: what reached the printer by then must
// be whole commands, in every raster mode.
TEST(GroupFramesTest, EveryFrameBoundaryEndsOnAWholeCommand) {
  struct Case {
    const char* name;
    std::uint32_t bandMode;
    std::int32_t imageLine;
  };
  for (const Case& c : {Case{"blocks of 3350 lines", 0, 3350}, Case{"blocks of 7 lines", 0, 7},
                        Case{"bands", 1, 3350}}) {
    SCOPED_TRACE(c.name);
    platform::testing::reset();
    host::JobSpec job;
    job.fields.bandMode = c.bandMode;
    job.fields.cutMode = 1;
    job.imageLine = c.imageLine;
    job.pages = {host::Page(40, inked(1)), host::Page(0), host::Page(3, host::RasterLine{}), host::Page(300, inked(2))};
    for (std::size_t i = 0; i < job.pages[3].size(); i += 3) job.pages[3][i] = inked(i);
    std::vector<std::uint8_t> wire;
    const auto frames = framedJob(job, &wire);
    ASSERT_GT(frames.size(), 4u);
    std::vector<std::uint8_t> printed;
    for (const auto& frame : frames) {
      printed.insert(printed.end(), frame.begin(), frame.end());
      const emulator::ParseResult parsed = emulator::parseStream(printed, {.strict = true});
      ASSERT_TRUE(parsed.status.ok) << "after " << printed.size() << " bytes: " << parsed.status.message;
    }
    host::JobSpec same = job;
    EXPECT_EQ(printed, host::printJob(*host::linkedModule(), same).stream) << "frames hold the job's bytes";
  }
}

// The reader takes the stream in pieces of any size; a stream cut anywhere
// gives the whole frames before the cut and holds back the rest.
TEST(GroupFramesTest, ReaderHandsOutWholeFramesOnlyWhereverTheStreamIsCut) {
  host::JobSpec job;
  job.imageLine = 5;
  job.pages = {host::Page(23, inked(3))};
  std::vector<std::uint8_t> wire;
  const auto frames = framedJob(job, &wire);
  std::set<std::size_t> boundaries = {0};
  for (std::size_t at = 0, i = 0; i < frames.size(); ++i) boundaries.insert(at += host::kFrameHeaderBytes + frames[i].size());
  for (std::size_t cut = 0; cut <= wire.size(); ++cut) {
    host::FrameReader reader;
    std::vector<std::vector<std::uint8_t>> got;
    std::vector<std::uint8_t> frame;
    for (std::size_t at = 0; at < cut; at += 3) {
      ASSERT_TRUE(reader.add(wire.data() + at, std::min<std::size_t>(3, cut - at)));
      while (reader.next(&frame)) got.push_back(frame);
    }
    ASSERT_LE(got.size(), frames.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), frames.begin())) << "cut at " << cut;
    EXPECT_EQ(reader.pending() == 0, boundaries.count(cut) == 1) << "cut at " << cut;
  }
}

TEST(GroupFramesTest, ALengthPastTheBoundBreaksTheStream) {
  host::FrameReader reader;
  const std::uint8_t huge[] = {0xFF, 0xFF, 0xFF, 0x7F, 1, 2, 3};
  EXPECT_FALSE(reader.add(huge, sizeof huge));
  std::vector<std::uint8_t> frame;
  EXPECT_FALSE(reader.next(&frame));
  EXPECT_TRUE(reader.broken());
}

}  // namespace
