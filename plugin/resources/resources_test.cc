// Reads the compiled resource script (.res) and checks the message table and
// the version block against texts written out independently.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/wide.h"
#include "plugin/resources/expected_messages.h"

namespace {

namespace want = resources_expected;

constexpr std::uint16_t kRtString = 6;
constexpr std::uint16_t kRtVersion = 16;
constexpr std::uint32_t kFixedInfoSignature = 0xFEEF04BD;

using Bytes = std::vector<std::uint8_t>;

// Little-endian reads that fail instead of running past the end.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool ok() const { return ok_; }
  std::size_t at() const { return at_; }
  std::size_t left() const { return ok_ ? size_ - at_ : 0; }
  void seek(std::size_t to) {
    if (to > size_) ok_ = false;
    else at_ = to;
  }
  void align4() { seek((at_ + 3) & ~std::size_t{3}); }
  std::uint16_t u16() {
    if (left() < 2) return fail();
    std::uint16_t v = static_cast<std::uint16_t>(data_[at_] | data_[at_ + 1] << 8);
    at_ += 2;
    return v;
  }
  std::uint32_t u32() {
    std::uint32_t low = u16();
    return low | static_cast<std::uint32_t>(u16()) << 16;
  }
  // NUL-terminated UTF-16 text.
  std::u16string text() {
    std::u16string s;
    while (ok()) {
      char16_t c = u16();
      if (!ok() || c == 0) break;
      s += c;
    }
    return s;
  }

 private:
  std::uint16_t fail() {
    ok_ = false;
    return 0;
  }
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

// A type or name in a resource header: a number or a text.
struct NameOrId {
  std::optional<std::uint16_t> id;
  std::u16string name;
};

NameOrId readNameOrId(Reader& r) {
  NameOrId n;
  std::size_t start = r.at();
  if (r.u16() == 0xFFFF) {
    n.id = r.u16();
  } else {
    r.seek(start);
    n.name = r.text();
  }
  return n;
}

struct Resource {
  NameOrId type, name;
  std::uint16_t language = 0;
  Bytes data;
};

// The records of a .res file; the leading empty record is dropped. Null when
// the file is malformed.
std::optional<std::vector<Resource>> parseRes(const Bytes& file) {
  std::vector<Resource> out;
  Reader r(file.data(), file.size());
  bool first = true;
  while (r.ok() && r.left() > 0) {
    std::size_t start = r.at();
    std::uint32_t dataSize = r.u32();
    std::uint32_t headerSize = r.u32();
    Resource res;
    res.type = readNameOrId(r);
    res.name = readNameOrId(r);
    r.align4();
    r.u32();  // DataVersion
    r.u16();  // MemoryFlags
    res.language = r.u16();
    r.u32();  // Version
    r.u32();  // Characteristics
    if (!r.ok() || headerSize < 8 || r.at() - start > headerSize || headerSize > file.size() - start ||
        dataSize > file.size() - start - headerSize)
      return std::nullopt;
    const std::uint8_t* data = file.data() + start + headerSize;
    res.data.assign(data, data + dataSize);
    r.seek(start + headerSize + dataSize);
    r.align4();
    if (!r.ok()) return std::nullopt;
    bool empty = dataSize == 0 && res.type.id == std::uint16_t{0} && res.name.id == std::uint16_t{0};
    if (!(first && empty)) out.push_back(std::move(res));
    first = false;
  }
  return out;
}

// One block of 16 strings: block n holds ids (n - 1) * 16 to n * 16 - 1.
std::optional<std::vector<std::u16string>> parseStringBlock(const Bytes& data) {
  std::vector<std::u16string> strings;
  Reader r(data.data(), data.size());
  for (int i = 0; i < 16; ++i) {
    std::uint16_t length = r.u16();
    std::u16string s;
    for (std::uint16_t k = 0; k < length && r.ok(); ++k) s += static_cast<char16_t>(r.u16());
    if (!r.ok()) return std::nullopt;
    strings.push_back(std::move(s));
  }
  return strings;
}

// A node of the version block: header, key, value, then children, each
// aligned to 4 bytes from the start of the block.
struct VersionNode {
  std::u16string key;
  std::uint16_t type = 0;  // 1: text value
  Bytes value;
  std::vector<VersionNode> children;

  const VersionNode* child(std::u16string_view name) const {
    for (const VersionNode& c : children)
      if (c.key == name) return &c;
    return nullptr;
  }
  std::u16string textValue() const {
    std::u16string s;
    for (std::size_t i = 0; i + 1 < value.size(); i += 2)
      s += static_cast<char16_t>(value[i] | value[i + 1] << 8);
    while (!s.empty() && s.back() == 0) s.pop_back();
    return s;
  }
};

bool parseVersionNode(const Bytes& block, std::size_t start, VersionNode& node, int depth = 0) {
  Reader r(block.data(), block.size());
  r.seek(start);
  std::uint16_t length = r.u16();
  std::uint16_t valueLength = r.u16();
  node.type = r.u16();
  node.key = r.text();
  r.align4();
  std::size_t end = start + length;
  if (!r.ok() || length < 6 || end > block.size() || depth > 4) return false;
  // Text values count characters, binary ones bytes.
  std::size_t valueBytes = node.type == 1 ? std::size_t{valueLength} * 2 : valueLength;
  if (r.at() + valueBytes > end) return false;
  node.value.assign(block.begin() + static_cast<std::ptrdiff_t>(r.at()),
                    block.begin() + static_cast<std::ptrdiff_t>(r.at() + valueBytes));
  r.seek(r.at() + valueBytes);
  r.align4();
  while (r.ok() && r.at() < end) {
    VersionNode child;
    if (!parseVersionNode(block, r.at(), child, depth + 1)) return false;
    Reader peek(block.data(), block.size());
    peek.seek(r.at());
    std::uint16_t childLength = peek.u16();
    node.children.push_back(std::move(child));
    r.seek(r.at() + childLength);
    r.align4();
  }
  return r.ok() || r.at() >= end;
}

std::string show(std::u16string_view s) {
  std::string out = "\"";
  for (char16_t c : s) {
    if (c == u'\n') out += "\\n";
    else out += platform::toUtf8(reinterpret_cast<const platform::WChar*>(&c), 1);
  }
  return out + "\" (" + std::to_string(s.size()) + " units)";
}

class CompiledResources : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef QMX_RESOURCES_RES
    GTEST_SKIP() << "x86_64-w64-mingw32-windres was not found when the build was configured; "
                    "install g++-mingw-w64-x86-64-posix to compile and check the resource script";
#else
    std::ifstream in(QMX_RESOURCES_RES, std::ios::binary);
    ASSERT_TRUE(in) << "cannot read " << QMX_RESOURCES_RES;
    Bytes file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    auto parsed = parseRes(file);
    ASSERT_TRUE(parsed.has_value()) << "malformed resource file " << QMX_RESOURCES_RES;
    resources_ = std::move(*parsed);
#endif
  }

  // Every string of every block, by id.
  std::map<int, std::u16string> stringsById() {
    std::map<int, std::u16string> byId;
    for (const Resource& res : resources_) {
      if (res.type.id != kRtString) continue;
      EXPECT_TRUE(res.name.id.has_value()) << "string blocks are numbered";
      if (!res.name.id) continue;
      auto block = parseStringBlock(res.data);
      EXPECT_TRUE(block.has_value()) << "string block " << *res.name.id << " is malformed";
      if (!block) continue;
      for (int i = 0; i < 16; ++i) {
        if ((*block)[i].empty()) continue;  // an empty slot holds no string
        int id = (*res.name.id - 1) * 16 + i;
        EXPECT_FALSE(byId.count(id)) << "id " << id << " appears twice";
        byId[id] = (*block)[i];
      }
    }
    return byId;
  }

  std::vector<Resource> resources_;
};

TEST_F(CompiledResources, HoldsOnlyJapaneseStringBlocksAndOneVersionBlock) {
  int versions = 0;
  for (const Resource& res : resources_) {
    ASSERT_TRUE(res.type.id.has_value()) << "unexpected named resource type";
    if (*res.type.id == kRtString) {
      EXPECT_EQ(res.language, want::kLanguage) << "string block " << res.name.id.value_or(0);
    } else if (*res.type.id == kRtVersion) {
      ++versions;
      EXPECT_EQ(res.name.id, std::uint16_t{1});
    } else {
      ADD_FAILURE() << "unexpected resource type " << *res.type.id;
    }
  }
  EXPECT_EQ(versions, 1);
}

TEST_F(CompiledResources, EveryMessageIsExactlyItsText) {
  std::map<int, std::u16string> byId = stringsById();
  for (int id = want::kFirstId; id <= want::kLastId; ++id) {
    auto it = byId.find(id);
    if (it == byId.end()) {
      ADD_FAILURE() << "id " << id << " is missing";
      continue;
    }
    EXPECT_EQ(it->second, want::kMessages[id])
        << "id " << id << ": got " << show(it->second) << ", want " << show(want::kMessages[id]);
  }
  for (const auto& [id, text] : byId) {
    EXPECT_TRUE(id >= want::kFirstId && id <= want::kLastId) << "unexpected id " << id << ": " << show(text);
  }
  for (int id : want::kAbsentIds) EXPECT_EQ(byId.count(id), 0u) << "id " << id << " must find nothing";
}

// The points most easily lost when the table is retyped or reformatted.
TEST_F(CompiledResources, KeepsLineFeedsBlanksAndAsciiPunctuation) {
  std::map<int, std::u16string> byId = stringsById();
  struct Shape {
    int id;
    std::size_t length;
    bool leadingLineFeed;
    std::size_t trailingBlanks;
  };
  const Shape shapes[] = {
      {7, 19, true, 10}, {8, 38, true, 10}, {9, 29, true, 3}, {10, 54, true, 0},
      {15, 17, false, 3}, {16, 42, false, 6}, {17, 5, false, 2}, {18, 9, false, 2},
      {21, 7, false, 1},  {1, 10, false, 0},
  };
  for (const Shape& s : shapes) {
    SCOPED_TRACE("id " + std::to_string(s.id));
    const std::u16string& text = byId[s.id];
    EXPECT_EQ(text.size(), s.length);
    EXPECT_EQ(!text.empty() && text.front() == u'\n', s.leadingLineFeed);
    std::size_t blanks = text.size() - (text.find_last_not_of(u' ') + 1);
    EXPECT_EQ(blanks, s.trailingBlanks);
  }
  // No line feed other than the leading ones, no full-width punctuation.
  for (const auto& [id, text] : byId) {
    EXPECT_EQ(text.find(u'\n', 1), std::u16string::npos) << "id " << id;
    EXPECT_EQ(text.find_first_of(u"［］：／\u3000\r\t"), std::u16string::npos) << "id " << id;
  }
  EXPECT_NE(byId[9].find(u"   ["), std::u16string::npos);
  EXPECT_NE(byId[10].find(u"job   [Cancel]"), std::u16string::npos);
}

TEST_F(CompiledResources, VersionBlockIsTwoZeroZeroZero) {
  const Resource* version = nullptr;
  for (const Resource& res : resources_)
    if (res.type.id == kRtVersion) version = &res;
  ASSERT_NE(version, nullptr);

  VersionNode root;
  ASSERT_TRUE(parseVersionNode(version->data, 0, root)) << "malformed version block";
  EXPECT_EQ(root.key, u"VS_VERSION_INFO");
  ASSERT_EQ(root.value.size(), 52u) << "fixed file information";
  Reader fixed(root.value.data(), root.value.size());
  std::uint32_t f[13];
  for (std::uint32_t& v : f) v = fixed.u32();
  EXPECT_EQ(f[0], kFixedInfoSignature);
  EXPECT_EQ(f[2], want::kVersionMS) << "file version, high part";
  EXPECT_EQ(f[3], want::kVersionLS) << "file version, low part";
  EXPECT_EQ(f[4], want::kVersionMS) << "product version, high part";
  EXPECT_EQ(f[5], want::kVersionLS) << "product version, low part";
  EXPECT_EQ(f[7] & f[6], 0u) << "no file flags";
  EXPECT_EQ(f[8], want::kFileOs);
  EXPECT_EQ(f[9], want::kFileType);

  const VersionNode* strings = root.child(u"StringFileInfo");
  ASSERT_NE(strings, nullptr);
  ASSERT_EQ(strings->children.size(), 1u) << "one string block";
  const VersionNode& block = strings->children[0];
  EXPECT_EQ(block.key, want::kStringBlock);
  for (const auto& [key, value] : want::kVersionStrings) {
    const VersionNode* entry = block.child(key);
    std::string name = platform::toUtf8(reinterpret_cast<const platform::WChar*>(key.data()), key.size());
    if (entry == nullptr) {
      ADD_FAILURE() << name << " is missing";
      continue;
    }
    if (value == want::kAnyText) {
      EXPECT_FALSE(entry->textValue().empty()) << name << " is empty";
    } else {
      EXPECT_EQ(entry->textValue(), value) << name << " is " << show(entry->textValue());
    }
  }
  EXPECT_EQ(block.children.size(), std::size(want::kVersionStrings)) << "unexpected extra keys";

  const VersionNode* vars = root.child(u"VarFileInfo");
  ASSERT_NE(vars, nullptr);
  const VersionNode* translation = vars->child(u"Translation");
  ASSERT_NE(translation, nullptr);
  ASSERT_EQ(translation->value.size(), 4u) << "one translation entry";
  Reader t(translation->value.data(), translation->value.size());
  EXPECT_EQ(t.u16(), want::kTranslationLanguage);
  EXPECT_EQ(t.u16(), want::kTranslationCodePage);
}

}  // namespace
