"""What the object storage checks share: the proxy they start and steer,
zervgen runs against it or on disk, the SDK reader, the tally."""

import json
import os
import subprocess
import sys
import tempfile
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
# The proxy checks signatures with these and hands the local server its
# own account's.
KEY_ID = "AKIDZERVGENCHECKS"
SECRET = "zervgen/checks+Secret0123456789"
REGION = "us-east-1"
RUN_TIMEOUT = 600  # a guard against a hung run, never a measure


class Tally:
    def __init__(self):
        self.passed = 0
        self.failed = 0
        self.current = ""

    def check(self, ok, what, detail=""):
        if ok:
            self.passed += 1
        else:
            self.failed += 1
            print(f"FAIL [{self.current}] {what}" + (f"\n{detail}" if detail else ""), flush=True)
        return ok

    def section(self, name):
        self.current = name
        print(f"s3: {name}", flush=True)


class Proxy:
    """The fault proxy (proxy.py) in front of the local server."""

    def __init__(self, upstream, data, work):
        self.ports_file = os.path.join(work, "proxy.ports")
        self.log = os.path.join(work, "proxy.log")
        self.process = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "proxy.py"), "--upstream", str(upstream),
             "--data", data, "--ports-file", self.ports_file, "--log", self.log,
             "--key-id", KEY_ID, "--secret", SECRET, "--region", REGION])
        deadline = time.monotonic() + 30
        while not os.path.exists(self.ports_file):
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("the proxy did not start")
            time.sleep(0.05)
        with open(self.ports_file) as f:
            self.port, self.control = (int(x) for x in f.read().split())
        self.endpoint = f"http://127.0.0.1:{self.port}"

    def call(self, path, body=None):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(f"http://127.0.0.1:{self.control}{path}", data=data,
                                         method="GET" if body is None else "POST")
        with urllib.request.urlopen(request, timeout=60) as reply:
            return json.loads(reply.read())

    def configure(self, **config):
        return self.call("/config", config)

    def stats(self):
        return self.call("/stats")

    def up(self):
        return self.call("/up", {})

    def log_since(self, start):
        """The proxy's request records from line `start` on."""
        with open(self.log) as f:
            return [json.loads(line) for line in f.readlines()[start:]]

    def log_length(self):
        with open(self.log) as f:
            return sum(1 for _ in f)

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=30)


class World:
    """The binary under test, the npm folder, the proxy and a work folder."""

    def __init__(self, zervgen, npm_dir, proxy, work):
        self.zervgen = os.path.abspath(zervgen)
        self.npm_dir = npm_dir
        self.proxy = proxy
        self.work = work

    def env(self, secret=SECRET, endpoint=None):
        env = {k: v for k, v in os.environ.items() if not k.startswith("AWS_")}
        env.update(AWS_ACCESS_KEY_ID=KEY_ID, AWS_SECRET_ACCESS_KEY=secret, AWS_REGION=REGION,
                   AWS_ENDPOINT_URL=endpoint or self.proxy.endpoint, ZERVGEN_NPM_DIR=self.npm_dir)
        return env

    def run(self, args, secret=SECRET, cwd=None, token=None):
        """zervgen ARGS against the store: (status, stdout, stderr)."""
        env = self.env(secret)
        if token:
            env["AWS_SESSION_TOKEN"] = token
        r = subprocess.run([self.zervgen] + args, env=env, cwd=cwd or self.work,
                           capture_output=True, text=True, timeout=RUN_TIMEOUT)
        return r.returncode, r.stdout, r.stderr

    def start(self, args, pidfile):
        """zervgen ARGS started, its pid written to PIDFILE for the proxy."""
        process = subprocess.Popen([self.zervgen] + args, env=self.env(), cwd=self.work,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        with open(pidfile + ".tmp", "w") as f:
            f.write(str(process.pid))
        os.replace(pidfile + ".tmp", pidfile)
        return process

    def on_disk(self, args, name):
        """The same run written to files in a folder of its own: the path
        prefix of its files."""
        folder = tempfile.mkdtemp(dir=self.work, prefix=name + "-")
        r = subprocess.run([self.zervgen] + args + ["-f", "r"], cwd=folder, capture_output=True,
                           text=True, timeout=RUN_TIMEOUT)
        if r.returncode != 0:
            raise RuntimeError(f"the run on disk failed: {r.stderr}")
        return os.path.join(folder, "r")

    def reader(self, *args):
        """The SDK reader: (status, stdout, stderr)."""
        r = subprocess.run(["node", os.path.join(HERE, "reader.mjs")] + list(args),
                           env=self.env(), capture_output=True, text=True, timeout=RUN_TIMEOUT)
        return r.returncode, r.stdout, r.stderr

    def objects(self, bucket, prefix=""):
        status, out, err = self.reader("list", bucket, prefix)
        if status != 0:
            raise RuntimeError(f"listing failed: {err}")
        return json.loads(out)

    def uploads(self, bucket):
        status, out, err = self.reader("uploads", bucket)
        if status != 0:
            raise RuntimeError(f"listing the uploads failed: {err}")
        return json.loads(out)

    def bucket(self, name):
        status, _, err = self.reader("bucket", name)
        if status != 0:
            raise RuntimeError(f"making bucket {name} failed: {err}")
        return name


def after_banner(err):
    return err.split("\n", 1)[1] if "\n" in err else ""


def object_name(path):
    """An object's key from the s3://BUCKET/KEY zervgen names it by."""
    return path.split("/", 3)[3] if path.startswith("s3://") else path
