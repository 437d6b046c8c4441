// The stand-in print system's own graphics functions: one recording function
// for each of the 29 DDI indexes the plug-in hooks. Each call is logged with
// its arguments and answers a configurable result, so tests can see whether a
// hook passed a call on unchanged.
#ifndef QMX_HOST_DDI_TABLE_H_
#define QMX_HOST_DDI_TABLE_H_

#include <cstdint>
#include <type_traits>
#include <vector>

#include "printsys/ddi.h"
#include "printsys/printsys.h"

namespace host {

// An argument or result as a machine word, the way the log keeps it:
// pointers by address, integers zero- or sign-extended.
template <typename T>
std::uintptr_t word(T value) {
  if constexpr (std::is_pointer_v<T>)
    return reinterpret_cast<std::uintptr_t>(value);
  else
    return static_cast<std::uintptr_t>(value);
}

struct DdiCall {
  ULONG index;                       // DDI function index
  std::vector<std::uintptr_t> args;  // every argument, in order
};

// The process-wide log of calls that reached the host's DDI functions.
const std::vector<DdiCall>& ddiCalls();
void clearDdiCalls();

// What the host's function for `index` answers from now on (default 1, that
// is TRUE or a non-null marker). Kept until resetDdiResults().
void setDdiResult(ULONG index, std::uintptr_t result);
void resetDdiResults();

// The host's function for a DDI index; null for an index it does not have.
ddi::RowPointer ddiFunction(ULONG index);

// The host's table: the 29 hooked indexes, ascending.
std::vector<DRVFN> ddiTable();

}  // namespace host

#endif  // QMX_HOST_DDI_TABLE_H_
