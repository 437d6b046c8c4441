// The settings fields of the plug-in's private record by name, and the
// factory record that front ends start a job from.
#ifndef QMX_HOST_RECORD_FIELDS_H_
#define QMX_HOST_RECORD_FIELDS_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "host/print_session.h"

namespace host {

struct FieldInfo {
  const char* name;       // as the plug-in's job settings call it
  std::size_t offset;     // in the record
  int bytes;              // 1, 2 or 4, little-endian
  std::uint32_t largest;  // largest value the plug-in keeps; above it a replacement is used
  std::uint32_t factory;  // in the factory record
};

// Every settings field, in record order.
std::span<const FieldInfo> recordFields();
// Null when no field has that name.
const FieldInfo* findField(std::string_view name);

// Largest value the field's width can hold.
std::uint32_t widthLimit(const FieldInfo& field);
std::uint32_t readField(const Record& record, const FieldInfo& field);
// Writes the low bytes of `value` at the field's width.
void writeField(Record& record, const FieldInfo& field, std::uint32_t value);

// The plug-in's header and every field at its factory value: GS E 3, FS E 0,
// block level 0, 12 top margin lines, no extra lines or feeds, a cut (ESC i)
// after the last page with a 96-line feed ahead of it, no black mark (its
// value 32), block mode, trailing blank lines trimmed.
Record factoryRecord();

}  // namespace host

#endif  // QMX_HOST_RECORD_FIELDS_H_
