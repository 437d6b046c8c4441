#include "cups/filter_options.h"

#include <strings.h>

#include <optional>

// The PPD reading API is marked deprecated, but it is how a raster filter
// of CUPS 2.x learns its queue's defaults.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace qmxcups {
namespace {

constexpr const char kCustomPrefix[] = "Custom.";
constexpr std::size_t kCustomPrefixLength = sizeof kCustomPrefix - 1;

std::optional<std::uint32_t> readValue(const frontend::OptionSpec& option, const std::string& text,
                                       const char* source, std::vector<std::string>* warnings) {
  std::uint32_t value = 0;
  std::string why;
  if (frontend::parseValue(option, withoutCustomPrefix(text), &value, &why)) return value;
  warnings->push_back(std::string(source) + " " + why + "; using the default");
  return std::nullopt;
}

std::optional<std::string> ppdDefault(ppd_file_t* ppd, const char* name) {
  if (ppd == nullptr) return std::nullopt;
  ppd_option_t* option = ppdFindOption(ppd, name);
  if (option == nullptr || option->defchoice[0] == '\0') return std::nullopt;
  return std::string(option->defchoice);
}

}  // namespace

std::string withoutCustomPrefix(const std::string& text) {
  if (text.size() > kCustomPrefixLength && strncasecmp(text.c_str(), kCustomPrefix, kCustomPrefixLength) == 0)
    return text.substr(kCustomPrefixLength);
  return text;
}

frontend::PrintOptions resolveOptions(int numOptions, cups_option_t* options, ppd_file_t* ppd,
                                      std::vector<std::string>* warnings) {
  frontend::PrintOptions result;
  for (const frontend::OptionSpec& option : frontend::printOptions()) {
    std::optional<std::uint32_t> value;
    if (const char* job = cupsGetOption(option.name, numOptions, options))
      value = readValue(option, job, "job option", warnings);
    if (!value) {
      if (std::optional<std::string> queue = ppdDefault(ppd, option.name))
        value = readValue(option, *queue, "PPD default", warnings);
    }
    if (value) option.set(result, *value);  // else the factory value stands
  }
  return result;
}

}  // namespace qmxcups
