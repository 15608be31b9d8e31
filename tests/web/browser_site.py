#!/usr/bin/python3
"""The web interface in a browser: headless Chromium against gwwebd, gwlinkd
and gatesimd, all in one box (this script is the box's program, so everything
it starts shares the box's network and nothing leaves it).

    boardbox --tty1 gm360 --ram0 IMG:1M --control SOCK -- browser_site.py BUILD OUT

Logs in (a wrong password first), sees the link logged in, keys PTT on the
head emulator and watches the status page follow within two seconds, changes
the server port and the codec and applies them (gwlinkd, restarted the way the
board's init would, logs in to the second server with the new codec), and
uploads a bad firmware image, which is refused with fwwriter's message while
no flash partition is touched. Screenshots of every page land in OUT.
"""
import json
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

BUILD, OUT = sys.argv[1], sys.argv[2]
BIN = os.path.join(BUILD, "bin")
PORT = 8080
URL = "http://127.0.0.1:%d" % PORT
os.environ["PATH"] = BIN + ":" + os.environ["PATH"]
os.makedirs(OUT, exist_ok=True)


def fail(message):
    print("FAIL: " + message, flush=True)
    for p in Program.all:
        p.dump()
    sys.exit(1)


def isolated():
    names = os.listdir("/sys/class/net") if os.path.isdir("/sys/class/net") else []
    return names == ["lo"]


class Program:
    """A child whose output lines are kept; with respawn it is started again
    whenever it ends, as the board's init does for gwlinkd."""

    all = []

    def __init__(self, name, argv, respawn=False):
        self.name, self.argv, self.respawn = name, argv, respawn
        self.lines, self.lock, self.stopping = [], threading.Lock(), False
        self.starts = 0
        Program.all.append(self)
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while not self.stopping:
            self.proc = subprocess.Popen(self.argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            self.starts += 1
            for raw in self.proc.stdout:
                with self.lock:
                    self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))
            self.proc.wait()
            if not self.respawn:
                return
            time.sleep(0.2)  # init's respawn pause; not a synchronisation

    def count(self):
        with self.lock:
            return len(self.lines)

    def wait_for(self, text, timeout, start=0):
        deadline = time.time() + timeout
        while time.time() < deadline:
            with self.lock:
                for line in self.lines[start:]:
                    if text in line:
                        return line
            time.sleep(0.05)
        return None

    def stop(self):
        self.stopping = True
        if getattr(self, "proc", None) and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()

    def dump(self):
        with self.lock:
            tail = self.lines[-40:]
        print("---- %s (last %d lines)" % (self.name, len(tail)))
        for line in tail:
            print("  " + line)


def box(request):
    s = socket.socket(socket.AF_UNIX)
    s.connect(os.environ["BOARDBOX_CONTROL"])
    s.sendall((json.dumps(request) + "\n").encode())
    reply = b""
    while not reply.endswith(b"\n"):
        chunk = s.recv(65536)
        if not chunk:
            break
        reply += chunk
    s.close()
    return json.loads(reply)


def until(what, pred, timeout):
    deadline = time.time() + timeout
    while time.time() < deadline:
        try:
            if pred():
                return time.time()
        except Exception:  # a page being replaced under the lookup
            pass
        time.sleep(0.05)
    fail("%s: not within %.1f s" % (what, timeout))


def text(driver, element_id):
    return driver.find_element(By.ID, element_id).text


def shot(driver, name):
    path = os.path.join(OUT, name + ".png")
    driver.save_screenshot(path)
    print("screenshot " + path, flush=True)


def main():
    if not isolated():
        fail("refusing to start the product outside an isolated box")
    work = tempfile.mkdtemp(dir="/run")
    users_a, users_b = os.path.join(work, "a.users"), os.path.join(work, "b.users")
    open(users_a, "w").write("user qzv 1 alaw\n")
    open(users_b, "w").write("user qzv 1 gsm\n")
    subprocess.run([BIN + "/gwcfg", "reset"], check=True)
    subprocess.run([BIN + "/gwcfg", "set", "remote_ip", "127.0.0.1", "remote_port", "5555", "radio_type", "gm360",
                    "codec", "alaw"], check=True)

    server_a = Program("gatesimd :5555", [BIN + "/gatesimd", "--bind", "127.0.0.1", "--port", "5555", "--xml-port",
                                           "0", "--users", users_a])
    server_b = Program("gatesimd :5600", [BIN + "/gatesimd", "--bind", "127.0.0.1", "--port", "5600", "--rtp-port",
                                           "5005", "--xml-port", "0", "--users", users_b])
    gateway = Program("gwlinkd", [BIN + "/gwlinkd"], respawn=True)
    web = Program("gwwebd", [BIN + "/gwwebd", "--port", str(PORT), "--bind", "127.0.0.1"])
    if not web.wait_for("gwwebd: listening", 10):
        fail("gwwebd did not start")
    if not server_a.wait_for("gatesimd: login [user]", 30):
        fail("the gateway did not log in to the first server")

    opts = webdriver.ChromeOptions()
    opts.binary_location = "/usr/bin/chromium"
    for a in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
              "--disable-background-networking", "--disable-component-update", "--disable-sync",
              "--no-first-run", "--window-size=1200,900", "--user-data-dir=" + os.path.join(work, "chromium")):
        opts.add_argument(a)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=opts)
    try:
        run(driver, server_b, gateway, work)
    finally:
        driver.quit()
        for p in reversed(Program.all):
            p.stop()
    print("browser_site: all checks passed", flush=True)


def run(driver, server_b, gateway, work):
    wait = WebDriverWait(driver, 10)
    # Log in: a wrong password is refused on the page.
    driver.get(URL + "/")
    wait.until(lambda d: d.find_element(By.ID, "password"))
    shot(driver, "login")
    driver.find_element(By.ID, "password").send_keys("wrong")
    driver.find_element(By.ID, "login-button").click()
    until("the wrong password refused", lambda: "wrong password" in text(driver, "login-error"), 5)
    shot(driver, "login-refused")
    if driver.current_url.rstrip("/") != URL:
        fail("a wrong password left the login page: " + driver.current_url)
    pw = driver.find_element(By.ID, "password")
    pw.clear()
    pw.send_keys("qzv")
    driver.find_element(By.ID, "login-button").click()
    until("the status page", lambda: driver.current_url.endswith("/status"), 5)
    until("the link logged in", lambda: text(driver, "link-state") == "logged in", 10)
    if text(driver, "link-server") != "127.0.0.1:5555":
        fail("server shown as " + text(driver, "link-server"))
    shot(driver, "status")

    # PTT on the head follows on the page within two seconds, and back.
    for on, label in ((True, "PTT on"), (False, "PTT off")):
        box({"cmd": "gm360", "op": "ptt", "on": on})
        pressed = time.time()
        seen = until("the page showing " + label, lambda: text(driver, "ptt") == label, 2.0)
        print("%s shown %.2f s after the key" % (label, seen - pressed), flush=True)
        if on:
            shot(driver, "status-ptt")

    # Configuration: another server and codec, applied with a restart.
    driver.get(URL + "/config")
    until("the configuration loaded", lambda: driver.find_element(By.ID, "f-remote_port").get_attribute("value")
          == "5555", 5)
    shot(driver, "config")
    bad = driver.find_element(By.ID, "f-remote_port")
    bad.clear()
    bad.send_keys("99999")
    driver.find_element(By.ID, "save").click()
    until("a bad port refused", lambda: "remote_port" in text(driver, "config-msg"), 5)
    shot(driver, "config-refused")
    bad.clear()
    bad.send_keys("5600")
    driver.find_element(By.XPATH, "//select[@id='f-codec']/option[@value='gsm']").click()
    driver.find_element(By.ID, "save").click()
    until("the configuration saved", lambda: "Saved" in text(driver, "config-msg"), 5)
    starts, from_line = gateway.starts, server_b.count()
    driver.find_element(By.ID, "apply").click()
    until("gwlinkd restarting", lambda: "restarting" in text(driver, "config-msg"), 5)
    until("gwlinkd started again", lambda: gateway.starts > starts, 10)
    line = server_b.wait_for("gatesimd: login [user]", 30, from_line)
    if not line or "codec gsm" not in line:
        fail("no login with the new codec at the second server: %r" % line)
    print("second server: " + line, flush=True)
    driver.get(URL + "/status")
    until("the status after the restart", lambda: text(driver, "link-server") == "127.0.0.1:5600"
          and text(driver, "link-state") == "logged in" and text(driver, "codec") == "gsm", 10)
    shot(driver, "status-gsm")

    # Firmware: a bad image is refused with the checker's words, no flash written.
    image = os.path.join(work, "bad.img")
    open(image, "wb").write(os.urandom(8192))
    driver.get(URL + "/firmware")
    wait.until(lambda d: d.find_element(By.ID, "fw-file"))
    driver.find_element(By.ID, "fw-file").send_keys(image)
    driver.find_element(By.ID, "fw-upload").click()
    until("the image refused", lambda: "Refused" in text(driver, "fw-msg")
          and "invalid hdr.name" in text(driver, "fw-verdict"), 10)
    if driver.find_element(By.ID, "fw-upgrade").is_enabled():
        fail("the upgrade button is enabled for a refused image")
    shot(driver, "firmware-refused")
    for part in box({"cmd": "mtd"})["partitions"]:
        if part["erases"] or part["writes"]:
            fail("%s was touched: %r" % (part["device"], part))


if __name__ == "__main__":
    main()
