// Synthetic receipt rasters for the benchmarks: each kind is a page of
// 72-byte lines generated line by line, so that a program can feed a job
// without holding the page itself.
#ifndef QMX_BENCH_RASTERS_H_
#define QMX_BENCH_RASTERS_H_

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

inline constexpr std::uint32_t kLineBytes = 72;
// Lines of a page of paper length 2970 (297 mm at 8 dots per mm, plus one).
inline constexpr std::uint32_t kPageLines = 2377;

enum class Raster {
  kReceipt,  // logo, item lines, a black bar, a barcode, then a blank tail
  kText,     // rows of text with the blank gaps between them
  kLogo,     // dithered round logos, one under the other
  kBarcode,  // barcodes with their digits
  kBlack,    // every dot set
  kBlank,    // no dot set
  kWorst,    // no two neighbouring bytes equal, across lines too
};

inline constexpr Raster kAllRasters[] = {Raster::kReceipt, Raster::kText,  Raster::kLogo, Raster::kBarcode,
                                         Raster::kBlack,   Raster::kBlank, Raster::kWorst};

const char* rasterName(Raster kind);

// Fills `line` (72 bytes) with line `index` of a page of the given kind.
void fillLine(Raster kind, std::uint32_t index, std::uint8_t* line);

// A whole page of `lines` lines.
std::vector<std::uint8_t> makePage(Raster kind, std::uint32_t lines = kPageLines);

}  // namespace bench

#endif  // QMX_BENCH_RASTERS_H_
