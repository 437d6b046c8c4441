// Reads the DLL's resources the way the printer's other software components
// do, through LoadStringW and the version API, and checks them against the
// independently written expected texts.
//
//   qmx415u-resources PATH_TO_DLL
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winver.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "platform/wide.h"
#include "plugin/resources/expected_messages.h"

namespace {

namespace want = resources_expected;

int failures = 0;

void fail(const std::string& what) {
  std::fprintf(stderr, "qmx415u-resources: %s\n", what.c_str());
  ++failures;
}

std::u16string_view view(const wchar_t* text, std::size_t length) {
  return {reinterpret_cast<const char16_t*>(text), length};
}

std::string utf8(std::u16string_view s) {
  return platform::toUtf8(reinterpret_cast<const wchar_t*>(s.data()), s.size());
}

std::string shown(std::u16string_view s) {
  std::string out;
  for (char c : utf8(s)) out += c == '\n' ? std::string("\\n") : std::string(1, c);
  return "\"" + out + "\" (" + std::to_string(s.size()) + " units)";
}

void checkStrings(HMODULE module) {
  wchar_t buffer[512];
  for (int id = want::kFirstId; id <= want::kLastId; ++id) {
    int length = LoadStringW(module, static_cast<UINT>(id), buffer, 512);
    std::u16string_view got = view(buffer, length > 0 ? static_cast<std::size_t>(length) : 0);
    if (got != want::kMessages[id])
      fail("string " + std::to_string(id) + " is " + shown(got) + ", want " + shown(want::kMessages[id]));
  }
  for (int id : want::kAbsentIds) {
    int length = LoadStringW(module, static_cast<UINT>(id), buffer, 512);
    if (length != 0) fail("string " + std::to_string(id) + " must not exist, got " + shown(view(buffer, length)));
  }
}

void checkVersion(const wchar_t* path) {
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeW(path, &handle);
  if (size == 0) return fail("no version information (error " + std::to_string(GetLastError()) + ")");
  std::string block(size, '\0');
  if (!GetFileVersionInfoW(path, 0, size, block.data())) return fail("GetFileVersionInfoW failed");

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || length < sizeof *fixed)
    return fail("no fixed file information");
  std::printf("file version %u.%u.%u.%u, product version %u.%u.%u.%u\n", HIWORD(fixed->dwFileVersionMS),
              LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS),
              HIWORD(fixed->dwProductVersionMS), LOWORD(fixed->dwProductVersionMS),
              HIWORD(fixed->dwProductVersionLS), LOWORD(fixed->dwProductVersionLS));
  if (fixed->dwFileVersionMS != want::kVersionMS || fixed->dwFileVersionLS != want::kVersionLS)
    fail("file version is not 2.0.0.0");
  if (fixed->dwProductVersionMS != want::kVersionMS || fixed->dwProductVersionLS != want::kVersionLS)
    fail("product version is not 2.0.0.0");
  if ((fixed->dwFileFlags & fixed->dwFileFlagsMask) != 0) fail("file flags are set");
  if (fixed->dwFileOS != want::kFileOs) fail("file OS is not VOS_NT_WINDOWS32");
  if (fixed->dwFileType != want::kFileType) fail("file type is not VFT_DLL");

  WORD* translation = nullptr;
  if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                      &length) ||
      length != 4 || translation[0] != want::kTranslationLanguage || translation[1] != want::kTranslationCodePage)
    fail("the translation entry is not 0x0409 / 0x04B0");

  for (const auto& [key, value] : want::kVersionStrings) {
    std::wstring query = L"\\StringFileInfo\\" +
                         std::wstring(reinterpret_cast<const wchar_t*>(want::kStringBlock.data()),
                                      want::kStringBlock.size()) +
                         L"\\" + std::wstring(reinterpret_cast<const wchar_t*>(key.data()), key.size());
    wchar_t* text = nullptr;
    if (!VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&text), &length) || text == nullptr) {
      fail(utf8(key) + " is missing");
      continue;
    }
    std::u16string_view got = view(text, wcslen(text));
    if (value == want::kAnyText ? got.empty() : got != value) fail(utf8(key) + " is " + shown(got));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: qmx415u-resources PATH_TO_DLL\n");
    return 2;
  }
  platform::WString path = platform::fromUtf8(argv[1]);
  HMODULE module = LoadLibraryW(path.c_str());
  if (module == nullptr) {
    std::fprintf(stderr, "qmx415u-resources: cannot load %s (error %lu)\n", argv[1], GetLastError());
    return 1;
  }
  checkStrings(module);
  FreeLibrary(module);
  checkVersion(path.c_str());
  std::printf("%d strings and the version block: %s\n", want::kLastId, failures == 0 ? "passed" : "FAILED");
  return failures == 0 ? 0 : 1;
}
