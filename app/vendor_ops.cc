#include "app/vendor_ops.h"

#include <string>

#include "app/test_page.h"
#include "app/web_password.h"

namespace app {
namespace {

// PAPPL's answer for a client that may not: HTTP 401 or 403 (or an
// upgrade to TLS), as its own administrative operations give.
bool mayAdminister(pappl_client_t* client) {
  const http_status_t code = papplClientIsAuthorized(client);
  if (code == HTTP_STATUS_CONTINUE) return true;
  papplClientRespond(client, code, nullptr, nullptr, 0, 0);
  return false;
}

void printTestPageOp(pappl_client_t* client) {
  pappl_printer_t* printer = papplClientGetPrinter(client);
  if (printer == nullptr) {
    papplClientRespondIPP(client, IPP_STATUS_ERROR_NOT_FOUND, "No such printer.");
    return;
  }
  if (!mayAdminister(client)) return;
  std::string why;
  const char* user = papplClientGetUsername(client);
  pappl_job_t* job = printTestPage(printer, user, &why);
  if (job == nullptr) {
    papplClientRespondIPP(client, IPP_STATUS_ERROR_INTERNAL, "No test page: %s", why.c_str());
    return;
  }
  papplClientRespondIPP(client, IPP_STATUS_OK, nullptr);
  ipp_t* response = papplClientGetResponse(client);
  ippAddInteger(response, IPP_TAG_JOB, IPP_TAG_INTEGER, "job-id", papplJobGetID(job));
  ippAddString(response, IPP_TAG_JOB, IPP_TAG_NAME, "printer-name", nullptr, papplPrinterGetName(printer));
}

void setWebPasswordOp(pappl_client_t* client) {
  if (!mayAdminister(client)) return;
  ipp_attribute_t* attr =
      ippFindAttribute(papplClientGetRequest(client), kWebPasswordAttribute, IPP_TAG_ZERO);
  if (attr == nullptr || ippGetGroupTag(attr) != IPP_TAG_OPERATION || ippGetCount(attr) != 1 ||
      (ippGetValueTag(attr) != IPP_TAG_TEXT && ippGetValueTag(attr) != IPP_TAG_TEXTLANG)) {
    papplClientRespondIPP(client, IPP_STATUS_ERROR_BAD_REQUEST, "No %s (text) given.", kWebPasswordAttribute);
    return;
  }
  std::string why;
  if (!setWebPassword(papplClientGetSystem(client), ippGetString(attr, 0, nullptr), &why)) {
    papplClientRespondIPP(client, IPP_STATUS_ERROR_BAD_REQUEST, "Password not set: %s.", why.c_str());
    return;
  }
  papplLogClient(client, PAPPL_LOGLEVEL_INFO, "The web password was set.");
  papplClientRespondIPP(client, IPP_STATUS_OK, nullptr);
}

}  // namespace

bool handleVendorOperation(pappl_client_t* client, void* /*data*/) {
  try {
    const ipp_op_t op = ippGetOperation(papplClientGetRequest(client));
    if (op == kOpPrintTestPage) {
      printTestPageOp(client);
    } else if (op == kOpSetWebPassword) {
      setWebPasswordOp(client);
    } else {
      return false;
    }
  } catch (...) {
    papplClientRespondIPP(client, IPP_STATUS_ERROR_INTERNAL, "Internal error.");
  }
  return true;
}

}  // namespace app
