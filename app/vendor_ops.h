// The app's own IPP operations, for what its command line does and PAPPL
// 1.3 has no operation for. The command line sends them through the
// server's local socket (whoever reaches it administers the server); over
// TCP they need an administrator's password, as PAPPL's own system
// operations do (app/admin_auth.h).
//
//   kOpPrintTestPage   to a printer (/ipp/print/NAME, or /ipp/print for the
//                      default one): prints its test page (app/test_page.h);
//                      answers job-id and printer-name
//   kOpSetWebPassword  to the system (/ipp/system): sets the web password
//                      (app/web_password.h) from the operation attribute
//                      kWebPasswordAttribute (text); a refused password is
//                      client-error-bad-request with a status-message that
//                      says why
#ifndef QMX_APP_VENDOR_OPS_H_
#define QMX_APP_VENDOR_OPS_H_

#include <pappl/pappl.h>

namespace app {

// In the vendor range, clear of CUPS' (0x4001-0x4027) and PAPPL's (0x402b-0x402c).
inline constexpr ipp_op_t kOpPrintTestPage = static_cast<ipp_op_t>(0x4571);
inline constexpr ipp_op_t kOpSetWebPassword = static_cast<ipp_op_t>(0x4572);
inline constexpr const char* kWebPasswordAttribute = "qmx415u-web-password";

// The operation callback for papplSystemSetOperationCallback: handles the
// operations above, leaves every other to PAPPL (false).
bool handleVendorOperation(pappl_client_t* client, void* data);

}  // namespace app

#endif  // QMX_APP_VENDOR_OPS_H_
