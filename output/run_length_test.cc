#include "output/run_length.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "output/byte_loop_encoder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes encode(const Bytes& input) {
  Bytes out(input.size() * 2 + 2, 0xEE);
  std::uint32_t length = 12345;
  output::encodeRunLength(out.data(), &length, input.data(), static_cast<std::uint32_t>(input.size()));
  out.resize(length);
  return out;
}

// PackBits restores what the encoder wrote.
Bytes unpack(const Bytes& pairs) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < pairs.size(); i += 2) {
    int count = 1 - static_cast<std::int8_t>(pairs[i]);
    out.insert(out.end(), static_cast<std::size_t>(count), pairs[i + 1]);
  }
  return out;
}

Bytes repeat(std::size_t n, std::uint8_t v) { return Bytes(n, v); }

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(RunLengthTest, WorkedExamples) {
  struct {
    const char* name;
    Bytes input;
    Bytes expected;
  } cases[] = {
      {"empty", {}, {}},
      {"one byte", {0x00}, {0x00, 0x00}},
      {"mixed", {0x00, 0x00, 0x00, 0xFF, 0x12, 0x12}, {0xFE, 0x00, 0x00, 0xFF, 0xFF, 0x12}},
      {"abc", {0x61, 0x62, 0x63}, {0x00, 0x61, 0x00, 0x62, 0x00, 0x63}},
      {"aab", {0x61, 0x61, 0x62}, {0xFF, 0x61, 0x00, 0x62}},
      {"blank line", repeat(72, 0), {0xB9, 0x00}},
      {"128 zeros", repeat(128, 0), {0x81, 0x00}},
      {"129 zeros", repeat(129, 0), {0x81, 0x00, 0x00, 0x00}},
      {"130 zeros", repeat(130, 0), {0x81, 0x00, 0xFF, 0x00}},
      {"two blank lines run across the boundary", repeat(144, 0), {0x81, 0x00, 0xF1, 0x00}},
      {"one dot", concat({repeat(10, 0), {0x80}, repeat(61, 0)}), {0xF7, 0x00, 0x00, 0x80, 0xC4, 0x00}},
      {"256 equal", repeat(256, 7), {0x81, 7, 0x81, 7}},
  };
  for (const auto& c : cases) EXPECT_EQ(encode(c.input), c.expected) << c.name;
}

TEST(RunLengthTest, NoEqualNeighboursDoublesTheSize) {
  Bytes input;
  for (int i = 0; i < 1000; ++i) input.push_back(static_cast<std::uint8_t>(i & 1 ? 0xAA : 0x55));
  EXPECT_EQ(encode(input).size(), 2000u);
}

TEST(RunLengthTest, RandomInputsRoundTripWithinTwiceTheSize) {
  std::mt19937 gen(42);
  for (int trial = 0; trial < 300; ++trial) {
    Bytes input(gen() % 3000);
    std::uint8_t value = 0;
    for (auto& b : input) {
      if (gen() % 5 == 0) value = static_cast<std::uint8_t>(gen() % 4);
      b = value;
    }
    Bytes pairs = encode(input);
    ASSERT_LE(pairs.size(), 2 * input.size());
    ASSERT_EQ(unpack(pairs), input);
    for (std::size_t i = 0; i < pairs.size(); i += 2) {
      ASSERT_TRUE(pairs[i] == 0 || pairs[i] >= 0x81) << "header " << int(pairs[i]);
      // Neighbouring pairs share a value only after a full 128-byte run.
      if (i >= 2 && pairs[i + 1] == pairs[i - 1]) {
        ASSERT_EQ(pairs[i - 2], 0x81);
      }
    }
  }
}

// The block-at-a-time encoder against the byte-at-a-time one, over inputs
// exactly as long as they say (so that the sanitizer sees any read past
// the end) and outputs exactly twice as long (any write past the worst case).
void expectSameAsByteLoop(const Bytes& input) {
  auto n = static_cast<std::uint32_t>(input.size());
  Bytes exact(input);
  Bytes fast(2 * input.size() + (input.empty() ? 1 : 0)), slow(fast.size());
  std::uint32_t fastLength = 7, slowLength = 9;
  output::encodeRunLength(fast.data(), &fastLength, exact.data(), n);
  output::encodeRunLengthByteLoop(slow.data(), &slowLength, exact.data(), n);
  ASSERT_EQ(fastLength, slowLength);
  fast.resize(fastLength);
  slow.resize(slowLength);
  ASSERT_EQ(fast, slow);
}

TEST(RunLengthTest, SameBytesAsTheByteLoopOnStructuredInputs) {
  // Runs of every length around the 128 limit, starting at every offset
  // around the 64-byte blocks and ending at or near the end of the input.
  for (std::size_t lead = 0; lead < 70; ++lead) {
    for (std::size_t run : {1u, 2u, 7u, 8u, 9u, 63u, 64u, 65u, 127u, 128u, 129u, 255u, 256u, 257u, 300u}) {
      for (std::size_t tail : {0u, 1u, 2u, 65u}) {
        Bytes input;
        for (std::size_t i = 0; i < lead; ++i) input.push_back(static_cast<std::uint8_t>(i * 37 + 1));
        input.insert(input.end(), run, 0x00);
        for (std::size_t i = 0; i < tail; ++i) input.push_back(static_cast<std::uint8_t>(i & 1 ? 0xFF : 0x00));
        SCOPED_TRACE(testing::Message() << "lead " << lead << " run " << run << " tail " << tail);
        expectSameAsByteLoop(input);
      }
    }
  }
  // Inputs of every length up to three blocks: blank, black, alternating,
  // and no two equal neighbours with one equal pair moved along.
  for (std::size_t n = 0; n <= 200; ++n) {
    SCOPED_TRACE(testing::Message() << "length " << n);
    expectSameAsByteLoop(Bytes(n, 0x00));
    expectSameAsByteLoop(Bytes(n, 0xFF));
    Bytes alternating(n), distinct(n);
    for (std::size_t i = 0; i < n; ++i) {
      alternating[i] = static_cast<std::uint8_t>(i & 1 ? 0xAA : 0x55);
      distinct[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    expectSameAsByteLoop(alternating);
    expectSameAsByteLoop(distinct);
  }
  // No two equal neighbours but one pair, at every place: the pair leaves a
  // run open across the next block of singles.
  for (std::size_t pair = 1; pair < 300; ++pair) {
    Bytes distinct(300);
    for (std::size_t i = 0; i < distinct.size(); ++i) distinct[i] = static_cast<std::uint8_t>(i * 7 + 3);
    distinct[pair] = distinct[pair - 1];
    SCOPED_TRACE(testing::Message() << "equal pair at " << pair);
    expectSameAsByteLoop(distinct);
  }
}

TEST(RunLengthTest, SameBytesAsTheByteLoopOnRandomInputs) {
  std::mt19937 gen(20240901);
  for (int trial = 0; trial < 3000; ++trial) {
    // Run lengths from short to far beyond 128, over alphabets of 2 to 256
    // values, so that both the single-byte groups and long runs occur.
    Bytes input(gen() % 2000);
    std::uint32_t alphabet = 2u + gen() % 255u;
    std::uint32_t meanRun = 1u + gen() % 200u;
    std::uint8_t value = 0;
    for (auto& b : input) {
      if (gen() % meanRun == 0) value = static_cast<std::uint8_t>(gen() % alphabet);
      b = value;
    }
    SCOPED_TRACE(testing::Message() << "trial " << trial);
    expectSameAsByteLoop(input);
  }
}

}  // namespace
