// qmx415u-make-ppd: writes the printer's PPD. The build runs it, so that
// the PPD's options, choices and defaults are the front ends' option table
// (frontend/print_options.h) and can never drift from what the filter reads.
//
//   qmx415u-make-ppd FILE
#include <cmath>
#include <cstdio>
#include <set>
#include <string>

#include "frontend/print_options.h"

namespace {

constexpr double kPointsPerMm = 72.0 / 25.4;
constexpr double kRollWidthMm = 80.0;
constexpr double kSideMarginMm = 4.0;  // 72 mm printable: the head's 576 dots at 203 dpi
constexpr double kShortestCustomMm = 25.4;
constexpr double kLongestPaperMm = 3276.7;  // what the 16-bit paper length (tenths of a mm) holds
constexpr int kDefaultReceiptMm = 297;
constexpr int kReceiptLengthsMm[] = {100, 150, 200, kDefaultReceiptMm, 600, 1000};
constexpr std::uint32_t kLinePresets[] = {0, 8, 12, 16, 24, 40, 80, 160, 240, 400, 800, 1600, 4000, 8000};
constexpr std::uint32_t kEveryNumberUpTo = 15;  // smaller ranges list every value
constexpr int kOptionOrder = 20;

std::string points(double mm) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", mm * kPointsPerMm);
  return text;
}

std::string millimetres(double mm) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", mm);
  return text;
}

class PpdWriter {
 public:
  explicit PpdWriter(std::FILE* out) : out_(out) {}
  void line(const std::string& text) { std::fprintf(out_, "%s\n", text.c_str()); }

  void header() {
    for (const char* l : {
             "*PPD-Adobe: \"4.3\"",
             "*% 80 mm thermal receipt printer, 203 dpi, 576-dot head. Written by qmx415u-make-ppd.",
             "*FormatVersion: \"4.3\"",
             "*FileVersion: \"1.0\"",
             "*LanguageVersion: English",
             "*LanguageEncoding: ISOLatin1",
             "*PCFileName: \"QMX415U.PPD\"",
             "*Product: \"(80 mm thermal receipt printer)\"",
             "*Manufacturer: \"Generic\"",
             "*ModelName: \"Generic 80 mm thermal receipt printer\"",
             "*ShortNickName: \"80 mm receipt printer qmx415u\"",
             "*NickName: \"Generic 80 mm thermal receipt printer (qmx415u)\"",
             "*PSVersion: \"(3010.000) 0\"",
             "*LanguageLevel: \"3\"",
             "*ColorDevice: False",
             "*DefaultColorSpace: Gray",
             "*FileSystem: False",
             "*Throughput: \"1\"",
             "*LandscapeOrientation: Plus90",
             "*TTRasterizer: Type42",
             "*cupsVersion: 2.4",
             "*cupsModelNumber: 0",
             "*% The printer makes no copies itself: the chain renders each one.",
             "*cupsManualCopies: True",
             "*cupsFilter2: \"application/vnd.cups-raster application/vnd.qmx415u 0 rastertoqmx415u\"",
         })
      line(l);
  }

  void pageSizes() {
    const std::string width = points(kRollWidthMm);
    const std::string left = points(kSideMarginMm), right = points(kRollWidthMm - kSideMarginMm);
    const std::string defaultName = sizeName(kDefaultReceiptMm);
    for (const char* keyword : {"PageSize", "PageRegion"}) {
      const std::string k = keyword;
      line("*OpenUI *" + k + "/" + (k == "PageSize" ? "Media Size" : "Media Region") + ": PickOne");
      line("*OrderDependency: 10 AnySetup *" + k);
      line("*Default" + k + ": " + defaultName);
      for (int mm : kReceiptLengthsMm)
        line("*" + k + " " + sizeName(mm) + "/" + sizeText(mm) + ": \"<</PageSize[" + width + " " + points(mm) +
             "]/ImagingBBox null>>setpagedevice\"");
      line("*CloseUI: *" + k);
    }
    line("*DefaultImageableArea: " + defaultName);
    for (int mm : kReceiptLengthsMm)
      line("*ImageableArea " + sizeName(mm) + "/" + sizeText(mm) + ": \"" + left + " 0 " + right + " " + points(mm) +
           "\"");
    line("*DefaultPaperDimension: " + defaultName);
    for (int mm : kReceiptLengthsMm)
      line("*PaperDimension " + sizeName(mm) + "/" + sizeText(mm) + ": \"" + width + " " + points(mm) + "\"");

    // Any receipt length up to the longest paper a job can state.
    line("*VariablePaperSize: True");
    line("*MaxMediaWidth: \"" + width + "\"");
    line("*MaxMediaHeight: \"" + points(kLongestPaperMm) + "\"");
    line("*HWMargins: " + left + " 0 " + left + " 0");
    line("*CustomPageSize True: \"pop pop pop <</PageSize[5 -2 roll]/ImagingBBox null>>setpagedevice\"");
    line("*ParamCustomPageSize Width: 1 points " + points(kShortestCustomMm) + " " + width);
    line("*ParamCustomPageSize Height: 2 points " + points(kShortestCustomMm) + " " + points(kLongestPaperMm));
    line("*ParamCustomPageSize WidthOffset: 3 points 0 0");
    line("*ParamCustomPageSize HeightOffset: 4 points 0 0");
    line("*ParamCustomPageSize Orientation: 5 int 0 0");
  }

  void resolutionAndColour() {
    for (const char* l : {
             "*OpenUI *Resolution/Resolution: PickOne",
             "*OrderDependency: 10 AnySetup *Resolution",
             "*DefaultResolution: 203dpi",
             "*Resolution 203dpi/203 dpi: \"<</HWResolution[203 203]>>setpagedevice\"",
             "*CloseUI: *Resolution",
             "*OpenUI *ColorModel/Output Mode: PickOne",
             "*OrderDependency: 10 AnySetup *ColorModel",
             "*DefaultColorModel: Gray",
             "*ColorModel Gray/Grayscale, dithered by the driver: \"<</cupsColorOrder 0/cupsColorSpace 18/"
             "cupsBitsPerColor 8/cupsBitsPerPixel 8>>setpagedevice\"",
             "*ColorModel Black/Black and white: \"<</cupsColorOrder 0/cupsColorSpace 3/cupsBitsPerColor 1/"
             "cupsBitsPerPixel 1>>setpagedevice\"",
             "*CloseUI: *ColorModel",
         })
      line(l);
  }

  void printOptions() {
    line("*OpenGroup: Receipt/Receipt");
    int order = kOptionOrder;
    for (const frontend::OptionSpec& option : frontend::printOptions()) option_(option, order++);
    line("*CloseGroup: Receipt");
  }

 private:
  // A translation string ends at a colon, so none may hold one.
  static std::string uiText(std::string text) {
    for (std::size_t at; (at = text.find(':')) != std::string::npos;) text.replace(at, 1, " -");
    return text;
  }

  static std::string sizeName(int mm) { return "80x" + std::to_string(mm) + "mm"; }
  static std::string sizeText(int mm) { return "80 x " + std::to_string(mm) + " mm receipt"; }

  static bool isOnOff(const frontend::OptionSpec& option) {
    return option.kind == frontend::ValueKind::kChoice && option.choices.size() == 2 &&
           std::string(option.choices[0].keyword) == "False" && std::string(option.choices[1].keyword) == "True";
  }

  static std::string linesText(const frontend::OptionSpec& option, std::uint32_t lines) {
    if (lines == 0) return std::string(option.name) == "LongestBlank" ? "Off" : "None";
    return millimetres(lines / static_cast<double>(frontend::kLinesPerMm)) + " mm (" + std::to_string(lines) +
           " dot lines)";
  }

  static std::set<std::uint32_t> presets(const frontend::OptionSpec& option) {
    std::set<std::uint32_t> values;
    auto add = [&](std::uint32_t v) {
      if (v <= option.largest) values.insert(v);
    };
    if (option.kind == frontend::ValueKind::kLines) {
      for (std::uint32_t v : kLinePresets) add(v);
    } else if (option.largest <= kEveryNumberUpTo) {
      for (std::uint32_t v = 0; v <= option.largest; ++v) add(v);
    } else {
      add(0);
      for (std::uint32_t v = 1; v <= option.largest; v *= 2) add(v);
      add(option.largest);
    }
    add(frontend::factoryValue(option));
    return values;
  }

  void option_(const frontend::OptionSpec& option, int order) {
    const std::string name = option.name;
    const std::uint32_t factory = frontend::factoryValue(option);
    line("*OpenUI *" + name + "/" + uiText(option.text) + (isOnOff(option) ? ": Boolean" : ": PickOne"));
    line("*OrderDependency: " + std::to_string(order) + " AnySetup *" + name);
    line("*Default" + name + ": " + frontend::valueKeyword(option, factory));
    if (option.kind == frontend::ValueKind::kChoice) {
      for (const frontend::Choice& c : option.choices)
        line("*" + name + " " + c.keyword + "/" + uiText(c.text) + ": \"\"");
    } else {
      for (std::uint32_t v : presets(option)) {
        const std::string text = option.kind == frontend::ValueKind::kLines ? linesText(option, v) : std::to_string(v);
        line("*" + name + " " + std::to_string(v) + "/" + text + ": \"\"");
      }
    }
    line("*CloseUI: *" + name);
    if (option.kind != frontend::ValueKind::kChoice) {
      line("*Custom" + name + " True/Custom: \"\"");
      line("*ParamCustom" + name + " Value/" +
           (option.kind == frontend::ValueKind::kLines ? "Dot lines, 8 per mm" : "Value") + ": 1 int 0 " +
           std::to_string(option.largest));
    }
  }

  std::FILE* out_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: qmx415u-make-ppd FILE\n");
    return 2;
  }
  std::FILE* out = std::fopen(argv[1], "w");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  PpdWriter ppd(out);
  ppd.header();
  ppd.pageSizes();
  ppd.resolutionAndColour();
  ppd.printOptions();
  const bool ok = std::fflush(out) == 0 && std::ferror(out) == 0;
  if (std::fclose(out) != 0 || !ok) {
    std::fprintf(stderr, "qmx415u-make-ppd: cannot write %s\n", argv[1]);
    std::remove(argv[1]);
    return 1;
  }
  return 0;
}
