// The administrator's web password: one password, signed in with as the
// user kWebAdminUser, that lets whoever knows it administer the server from
// its web page and over IPP. It is set through the local socket
// (`qmx415u-app passwd`, by root or a member of the admin group) or on the
// Security page by an administrator.
//
// It is kept only as a yescrypt hash (libcrypt, salted, slow on purpose) in
// PAPPL's own password field, which PAPPL saves in the state file (owner
// only). PAPPL 1.3 checks that field itself only when no authentication
// callback is set; the app always sets one (app/admin_auth.h), so the
// field is the app's.
//
// Why a password of its own rather than the system's: the service runs as
// its own user, which cannot check other users' system passwords (only
// unix_chkpwd reads /etc/shadow, for the calling user only), and a web
// form on a plain-HTTP port should not be a way to guess them.
#ifndef QMX_APP_WEB_PASSWORD_H_
#define QMX_APP_WEB_PASSWORD_H_

#include <pappl/pappl.h>

#include <string>

namespace app {

// The name the web password is signed in with.
inline constexpr const char* kWebAdminUser = "admin";
// Shortest and longest password taken.
inline constexpr std::size_t kShortestWebPassword = 8;
inline constexpr std::size_t kLongestWebPassword = 256;

// Hashes `password` and stores the hash; false with *why set when it is too
// short or too long, or holds a control character, or hashing failed.
bool setWebPassword(pappl_system_t* system, const std::string& password, std::string* why);

// Whether a web password is set.
bool webPasswordSet(pappl_system_t* system);

// Whether `password` is the web password (false when none is set).
bool isWebPassword(pappl_system_t* system, const char* password);

// The hash a password gets, for the tests: "" on failure.
std::string hashWebPassword(const std::string& password);
// Whether `password` matches `hash` (compared in constant time).
bool matchesWebPassword(const std::string& hash, const char* password);

}  // namespace app

#endif  // QMX_APP_WEB_PASSWORD_H_
