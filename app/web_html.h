// What the app's own web pages are made of, in the look of PAPPL 1.3's
// (its style sheet, header, navigation and footer), with PAPPL's public
// HTML calls: papplClientHTMLPrintf escapes every %s it inserts.
#ifndef QMX_APP_WEB_HTML_H_
#define QMX_APP_WEB_HTML_H_

#include <pappl/pappl.h>

#include <cstdint>
#include <string>
#include <vector>

namespace app::web {

// A page outside any printer: PAPPL's header and navigation, the version
// line, the title. End it with endSystemPage.
void startSystemPage(pappl_client_t* client, const char* title);
void endSystemPage(pappl_client_t* client);

// A printer's page: PAPPL's printer header (its name and its links) and
// the title. End it with endPrinterPage.
void startPrinterPage(pappl_client_t* client, pappl_printer_t* printer, const char* title, int refreshSeconds = 0);
void endPrinterPage(pappl_client_t* client);

// A message above a form: what the last submission did.
void banner(pappl_client_t* client, const std::string& text);

// The path of a printer's page: "/NAME" + `sub` ("/media", ...).
std::string printerPath(pappl_printer_t* printer, const std::string& sub = "");

bool isPost(pappl_client_t* client);

// The variables of a submitted form (POST body, or a GET's query), read
// once; `valid` when it carried the page's session token (PAPPL's guard
// against forms posted from other sites).
class Form {
 public:
  explicit Form(pappl_client_t* client);
  ~Form();
  Form(const Form&) = delete;
  Form& operator=(const Form&) = delete;

  bool valid() const { return valid_; }
  bool empty() const { return count_ == 0; }
  bool has(const char* name) const { return get(name) != nullptr; }
  const char* get(const char* name) const;
  std::string text(const char* name) const;  // "" when missing

 private:
  int count_ = 0;
  cups_option_t* variables_ = nullptr;
  bool valid_ = false;
};

// Sends a whole response of `type` made of `bytes`.
void sendBytes(pappl_client_t* client, const char* type, const std::vector<std::uint8_t>& bytes);

}  // namespace app::web

#endif  // QMX_APP_WEB_HTML_H_
