"""A page opened in headless Chromium through the DevTools protocol: what it
logged, what it fetched, what the page reports, and a screenshot.

Chromium comes from Debian (`make test` installs it); without it the tests
that need it are skipped with that reason.
"""

from __future__ import annotations

import base64
import itertools
import json
import os
import pathlib
import re
import shutil
import subprocess
import tempfile
import threading
import time
import urllib.request
from dataclasses import dataclass, field
from typing import Any

BROWSERS = ("chromium", "chromium-browser", "google-chrome")


def find_browser() -> str | None:
    return next((path for path in map(shutil.which, BROWSERS) if path), None)


@dataclass
class PageVisit:
    errors: list[str] = field(default_factory=list)    # console errors, exceptions, failed loads
    requests: list[str] = field(default_factory=list)  # every URL the page asked for
    values: dict[str, Any] = field(default_factory=dict)
    screenshot: bytes = b""


class _Session:
    def __init__(self, url: str, timeout: float) -> None:
        import websocket

        self.ws = websocket.create_connection(url, timeout=timeout, suppress_origin=True)
        self.ids = itertools.count(1)
        self.events: list[dict[str, Any]] = []

    def call(self, method: str, **params: Any) -> dict[str, Any]:
        call_id = next(self.ids)
        self.ws.send(json.dumps({"id": call_id, "method": method, "params": params}))
        while True:
            message = json.loads(self.ws.recv())
            if message.get("id") == call_id:
                if "error" in message:
                    raise RuntimeError(f"{method}: {message['error']}")
                return message.get("result", {})
            self.events.append(message)

    def wait_for(self, method: str, deadline: float) -> None:
        while not any(e.get("method") == method for e in self.events):
            if time.monotonic() > deadline:
                raise TimeoutError(f"no {method} event")
            self.events.append(json.loads(self.ws.recv()))


def visit(path: pathlib.Path, *, checks: dict[str, str], ready: str, size: tuple[int, int] = (1280, 900),
          timeout: float = 120.0) -> PageVisit:
    """Open the file `path`, wait until the JavaScript `ready` is true, then
    evaluate each of `checks` (name -> expression, JSON-serialisable) and take
    a screenshot of the window."""
    browser = find_browser()
    assert browser is not None
    profile = tempfile.mkdtemp(prefix="kovalith-chromium-")
    # WebGL without a GPU: the software renderer, which newer builds only
    # use when told it is wanted.
    args = [browser, "--headless", "--no-sandbox", "--disable-gpu", "--use-angle=swiftshader",
            "--enable-unsafe-swiftshader", "--no-first-run", "--no-default-browser-check",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            f"--user-data-dir={profile}", "--remote-debugging-port=0", "--remote-allow-origins=*",
            f"--window-size={size[0]},{size[1]}", "about:blank"]
    process = subprocess.Popen(args, stderr=subprocess.PIPE, stdout=subprocess.DEVNULL, text=True,
                               env={**os.environ, "HOME": profile})
    deadline = time.monotonic() + timeout
    try:
        assert process.stderr is not None
        port = None
        seen = []
        while port is None:
            line = process.stderr.readline()
            if not line:
                raise RuntimeError("chromium exited before it listened: " + "".join(seen[-20:]))
            seen.append(line)
            found = re.search(r"DevTools listening on ws://[^:]+:(\d+)/", line)
            port = int(found.group(1)) if found else None
        # Keep reading, or a chatty browser blocks on a full pipe.
        threading.Thread(target=process.stderr.read, daemon=True).start()
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=timeout) as response:
            target = next(t for t in json.load(response) if t["type"] == "page")
        session = _Session(target["webSocketDebuggerUrl"], timeout)
        for domain in ("Page", "Runtime", "Log", "Network"):
            session.call(f"{domain}.enable")
        session.call("Page.navigate", url=path.resolve().as_uri())
        session.wait_for("Page.loadEventFired", deadline)
        while not session.call("Runtime.evaluate", expression=f"Boolean({ready})",
                               returnByValue=True)["result"].get("value"):
            if time.monotonic() > deadline:
                raise TimeoutError(f"the page never got ready: {ready}")
            time.sleep(0.2)
        result = PageVisit()
        for name, expression in checks.items():
            answer = session.call("Runtime.evaluate", expression=f"JSON.stringify({expression})", returnByValue=True)
            if "exceptionDetails" in answer:
                raise RuntimeError(f"{name}: {answer['exceptionDetails']}")
            result.values[name] = json.loads(answer["result"]["value"])
        shot = session.call("Page.captureScreenshot", format="png")
        result.screenshot = base64.b64decode(shot["data"])
        session.ws.close()
        for event in session.events:
            method, params = event.get("method"), event.get("params", {})
            if method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
                result.errors.append("console: " + " ".join(str(a.get("value", a.get("description")))
                                                           for a in params.get("args", [])))
            elif method == "Runtime.exceptionThrown":
                details = params.get("exceptionDetails", {})
                result.errors.append("exception: " + str(details.get("exception", {}).get("description")
                                                         or details.get("text")))
            elif method == "Log.entryAdded" and params.get("entry", {}).get("level") == "error":
                result.errors.append("log: " + params["entry"].get("text", ""))
            elif method == "Network.loadingFailed":
                result.errors.append("load failed: " + str(params.get("errorText")))
            elif method == "Network.requestWillBeSent":
                result.requests.append(params["request"]["url"])
        return result
    finally:
        process.terminate()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        shutil.rmtree(profile, ignore_errors=True)
