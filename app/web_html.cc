#include "app/web_html.h"

#include <cstring>

#include "app/version.h"

namespace app::web {

void startSystemPage(pappl_client_t* client, const char* title) {
  if (!papplClientRespond(client, HTTP_STATUS_OK, nullptr, "text/html", 0, 0)) return;
  papplClientHTMLHeader(client, title, 0);
  papplClientHTMLPrintf(client,
                        "    <div class=\"header2\">\n"
                        "      <div class=\"row\">\n"
                        "        <div class=\"col-12 nav\">\n"
                        "          Version %s\n"
                        "        </div>\n"
                        "      </div>\n"
                        "    </div>\n"
                        "    <div class=\"content\">\n"
                        "      <div class=\"row\">\n"
                        "        <div class=\"col-12\">\n"
                        "          <h1 class=\"title\">%s</h1>\n",
                        kVersion, title);
}

void endSystemPage(pappl_client_t* client) {
  papplClientHTMLPuts(client,
                      "        </div>\n"
                      "      </div>\n"
                      "    </div>\n");
  papplClientHTMLFooter(client);
}

void startPrinterPage(pappl_client_t* client, pappl_printer_t* printer, const char* title, int refreshSeconds) {
  papplClientHTMLPrinterHeader(client, printer, title, refreshSeconds, nullptr, nullptr);
}

void endPrinterPage(pappl_client_t* client) { papplClientHTMLPrinterFooter(client); }

void banner(pappl_client_t* client, const std::string& text) {
  if (!text.empty()) papplClientHTMLPrintf(client, "          <div class=\"banner\">%s</div>\n", text.c_str());
}

std::string printerPath(pappl_printer_t* printer, const std::string& sub) {
  char path[1024];
  papplPrinterGetPath(printer, nullptr, path, sizeof path);
  return path + sub;
}

bool isPost(pappl_client_t* client) { return papplClientGetMethod(client) == HTTP_STATE_POST; }

Form::Form(pappl_client_t* client) {
  count_ = papplClientGetForm(client, &variables_);
  valid_ = count_ > 0 && papplClientIsValidForm(client, count_, variables_);
}

Form::~Form() { cupsFreeOptions(count_, variables_); }

const char* Form::get(const char* name) const { return cupsGetOption(name, count_, variables_); }

std::string Form::text(const char* name) const {
  const char* value = get(name);
  return value != nullptr ? value : "";
}

void sendBytes(pappl_client_t* client, const char* type, const std::vector<std::uint8_t>& bytes) {
  if (!papplClientRespond(client, HTTP_STATUS_OK, nullptr, type, 0, bytes.size())) return;
  httpWrite2(papplClientGetHTTP(client), reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

}  // namespace app::web
