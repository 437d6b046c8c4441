// Runs the fixed job set through a plug-in module loaded at run time and
// writes each job's printer byte stream to <output folder>/<job>.prn, so that
// the streams of two builds (native, and the Windows DLL under Wine) can be
// compared byte for byte. Also watches the page files of a file-spooled job:
// they must appear in the spool folder while the job runs and be gone after.
//
//   qmx415u-jobset MODULE OUTPUT_FOLDER
//
// On Windows the plug-in reads ImageLine from QMXI415U.INI in the Windows
// folder and spools to the common-documents folder; this program writes the
// INI file there before each job. Natively the host points the plug-in at
// its own work folder.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "crosscheck/job_set.h"
#include "host/module_loader.h"
#include "host/print_session.h"

#if defined(_WIN32)
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

bool failed = false;

void complain(const std::string& what) {
  std::fprintf(stderr, "qmx415u-jobset: %s\n", what.c_str());
  failed = true;
}

#if defined(_WIN32)
fs::path windowsFolder() {
  wchar_t folder[MAX_PATH] = {};
  GetWindowsDirectoryW(folder, MAX_PATH);
  return fs::path(folder);
}

fs::path spoolFolder(const host::PrintSession&) {
  wchar_t folder[MAX_PATH] = {};
  if (SHGetFolderPathW(nullptr, CSIDL_COMMON_DOCUMENTS, nullptr, SHGFP_TYPE_CURRENT, folder) != S_OK) return {};
  return fs::path(folder);
}

// The plug-in names the INI file without a folder, so Windows looks in the
// Windows folder. The profile cache is flushed so the next read sees the file.
bool placeIni(const std::optional<std::int32_t>& imageLine) {
  fs::path ini = windowsFolder() / "QMXI415U.INI";
  std::error_code ec;
  if (imageLine) {
    std::ofstream out(ini, std::ios::binary | std::ios::trunc);
    out << "[QMX415U]\r\nImageLine=" << *imageLine << "\r\n";
    if (!out) return false;
  } else {
    fs::remove(ini, ec);
  }
  WritePrivateProfileStringW(nullptr, nullptr, nullptr, L"QMXI415U.INI");
  return true;
}

// Other users must get nothing: no allowed entry for everyone, the users
// group, authenticated or interactive users; and the caller itself must be
// let in. (The system account and administrators may stay.)
bool ownerOnly(const fs::path& file, std::string* why) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(file.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                            nullptr, &descriptor) != ERROR_SUCCESS) {
    *why = "its security descriptor cannot be read";
    return false;
  }
  std::wstring user;
  HANDLE token = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    BYTE buffer[256];
    DWORD needed = 0;
    LPWSTR text = nullptr;
    if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &needed) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) {
      user = text;
      LocalFree(text);
    }
    CloseHandle(token);
  }
  bool userAllowed = false;
  std::wstring others;
  if (dacl == nullptr) others = L"a null DACL (everyone)";
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace) || static_cast<ACE_HEADER*>(ace)->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart, &text)) continue;
    std::wstring sid = text;
    LocalFree(text);
    if (sid == user) userAllowed = true;
    if (sid == L"S-1-1-0" || sid == L"S-1-5-32-545" || sid == L"S-1-5-11" || sid == L"S-1-5-4") others += sid + L" ";
  }
  LocalFree(descriptor);
  if (!others.empty()) *why = "other users are let in: " + fs::path(others).string();
  else if (!userAllowed) *why = "the creating user is not let in";
  return others.empty() && userAllowed;
}
#else
bool ownerOnly(const fs::path& file, std::string* why) {
  struct stat st {};
  if (stat(file.c_str(), &st) != 0) {
    *why = "it cannot be examined";
    return false;
  }
  if ((st.st_mode & 077) == 0 && st.st_uid == getuid()) return true;
  *why = "its mode or owner lets other users in";
  return false;
}

fs::path spoolFolder(const host::PrintSession& session) { return fs::path(session.workDir()); }
bool placeIni(const std::optional<std::int32_t>&) { return true; }  // the host writes it
#endif

// Names of the plug-in's temporary files in the spool folder, sorted.
std::vector<std::string> pageFiles(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("QMX$$", 0) == 0) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string joined(const std::vector<std::string>& names) {
  std::string s;
  for (const auto& n : names) s += (s.empty() ? "" : " ") + n;
  return s.empty() ? "(none)" : s;
}

bool endsWith(const std::string& s, const char* tail) {
  std::size_t n = std::strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

// Drives a two-page file-spooled job call by call and checks the page files
// between the calls: page 1's file from its start of page on, page 2's file
// beside it, both gone at the end of the job.
void watchPageFiles(host::PrintSession& session, const fs::path& folder) {
  host::JobSpec spec = crosscheck::fileSpooledProbeJob();
  IPrintOemUni* plugin = session.plugin();
  DEVOBJ* device = session.device();
  host::Record record = session.defaultRecord();
  host::applyFields(spec.fields, record);
  std::memcpy(device->pOEMDM, record.data(), record.size());
  device->pPublicDM->dmPaperLength = spec.paperLength;
  if (!placeIni(spec.imageLine)) complain("cannot write the INI file");

  auto command = [&](DWORD id) {
    INT result = -1;
    if (plugin->CommandCallback(device, id, 0, nullptr, &result) != 0 || result != 0)
      complain("CommandCallback(" + std::to_string(id) + ") failed in the page-file probe");
  };
  auto expect = [&](const char* when, std::size_t count, std::initializer_list<const char*> tails) {
    std::vector<std::string> names = pageFiles(folder);
    std::printf("  page files %s: %s\n", when, joined(names).c_str());
    bool ok = names.size() == count;
    for (const char* tail : tails) {
      bool found = false;
      for (const auto& n : names) found = found || endsWith(n, tail);
      ok = ok && found;
    }
    if (!ok) complain(std::string("unexpected page files ") + when + ": " + joined(names));
  };

  command(1);
  expect("after the start of the job", 0, {});
  for (std::size_t p = 0; p < spec.pages.size(); ++p) {
    command(2);
    for (const host::RasterLine& line : spec.pages[p]) {
      host::RasterLine copy = line;
      plugin->FilterGraphics(device, copy.data(), static_cast<DWORD>(copy.size()));
    }
    if (p == 0) {
      expect("while page 1 is received", 1, {".001"});
      for (const std::string& name : pageFiles(folder)) {
        std::string why;
        if (ownerOnly(folder / name, &why)) std::printf("  %s is the creating user's alone\n", name.c_str());
        else complain(name + " is not owner-only: " + why);
      }
    }
    command(3);
  }
  expect("after the end of page 2", 2, {".001", ".002"});
  command(4);
  expect("after the end of the job", 0, {});
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: qmx415u-jobset MODULE OUTPUT_FOLDER\n");
    return 2;
  }
  const auto started = std::chrono::steady_clock::now();
  std::string error;
  auto module = host::PluginModule::load(argv[1], &error);
  if (module == nullptr) {
    std::fprintf(stderr, "qmx415u-jobset: %s\n", error.c_str());
    return 1;
  }
  auto session = host::PrintSession::open(*module, {}, &error);
  if (session == nullptr) {
    std::fprintf(stderr, "qmx415u-jobset: set-up failed: %s\n", error.c_str());
    return 1;
  }
  std::error_code ec;
  fs::path out(argv[2]);
  fs::create_directories(out, ec);

  std::vector<crosscheck::NamedJob> jobs = crosscheck::jobSet();
  fs::path folder;
  std::size_t bytes = 0;
  for (const crosscheck::NamedJob& job : jobs) {
    if (!placeIni(job.spec.imageLine)) complain(job.name + ": cannot write the INI file");
    host::JobResult result = session->runJob(job.spec);
    if (!result.ok) complain(job.name + ": " + result.error);
    std::ofstream stream(out / (job.name + ".prn"), std::ios::binary | std::ios::trunc);
    stream.write(reinterpret_cast<const char*>(result.stream.data()), static_cast<std::streamsize>(result.stream.size()));
    if (!stream) complain(job.name + ": cannot write its stream");
    bytes += result.stream.size();
    // The spool folder is known once the host has prepared the first job.
    if (folder.empty()) folder = spoolFolder(*session);
    if (job.fileSpooled && !pageFiles(folder).empty())
      complain(job.name + ": page files left behind: " + joined(pageFiles(folder)));
  }
  std::printf("%zu jobs, %zu bytes written to %s\n", jobs.size(), bytes, out.string().c_str());

  std::printf("page files in %s:\n", folder.string().c_str());
  watchPageFiles(*session, folder);

  HRESULT unload = session->close();
  if (unload != 0) complain("DllCanUnloadNow did not answer S_OK after the session");
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
  std::printf("%s in %lld ms\n", failed ? "FAILED" : "passed", static_cast<long long>(ms.count()));
  return failed ? 1 : 0;
}
