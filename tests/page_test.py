#!/usr/bin/python3
"""The page in a real browser against the command line, one row a case.

Opens the built page from file:// in one engine, hands it the sample inputs
(changed as the row says) through its file input or a drop, types the window
offset, takes the row's steps, and compares what the page offers for
download, and the size and SHA-256 it shows, with the image the command-line
tool writes from the same files, tag and offset at each Build. Rows that must
offer nothing check that no download came and that the page says why. In
every row the browser must make no network request and the page raise no
error, offer an image only once the one before is withdrawn, and withdraw it
at every change. A row that the engine's driver cannot take (a folder handed
to the folder picker) is reported as skipped, with the reason.

Usage: page_test.py ENGINE PAGE TOOL MAKE_SAMPLE_INPUTS
ENGINE is chromium (Debian's chromium and chromium-driver, through selenium),
firefox (Debian's firefox-esr, through puppeteer-core over WebDriver BiDi:
`npm ci --prefix tests/firefox`) or webkit (Debian's webkit2gtk-driver and its
MiniBrowser under xvfb-run, through selenium). Run by Debian's /usr/bin/python3
(python3-selenium). Without the engine, or without the page, or where the
engine cannot start (as some users), the test is skipped (exit 77), except
under CI=true, where it fails.
"""
import base64
import glob
import hashlib
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
from collections import namedtuple

SKIP = 77
LOCAL = ("file:", "data:", "blob:", "about:")  # what the page may load: nothing from a network
HERE = os.path.dirname(os.path.abspath(__file__))

# name, offset typed, {file: new size, new name, or None to leave it out},
# steps, text the page must show, whether it offers the command line's image
# (at every Build), a text it must not show, and the tags of the sample
# inputs made. Steps: "choose" the files (not subfolders) through the file
# input, "choose folder" their folder through the folder input, "edit"
# data9.bin (3,000 other bytes), "forget" them, "drop" a folder that cannot be
# read with the files, "drop folder" their folder (a subfolder as an empty
# folder's entry), "drag text" over the page, "tag T" to
# choose tag T, "type T" to type T as the offset, "hold reads" of the files'
# bytes until "release reads", "build", and "build, then type T", which types
# T while the build reads its inputs.
Row = namedtuple("Row", "name offset files steps shown offers absent tags", defaults=("", ("v1",)))
BUILD = ("choose", "build")
LONG_TAG = "t" * 240  # ipl2_TAG.bin fits a file name; the program block's name would not
CHANGED = "data9.bin has changed or cannot be read since chosen. Choose it again."
READY = "All 13 inputs are here: ready to build."
NOT_WHOLE = "is not a whole number"
ROWS = [
    Row("sample inputs, offset 0", "0", {}, BUILD, 'tag "v1" and window offset 0.', True),
    Row("sample inputs, offset 5", "5", {}, BUILD, 'tag "v1" and window offset 5.', True),
    Row("sample inputs, offset -124: no warning", "-124", {}, BUILD,
        'tag "v1" and window offset -124.', True, "Warning"),
    Row("sample inputs, offset 532: no warning", "532", {}, BUILD,
        'tag "v1" and window offset 532.', True, "Warning"),
    Row("sample inputs, offset 533", "533", {}, BUILD, "outside -124 to 532", True),
    Row("an offset the command line takes modulo 2^32", "4294967295", {}, BUILD,
        "4294967295 reads as -1: the command line takes it modulo 2^32.", True),
    Row("short input", "0", {"data5.bin": 1000}, BUILD,
        f"0xFF for the missing {3584 - 1000:,} bytes", True),
    Row("long input", "0", {"zemra80_org_v1.bin": 100_000}, BUILD,
        f"the last {100_000 - 23552:,} bytes are not read", True),
    Row("missing input", "0", {"data5.bin": None}, BUILD, "Missing: data5.bin.", False),
    Row("non-integer offset", "12abc", {}, BUILD, '"12abc" is not a whole number', False),
    Row("empty offset: one message", "", {}, BUILD, "Type the window offset", False,
        "not a whole number"),
    Row("256-character offset: one message", "1" * 256, {}, BUILD, "at most 255 characters", False,
        NOT_WHOLE),
    Row("255-character offset", "0" * 254 + "7", {}, BUILD, 'tag "v1" and window offset 7.', True),
    # Unicode white space is not the command line's: it reads the text as 0.
    Row("a no-break space before the offset", "\u00a05", {}, BUILD, NOT_WHOLE, False),
    Row("a byte order mark before the offset", "\ufeff5", {}, BUILD, NOT_WHOLE, False),
    Row("edited after it was chosen", "0", {}, ("choose", "edit", "build"), CHANGED, False),
    Row("edited, then chosen again", "0", {}, ("choose", "edit", "choose", "build"),
        'tag "v1" and window offset 0.', True),
    Row("forgotten, then chosen again", "0", {}, ("choose", "forget", "choose", "build"),
        'tag "v1" and window offset 0.', True),
    Row("a folder that cannot be read dropped with the files", "0", {}, ("drop", "build"),
        "The dropped folder lost cannot be read", True),
    Row("text dragged over the result", "0", {}, ("choose", "build", "drag text"),
        'tag "v1" and window offset 0.', True),
    Row("upper-case names", "0", {"ipl1.bin": "IPL1.BIN", "data2.bin": "Data2.bin"}, BUILD,
        "IPL1.BIN: the input is ipl1.bin; rename it", False),
    Row("a tagged name in other letter case", "0", {"ipl2_v1.bin": "Ipl2_v1.bin"}, BUILD,
        "Ipl2_v1.bin: the input is ipl2_v1.bin; rename it", False),
    Row("a tag too long for a file name", "0", {"ipl2_v1.bin": f"ipl2_{LONG_TAG}.bin",
        "zemra80_prog_p6_v1.bin": None, "zemra80_org_v1.bin": None}, BUILD,
        "would make a file name longer than 255 characters", False, "Missing: ,"),
    Row("two tags", "0", {}, BUILD, "Nothing built. Choose the version tag.\n", False, "Missing",
        ("v1", "v2")),
    Row("a tag that is the start of another", "0", {}, ("choose", "tag v1", "build"),
        'tag "v1" and window offset 0.', True, "Missing", ("v1", "v10")),
    Row("the other tag, which starts with it", "0", {}, ("choose", "tag v10", "build"),
        'tag "v10" and window offset 0.', True, "Missing", ("v1", "v10")),
    Row("a change while a build reads its inputs", "0", {},
        ("choose", "hold reads", "build, then type 5", "release reads"), READY, False,
        "Reading the inputs"),
    Row("a second build after an edit", "0", {}, ("choose", "build", "type 5", "build"),
        'tag "v1" and window offset 5.', True),
    Row("the folder picker", "0", {"sub/data1.bin": 100}, ("choose folder", "build"),
        "Subfolders: only a folder's own files are inputs.", True),
    Row("a dropped folder with a subfolder, forgotten, then files chosen", "0",
        {"sub/data1.bin": 100}, ("drop folder", "forget", "choose", "build"),
        'tag "v1" and window offset 0.', True, "Subfolders"),
    Row("a dropped folder of more than 100 entries", "0", {f"notes{n}.txt": 10 for n in range(120)},
        ("drop folder", "build"), "120 other files, not inputs", True),
    Row("other files counted, not listed", "0", {f"notes{n}.txt": 10 for n in range(30)}, BUILD,
        "30 other files, not inputs", True, "notes1.txt"),
]


def skip(why):
    if os.environ.get("CI") == "true":
        print("FAIL:", why)
        sys.exit(1)
    print("SKIP:", why)
    sys.exit(SKIP)


def wait_for(condition, seconds=10):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    return None


def listening(port):
    try:
        with socket.create_connection(("127.0.0.1", port), 1):
            return True
    except OSError:
        return False


class Trap:
    """A proxy on the loopback that answers nothing and notes every request
    the browser sends it: for an engine that logs no requests itself."""

    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.seen = []
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            with connection:
                connection.settimeout(1)
                try:
                    self.seen.append(connection.recv(200).split(b"\r\n")[0].decode("latin-1"))
                except OSError:
                    self.seen.append("a connection")


class Selenium:
    """Chromium or WebKitGTK through selenium. Scripts run as the body of an
    async function of their arguments."""

    def __init__(self, engine, work, downloads):
        from selenium import webdriver
        from selenium.webdriver.common.by import By
        self.by, self.engine, self.stop = By, engine, None
        if engine == "chromium":
            from selenium.webdriver.chrome.service import Service
            options = webdriver.ChromeOptions()
            options.binary_location = shutil.which("chromium")
            for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                         "--no-first-run", "--disable-background-networking",
                         "--disable-component-update", "--disable-sync", "--lang=en-US",
                         "--user-data-dir=" + os.path.join(work, "profile")):
                options.add_argument(flag)
            options.set_capability("goog:loggingPrefs", {"performance": "ALL", "browser": "ALL"})
            service = Service(executable_path=shutil.which("chromedriver"))
            self.driver = webdriver.Chrome(options=options, service=service)
            self.driver.execute_cdp_cmd("Browser.setDownloadBehavior",
                                        {"behavior": "allow", "downloadPath": downloads})
        else:
            # WebKitWebDriver starts MiniBrowser, which needs a display: both
            # run under xvfb-run, with downloads sent to DOWNLOADS.
            self.trap = Trap()
            config = os.path.join(work, "config")
            os.makedirs(config)
            with open(os.path.join(config, "user-dirs.dirs"), "w") as f:
                f.write(f'XDG_DOWNLOAD_DIR="{downloads}"\n')
            with socket.create_server(("127.0.0.1", 0)) as probe:
                port = probe.getsockname()[1]
            server = subprocess.Popen(
                ["xvfb-run", "-a", "WebKitWebDriver", f"--port={port}"],
                env=dict(os.environ, XDG_CONFIG_HOME=config), start_new_session=True,
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.stop = lambda: os.killpg(server.pid, 15)
            options = webdriver.WebKitGTKOptions()
            options.binary_location = minibrowser()
            options.add_argument("--automation")
            options.add_argument(f"--proxy=http://127.0.0.1:{self.trap.port}")
            if not wait_for(lambda: listening(port), 30):
                self.close()
                raise RuntimeError("WebKitWebDriver did not start")
            self.driver = webdriver.Remote(command_executor=f"http://127.0.0.1:{port}",
                                           options=options)
            self.driver._is_remote = False  # the files it is given are on this machine

    def open(self, url):
        if self.engine == "chromium":
            self.driver.get_log("performance")  # what came before
        else:
            # MiniBrowser lists a window's downloads above its page: a new
            # window for each row keeps the page's height.
            self.trap.seen.clear()
            old = self.driver.current_window_handle
            self.driver.switch_to.new_window("window")
            new = self.driver.current_window_handle
            self.driver.switch_to.window(old)
            self.driver.close()
            self.driver.switch_to.window(new)
        self.driver.get(url)

    def files(self, id, paths):
        self.driver.find_element(self.by.ID, id).send_keys("\n".join(paths))

    def type(self, id, text):
        field = self.driver.find_element(self.by.ID, id)
        field.clear()
        if text:
            field.send_keys(text)

    def click(self, id):
        self.driver.find_element(self.by.ID, id).click()

    def run(self, script, *args):
        answer = self.driver.execute_async_script(
            "const done = arguments[arguments.length - 1];"
            f"(async function () {{ {script} }}).apply(null, arguments[0]).then("
            "(value) => done({value}), (e) => done({error: String(e)}));", list(args))
        if "error" in answer:
            raise RuntimeError(answer["error"])
        return answer.get("value")

    def requests(self):
        if self.engine != "chromium":
            return list(self.trap.seen)
        urls = []
        for entry in self.driver.get_log("performance"):
            message = json.loads(entry["message"])["message"]
            if message["method"] == "Network.requestWillBeSent":
                urls.append(message["params"]["request"]["url"])
        return urls

    def close(self):
        try:
            if hasattr(self, "driver"):
                self.driver.quit()
        finally:
            if self.stop:
                self.stop()


class Firefox:
    """Firefox through tests/firefox/drive.mjs, one JSON command a line."""

    def __init__(self, work, downloads):
        self.process = subprocess.Popen(
            ["node", os.path.join(HERE, "firefox", "drive.mjs"), firefox(),
             os.path.join(work, "profile"), downloads],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.open("about:blank")

    def __getattr__(self, op):
        """open, files, type, click, run and requests, as drive.mjs takes them."""
        def ask(*args):
            self.process.stdin.write(json.dumps([op, *args]) + "\n")
            self.process.stdin.flush()
            line = self.process.stdout.readline()
            if not line:
                raise RuntimeError("firefox or its driver stopped")
            answer = json.loads(line)
            if "error" in answer:
                raise RuntimeError(answer["error"])
            return answer["value"]
        return ask

    def close(self):
        self.process.stdin.close()
        try:
            self.process.wait(30)
        except subprocess.TimeoutExpired:
            self.process.kill()


def minibrowser():
    found = glob.glob("/usr/lib/*/webkit2gtk-4.*/MiniBrowser")
    return found[0] if found else None


def firefox():
    return shutil.which("firefox-esr") or shutil.which("firefox")


def missing(engine):
    """Why ENGINE cannot run here, or None."""
    if engine in ("chromium", "webkit"):
        try:
            import selenium  # noqa: F401
        except ImportError:
            return "selenium is not installed (Debian: python3-selenium)"
    if engine == "chromium" and not (shutil.which("chromium") and shutil.which("chromedriver")):
        return "chromium or chromedriver is not installed (Debian: chromium, chromium-driver)"
    if engine == "webkit" and not (shutil.which("WebKitWebDriver") and minibrowser()
                                   and shutil.which("xvfb-run")):
        return "WebKitWebDriver, MiniBrowser or xvfb-run is not installed " \
               "(Debian: webkit2gtk-driver, xvfb)"
    if engine == "firefox":
        if not (firefox() and shutil.which("node")):
            return "firefox or node is not installed (Debian: firefox-esr, nodejs)"
        if not os.path.isdir(os.path.join(HERE, "firefox", "node_modules", "puppeteer-core")):
            return "puppeteer-core is not installed (npm ci --prefix tests/firefox)"
    return None


# A drop of a folder that cannot be read, then of the files given (name,
# base64), as the page sees one: items that give entries and files.
DROP = """
const [files] = arguments;
const lost = {isDirectory: true, name: 'lost', createReader: () => ({
  readEntries: (ok, fail) => fail(new DOMException('It is gone', 'NotFoundError'))})};
const items = [{kind: 'file', webkitGetAsEntry: () => lost, getAsFile: () => null},
  ...files.map(([name, text]) => {
    const file = new File([Uint8Array.from(atob(text), (c) => c.charCodeAt(0))], name);
    return {kind: 'file', webkitGetAsEntry: () => ({isFile: true}), getAsFile: () => file};
  })];
const drop = new Event('drop', {bubbles: true, cancelable: true});
drop.dataTransfer = {types: ['Files'], items};
document.body.dispatchEvent(drop);
"""
# A drop of one folder that holds the files given (name, base64), whose
# reader hands out its entries 100 at a time, as browsers do.
DROP_FOLDER = """
const [files] = arguments;
const empty = () => ({readEntries: (ok) => setTimeout(() => ok([]))});
const entries = files.map(([name, text]) => {
  if (text === null) return {isFile: false, isDirectory: true, name, createReader: empty};
  const file = new File([Uint8Array.from(atob(text), (c) => c.charCodeAt(0))], name);
  return {isFile: true, isDirectory: false, name, file: (ok) => ok(file)};
});
const createReader = () => {
  let next = 0;
  return {readEntries: (ok) => {
    const batch = entries.slice(next, next + 100);
    next += batch.length;
    setTimeout(() => ok(batch));
  }};
};
const folder = {isFile: false, isDirectory: true, name: 'inputs', createReader};
const items = [{kind: 'file', webkitGetAsEntry: () => folder, getAsFile: () => null}];
const drop = new Event('drop', {bubbles: true, cancelable: true});
drop.dataTransfer = {types: ['Files'], items};
document.body.dispatchEvent(drop);
"""
# Holds every read of a file's bytes until window.releaseReads() is called.
HOLD_READS = """
const arrayBuffer = Blob.prototype.arrayBuffer;
const gate = new Promise((resolve) => { window.releaseReads = resolve; });
Blob.prototype.arrayBuffer = function () { return gate.then(() => arrayBuffer.call(this)); };
"""
# Clicks Build and, while the build reads its inputs, types another offset.
BUILD_THEN_TYPE = """
const [text] = arguments;
document.getElementById('build').click();
const field = document.getElementById('offset');
field.value = text;
field.dispatchEvent(new Event('input', {bubbles: true}));
"""
# Chooses a version tag in the list.
CHOOSE_TAG = """
const [tag] = arguments;
const select = document.getElementById('tag');
select.value = tag;
select.dispatchEvent(new Event('change', {bubbles: true}));
"""
# Whether no image is offered: the result hidden and every image's address revoked.
WITHDRAWN = """
return document.getElementById('result').hidden &&
    window.offers.every((url) => window.revoked.includes(url));
"""
# Text dragged and dropped onto the page.
DRAG_TEXT = """
for (const type of ['dragover', 'drop']) {
  const event = new Event(type, {bubbles: true, cancelable: true});
  event.dataTransfer = {types: ['text/plain'], items: [{kind: 'string'}]};
  document.body.dispatchEvent(event);
}
"""
# What a row checks at its end, besides the image: the result in view, the
# file pickers emptied, the page's text.
END = """
return {inView: window.inView, text: document.body.innerText,
        pickers: ['files', 'folder'].map((id) => document.getElementById(id).value).join('')};
"""

# Records, from the moment it runs, what a row must not see: an error, a
# promise rejected unhandled, a request the page's policy refused.
WATCH = """
window.problems = [];
const note = (text) => window.problems.push(text);
addEventListener('error', (e) => note('error: ' + e.message));
addEventListener('unhandledrejection', (e) => note('unhandled: ' + e.reason));
document.addEventListener('securitypolicyviolation', (e) => note('refused: ' + e.blockedURI));
// Every image offered (its object URL) and every one revoked: an image is
// offered only once the result and every image before it are withdrawn.
window.offers = [];
window.revoked = [];
const result = document.getElementById('result');
const createObjectURL = URL.createObjectURL.bind(URL);
const revokeObjectURL = URL.revokeObjectURL.bind(URL);
URL.createObjectURL = (blob) => {
  if (!result.hidden) note('an image offered while the result before was shown');
  if (window.offers.some((url) => !window.revoked.includes(url))) {
    note('an image offered while the one before was still offered');
  }
  const url = createObjectURL(blob);
  window.offers.push(url);
  return url;
};
URL.revokeObjectURL = (url) => {
  window.revoked.push(url);
  revokeObjectURL(url);
};
// Files chosen, counted before the page takes them (on the way down), and
// the paths that a browser gives the files of a folder chosen.
window.chosen = 0;
window.picked = [];
document.addEventListener('change', (event) => {
  ++window.chosen;
  if (event.target.id === 'folder') {
    window.picked = [...event.target.files].map((file) => file.webkitRelativePath);
  }
}, true);
// Whether the result was in view when it was shown (a browser may then take
// room from the page for its list of downloads).
new MutationObserver(() => {
  const box = result.getBoundingClientRect();
  window.inView = !result.hidden && box.top >= 0 && box.bottom <= innerHeight + 1;
}).observe(result, {attributes: true});
"""


def make_files(make_inputs, inputs, files, tags):
    for tag in tags:
        subprocess.run([make_inputs, inputs, tag], check=True)
    for file, change in files.items():
        path = os.path.join(inputs, file)
        if change is None:
            os.remove(path)
        elif isinstance(change, str):
            os.rename(path, os.path.join(inputs, change))
        else:  # the sample's own pattern, cut short or carried on
            write(path, change)


def write(path, size):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(bytes((i * 7 + len(os.path.basename(path))) & 0xFF for i in range(size)))


class RowSkipped(Exception):
    """A row that cannot run in this engine, with the reason."""


def given(inputs):
    """The entries of INPUTS as a drop script takes them: (name, base64) pairs,
    a subfolder's second part None."""
    files = []
    for name in sorted(os.listdir(inputs)):
        path = os.path.join(inputs, name)
        if os.path.isdir(path):
            files.append((name, None))
            continue
        with open(path, "rb") as f:
            files.append((name, base64.b64encode(f.read()).decode()))
    return files


def choose(browser, picker, paths):
    """Hands PATHS to the file input PICKER and waits for the page to take them."""
    before = browser.run("return window.chosen")
    browser.files(picker, paths)
    wait_for(lambda: browser.run("return window.chosen") > before)


def take_step(browser, step, inputs, tool, row, run):
    """Takes STEP of ROW. RUN holds the tag and offset the command line is to
    be run with at a Build, and the image it wrote at the last one."""
    if step == "choose":
        paths = [os.path.join(inputs, name) for name in sorted(os.listdir(inputs))]
        choose(browser, "files", [path for path in paths if os.path.isfile(path)])
    elif step == "choose folder":
        try:
            choose(browser, "folder", [inputs])
        except RuntimeError as error:
            raise RowSkipped("this engine's driver hands no folder to a folder picker: "
                             + str(error).splitlines()[0]) from error
        if not browser.run("return window.picked.some((path) => path !== '')"):
            raise RowSkipped("this engine's driver hands a folder picker the folder as one "
                             "file, not the files in it")
    elif step == "edit":  # dated as an edit made a while after the choice:
        path = os.path.join(inputs, "data9.bin")  # WebKit tells one to the second
        chosen = os.stat(path)
        write(path, 3000)
        os.utime(path, ns=(chosen.st_atime_ns, chosen.st_mtime_ns + 2 * 10**9))
    elif step == "forget":
        browser.click("clear")
    elif step == "drop":
        browser.run(DROP, given(inputs))
        wait_for(lambda: browser.run("return document.getElementById('notice').textContent"))
    elif step == "drop folder":
        browser.run(DROP_FOLDER, given(inputs))
        wait_for(lambda: browser.run("return !document.querySelector('#inputs tr.missing')"))
    elif step == "drag text":
        browser.run(DRAG_TEXT)
    elif step.startswith("tag "):
        run["tag"] = step[len("tag "):]
        browser.run(CHOOSE_TAG, run["tag"])
    elif step.startswith("type "):
        run["offset"] = step[len("type "):]
        browser.type("offset", run["offset"])
    elif step == "hold reads":
        browser.run(HOLD_READS)
    elif step == "release reads":
        time.sleep(0.5)  # past the moment the page would say that it reads the inputs
        browser.run("window.releaseReads()")
    elif step.startswith("build, then type "):
        run["offset"] = step[len("build, then type "):]
        browser.run(BUILD_THEN_TYPE, run["offset"])
    elif step == "build":
        if row.offers:
            subprocess.run([tool, run["tag"], run["offset"]], cwd=inputs, check=True)
            with open(os.path.join(inputs, "zemra8p6.d88"), "rb") as f:
                run["image"] = f.read()
            os.remove(os.path.join(inputs, "zemra8p6.d88"))
        browser.click("build")
    else:
        raise ValueError("no step " + step)


def check_download(browser, downloads, reference):
    """What is wrong with the image the page offered at a Build for which the
    command line wrote REFERENCE: the file downloaded, the size and the
    SHA-256 shown. The file is then removed, so that a later Build's download
    takes its name."""
    saved = os.path.join(downloads, "zemra8p6.d88")
    # A browser may put the name in place before the bytes: wait for all of them.
    wait_for(lambda: os.path.exists(saved) and os.path.getsize(saved) == len(reference))
    if not os.path.exists(saved):
        status = browser.run("return document.getElementById('status').textContent")
        return ["no zemra8p6.d88 downloaded (%s): %s" % (os.listdir(downloads), status)]
    problems = []
    with open(saved, "rb") as f:
        if f.read() != reference:
            problems.append("the downloaded image differs from the command line's")
    os.remove(saved)
    digest, size = browser.run(
        "return ['digest', 'size'].map((id) => document.getElementById(id).textContent)")
    if digest != hashlib.sha256(reference).hexdigest() or size != f"{len(reference):,}":
        problems.append("the page shows %s bytes, SHA-256 %s" % (size, digest))
    return problems


# Steps after which no image may be offered: every change of the files, the
# tag or the offset withdraws the one built before it.
CHANGES = ("choose", "choose folder", "forget", "drop", "drop folder", "tag ", "type ")


def run_row(browser, page, tool, make_inputs, row, work, downloads):
    inputs = os.path.join(work, "inputs")
    os.makedirs(inputs)
    make_files(make_inputs, inputs, row.files, row.tags)
    for name in os.listdir(downloads):
        os.remove(os.path.join(downloads, name))

    browser.open(page)
    status = lambda: browser.run("return document.getElementById('status').textContent")
    if not wait_for(status):
        return "the page never started"
    browser.run(WATCH)
    browser.type("offset", row.offset)
    problems = []
    typed = browser.run("return document.getElementById('offset').value")
    if typed != row.offset:
        problems.append("the offset field holds %r" % typed)
    run = {"tag": "v1", "offset": row.offset, "image": None}
    for step in row.steps:
        take_step(browser, step, inputs, tool, row, run)
        if step == "build" and row.offers:
            problems += check_download(browser, downloads, run["image"])
        if step.startswith(CHANGES) and not browser.run(WITHDRAWN):
            problems.append("an image is still offered after '%s'" % step)
    if not row.offers:
        time.sleep(1)
        if os.listdir(downloads) or not browser.run(
                "return document.getElementById('result').hidden"):
            problems.append("a download was offered")
    end = browser.run(END)
    text = end["text"]
    if row.offers and not end["inView"]:
        problems.append("the result is not in view")
    if end["pickers"]:
        problems.append("a file picker still holds files")
    if row.shown not in text:
        problems.append("the page does not say '%s'" % row.shown)
    if row.absent and row.absent in text:
        problems.append("the page says '%s'" % row.absent)
    problems += ["a network request: " + url for url in browser.requests()
                 if not url.startswith(LOCAL)]
    problems += browser.run("return window.problems")
    return "; ".join(problems)


def main():
    engine, page, tool, make_inputs = sys.argv[1:5]
    if not page or not os.path.exists(page):
        skip("the page is not built (the build needs clang, lld, wasi-libc and libc++ for wasm32)")
    why = missing(engine)
    if why:
        skip(why)
    with tempfile.TemporaryDirectory() as work:
        os.environ["HOME"] = work  # browsers keep their own files there, whoever runs them
        downloads = os.path.join(work, "downloads")
        os.makedirs(downloads)
        started = time.monotonic()
        try:
            browser = (Firefox(work, downloads) if engine == "firefox"
                       else Selenium(engine, work, downloads))
        except Exception as error:  # the engine is there but cannot run for this user
            skip(f"{engine} did not start: {error}")
        print(f"{engine} started in {time.monotonic() - started:.1f} s")
        failures = 0
        try:
            for n, row in enumerate(ROWS):
                try:
                    problems = run_row(browser, "file://" + os.path.abspath(page),
                                       os.path.abspath(tool), os.path.abspath(make_inputs), row,
                                       os.path.join(work, str(n)), downloads)
                except RowSkipped as why:
                    print("skip %s: %s" % (row.name, why))
                    continue
                failures += bool(problems)
                print("%s %s%s" % ("FAIL" if problems else "ok  ", row.name,
                                   ": " + problems if problems else ""))
        finally:
            browser.close()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
