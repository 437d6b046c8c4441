// The Security page (app/web_pages.h): the web password, and the admin
// group among those app/admin_groups.h offers.
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/admin_auth.h"
#include "app/admin_groups.h"
#include "app/web_html.h"
#include "app/web_pages.h"
#include "app/web_password.h"

namespace app::web {
namespace {

constexpr std::size_t kGroupNameSize = 256;

std::string currentAdminGroup(pappl_system_t* system) {
  char name[kGroupNameSize] = "";
  papplSystemGetAdminGroup(system, name, sizeof name);
  return *name ? name : kNoAdminGroup;
}

std::string changePassword(pappl_system_t* system, const Form& form) {
  std::string password = form.text("password");
  std::string again = form.text("password_again");
  std::string status;
  if (password != again) {
    status = "The two passwords differ; nothing changed.";
  } else if (setWebPassword(system, password, &status)) {
    status = "The web password is changed: sign in again as " + std::string(kWebAdminUser) + " with it.";
  } else {
    status = "Password not changed: " + status + ".";
  }
  explicit_bzero(password.data(), password.size());
  explicit_bzero(again.data(), again.size());
  return status;
}

std::string changeGroup(pappl_system_t* system, const Form& form) {
  const std::string chosen = form.text("admin_group");
  const std::vector<std::string> offered = adminGroupChoices();
  if (std::find(offered.begin(), offered.end(), chosen) == offered.end()) {
    return "'" + chosen + "' is not a group that may administer printers.";
  }
  papplSystemSetAdminGroup(system, chosen.c_str());
  return "The admin group is now " + chosen + ".";
}

}  // namespace

void securityPage(pappl_client_t* client, pappl_system_t* system) {
  if (!papplClientHTMLAuthorize(client)) return;
  std::string status;
  if (isPost(client)) {
    Form form(client);
    if (!form.valid()) {
      status = "Invalid form submission.";
    } else if (form.text("action") == "password") {
      status = changePassword(system, form);
    } else if (form.text("action") == "group") {
      status = changeGroup(system, form);
    } else {
      status = "Unknown action.";
    }
  }
  const std::string current = currentAdminGroup(system);
  startSystemPage(client, "Security");
  banner(client, status);
  papplClientHTMLPrintf(client,
                        "          <h2 class=\"title\">Web password</h2>\n"
                        "          <p>Administrators sign in as <b>%s</b> with this password (or with their own, "
                        "where the system can check it). Root and the admin group set it on the command line: "
                        "<code>qmx415u-app passwd</code>.</p>\n",
                        kWebAdminUser);
  papplClientHTMLStartForm(client, "/security", false);
  papplClientHTMLPrintf(client,
                        "          <input type=\"hidden\" name=\"action\" value=\"password\">\n"
                        "          <table class=\"form\"><tbody>\n"
                        "              <tr><th><label for=\"password\">New password:</label></th><td><input "
                        "type=\"password\" name=\"password\" id=\"password\" minlength=\"%u\" required></td></tr>\n"
                        "              <tr><th><label for=\"password_again\">Again:</label></th><td><input "
                        "type=\"password\" name=\"password_again\" id=\"password_again\" required></td></tr>\n"
                        "              <tr><th></th><td><input type=\"submit\" value=\"Change Password\"></td></tr>\n"
                        "          </tbody></table></form>\n",
                        static_cast<unsigned>(kShortestWebPassword));
  papplClientHTMLPuts(client,
                      "          <h2 class=\"title\">Admin group</h2>\n"
                      "          <p>Its members reach the command line's socket (when the server starts; the "
                      "service's socket is lpadmin's) and sign in with their own password where the system can "
                      "check it. Only groups that hand out nothing else are offered.</p>\n");
  papplClientHTMLStartForm(client, "/security", false);
  papplClientHTMLPuts(client,
                      "          <input type=\"hidden\" name=\"action\" value=\"group\">\n"
                      "          <table class=\"form\"><tbody>\n"
                      "              <tr><th><label for=\"admin_group\">Admin group:</label></th><td><select "
                      "name=\"admin_group\" id=\"admin_group\">");
  for (const std::string& group : adminGroupChoices()) {
    papplClientHTMLPrintf(client, "<option value=\"%s\"%s>%s</option>", group.c_str(),
                          group == current ? " selected" : "", group.c_str());
  }
  papplClientHTMLPuts(client,
                      "</select></td></tr>\n"
                      "              <tr><th></th><td><input type=\"submit\" value=\"Change Group\"></td></tr>\n"
                      "          </tbody></table></form>\n");
  endSystemPage(client);
}

}  // namespace app::web
