#!/usr/bin/env python3
"""Opens a page in headless chromium and prints what an async script run in it returns.

usage: page_driver.py URL SCRIPT_FILE [PROFILE_DIR]
The script is the body of an async function; its result is printed as JSON. The browser is
driven over its debugging pipe, so the page runs in real time (no virtual clock)."""
import json
import os
import subprocess
import sys
import time


def main():
    url, script_file = sys.argv[1], sys.argv[2]
    profile = sys.argv[3] if len(sys.argv) > 3 else None
    script = open(script_file, encoding="utf-8").read()
    to_browser_r, to_browser_w = os.pipe()
    from_browser_r, from_browser_w = os.pipe()

    def child_fds():  # the browser reads commands on fd 3 and writes answers on fd 4
        reading, writing = os.dup(to_browser_r), os.dup(from_browser_w)  # neither may be 3 or 4 itself
        os.dup2(reading, 3)
        os.dup2(writing, 4)

    args = ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--remote-debugging-pipe",
            "--window-size=412,915", url]
    if profile:
        args.insert(1, "--user-data-dir=" + profile)
    browser = subprocess.Popen(args, preexec_fn=child_fds, pass_fds=(3, 4),
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(to_browser_r)
    os.close(from_browser_w)
    pending = b""
    next_id = 0

    def call(method, params=None, session=None):
        nonlocal pending, next_id
        next_id += 1
        message = {"id": next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(to_browser_w, json.dumps(message).encode() + b"\0")
        while True:
            while b"\0" not in pending:
                chunk = os.read(from_browser_r, 65536)
                if not chunk:
                    raise RuntimeError("the browser closed its pipe")
                pending += chunk
            raw, pending = pending.split(b"\0", 1)
            answer = json.loads(raw)
            if answer.get("id") == next_id:
                if "error" in answer:
                    raise RuntimeError(method + ": " + json.dumps(answer["error"]))
                return answer["result"]

    try:
        deadline = time.monotonic() + 30
        page = None
        while page is None and time.monotonic() < deadline:
            targets = call("Target.getTargets")["targetInfos"]
            page = next((t for t in targets if t["type"] == "page"), None)
            if page is None:
                time.sleep(0.1)
        if page is None:
            raise RuntimeError("no page opened")
        session = call("Target.attachToTarget", {"targetId": page["targetId"], "flatten": True})["sessionId"]
        # The page may still be on its way from about:blank: the script runs once it has loaded.
        while True:
            try:
                state = call("Runtime.evaluate", {"expression": "location.href + ' ' + document.readyState",
                                                  "returnByValue": True}, session)["result"].get("value", "")
            except RuntimeError:
                state = ""
            if state.startswith(url) and state.endswith(" complete"):
                break
            if time.monotonic() > deadline:
                raise RuntimeError("the page did not load: " + state)
            time.sleep(0.1)
        result = call("Runtime.evaluate", {"expression": "(async () => {" + script + "})()",
                                           "awaitPromise": True, "returnByValue": True}, session)
        if "exceptionDetails" in result:
            raise RuntimeError(json.dumps(result["exceptionDetails"]))
        print(json.dumps(result["result"].get("value")))
        call("Browser.close")
    finally:
        try:
            browser.wait(timeout=10)
        except subprocess.TimeoutExpired:
            browser.kill()


if __name__ == "__main__":
    main()
