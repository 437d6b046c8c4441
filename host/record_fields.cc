#include "host/record_fields.h"

#include "settings/devmode_layout.h"

namespace host {
namespace {

using namespace devmode;

constexpr FieldInfo kFields[] = {
    {"fsEValue", kFsEValue, 4, 127, 0},
    {"gsESelect", kGsESelect, 4, 1, 0},
    {"gsEValue", kGsEValue, 1, 11, 3},
    {"keepTrailingBlank", kKeepTrailingBlank, 1, 1, 0},
    {"blockLevel", kBlockLevel, 1, 3, 0},
    {"firstPageExtraLines", kFirstPageExtraLines, 2, 255, 0},
    {"topMarginLines", kTopMarginLines, 2, 255, 12},
    {"pageEndFeed", kPageEndFeed, 2, 255, 0},
    {"jobEndFeed", kJobEndFeed, 2, 255, 0},
    {"cutMode", kCutMode, 1, 2, 2},
    {"cutKind", kCutKind, 1, 1, 1},
    {"preCutFeed", kPreCutFeed, 2, 255, 96},
    {"markMode", kMarkMode, 1, 1, 0},
    {"gsAValue", kGsAValue, 2, 63, 32},
    {"bandMode", kBandMode, 1, 1, 0},
};

}  // namespace

std::span<const FieldInfo> recordFields() { return kFields; }

const FieldInfo* findField(std::string_view name) {
  for (const FieldInfo& f : kFields)
    if (name == f.name) return &f;
  return nullptr;
}

std::uint32_t widthLimit(const FieldInfo& field) {
  return field.bytes == 4 ? 0xFFFFFFFFu : (1u << (8 * field.bytes)) - 1;
}

std::uint32_t readField(const Record& record, const FieldInfo& field) {
  std::uint32_t value = 0;
  for (int b = field.bytes - 1; b >= 0; --b) value = (value << 8) | record[field.offset + static_cast<std::size_t>(b)];
  return value;
}

void writeField(Record& record, const FieldInfo& field, std::uint32_t value) {
  for (int b = 0; b < field.bytes; ++b)
    record[field.offset + static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(value >> (8 * b));
}

Record factoryRecord() {
  Record r{};
  writeU32(r.data(), kDwSize, kRecordSize);
  writeU32(r.data(), kDwSignature, kSignature);
  writeU32(r.data(), kDwVersion, kVersion);
  for (const FieldInfo& f : kFields) writeField(r, f, f.factory);
  return r;
}

}  // namespace host
