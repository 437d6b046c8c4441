#!/usr/bin/env python3
"""Every control on the web pages does something: a table over the controls.

Each row changes one control the way a browser submits its form (the whole
form, its session token, the administrator's credentials) and requires
that what it governs changes: the bytes of the next job, the printer's or
the server's IPP attributes, who may administer, where jobs go. A row may
first set up a context in which its control matters (black-mark value on
black-mark paper). Every page's form is then compared with the table: a
control the table does not name fails the test, so that a control added
later comes with its row, and none that does nothing stays on a page.

usage: controls_test.py BIN PORT WORK PASSWORD GROUP_USER GROUP_PASSWORD GROUP
(a server with printer "p" on the sink WORK/a, a second sink WORK/b, the
file-device folder WORK; GROUP_USER, in GROUP, is no administrator yet)
"""
import base64
import glob
import html.parser
import http.client
import os
import re
import subprocess
import sys
import time
import urllib.parse

BIN, PORT, WORK, PASSWORD, GROUP_USER, GROUP_PASSWORD, GROUP = sys.argv[1:8]
SINK_B_PORT = open(os.path.join(WORK, "b", "port")).read().strip()
PRINTER = "p"
IPP = "ipp://localhost:%s" % PORT


def fail(message):
    print("FAIL: " + message, file=sys.stderr)
    sys.exit(1)


# ---- The web pages, as a browser uses them --------------------------------------------

class Forms(html.parser.HTMLParser):
    """Every form of a page: its action and its controls' current values."""

    def __init__(self):
        super().__init__()
        self.forms, self._select = [], None

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "form":
            self.forms.append({"action": a.get("action"), "fields": {}, "controls": set()})
        elif not self.forms:
            return
        form = self.forms[-1]
        if tag == "input" and a.get("name"):
            kind = a.get("type", "text")
            if kind not in ("hidden", "submit"):
                form["controls"].add(a["name"])
            if kind in ("checkbox", "radio"):
                if "checked" in a:
                    form["fields"][a["name"]] = a.get("value", "on")
            elif kind != "submit":
                form["fields"][a["name"]] = a.get("value", "")
        elif tag == "select":
            self._select = a.get("name")
            form["controls"].add(self._select)
        elif tag == "option" and self._select:
            if "selected" in a or self._select not in form["fields"]:
                form["fields"][self._select] = a.get("value", "")

    def handle_endtag(self, tag):
        if tag == "select":
            self._select = None


def request(method, path, body=None, user=("admin", None)):
    connection = http.client.HTTPConnection("localhost", int(PORT), timeout=30)
    headers = {}
    if user:
        token = "%s:%s" % (user[0], user[1] if user[1] is not None else PASSWORD)
        headers["Authorization"] = "Basic " + base64.b64encode(token.encode()).decode()
    if body is not None:
        headers["Content-Type"] = "application/x-www-form-urlencoded"
        body = urllib.parse.urlencode(body)
    connection.request(method, path, body, headers)
    response = connection.getresponse()
    text = response.read().decode("utf-8", "replace")
    connection.close()
    return response.status, text


def forms_of(path, user=("admin", None)):
    status, text = request("GET", path, user=user)
    if status != 200:
        fail("%s: HTTP %d" % (path, status))
    parser = Forms()
    parser.feed(text)
    return parser.forms


def form_with(path, control, user=("admin", None)):
    for form in forms_of(path, user):
        if control in form["controls"] or form["fields"].get("action") == control:
            return form
    fail("no control %s on %s" % (control, path))


def submit(path, changes, control=None, user=("admin", None)):
    """Submits the form of `path` that holds `control` (or changes' first),
    changed; the banner the page answers with."""
    if control is None:
        control = changes["action"] if "action" in changes else next(iter(changes))
    form = form_with(path, control, user)
    fields = dict(form["fields"])
    for name, value in changes.items():
        if value is None:
            fields.pop(name, None)  # an unchecked checkbox
        else:
            fields[name] = value
    status, text = request("POST", form["action"] or path, fields, user)
    if status not in (200, 302):
        fail("submitting %s on %s: HTTP %d" % (changes, path, status))
    found = re.search(r'class="banner">([^<]*)<', text)
    return found.group(1) if found else ""


# ---- What the controls govern -------------------------------------------------------------

def sink_connections(sink):
    return sorted(glob.glob(os.path.join(WORK, sink, "conn-*.prn")))


def wait_for(test, what):
    for _ in range(400):
        value = test()
        if value:
            return value
        time.sleep(0.05)
    fail("waited in vain for " + what)


def print_picture(printer=PRINTER):
    run("ipptool", "-f", os.path.join(WORK, "picture.png"), "%s/ipp/print/%s" % (IPP, printer),
        "/usr/share/cups/ipptool/print-job.test")


def next_job_bytes(sink="a", action=print_picture):
    """The bytes of the next job that reaches `sink`."""
    count = len(sink_connections(sink))
    action()
    path = wait_for(lambda: len(sink_connections(sink)) > count and sink_connections(sink)[count], "a job on " + sink)
    return open(path, "rb").read()


def run(*command):
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        fail("%s: %s" % (" ".join(command), (done.stderr or done.stdout).strip()[-400:]))
    return done.stdout


def attributes(uri, test, *defines):
    values = {}
    for line in run("ipptool", "-tv", *defines, uri, test).splitlines():
        found = re.match(r"\s+([a-z0-9-]+) \(([^)]*)\) = (.*)$", line)
        if found:
            values[found.group(1)] = found.group(3)
    return values


def printer_attribute(name):
    # By name: PAPPL 1.3 leaves the driver's own attributes out of "all".
    return lambda: attributes("%s/ipp/print/%s" % (IPP, PRINTER), os.path.join(WORK, "get-printer.test"),
                              "-d", "names=" + name).get(name)


def system_attribute(name):
    return lambda: attributes("%s/ipp/system" % IPP, os.path.join(WORK, "get-system.test")).get(name)


def home_page():
    """The system's home page, which shows its DNS-SD name (PAPPL 1.3 reports
    it over DNS-SD only, not as a system attribute)."""
    return lambda: request("GET", "/", user=None)[1]


def debug_lines():
    """How many debug lines the server logs for one request."""
    def count():
        with open(os.path.join(WORK, "log")) as log:
            before = sum(1 for line in log if line.startswith("D "))
        request("GET", "/", user=None)
        with open(os.path.join(WORK, "log")) as log:
            return sum(1 for line in log if line.startswith("D ")) - before
    return count


def may_administer(user, password):
    return lambda: request("GET", "/addprinter", user=(user, password))[0]


def printers():
    return run("ipptool", "-tv", "%s/ipp/system" % IPP, os.path.join(WORK, "get-printers.test")).count("printer-name (")


def test_page_bytes():
    return next_job_bytes(action=lambda: submit("/%s/" % PRINTER, {"action": "print-test-page"}))


BYTES = next_job_bytes
P = "/%s/printing" % PRINTER
M = "/%s/media" % PRINTER
C = "/%s/config" % PRINTER
H = "/%s/" % PRINTER
DEV = "/%s/device" % PRINTER
ON, OFF = "on", None
AS_SENT = {P: {"blank-ends": "as-sent"}}
# The plug-in drops a one-page job's blank tail itself unless told to keep it.
AS_SENT_KEPT = {P: {"blank-ends": "as-sent", "keep-trailing-blank": ON}}
MARKED = {P: {"black-mark": ON}}

# (page, control: value, context, what it changes)
ROWS = [
    (P, {"orientation-requested": "4"}, {}, BYTES),
    (P, {"print-scaling": "fit"}, {}, BYTES),
    (P, {"cut": "never"}, {}, BYTES),
    (P, {"cut-command": "esc-m"}, {}, BYTES),
    (P, {"raster-mode": "bands"}, {}, BYTES),
    (P, {"top-margin": "3mm"}, {}, BYTES),
    (P, {"first-page-margin": "2mm"}, {}, BYTES),
    (P, {"page-end-feed": "5mm"}, {}, BYTES),
    (P, {"job-end-feed": "5mm"}, {}, BYTES),
    (P, {"pre-cut-feed": "1mm"}, {}, BYTES),
    (P, {"keep-trailing-blank": ON}, AS_SENT, BYTES),
    (P, {"black-mark": ON}, {}, BYTES),
    (P, {"black-mark-value": "40"}, MARKED, BYTES),
    (P, {"preamble-gs-e": "5"}, {}, BYTES),
    (P, {"preamble-fs-e": "7"}, {}, BYTES),
    (P, {"block-level": "1"}, {}, BYTES),
    (P, {"blank-ends": "as-sent"}, {}, BYTES),
    (P, {"trim-blank-tail": ON}, AS_SENT_KEPT, BYTES),
    (P, {"longest-blank": "1mm"}, {}, BYTES),
    (M, {"length": "120"}, {}, printer_attribute("media-ready")),
    (M, {"tracking": "mark"}, {}, BYTES),
    (M, {"tracking": "mark"}, {}, printer_attribute("media-col-ready")),
    (C, {"dns_sd_name": "Counter printer"}, {}, printer_attribute("printer-dns-sd-name")),
    (C, {"location": "By the till"}, {}, printer_attribute("printer-location")),
    (C, {"geo_location_lat": "51.5"}, {}, printer_attribute("printer-geo-location")),
    (C, {"geo_location_lon": "-0.12"}, {}, printer_attribute("printer-geo-location")),
    (C, {"organization": "Corner Bakery"}, {}, printer_attribute("printer-organization")),
    (C, {"organizational_unit": "Front"}, {}, printer_attribute("printer-organizational-unit")),
    (C, {"contact_name": "Ann"}, {}, printer_attribute("printer-contact-col")),
    (C, {"contact_email": "ann@example.org"}, {}, printer_attribute("printer-contact-col")),
    (C, {"contact_telephone": "555-0100"}, {}, printer_attribute("printer-contact-col")),
    ("/config", {"dns_sd_name": "Shop printers"}, {}, home_page()),
    ("/config", {"location": "Shop"}, {}, system_attribute("system-location")),
    ("/config", {"geo_location_lat": "51.5"}, {}, system_attribute("system-geo-location")),
    ("/config", {"geo_location_lon": "-0.12"}, {}, system_attribute("system-geo-location")),
    ("/config", {"organization": "Corner Bakery"}, {}, system_attribute("system-organization")),
    ("/config", {"organizational_unit": "Shop"}, {}, system_attribute("system-organizational-unit")),
    ("/config", {"contact_name": "Ann"}, {}, system_attribute("system-contact-col")),
    ("/config", {"contact_email": "ann@example.org"}, {}, system_attribute("system-contact-col")),
    ("/config", {"contact_telephone": "555-0100"}, {}, system_attribute("system-contact-col")),
    ("/security", {"admin_group": GROUP}, {}, may_administer(GROUP_USER, GROUP_PASSWORD)),
    ("/logs", {"log_level": "Debugging"}, {}, debug_lines()),
    (H, {"action": "pause-printer"}, {}, printer_attribute("printer-state")),
    (H, {"action": "hold-new-jobs"}, {}, printer_attribute("printer-state-reasons")),
    (H, {"action": "print-test-page"}, {}, lambda: len(sink_connections("a"))),
]

# Controls whose rows cannot undo themselves by submitting the form again:
# checked by the special cases below.
SPECIAL = {
    "/security": {"password", "password_again"},
    DEV: {"device_uri", "hostname", "file_name"},
    "/addprinter": {"printer_name", "device_uri", "hostname", "file_name"},
    H: {"resume-printer", "release-held-new-jobs", "set-as-default"},
}


def restore(saved):
    for path, forms in saved.items():
        for form in forms:
            fields = dict(form["fields"])
            if fields.get("action") and path == H:
                continue  # the actions are undone one by one
            if fields.get("action") == "password":
                continue
            request("POST", form["action"] or path, fields)
    state = printer_attribute("printer-state")()
    if state != "idle":
        submit(H, {"action": "resume-printer"})
    if "hold-new-jobs" in (printer_attribute("printer-state-reasons")() or ""):
        submit(H, {"action": "release-held-new-jobs"})


def check_rows():
    pages = sorted({row[0] for row in ROWS} | set(SPECIAL))
    saved = {path: forms_of(path) for path in pages if path not in ("/addprinter", DEV)}
    baselines = {}
    for page, change, context, observe in ROWS:
        control = next(iter(change))
        for context_page, values in context.items():
            submit(context_page, values)
        key = (repr(sorted((p, sorted(v.items())) for p, v in context.items())), observe)
        if observe is BYTES and key in baselines:
            before = baselines[key]
        else:
            before = observe()
            if observe is BYTES:
                baselines[key] = before
        said = submit(page, change)
        after = observe() if observe is not BYTES else next_job_bytes()
        if page == H and control == "action" and change["action"] == "print-test-page":
            after = wait_for(lambda: len(sink_connections("a")) > before and len(sink_connections("a")), "the test page")
        if before == after:
            fail("%s %s on %s changed nothing it governs (the page said %r)" % (control, change[control], page, said))
        print("ok - %-26s %-16s changes %s" % (page + " " + control, str(change[control])[:16],
                                                  "the job's bytes" if observe is BYTES else "what it governs"),
              flush=True)
        restore(saved)
    return saved


def check_special():
    # The web password: the new one signs in, the old one no more.
    new = PASSWORD + "-new"
    submit("/security", {"password": new, "password_again": new}, "password")
    if request("GET", "/addprinter", user=("admin", new))[0] != 200 or \
            request("GET", "/addprinter", user=("admin", PASSWORD))[0] != 401:
        fail("the Security page's password did not change who signs in")
    submit("/security", {"password": PASSWORD, "password_again": PASSWORD}, "password", user=("admin", new))
    print("ok - /security password          changes who signs in")
    # Resume, release, default: each undoes or moves what another did.
    submit(H, {"action": "pause-printer"})
    submit(H, {"action": "resume-printer"})
    if printer_attribute("printer-state")() != "idle":
        fail("resume-printer left the printer stopped")
    submit(H, {"action": "hold-new-jobs"})
    submit(H, {"action": "release-held-new-jobs"})
    if "hold-new-jobs" in printer_attribute("printer-state-reasons")():
        fail("release-held-new-jobs left new jobs held")
    print("ok - %s resume, release       change printer-state and its reasons" % H)
    # Adding a printer: by host:port, and as a file in the folder.
    before = printers()
    submit("/addprinter", {"printer_name": "second", "device_uri": "socket", "hostname": "127.0.0.1:" + SINK_B_PORT})
    submit("/addprinter", {"printer_name": "third", "device_uri": "file", "file_name": "third.prn"})
    if printers() != before + 2:
        fail("the add-printer form added %d printers, not 2" % (printers() - before))
    next_job_bytes("b", lambda: print_picture("second"))
    print_picture("third")
    wait_for(lambda: os.path.exists(os.path.join(WORK, "third.prn")), "the file printer's job")
    print("ok - /addprinter printer_name, device_uri, hostname, file_name add printers that print there")
    default = system_attribute("system-default-printer-id")()
    submit("/second/", {"action": "set-as-default"})
    if system_attribute("system-default-printer-id")() == default:
        fail("set-as-default changed no default")
    print("ok - /second/ set-as-default     changes system-default-printer-id")
    # The device: the next job goes to the new one.
    submit(DEV, {"device_uri": "socket", "hostname": "127.0.0.1:" + SINK_B_PORT})
    next_job_bytes("b")
    submit(DEV, {"device_uri": "file", "file_name": "p.prn"})
    print_picture()
    wait_for(lambda: os.path.exists(os.path.join(WORK, "p.prn")), "the job in the file")
    print("ok - %s device_uri, hostname, file_name   change where jobs go" % DEV)


def check_black_mark():
    """Mark tracking is black-mark paper, the same setting as the checkbox:
    either page sets the other, and the tracking alone, set over IPP where no
    page follows it, selects black-mark paper for the job."""
    submit(M, {"tracking": "mark"})
    if printer_attribute("black-mark-default")() != "true":
        fail("mark tracking on the media page left the black-mark default off")
    submit(M, {"tracking": "continuous"})
    submit(P, {"black-mark": ON})
    if "media-tracking=mark" not in (printer_attribute("media-col-ready")() or ""):
        fail("the black-mark checkbox left the loaded paper continuous")
    submit(P, {"black-mark": OFF})
    continuous = next_job_bytes()
    run(os.environ["APP_CLI"], "modify", "-d", PRINTER, "-o", "media-tracking=mark")
    if printer_attribute("black-mark-default")() != "false":
        fail("the IPP route changed the black-mark default")
    if next_job_bytes() == continuous:
        fail("paper tracked by its marks, set over IPP, did not print as black-mark paper")
    run(os.environ["APP_CLI"], "modify", "-d", PRINTER, "-o", "media-tracking=continuous")
    print("ok - mark tracking and the black-mark checkbox follow each other; the tracking alone selects it")


def check_coverage():
    """No control on a page that the table does not name."""
    named = {}
    for page, change, _, _ in ROWS:
        named.setdefault(page, set()).update(change if "action" not in change else {change["action"]})
    for page, controls in SPECIAL.items():
        named.setdefault(page, set()).update(controls)
    for page, names in sorted(named.items()):
        found = set()
        for form in forms_of(page):
            found |= form["controls"]
            if page == H and form["fields"].get("action"):  # each button there is a form of its own
                found.add(form["fields"]["action"])
        unnamed = found - names
        if unnamed:
            fail("%s has controls no row tests: %s" % (page, ", ".join(sorted(unnamed))))
    print("ok - every control on %d pages has its row" % len(named))


def main():
    check_rows()
    check_black_mark()
    check_special()
    check_coverage()


if __name__ == "__main__":
    main()
