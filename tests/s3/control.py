"""The proxy's control port: the checks configure faults, read the
counters and bring the proxy back after it went down.

  POST /config  {"seed", "match", "faults": {"503", "500", "reset", "delay", "error200",
                                       "lost"},
                 "always": {"match", "fault"}, "down_at_part",
                 "hide": [keys answered 404 to HEAD and GET, as if written just after],
                 "signal": {"at", "signal", "pidfile"}, "streak",
                 "token": the session token every request must carry}
                (resets the counters)
  GET  /stats   the counters, whether it is down, the open uploads
  POST /up      listens again after going down
"""

import json
from http.server import BaseHTTPRequestHandler


def handler(state, come_back):
    class Control(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def reply(self, value, status=200):
            data = json.dumps(value).encode()
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

        def do_GET(self):
            if self.path != "/stats":
                return self.reply({"error": "unknown"}, 404)
            with state.lock:
                stats = dict(state.counts, down=state.down,
                             uploads=[{"bucket": u["bucket"], "key": u["key"], "id": uid}
                                      for uid, u in state.uploads.items()])
            self.reply(stats)

        def do_POST(self):
            body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
            if self.path == "/config":
                state.configure(json.loads(body or b"{}"))
            elif self.path == "/up":
                come_back(state)
            else:
                return self.reply({"error": "unknown"}, 404)
            self.reply({"ok": True})

    return Control
