// The printer's own page, the paper page and a job's paper picture
// (app/web_pages.h).
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "app/admin_auth.h"
#include "app/paper_log.h"
#include "app/test_page.h"
#include "app/web_html.h"
#include "app/web_pages.h"

namespace app::web {
namespace {

constexpr int kJobsShown = 20;
constexpr int kRefreshSeconds = 10;  // while the printer prints
constexpr std::size_t kTextSize = 1024;

struct JobRow {
  int id = 0;
  std::string name;
  std::string owner;
  ipp_jstate_t state = IPP_JSTATE_PENDING;
  int pages = 0;
};

void collectJob(pappl_job_t* job, void* data) {
  auto* rows = static_cast<std::vector<JobRow>*>(data);
  try {
    rows->push_back({papplJobGetID(job), papplJobGetName(job) ? papplJobGetName(job) : "",
                     papplJobGetUsername(job) ? papplJobGetUsername(job) : "", papplJobGetState(job),
                     papplJobGetImpressionsCompleted(job)});
  } catch (...) {
  }
}

std::vector<JobRow> lastJobs(pappl_printer_t* printer) {
  std::vector<JobRow> rows;
  papplPrinterIterateAllJobs(printer, collectJob, &rows, 1, kJobsShown);
  return rows;
}

bool maySee(const WebVisitor& visitor, const std::string& owner) {
  return visitor.admin || (!visitor.user.empty() && visitor.user == owner);
}

const char* stateText(ipp_jstate_t state) {
  switch (state) {
    case IPP_JSTATE_PENDING: return "waiting";
    case IPP_JSTATE_HELD: return "held";
    case IPP_JSTATE_PROCESSING: return "printing";
    case IPP_JSTATE_STOPPED: return "stopped";
    case IPP_JSTATE_CANCELED: return "cancelled";
    case IPP_JSTATE_ABORTED: return "aborted";
    case IPP_JSTATE_COMPLETED: return "completed";
  }
  return "";
}

std::string printerStateText(pappl_printer_t* printer) {
  static const std::pair<pappl_preason_t, const char*> kReasons[] = {
      {PAPPL_PREASON_MEDIA_EMPTY, "out of paper"}, {PAPPL_PREASON_MEDIA_JAM, "paper jam"},
      {PAPPL_PREASON_MEDIA_LOW, "paper low"},      {PAPPL_PREASON_COVER_OPEN, "cover open"},
      {PAPPL_PREASON_OFFLINE, "offline"},          {PAPPL_PREASON_OTHER, "needs attention"},
  };
  const ipp_pstate_t state = papplPrinterGetState(printer);
  std::string text = state == IPP_PSTATE_IDLE ? "Idle" : state == IPP_PSTATE_PROCESSING ? "Printing" : "Stopped";
  const int active = papplPrinterGetNumberOfActiveJobs(printer);
  text += ", " + std::to_string(active) + (active == 1 ? " job" : " jobs");
  const pappl_preason_t reasons = papplPrinterGetReasons(printer);
  for (const auto& [reason, words] : kReasons) {
    if (reasons & reason) text += std::string(", ") + words;
  }
  if (papplPrinterIsHoldingNewJobs(printer)) text += ", holding new jobs";
  if (papplSystemGetDefaultPrinterID(papplPrinterGetSystem(printer)) == papplPrinterGetID(printer)) {
    text += ", default printer";
  }
  return text + ".";
}

void actionButton(pappl_client_t* client, pappl_printer_t* printer, const char* action, const char* label) {
  papplClientHTMLStartForm(client, printerPath(printer, "/").c_str(), false);
  papplClientHTMLPrintf(client,
                        "<input type=\"hidden\" name=\"action\" value=\"%s\"><input type=\"submit\" value=\"%s\">"
                        "</form>",
                        action, label);
}

// Runs one of the page's actions; what it did, for the banner.
std::string runAction(pappl_client_t* client, pappl_printer_t* printer, const std::string& action) {
  if (action == "print-test-page") {
    std::string why;
    pappl_job_t* job = printTestPage(printer, papplClientGetUsername(client), &why);
    return job != nullptr ? "Test page printing: job " + std::to_string(papplJobGetID(job)) + "." : "No test page: " + why;
  }
  if (action == "pause-printer") {
    papplPrinterPause(printer);
    return "Printer paused.";
  }
  if (action == "resume-printer") {
    papplPrinterResume(printer);
    return "Printer resumed.";
  }
  if (action == "hold-new-jobs") {
    papplPrinterHoldNewJobs(printer);
    return "Holding new jobs.";
  }
  if (action == "release-held-new-jobs") {
    papplPrinterReleaseHeldNewJobs(printer, papplClientGetUsername(client));
    return "New jobs released.";
  }
  if (action == "set-as-default") {
    papplSystemSetDefaultPrinterID(papplPrinterGetSystem(printer), papplPrinterGetID(printer));
    return "This is the default printer.";
  }
  return "Unknown action.";
}

void statusSection(pappl_client_t* client, pappl_printer_t* printer, const WebVisitor& visitor) {
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  papplClientHTMLPrintf(client, "          <h1 class=\"title\">Status</h1>\n          <p>%s<br>%s</p>\n",
                        printerStateText(printer).c_str(), data.make_and_model);
  papplClientHTMLPuts(client, "          <div class=\"btn\">");
  if (visitor.admin) {
    actionButton(client, printer, "print-test-page", "Print Test Page");
    if (papplPrinterGetState(printer) == IPP_PSTATE_STOPPED) {
      actionButton(client, printer, "resume-printer", "Resume Printing");
    } else {
      actionButton(client, printer, "pause-printer", "Pause Printing");
    }
    if (papplPrinterIsHoldingNewJobs(printer)) {
      actionButton(client, printer, "release-held-new-jobs", "Release Held New Jobs");
    } else {
      actionButton(client, printer, "hold-new-jobs", "Hold New Jobs");
    }
    if (papplSystemGetDefaultPrinterID(papplPrinterGetSystem(printer)) != papplPrinterGetID(printer)) {
      actionButton(client, printer, "set-as-default", "Set as Default");
    }
    papplClientHTMLPrintf(client, " <a class=\"btn\" href=\"%s\">Delete Printer</a>",
                          printerPath(printer, "/delete").c_str());
  } else {
    papplClientHTMLPrintf(client, "<a class=\"btn\" href=\"%s\">Sign in</a> to print a test page or change the printer.",
                          printerPath(printer, "/paper").c_str());
  }
  papplClientHTMLPuts(client, "<br clear=\"all\"></div>\n");
}

void deviceSection(pappl_client_t* client, pappl_printer_t* printer) {
  papplClientHTMLPrintf(client,
                        "          <h1 class=\"title\">Device <a class=\"btn\" href=\"%s\">Change</a></h1>\n"
                        "          <p><code id=\"device-uri\">%s</code></p>\n",
                        printerPath(printer, "/device").c_str(), papplPrinterGetDeviceURI(printer));
}

void configurationSection(pappl_client_t* client, pappl_printer_t* printer) {
  char location[kTextSize] = "";
  char organization[kTextSize] = "";
  papplPrinterGetLocation(printer, location, sizeof location);
  papplPrinterGetOrganization(printer, organization, sizeof organization);
  pappl_contact_t contact;
  papplPrinterGetContact(printer, &contact);
  papplClientHTMLPrintf(client,
                        "          <h1 class=\"title\">Configuration <a class=\"btn\" href=\"%s\">Change</a></h1>\n"
                        "          <table class=\"form\"><tbody>\n"
                        "            <tr><th>Location:</th><td>%s</td></tr>\n"
                        "            <tr><th>Organization:</th><td>%s</td></tr>\n"
                        "            <tr><th>Contact:</th><td>%s</td></tr>\n"
                        "          </tbody></table>\n",
                        printerPath(printer, "/config").c_str(), *location ? location : "Not set",
                        *organization ? organization : "Not set", *contact.name ? contact.name : "Not set");
}

void jobsSection(pappl_client_t* client, pappl_printer_t* printer, const WebVisitor& visitor) {
  const std::vector<JobRow> jobs = lastJobs(printer);
  if (visitor.admin) {
    papplClientHTMLPrintf(client, "          <h1 class=\"title\">Jobs <a class=\"btn\" href=\"%s\">Manage</a></h1>\n",
                          printerPath(printer, "/jobs").c_str());
  } else {
    papplClientHTMLPuts(client, "          <h1 class=\"title\">Jobs</h1>\n");
  }
  if (jobs.empty()) {
    papplClientHTMLPuts(client, "          <p>No jobs in history.</p>\n");
    return;
  }
  papplClientHTMLPuts(client,
                      "          <table class=\"list\" summary=\"Jobs\" id=\"jobs\"><thead><tr><th>Job #</th>"
                      "<th>Name</th><th>Owner</th><th>Pages</th><th>Status</th></tr></thead><tbody>\n");
  for (const JobRow& job : jobs) {
    const bool shown = maySee(visitor, job.owner);
    papplClientHTMLPrintf(client, "            <tr><td>%d</td><td>%s</td><td>%s</td><td>%d</td><td>%s</td></tr>\n",
                          job.id, shown ? job.name.c_str() : "-", shown ? job.owner.c_str() : "-", job.pages,
                          stateText(job.state));
  }
  papplClientHTMLPuts(client, "          </tbody></table>\n");
  if (visitor.user.empty()) {
    papplClientHTMLPuts(client, "          <p>Names, owners and paper show to the jobs' owners and "
                                "administrators once signed in.</p>\n");
  }
}

// The kept paper of the jobs `visitor` may see.
void paperSection(pappl_client_t* client, pappl_printer_t* printer, const WebVisitor& visitor) {
  papplClientHTMLPuts(client, "          <h1 class=\"title\">Paper</h1>\n");
  if (visitor.user.empty()) {
    papplClientHTMLPrintf(client, "          <p><a class=\"btn\" href=\"%s\">Sign in</a> to see the paper of your jobs.</p>\n",
                          printerPath(printer, "/paper").c_str());
    return;
  }
  int shown = 0;
  for (const PaperLog::Entry& entry : PaperLog::list(papplPrinterGetID(printer))) {
    if (!maySee(visitor, entry.owner)) continue;
    ++shown;
    const std::string src = printerPath(printer, "/paper.png?job=" + std::to_string(entry.jobId));
    double mm = 0;
    std::string why;
    if (!PaperLog::length(papplPrinterGetID(printer), entry.jobId, &mm, &why)) {
      papplClientHTMLPrintf(client, "          <p>Job %d, %s: %s.</p>\n", entry.jobId, entry.owner.c_str(), why.c_str());
      continue;
    }
    char length[32];
    std::snprintf(length, sizeof length, "%.1f mm", mm);
    papplClientHTMLPrintf(client,
                          "          <figure class=\"paper\" id=\"paper-%d\"><figcaption>Job %d, %s: "
                          "<span class=\"paper-length\">%s</span> of paper, %s bytes%s%s</figcaption>"
                          "<img src=\"%s\" alt=\"The paper job %d printed\" "
                          "style=\"max-width: 100%%; border: 1px solid #ccc;\"></figure>\n",
                          entry.jobId, entry.jobId, entry.owner.c_str(), length, std::to_string(entry.bytes).c_str(),
                          entry.whole ? "" : " (not all of it reached the printer)",
                          entry.cutShort ? " (only its start is kept)" : "", src.c_str(), entry.jobId);
  }
  if (shown == 0) papplClientHTMLPuts(client, "          <p>No paper kept for your jobs.</p>\n");
}

}  // namespace

void printerHomePage(pappl_client_t* client, pappl_printer_t* printer) {
  std::string status;
  if (isPost(client)) {
    if (!papplClientHTMLAuthorize(client)) return;
    Form form(client);
    status = !form.valid() ? "Invalid form submission." : runAction(client, printer, form.text("action"));
  }
  const WebVisitor visitor = identifyVisitor(client);
  const int refresh = papplPrinterGetState(printer) == IPP_PSTATE_PROCESSING ? kRefreshSeconds : 0;
  startPrinterPage(client, printer, nullptr, refresh);
  papplClientHTMLPuts(client, "      <div class=\"row\">\n        <div class=\"col-6\">\n");
  banner(client, status);
  statusSection(client, printer, visitor);
  deviceSection(client, printer);
  configurationSection(client, printer);
  papplClientHTMLPuts(client, "        </div>\n        <div class=\"col-6\">\n");
  jobsSection(client, printer, visitor);
  paperSection(client, printer, visitor);
  papplClientHTMLPuts(client, "        </div>\n      </div>\n");
  papplClientHTMLFooter(client);
}

void paperPage(pappl_client_t* client, pappl_printer_t* printer) {
  const WebVisitor visitor = identifyVisitor(client);
  if (visitor.user.empty()) {
    papplClientRespond(client, HTTP_STATUS_UNAUTHORIZED, nullptr, nullptr, 0, 0);
    return;
  }
  startPrinterPage(client, printer, "Paper");
  papplClientHTMLPrintf(client, "          <p>Signed in as %s. The paper the last jobs printed, as the printer made "
                                "it: cuts are red dashed lines, fed paper is tinted.</p>\n",
                        visitor.user.c_str());
  paperSection(client, printer, visitor);
  endPrinterPage(client);
}

void paperPicture(pappl_client_t* client, pappl_printer_t* printer) {
  Form form(client);  // the query: job=N
  const int job = std::atoi(form.text("job").c_str());
  PaperLog::Entry entry;
  const WebVisitor visitor = identifyVisitor(client);
  if (!PaperLog::find(papplPrinterGetID(printer), job, &entry)) {
    papplClientRespond(client, HTTP_STATUS_NOT_FOUND, nullptr, nullptr, 0, 0);
    return;
  }
  if (!maySee(visitor, entry.owner)) {
    papplClientRespond(client, visitor.user.empty() ? HTTP_STATUS_UNAUTHORIZED : HTTP_STATUS_FORBIDDEN, nullptr,
                       nullptr, 0, 0);
    return;
  }
  const PaperLog::Picture picture = PaperLog::picture(papplPrinterGetID(printer), job);
  if (picture.png.empty()) {
    papplLogClient(client, PAPPL_LOGLEVEL_WARN, "Job %d's paper: %s", job, picture.error.c_str());
    papplClientRespond(client, HTTP_STATUS_NOT_FOUND, nullptr, nullptr, 0, 0);
    return;
  }
  sendBytes(client, "image/png", picture.png);
}

}  // namespace app::web
