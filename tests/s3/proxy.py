#!/usr/bin/env python3
"""A proxy in front of a local S3 server (s3rver) that refuses what a real
store refuses and the local server lets through, and injects faults.

  proxy.py --upstream PORT --data DIR --ports-file FILE [--log FILE]

It listens on two free loopback ports, written to FILE as "DATA CONTROL":
clients speak S3 to DATA; the checks steer the proxy through CONTROL
(JSON over HTTP, see control.py). On DATA it:
  - checks each request's Signature Version 4 against the known key id,
    secret and region (sigv4.py), the clock and the body's hash;
  - makes PUT and CompleteMultipartUpload with If-None-Match: * fail with
    412 PreconditionFailed when the object exists;
  - keeps the multipart uploads itself: unknown upload ids, part numbers,
    parts listed out of order or with other ETags than returned, and parts
    under 5 MiB but the last are refused as a real store refuses them;
    AbortMultipartUpload and ListMultipartUploads, which the local server
    lacks, are answered here (an abort removes the parts from DIR);
  - injects faults by a seeded schedule (503 SlowDown, 500, a connection
    reset in the middle of the body, a delay), or always for the requests
    a pattern names; goes down (its port closed, every connection reset)
    at a given UploadPart until told to come back; sends a signal to a
    process when the bytes received reach a given count.
"""

import argparse
import hashlib
import http.client
import io
import json
import os
import random
import re
import signal
import socket
import struct
import sys
import threading
import time
import traceback
import xml.etree.ElementTree as ET
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qsl, quote, unquote

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sigv4  # noqa: E402
from answers import body_digest_refusal, error_body, strip_ns  # noqa: E402

MIN_PART = 5 * 1024 * 1024
HOP = {"connection", "keep-alive", "transfer-encoding", "expect", "proxy-connection", "te",
       "upgrade", "content-length"}


class Reset(Exception):
    """The connection is to be reset (RST) with no answer."""


class State:
    """Everything the handlers share, under one lock."""

    def __init__(self, args):
        self.args = args
        self.lock = threading.Lock()
        self.key_locks = {}
        self.uploads = {}  # upload id -> {"bucket", "key", "parts": {n: (size, etag)}, "started"}
        self.connections = set()
        self.down = False
        self.log = open(args.log, "a") if args.log else None
        self.configure({})

    def configure(self, config):
        with self.lock:
            self.config = config
            self.random = random.Random(config.get("seed", 0))
            self.counts = {"requests": 0, "moment": 0, "faults": {}, "refused": {}, "parts": 0}
            self.pattern = re.compile(config.get("match", "")) if config.get("match") else None
            self.always = re.compile(config["always"]["match"]) if config.get("always") else None
            self.fired = False
            self.streaks = {}

    def count(self, group, name):
        with self.lock:
            self.counts[group][name] = self.counts[group].get(name, 0) + 1

    def key_lock(self, bucket, key):
        with self.lock:
            return self.key_locks.setdefault((bucket, key), threading.Lock())

    def advance(self, amount):
        """Moves the run's moment on by `amount` and sends the configured
        signal once when it reaches the configured count."""
        fire = None
        with self.lock:
            self.counts["moment"] += amount
            wanted = self.config.get("signal")
            if wanted and not self.fired and self.counts["moment"] >= wanted["at"]:
                self.fired = True
                fire = wanted
        if fire:
            deadline = time.monotonic() + 60
            while not os.path.exists(fire["pidfile"]) and time.monotonic() < deadline:
                time.sleep(0.01)
            with open(fire["pidfile"]) as f:
                pid = int(f.read())
            os.kill(pid, fire["signal"])

    def record(self, entry):
        if self.log:
            with self.lock:
                self.log.write(json.dumps(entry) + "\n")
                self.log.flush()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    state = None  # set by main

    def log_message(self, *args):
        pass

    def setup(self):
        super().setup()
        with self.state.lock:
            self.state.connections.add(self.connection)

    def finish(self):
        try:
            super().finish()
        except OSError:
            pass
        with self.state.lock:
            self.state.connections.discard(self.connection)

    def do_GET(self):
        self.serve()

    do_PUT = do_POST = do_DELETE = do_HEAD = do_GET

    # Faults and their schedule.
    def draw_fault(self, label):
        state = self.state
        if state.always and state.always.search(label):
            return state.config["always"]["fault"]
        if state.pattern is None or not state.pattern.search(label):
            return None
        # A request is refused at most `streak` times in a row (2 unless
        # configured), so that the retries always get through.
        request = self.command + " " + self.path
        with state.lock:
            draw = state.random.random()
            if state.streaks.get(request, 0) >= state.config.get("streak", 2):
                draw = 1.0
            edge = 0.0
            for kind in ("503", "500", "reset", "delay", "error200", "lost"):
                edge += state.config.get("faults", {}).get(kind, 0.0)
                # A real store may answer a completion 200 with an error
                # in the body: that fault is for completions alone.
                if kind == "error200" and not (label.startswith("POST ") and
                                               label.endswith("?uploadId")):
                    continue
                if draw < edge:
                    if kind != "delay":
                        state.streaks[request] = state.streaks.get(request, 0) + 1
                    return kind
            state.streaks.pop(request, None)
        return None

    def reset(self):
        try:
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.connection.close()
        except OSError:
            pass
        self.close_connection = True

    def answer(self, status, body=b"", headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        if self.command != "HEAD" or not any(n.lower() == "content-length" for n, _ in headers):
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def refuse(self, status, code, message):
        self.state.count("refused", code)
        self.refusal = code
        self.answer(status, b"" if self.command == "HEAD" else error_body(code, message),
                    [("Content-Type", "application/xml")])

    def read_body(self, fault):
        """The request's body; with a reset fault, half of it is read and
        the connection reset."""
        length = self.headers.get("Content-Length")
        chunked = "chunked" in self.headers.get("Transfer-Encoding", "").lower()
        parts = []
        if chunked:
            while True:
                size = int(self.rfile.readline().split(b";")[0].strip(), 16)
                if size == 0:
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass
                    break
                data = self.rfile.read(size)
                self.rfile.readline()
                parts.append(data)
                self.state.advance(len(data))
                if fault == "reset":
                    raise Reset()
        elif length:
            left = int(length)
            half = left // 2
            while left > 0:
                data = self.rfile.read(min(left, 1 << 20 if fault != "reset" else max(1, half)))
                if not data:
                    raise Reset()
                parts.append(data)
                left -= len(data)
                self.state.advance(len(data))
                if fault == "reset":
                    raise Reset()
        if fault == "reset":
            raise Reset()
        return b"".join(parts)

    # The upstream server.
    def upstream(self, method, path, body=b"", headers=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.state.args.upstream, timeout=120)
        conn.request(method, path, body=body if method not in ("GET", "HEAD") or body else None,
                     headers=headers or {})
        return conn, conn.getresponse()

    def exists(self, bucket, key):
        conn, resp = self.upstream("HEAD", quote("/%s/%s" % (bucket, key), safe="/~"))
        resp.read()
        conn.close()
        return resp.status == 200

    def forward(self, body, raw=False):
        headers = {k: v for k, v in self.headers.items() if k.lower() not in HOP}
        # The local server knows one account; the signature was checked here.
        for name in headers:
            if name.lower() == "authorization":
                headers[name] = headers[name].replace(
                    "Credential=%s/" % self.state.args.key_id, "Credential=S3RVER/")
        headers["Content-Length"] = str(len(body))
        conn, resp = self.upstream(self.command, self.path, body, headers)
        try:
            if raw:
                return resp.status, resp.getheaders(), resp.read()
            out = [(k, v) for k, v in resp.getheaders() if k.lower() not in HOP]
            length = resp.getheader("Content-Length")
            self.send_response(resp.status)
            for name, value in out:
                self.send_header(name, value)
            if length is None or self.command == "HEAD":
                data = resp.read()
                self.send_header("Content-Length", length if self.command == "HEAD" and length
                                 else str(len(data)))
                self.end_headers()
                if self.command != "HEAD":
                    self.wfile.write(data)
            else:
                self.send_header("Content-Length", length)
                self.end_headers()
                while True:
                    data = resp.read(1 << 20)
                    if not data:
                        break
                    self.wfile.write(data)
            return resp.status, None, None
        finally:
            conn.close()

    def serve(self):
        state = self.state
        self.refusal = None
        raw_path, _, raw_query = self.path.partition("?")
        query = dict(parse_qsl(raw_query, keep_blank_values=True))
        segments = unquote(raw_path).lstrip("/").split("/", 1)
        bucket = segments[0]
        key = segments[1] if len(segments) > 1 else ""
        label = "%s %s%s" % (self.command, raw_path, "?" + "&".join(sorted(query)) if query else "")
        with state.lock:
            state.counts["requests"] += 1
        entry = {"method": self.command, "path": unquote(raw_path), "query": sorted(query),
                 "if_none_match": self.headers.get("If-None-Match"),
                 "payload": (self.headers.get("x-amz-content-sha256") or "")[:16]}
        fault = None
        status = None
        try:
            state.advance(1)
            if state.down:
                raise Reset()
            if self.command == "PUT" and "uploadId" in query:
                with state.lock:
                    state.counts["parts"] += 1
                    number = state.counts["parts"]
                if state.config.get("down_at_part") == number:
                    try:
                        self.read_body("reset")
                    finally:
                        go_down(state)
            fault = self.draw_fault(label)
            if fault == "delay":
                time.sleep(random.uniform(0.05, 0.3))  # apart from the schedule's draws
            body = self.read_body(fault)
            if fault == "error200":
                state.count("faults", fault)
                status = 200
                self.answer(200, error_body("InternalError", "We encountered an internal error."
                                            " Please try again."),
                            [("Content-Type", "application/xml")])
                return
            if fault in ("503", "500"):
                state.count("faults", fault)
                code = "SlowDown" if fault == "503" else "InternalError"
                status = int(fault)
                self.answer(status, error_body(code, "Please reduce your request rate."
                            if fault == "503" else "We encountered an internal error."),
                            [("Content-Type", "application/xml")])
                return
            if fault:
                state.count("faults", fault)
            if fault == "lost":
                # The store acts on the request; its answer never arrives.
                answer, self.wfile = self.wfile, io.BytesIO()
                try:
                    status = self.dispatch(bucket, key, query, body)
                finally:
                    self.wfile = answer
                raise Reset()
            status = self.dispatch(bucket, key, query, body)
        except Reset:
            if fault == "reset":
                state.count("faults", "reset")
            entry["reset"] = True
            self.reset()
        except (ConnectionError, OSError) as e:
            entry["error"] = str(e)
            self.reset()
        except Exception as e:  # a fault of the proxy's own: told, never hidden
            entry["error"] = repr(e)
            traceback.print_exc()
            self.reset()
        finally:
            entry.update(status=status, fault=fault, refused=self.refusal)
            state.record(entry)

    def dispatch(self, bucket, key, query, body):
        state = self.state
        args = state.args
        raw_path, _, raw_query = self.path.partition("?")
        refusal = sigv4.check(self.command, raw_path, raw_query, self.headers,
                              hashlib.sha256(body).hexdigest(), args.key_id, args.secret,
                              args.region, state.config.get("token", args.token))
        if refusal:
            self.refuse(*refusal)
            return refusal[0]
        refusal = body_digest_refusal(self.headers, body)
        if refusal:
            self.refuse(*refusal)
            return refusal[0]
        hidden = state.config.get("hide", [])
        if self.command == "GET" and key == "" and "uploads" in query:
            return self.list_uploads(bucket, query.get("prefix", ""))
        if self.command in ("HEAD", "GET") and key in hidden:
            # As if the object were written by another just after this look.
            self.answer(404, error_body("NoSuchKey", "The specified key does not exist."),
                        [("Content-Type", "application/xml")])
            return 404
        if self.command == "DELETE" and "uploadId" in query:
            return self.abort(bucket, key, query["uploadId"])
        if self.command == "POST" and "uploads" in query:
            status, headers, data = self.forward(body, raw=True)
            if status == 200:
                upload = ET.fromstring(data)
                uid = next(e.text for e in upload.iter() if strip_ns(e.tag) == "UploadId")
                with state.lock:
                    state.uploads[uid] = {"bucket": bucket, "key": key, "parts": {},
                                          "started": time.strftime("%Y-%m-%dT%H:%M:%S.000Z",
                                                                   time.gmtime())}
            return self.relay(status, headers, data)
        if self.command == "PUT" and "uploadId" in query:
            return self.upload_part(bucket, key, query, body)
        if self.command == "POST" and "uploadId" in query:
            return self.complete(bucket, key, query["uploadId"], body)
        # (The SDK names its operation in an x-id parameter.)
        if self.command == "PUT" and key and not set(query) - {"x-id"}:
            condition = self.headers.get("If-None-Match")
            if condition is not None and condition != "*":
                self.refuse(501, "NotImplemented", "If-None-Match takes '*' alone on a write")
                return 501
            with state.key_lock(bucket, key):
                if condition == "*" and self.exists(bucket, key):
                    self.refuse(412, "PreconditionFailed",
                                "At least one of the pre-conditions you specified did not hold")
                    return 412
                return self.forward(body)[0]
        return self.forward(body)[0]

    def relay(self, status, headers, data):
        self.answer(status, data, [(k, v) for k, v in headers if k.lower() not in HOP])
        return status

    def upload_of(self, bucket, key, uid):
        with self.state.lock:
            upload = self.state.uploads.get(uid)
        if upload is None or upload["bucket"] != bucket or upload["key"] != key:
            self.refuse(404, "NoSuchUpload", "The specified upload does not exist.")
            return None
        return upload

    def upload_part(self, bucket, key, query, body):
        upload = self.upload_of(bucket, key, query["uploadId"])
        if upload is None:
            return 404
        number = query.get("partNumber", "")
        if not number.isdigit() or not 1 <= int(number) <= 10000:
            self.refuse(400, "InvalidArgument", "Part number must be an integer between 1 and 10000")
            return 400
        status, headers, data = self.forward(body, raw=True)
        if status == 200:
            etag = dict((k.lower(), v) for k, v in headers).get("etag", "").strip('"')
            with self.state.lock:
                upload["parts"][int(number)] = (len(body), etag)
        return self.relay(status, headers, data)

    def complete(self, bucket, key, uid, body):
        state = self.state
        upload = self.upload_of(bucket, key, uid)
        if upload is None:
            return 404
        try:
            listed = [(int(next(c.text for c in p if strip_ns(c.tag) == "PartNumber")),
                       next(c.text for c in p if strip_ns(c.tag) == "ETag").strip('"'))
                      for p in ET.fromstring(body) if strip_ns(p.tag) == "Part"]
        except (ET.ParseError, StopIteration, ValueError, TypeError):
            listed = []
        if not listed:
            self.refuse(400, "MalformedXML", "The XML you provided was not well-formed")
            return 400
        numbers = [n for n, _ in listed]
        if numbers != sorted(set(numbers)):
            self.refuse(400, "InvalidPartOrder", "The list of parts was not in ascending order.")
            return 400
        with state.lock:
            parts = dict(upload["parts"])
        for index, (number, etag) in enumerate(listed):
            if number not in parts or parts[number][1] != etag:
                self.refuse(400, "InvalidPart", "One or more of the specified parts could not be"
                            " found or its entity tag did not match.")
                return 400
            if index + 1 < len(listed) and parts[number][0] < MIN_PART:
                self.refuse(400, "EntityTooSmall",
                            "Your proposed upload is smaller than the minimum allowed size")
                return 400
        condition = self.headers.get("If-None-Match")
        with state.key_lock(bucket, key):
            if condition == "*" and self.exists(bucket, key):
                self.refuse(412, "PreconditionFailed",
                            "At least one of the pre-conditions you specified did not hold")
                return 412
            status, headers, data = self.forward(body, raw=True)
        if status == 200:
            with state.lock:
                state.uploads.pop(uid, None)
        return self.relay(status, headers, data)

    def upload_dir(self, bucket, uid):
        return os.path.join(self.state.args.data, bucket, "._S3rver_uploads", uid)

    def abort(self, bucket, key, uid):
        if self.upload_of(bucket, key, uid) is None:
            return 404
        with self.state.lock:
            self.state.uploads.pop(uid, None)
        folder = self.upload_dir(bucket, uid)
        if os.path.isdir(folder):
            for name in os.listdir(folder):
                os.remove(os.path.join(folder, name))
            os.rmdir(folder)
        self.answer(204)
        return 204

    def list_uploads(self, bucket, prefix):
        with self.state.lock:
            found = sorted((u["key"], uid, u["started"]) for uid, u in self.state.uploads.items()
                           if u["bucket"] == bucket and u["key"].startswith(prefix))
        items = "".join("<Upload><Key>%s</Key><UploadId>%s</UploadId><Initiated>%s</Initiated>"
                        "<StorageClass>STANDARD</StorageClass></Upload>" % item for item in found)
        xml = ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ListMultipartUploadsResult"
               " xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\"><Bucket>%s</Bucket><KeyMarker>"
               "</KeyMarker><UploadIdMarker></UploadIdMarker><MaxUploads>1000</MaxUploads>"
               "<IsTruncated>false</IsTruncated>%s</ListMultipartUploadsResult>" % (bucket, items))
        self.answer(200, xml.encode(), [("Content-Type", "application/xml")])
        return 200


def go_down(state):
    """As a server that stopped: the port refuses, every connection is reset."""
    with state.lock:
        state.down = True
        connections = list(state.connections)
    state.data_server.shutdown()
    state.data_server.server_close()
    for conn in connections:
        try:
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            conn.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


class Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A client that hangs up (as a run ended by a signal does) is no fault.
        if not isinstance(sys.exc_info()[1], OSError):
            super().handle_error(request, client_address)


def serve_data(state, port):
    server = Server(("127.0.0.1", port), Handler)
    server.daemon_threads = True
    state.data_server = server
    threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05},
                     daemon=True).start()
    return server.server_address[1]


def come_back(state):
    if not state.down:
        return
    port = state.data_server.server_address[1]
    for _ in range(100):
        try:
            serve_data(state, port)
            break
        except OSError:
            time.sleep(0.05)
    with state.lock:
        state.down = False


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--upstream", type=int, required=True)
    parser.add_argument("--data", required=True, help="the local server's folder")
    parser.add_argument("--ports-file", required=True)
    parser.add_argument("--log")
    parser.add_argument("--key-id", default=os.environ.get("AWS_ACCESS_KEY_ID", "S3RVER"))
    parser.add_argument("--secret", default=os.environ.get("AWS_SECRET_ACCESS_KEY", "S3RVER"))
    parser.add_argument("--region", default=os.environ.get("AWS_REGION", "us-east-1"))
    parser.add_argument("--token", default=None)
    args = parser.parse_args()
    Handler.state = state = State(args)
    data_port = serve_data(state, 0)

    import control  # the control port's handler
    control_server = ThreadingHTTPServer(("127.0.0.1", 0), control.handler(state, come_back))
    control_server.daemon_threads = True
    with open(args.ports_file + ".tmp", "w") as f:
        f.write("%d %d\n" % (data_port, control_server.server_address[1]))
    os.replace(args.ports_file + ".tmp", args.ports_file)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    control_server.serve_forever(poll_interval=0.05)


if __name__ == "__main__":
    main()
