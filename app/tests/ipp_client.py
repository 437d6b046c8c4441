#!/usr/bin/env python3
"""A small IPP client for the app's tests: Print-Job as a phone or a PC
sends it, from several clients at once, without waiting for jobs to print.

usage:
  ipp_client.py submit URI LOG CLIENT FILE...
      Sends each FILE as a Print-Job of its own, one after the other, over
      one connection (reconnecting when the server closes it), as client
      CLIENT (requesting-user-name). Appends "CLIENT FILE JOB-ID" to LOG for
      each accepted job; exits 1 at the first refusal.
  ipp_client.py stall URI FILE BYTES
      Starts a Print-Job of FILE, sends its first BYTES bytes of document
      data (announcing all of them), then nothing; prints the status the
      server answers, or "closed" when it hangs up without one.

URI is ipp://HOST:PORT/ipp/print/NAME. Only the standard library is used.
"""
import http.client
import os
import socket
import struct
import sys
import urllib.parse

TAG_OPERATION = 0x01
TAG_END = 0x03
TAG_INTEGER = 0x21
TAG_URI = 0x45
TAG_NAME = 0x42
TAG_CHARSET = 0x47
TAG_LANGUAGE = 0x48
TAG_MIME = 0x49
PRINT_JOB = 0x0002
FORMATS = {".pwg": "image/pwg-raster", ".urf": "image/urf", ".png": "image/png", ".jpg": "image/jpeg",
           ".pbm": "image/x-portable-bitmap"}


def attribute(tag, name, value):
    name = name.encode()
    value = value if isinstance(value, bytes) else value.encode()
    return struct.pack(">BH", tag, len(name)) + name + struct.pack(">H", len(value)) + value


def print_job_request(request_id, printer_uri, user, job_name, document_format):
    body = struct.pack(">BBHI", 2, 0, PRINT_JOB, request_id)
    body += bytes([TAG_OPERATION])
    body += attribute(TAG_CHARSET, "attributes-charset", "utf-8")
    body += attribute(TAG_LANGUAGE, "attributes-natural-language", "en")
    body += attribute(TAG_URI, "printer-uri", printer_uri)
    body += attribute(TAG_NAME, "requesting-user-name", user)
    body += attribute(TAG_NAME, "job-name", job_name)
    body += attribute(TAG_MIME, "document-format", document_format)
    return body + bytes([TAG_END])


def parse_response(data):
    """The status code and the job-id (0 when none) of an IPP response."""
    status = struct.unpack(">H", data[2:4])[0]
    at, job_id = 8, 0
    while at < len(data):
        tag = data[at]
        at += 1
        if tag == TAG_END:
            break
        if tag < 0x10:
            continue
        name_length = struct.unpack(">H", data[at:at + 2])[0]
        name = data[at + 2:at + 2 + name_length]
        at += 2 + name_length
        value_length = struct.unpack(">H", data[at:at + 2])[0]
        value = data[at + 2:at + 2 + value_length]
        at += 2 + value_length
        if name == b"job-id" and tag == TAG_INTEGER:
            job_id = struct.unpack(">i", value)[0]
    return status, job_id


def format_of(path):
    return FORMATS.get(os.path.splitext(path)[1], "application/octet-stream")


def submit(uri, log, client, files):
    parts = urllib.parse.urlparse(uri)
    printer_uri = uri
    connection = None
    with open(log, "a") as out:
        for number, path in enumerate(files, 1):
            with open(path, "rb") as f:
                document = f.read()
            request = print_job_request(number, printer_uri, client, os.path.basename(path), format_of(path))
            for attempt in range(3):
                try:
                    if connection is None:
                        connection = http.client.HTTPConnection(parts.hostname, parts.port, timeout=120)
                    connection.request("POST", parts.path, request + document, {"Content-Type": "application/ipp"})
                    response = connection.getresponse()
                    data = response.read()
                    break
                except (http.client.HTTPException, OSError):
                    connection = None
                    if attempt == 2:
                        raise
            status, job_id = parse_response(data)
            if status >= 0x0100 or job_id <= 0:
                print("client %s: %s refused with status 0x%04x" % (client, path, status), file=sys.stderr)
                return 1
            out.write("%s %s %d\n" % (client, path, job_id))
            out.flush()
    return 0


def stall(uri, path, sent):
    parts = urllib.parse.urlparse(uri)
    with open(path, "rb") as f:
        document = f.read()
    request = print_job_request(1, uri, "staller", os.path.basename(path), format_of(path))
    body = request + document
    with socket.create_connection((parts.hostname, parts.port)) as s:
        head = ("POST %s HTTP/1.1\r\nHost: %s:%d\r\nContent-Type: application/ipp\r\n"
                "Content-Length: %d\r\n\r\n" % (parts.path, parts.hostname, parts.port, len(body)))
        s.sendall(head.encode() + body[:len(request) + sent])
        s.settimeout(300)
        answer = b""
        try:
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                answer += chunk
                if b"\r\n\r\n" in answer:
                    header, _, rest = answer.partition(b"\r\n\r\n")
                    length = [int(line.split(b":")[1]) for line in header.split(b"\r\n")
                              if line.lower().startswith(b"content-length:")]
                    if length and len(rest) >= length[0]:
                        break
        except OSError:
            pass
    if b"\r\n\r\n" not in answer:
        print("closed")
        return 0
    _, _, rest = answer.partition(b"\r\n\r\n")
    if len(rest) < 8:
        print("closed")
        return 0
    status, _ = parse_response(rest)
    print("0x%04x" % status)
    return 0


def main():
    args = sys.argv[1:]
    if len(args) >= 4 and args[0] == "submit":
        return submit(args[1], args[2], args[3], args[4:])
    if len(args) == 4 and args[0] == "stall":
        return stall(args[1], args[2], int(args[3]))
    sys.exit(__doc__)


if __name__ == "__main__":
    sys.exit(main())
