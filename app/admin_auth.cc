#include "app/admin_auth.h"

#include <grp.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/service_user.h"
#include "app/web_password.h"

namespace app {
namespace {

constexpr const char* kAuthScheme = "Basic";
constexpr const char* kBasicPrefix = "Basic ";
constexpr int kCredentialsSize = 1024;
constexpr int kGroupsGuess = 64;
constexpr std::size_t kGroupNameSize = 256;
constexpr std::size_t kPasswdBufferSize = 16384;
constexpr int kPamFlags = PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK;
constexpr const char* kNoPamService = "none";  // as PAPPL spells it
constexpr const char* kRequestingUser = "requesting-user-name";

const gid_t kNoGroupId = static_cast<gid_t>(-1);

// The policy setAdminPolicy installed, for pages that identify visitors.
const AdminPolicy* installedPolicy = nullptr;

// A user name and password from an Authorization header, wiped when done.
class Credentials {
 public:
  ~Credentials() { explicit_bzero(text_, sizeof text_); }
  // False when `header` is not HTTP Basic with user:password.
  bool read(const char* header) {
    if (header == nullptr || std::strncmp(header, kBasicPrefix, std::strlen(kBasicPrefix)) != 0) return false;
    const char* encoded = header + std::strlen(kBasicPrefix);
    while (*encoded == ' ') ++encoded;
    int length = kCredentialsSize - 1;
    httpDecode64_2(text_, &length, encoded);
    if (length <= 0 || length >= kCredentialsSize - 1) return false;
    text_[length] = '\0';
    char* colon = std::strchr(text_, ':');
    if (colon == nullptr || colon == text_ || colon[1] == '\0') return false;
    *colon = '\0';
    password_ = colon + 1;
    return true;
  }
  const char* user() const { return text_; }
  const char* password() const { return password_; }

 private:
  char text_[kCredentialsSize] = {};
  const char* password_ = nullptr;
};

// Answers PAM's prompts: the password where it is not echoed, the user
// name where it is.
int converse(int count, const struct pam_message** messages, struct pam_response** replies, void* data) {
  if (count <= 0 || count > PAM_MAX_NUM_MSG) return PAM_CONV_ERR;
  const auto* credentials = static_cast<const Credentials*>(data);
  auto* answers = static_cast<pam_response*>(std::calloc(static_cast<std::size_t>(count), sizeof(pam_response)));
  if (answers == nullptr) return PAM_BUF_ERR;
  for (int i = 0; i < count; ++i) {
    const char* answer = nullptr;
    if (messages[i]->msg_style == PAM_PROMPT_ECHO_OFF) answer = credentials->password();
    if (messages[i]->msg_style == PAM_PROMPT_ECHO_ON) answer = credentials->user();
    if (answer == nullptr) continue;
    answers[i].resp = strdup(answer);
    if (answers[i].resp == nullptr) {
      for (int j = 0; j < i; ++j) std::free(answers[j].resp);
      std::free(answers);
      return PAM_BUF_ERR;
    }
  }
  *replies = answers;
  return PAM_SUCCESS;
}

// The user PAM knows the password of ("" when it is wrong). Not
// pam_setcred: that would hand the user's credentials (groups, ...) to
// the whole server.
std::string pamUser(pappl_client_t* client, const std::string& service, const Credentials& credentials) {
  pam_conv conversation{converse, const_cast<Credentials*>(&credentials)};
  pam_handle_t* handle = nullptr;
  int status = pam_start(service.c_str(), credentials.user(), &conversation, &handle);
  if (status == PAM_SUCCESS) status = pam_set_item(handle, PAM_RHOST, papplClientGetHostName(client));
  if (status == PAM_SUCCESS) status = pam_authenticate(handle, kPamFlags);
  if (status == PAM_SUCCESS) status = pam_acct_mgmt(handle, kPamFlags);
  std::string user;
  const void* item = nullptr;
  if (status == PAM_SUCCESS && pam_get_item(handle, PAM_USER, &item) == PAM_SUCCESS && item != nullptr) {
    user = static_cast<const char*>(item);
  } else {
    papplLogClient(client, PAPPL_LOGLEVEL_WARN, "Authentication of '%s' failed: %s", credentials.user(),
                   pam_strerror(handle, status));
  }
  if (handle != nullptr) pam_end(handle, status);
  return user;
}

// Root, the server's own user, and members of `group` may.
bool isMember(const std::string& user, gid_t group) {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(kPasswdBufferSize);
  if (getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return false;
  if (found->pw_uid == 0 || found->pw_uid == geteuid()) return true;
  if (group == kNoGroupId) return false;
  if (found->pw_gid == group) return true;
  int count = kGroupsGuess;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  if (getgrouplist(user.c_str(), found->pw_gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<std::size_t>(count));
    if (getgrouplist(user.c_str(), found->pw_gid, groups.data(), &count) < 0) return false;
  }
  groups.resize(static_cast<std::size_t>(count));
  return std::find(groups.begin(), groups.end(), group) != groups.end();
}

bool isAdministration(pappl_client_t* client, const char* group) {
  char adminGroup[kGroupNameSize] = "";
  return papplSystemGetAdminGroup(papplClientGetSystem(client), adminGroup, sizeof adminGroup) != nullptr &&
         std::strcmp(group, adminGroup) == 0;
}

bool fromNetwork(pappl_client_t* client) {
  const http_addr_t* address = httpGetAddress(papplClientGetHTTP(client));
  return address == nullptr || !httpAddrLocalhost(address);
}

bool canCheckPasswords(const std::string& service) { return !service.empty() && service != kNoPamService; }

// PAPPL 1.3 lets a job's owner act on it (Get-Job-Attributes, Cancel-Job,
// ...) when the connection's user name is the job's, and with an
// authentication callback sets that name only by authenticating. A
// printing client is taken for the user it names, as PAPPL names the
// owner of the job it makes (and as CUPS takes local clients).
void takeRequestingUser(pappl_client_t* client) {
  ipp_t* request = papplClientGetRequest(client);
  ipp_attribute_t* name = request != nullptr ? ippFindAttribute(request, kRequestingUser, IPP_TAG_NAME) : nullptr;
  papplClientSetUsername(client, name != nullptr ? ippGetString(name, 0, nullptr) : nullptr);
}

// Checks a password, one check at a time; a wrong one holds the gate for
// kFailureDelay so that guessing stays slow. Returns the user the password
// is right for, or "".
std::string checkPassword(pappl_client_t* client, const AdminPolicy& policy, const Credentials& credentials) {
  static std::mutex gate;
  const std::lock_guard<std::mutex> hold(gate);
  std::string user;
  if (std::strcmp(credentials.user(), kWebAdminUser) == 0) {
    if (isWebPassword(papplClientGetSystem(client), credentials.password())) {
      user = kWebAdminUser;
    } else {
      papplLogClient(client, PAPPL_LOGLEVEL_WARN, "Wrong web password for '%s'.", kWebAdminUser);
    }
  } else if (canCheckPasswords(policy.pamService)) {
    user = pamUser(client, policy.pamService, credentials);
  }
  if (user.empty()) std::this_thread::sleep_for(kFailureDelay);
  return user;
}

bool isWebAdmin(const std::string& user) { return user == kWebAdminUser; }

http_status_t decide(pappl_client_t* client, const char* group, gid_t groupId, const AdminPolicy& policy) {
  if (group == nullptr) {  // printing; PAPPL has asked for TLS where it wants it
    takeRequestingUser(client);
    return HTTP_STATUS_CONTINUE;
  }
  if (isAdministration(client, group) && fromNetwork(client) && !policy.remoteAdmin) {
    papplLogClient(client, PAPPL_LOGLEVEL_WARN, "Administration from another host refused (remote-admin is off).");
    return HTTP_STATUS_FORBIDDEN;
  }
  Credentials credentials;
  if (!credentials.read(httpGetField(papplClientGetHTTP(client), HTTP_FIELD_AUTHORIZATION))) {
    return HTTP_STATUS_UNAUTHORIZED;
  }
  const std::string user = checkPassword(client, policy, credentials);
  if (user.empty()) return HTTP_STATUS_UNAUTHORIZED;
  if (!isWebAdmin(user) && !isMember(user, groupId)) {
    papplLogClient(client, PAPPL_LOGLEVEL_WARN, "'%s' is not in group '%s'.", user.c_str(), group);
    return HTTP_STATUS_FORBIDDEN;
  }
  papplLogClient(client, PAPPL_LOGLEVEL_INFO, "Authenticated '%s' for group '%s'.", user.c_str(), group);
  papplClientSetUsername(client, user.c_str());
  return HTTP_STATUS_CONTINUE;
}

http_status_t authorize(pappl_client_t* client, const char* group, gid_t groupId, void* data) {
  try {
    return decide(client, group, groupId, *static_cast<const AdminPolicy*>(data));
  } catch (...) {
    return HTTP_STATUS_SERVER_ERROR;
  }
}

gid_t groupIdOf(const char* name) {
  group entry{};
  group* found = nullptr;
  std::vector<char> buffer(kPasswdBufferSize);
  if (getgrnam_r(name, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return kNoGroupId;
  return found->gr_gid;
}

}  // namespace

void setAdminPolicy(pappl_system_t* system, const AdminPolicy* policy, const std::string& group) {
  std::string name = group;
  char saved[kGroupNameSize] = "";
  if (name.empty() && papplSystemGetAdminGroup(system, saved, sizeof saved) != nullptr) name = saved;
  if (name.empty()) name = groupIdOf(kDefaultAdminGroup) != kNoGroupId ? kDefaultAdminGroup : kNoAdminGroup;
  papplSystemSetAdminGroup(system, name.c_str());
  installedPolicy = policy;
  papplSystemSetAuthCallback(system, kAuthScheme, authorize, const_cast<AdminPolicy*>(policy));
}

gid_t adminGroupId(pappl_system_t* system) {
  char name[kGroupNameSize] = "";
  if (papplSystemGetAdminGroup(system, name, sizeof name) == nullptr || std::strcmp(name, kNoAdminGroup) == 0) {
    return kNoGroupId;
  }
  return groupIdOf(name);
}

WebVisitor identifyVisitor(pappl_client_t* client) {
  WebVisitor visitor;
  if (installedPolicy == nullptr) return visitor;
  const bool exposed = fromNetwork(client) && !papplClientIsEncrypted(client);
  Credentials credentials;
  if (exposed || !credentials.read(httpGetField(papplClientGetHTTP(client), HTTP_FIELD_AUTHORIZATION))) {
    return visitor;
  }
  visitor.user = checkPassword(client, *installedPolicy, credentials);
  if (visitor.user.empty()) return visitor;
  const bool mayAdminister = !fromNetwork(client) || installedPolicy->remoteAdmin;
  visitor.admin = mayAdminister && (isWebAdmin(visitor.user) ||
                                    isMember(visitor.user, adminGroupId(papplClientGetSystem(client))));
  return visitor;
}

}  // namespace app
