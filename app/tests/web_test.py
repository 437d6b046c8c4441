#!/usr/bin/env python3
"""The web page in a real browser (headless Chromium over its DevTools
protocol, app/tests/browser.py), against a server web_test.sh runs as the
unit runs it. What a shop owner does, in order:

  signs in as admin with the web password (a wrong one is refused, slowly;
  a user who is not an admin is refused), adds a network printer by
  host:port, changes a printing default in millimetres (the next job's
  bytes show it), prints the test page (it decodes strictly, its first and
  last dot columns printed), sees the paper on the printer's page, changes
  the printer's device (the next job goes there); a visitor who has not
  signed in sees no job's name and no paper. A screenshot of each page goes
  to OUT.

usage: web_test.py BIN PORT WORK OUT PASSWORD OTHER_USER OTHER_PASSWORD SINK_A_PORT SINK_B_PORT
(the sinks keep their connections' bytes in WORK/a and WORK/b)
"""
import glob
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from browser import Browser  # noqa: E402

BIN, PORT, WORK, OUT, PASSWORD, OTHER, OTHER_PASSWORD, SINK_A, SINK_B = sys.argv[1:10]
SITE = "http://localhost:%s" % PORT
HEAD_DOTS = 576
PREVIEW_WIDTH = HEAD_DOTS + 2  # the picture's frame
SLOW_REFUSAL = 1.5  # seconds a wrong password must take at least


def fail(message):
    print("FAIL: " + message, file=sys.stderr)
    sys.exit(1)


def ok(message):
    print("ok - " + message, flush=True)


def expect(condition, message):
    if not condition:
        fail(message)


def connections(sink):
    return sorted(glob.glob(os.path.join(WORK, sink, "conn-*.prn")))


def wait_connection(sink, count):
    for _ in range(400):
        if len(connections(sink)) >= count:
            return connections(sink)[count - 1]
        time.sleep(0.05)
    fail("no job %d reached sink %s" % (count, sink))


def run(*command):
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        fail("%s: %s" % (" ".join(command), done.stderr.strip() or done.stdout.strip()))
    return done.stdout


def print_receipt(printer):
    run("ipptool", "-f", os.path.join(WORK, "receipt.pwg"), "%s/ipp/print/%s" % (SITE.replace("http", "ipp"), printer),
        "/usr/share/cups/ipptool/print-job.test")


def banner(b):
    return b.eval("(document.querySelector('.banner') || {}).innerText || ''")


def shot(b, name):
    b.screenshot(os.path.join(OUT, name + ".png"))


def edge_columns(stream):
    """How many rows of the decoded paper have ink in the first and in the last dot column."""
    pbm = os.path.join(WORK, "paper.pbm")
    run(os.path.join(BIN, "qmx415u-decode"), "--strict", "--pbm", pbm, stream)
    data = open(pbm, "rb").read()
    magic, size, rows = data.split(b"\n", 2)
    width, height = map(int, size.split())
    expect(magic == b"P4" and width == HEAD_DOTS, "the decoded paper is not %d dots wide" % HEAD_DOTS)
    stride = width // 8
    first = sum(1 for y in range(height) if rows[y * stride] & 0x80)
    last = sum(1 for y in range(height) if rows[y * stride + stride - 1] & 0x01)
    return first, last, height


def main():
    os.makedirs(OUT, exist_ok=True)
    with Browser(os.path.join(WORK, "profile"), log_path=os.path.join(WORK, "chromium.log")) as b:
        expect(b.goto(SITE + "/") == 200, "the home page did not load")
        ok("the home page loads for anyone")

        # ---- Signing in --------------------------------------------------------------
        expect(b.goto(SITE + "/addprinter") == 401, "the add-printer page opened without signing in")
        b.credentials = ("admin", "not-" + PASSWORD)
        started = time.monotonic()
        expect(b.goto(SITE + "/addprinter") == 401, "a wrong password was taken")
        waited = time.monotonic() - started
        expect(waited >= SLOW_REFUSAL, "a wrong password was refused in %.2f s: guessing is not slowed" % waited)
        b.credentials = (OTHER, OTHER_PASSWORD)
        expect(b.goto(SITE + "/addprinter") in (401, 403), "a user who is not an admin was let in")
        ok("refused: no password, a wrong one (after %.1f s), a user who is not an admin" % waited)

    with Browser(os.path.join(WORK, "admin-profile"), height=600, log_path=os.path.join(WORK, "chromium.log")) as b:
        b.credentials = ("admin", PASSWORD)
        # ---- Adding a network printer by host:port ----------------------------------------
        expect(b.goto(SITE + "/addprinter") == 200, "the admin cannot open the add-printer page")
        b.fill("#printer_name", "counter")
        b.fill("#device_uri", "socket")
        b.fill("#hostname", "127.0.0.1:%s" % SINK_A)
        shot(b, "app-add-printer")
        b.click("input[type=submit]")
        expect(b.eval("location.pathname") == "/counter/", "adding led to %s: %s" % (b.eval("location.href"), banner(b)))
        device = b.eval("document.getElementById('device-uri').innerText")
        expect(device == "socket://127.0.0.1:%s/" % SINK_A, "the printer's page shows the device %r" % device)
        ok("the admin signs in and adds a network printer by host:port; its page shows the device")
        expect(b.goto(SITE + "/") == 200, "the home page did not load")
        shot(b, "app-home")

        # ---- A default in millimetres, seen in the next job's bytes -------------------------
        expect(b.goto(SITE + "/counter/printing") == 200, "no printing defaults page")
        b.fill("#top-margin", "3mm")
        b.click("input[value='Save Changes']")
        expect(banner(b) == "Changes saved.", "saving the defaults: %r" % banner(b))
        expect(b.eval("document.getElementById('top-margin').value") == "24", "3 mm is not 24 dot lines")
        shot(b, "app-printing-defaults")
        print_receipt("counter")
        job = wait_connection("a", 1)
        expected = os.path.join(WORK, "top-margin.prn")
        run(os.path.join(BIN, "qmx415u-print"), "--quiet", "--set", "topMarginLines=24", "-o", expected,
            os.path.join(WORK, "receipt.pbm"))
        expect(open(job, "rb").read() == open(expected, "rb").read(),
               "the job after the change is not what a 24-line top margin prints")
        ok("a top margin of 3mm on the printing defaults page is in the next job's bytes")

        # ---- The test page, and the paper on the printer's page ---------------------------
        expect(b.goto(SITE + "/counter/") == 200, "no printer page")
        b.click("input[value='Print Test Page']")
        expect(banner(b).startswith("Test page printing: job"), "the test page button: %r" % banner(b))
        first, last, rows = edge_columns(wait_connection("a", 2))
        expect(first >= rows * 0.5 and last >= rows * 0.5,
               "the test page's edge columns: first %d, last %d of %d rows" % (first, last, rows))
        ok("the test page prints, decodes strictly, dots 1 and 576 printed (%d of %d rows)" % (min(first, last), rows))
        for _ in range(100):  # the job ends a moment after its bytes
            b.goto(SITE + "/counter/")
            if b.eval("document.querySelectorAll('figure.paper').length") >= 2:
                break
            time.sleep(0.1)
        pictures = b.eval("Promise.all([...document.querySelectorAll('figure.paper img')].map(i => i.decode()"
                          ".then(() => i.naturalWidth, () => 0)))")
        expect(len(pictures) >= 2 and all(w == PREVIEW_WIDTH for w in pictures), "the paper pictures: %r" % pictures)
        caption = b.eval("document.querySelector('figure.paper figcaption').innerText")
        expect(" mm of paper" in caption, "no length in %r" % caption)
        shot(b, "app-printer")
        ok("the printer's page shows the paper of both jobs (%s)" % caption)
        expect(b.goto(SITE + "/counter/paper") == 200, "no paper page")
        shot(b, "app-paper")

        # ---- The other pages: media, device, security ------------------------------------
        expect(b.goto(SITE + "/counter/media") == 200, "no media page")
        shot(b, "app-media")
        expect(b.goto(SITE + "/security") == 200, "no security page")
        groups = b.eval("[...document.querySelectorAll('#admin_group option')].map(o => o.value)")
        expect(not {"root", "sudo", "shadow", "adm", "disk"} & set(groups), "system groups offered: %r" % groups)
        shot(b, "app-security")
        expect(b.goto(SITE + "/counter/device") == 200, "no device page")
        b.fill("#device_uri", "socket")
        b.fill("#hostname", "127.0.0.1:%s" % SINK_B)
        shot(b, "app-device")
        b.click("input[value='Change Device']")
        device = b.eval("document.getElementById('device-uri').innerText")
        expect(device == "socket://127.0.0.1:%s/" % SINK_B, "after the change the device is %r" % device)
        print_receipt("counter")
        wait_connection("b", 1)
        expect(b.goto(SITE + "/counter/printing") == 200 and
               b.eval("document.getElementById('top-margin').value") == "24", "the defaults did not follow the device")
        ok("the device changes on its page; the next job goes there, the defaults stay")

    with Browser(os.path.join(WORK, "visitor-profile"), log_path=os.path.join(WORK, "chromium.log")) as b:
        expect(b.goto(SITE + "/counter/") == 200, "a visitor cannot see the printer's page")
        cells = b.eval("[...document.querySelectorAll('#jobs tbody tr')].map(r => r.cells[1].innerText + '/' + "
                       "r.cells[2].innerText)")
        expect(cells and all(c == "-/-" for c in cells), "a visitor sees job names or owners: %r" % cells)
        expect("Test Page" not in b.text(), "a visitor sees the test page's job name")
        expect(b.eval("document.querySelectorAll('figure.paper').length") == 0, "a visitor sees paper")
        expect(b.goto(SITE + "/counter/paper.png?job=2") == 401, "a visitor fetched a job's paper")
        ok("a visitor who has not signed in sees no job's name and no paper")


if __name__ == "__main__":
    main()
