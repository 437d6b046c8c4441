#include "app/ipp_options.h"

#include <cctype>

namespace app {
namespace {

bool isTwoWay(const frontend::OptionSpec& option) {
  if (option.kind != frontend::ValueKind::kChoice || option.choices.size() != 2) return false;
  std::uint32_t value = 0;
  // The on/off table is the one that reads "true" as well as its keywords.
  return frontend::parseValue(option, "true", &value, nullptr) && value == 1;
}

std::vector<const frontend::OptionSpec*> collectVendorOptions() {
  std::vector<const frontend::OptionSpec*> options;
  for (const frontend::OptionSpec& option : frontend::printOptions()) options.push_back(&option);
  return options;
}

std::string attributeName(const frontend::OptionSpec& option, const char* suffix) {
  return std::string(option.ippName) + suffix;
}

void addSupported(ipp_t* attrs, const frontend::OptionSpec& option) {
  const std::string name = attributeName(option, "-supported");
  switch (ippSyntax(option)) {
    case IppSyntax::kBoolean: {
      const char values[] = {1, 0};
      ippAddBooleans(attrs, IPP_TAG_PRINTER, name.c_str(), 2, values);
      break;
    }
    case IppSyntax::kKeyword: {
      std::vector<std::string> keywords;
      for (const frontend::Choice& choice : option.choices) keywords.push_back(ippKeyword(choice.keyword));
      std::vector<const char*> values;
      for (const std::string& k : keywords) values.push_back(k.c_str());
      ippAddStrings(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, name.c_str(), static_cast<int>(values.size()), nullptr,
                    values.data());
      break;
    }
    case IppSyntax::kInteger:
      ippAddRange(attrs, IPP_TAG_PRINTER, name.c_str(), 0, static_cast<int>(option.largest));
      break;
  }
}

void addDefault(ipp_t* attrs, const frontend::OptionSpec& option) {
  const std::string name = attributeName(option, "-default");
  const std::uint32_t value = frontend::factoryValue(option);
  switch (ippSyntax(option)) {
    case IppSyntax::kBoolean:
      ippAddBoolean(attrs, IPP_TAG_PRINTER, name.c_str(), value != 0);
      break;
    case IppSyntax::kKeyword:
      ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, name.c_str(), nullptr,
                   ippKeyword(frontend::valueKeyword(option, value)).c_str());
      break;
    case IppSyntax::kInteger:
      ippAddInteger(attrs, IPP_TAG_PRINTER, IPP_TAG_INTEGER, name.c_str(), static_cast<int>(value));
      break;
  }
}

}  // namespace

IppSyntax ippSyntax(const frontend::OptionSpec& option) {
  if (option.kind != frontend::ValueKind::kChoice) return IppSyntax::kInteger;
  return isTwoWay(option) ? IppSyntax::kBoolean : IppSyntax::kKeyword;
}

std::string ippKeyword(std::string_view choiceKeyword) {
  std::string keyword;
  for (std::size_t i = 0; i < choiceKeyword.size(); ++i) {
    const auto c = static_cast<unsigned char>(choiceKeyword[i]);
    if (std::isupper(c) && i > 0) keyword += '-';
    keyword += static_cast<char>(std::tolower(c));
  }
  return keyword;
}

const std::vector<const frontend::OptionSpec*>& vendorOptions() {
  static const std::vector<const frontend::OptionSpec*> options = collectVendorOptions();
  return options;
}

void addVendorAttributes(ipp_t* attrs) {
  for (const frontend::OptionSpec* option : vendorOptions()) {
    addSupported(attrs, *option);
    addDefault(attrs, *option);
  }
}

std::string englishStrings() {
  std::string strings;
  auto add = [&strings](const std::string& key, const std::string& text) {
    strings += "\"" + key + "\" = \"" + text + "\";\n";
  };
  for (const frontend::OptionSpec* option : vendorOptions()) {
    const bool lines = option->kind == frontend::ValueKind::kLines;
    add(option->ippName, std::string(option->text) + (lines ? " (dot lines, 8 per mm)" : ""));
    if (ippSyntax(*option) == IppSyntax::kKeyword)
      for (const frontend::Choice& choice : option->choices)
        add(std::string(option->ippName) + "." + ippKeyword(choice.keyword), choice.text);
  }
  return strings;
}

bool readVendorValue(const frontend::OptionSpec& option, std::string_view text, std::uint32_t* value,
                     std::string* why) {
  if (ippSyntax(option) == IppSyntax::kKeyword) {
    for (const frontend::Choice& choice : option.choices)
      if (ippKeyword(choice.keyword) == text) return *value = choice.value, true;
  }
  return frontend::parseValue(option, text, value, why);
}

}  // namespace app
