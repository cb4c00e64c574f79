#!/usr/bin/python3
"""The page in a real browser against the command line, one row a case.

Opens the built page from file:// in Debian's headless chromium, hands it the
sample inputs (changed as the row says) through its file input, types the
window offset, clicks Build, and compares what the page offers for download,
and the size and SHA-256 it shows, with the image the command-line tool
writes from the same files and offset. Rows that must offer nothing check
that no download came and that the page says why. In every row the browser
must make no network request and log no error.

Usage: page_test.py PAGE TOOL MAKE_SAMPLE_INPUTS
Run by Debian's /usr/bin/python3 (python3-selenium); without selenium,
chromium or chromium-driver, or without the page, the test is skipped
(exit 77), except under CI=true, where it fails.
"""
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

SKIP = 77
NETWORK = ("http:", "https:", "ws:", "wss:", "ftp:")

# name, offset typed, {file: new size, or None to leave it out}, text the page
# must show, whether it offers the command line's image
ROWS = [
    ("sample inputs, offset 0", "0", {}, 'tag "v1" and window offset 0.', True),
    ("sample inputs, offset 5", "5", {}, 'tag "v1" and window offset 5.', True),
    ("sample inputs, offset -124", "-124", {}, 'tag "v1" and window offset -124.', True),
    ("sample inputs, offset 533", "533", {}, "outside -124 to 532", True),
    ("short input", "0", {"data5.bin": 1000}, f"0xFF for the missing {3584 - 1000:,} bytes", True),
    ("long input", "0", {"zemra80_org_v1.bin": 100_000},
     f"the last {100_000 - 23552:,} bytes are not read", True),
    ("missing input", "0", {"data5.bin": None}, "Missing: data5.bin.", False),
    ("non-integer offset", "12abc", {}, '"12abc" is not a whole number', False),
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


def browser(webdriver, service_class, profile):
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--lang=en-US", "--user-data-dir=" + profile):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"performance": "ALL", "browser": "ALL"})
    service = service_class(executable_path=shutil.which("chromedriver"))
    return webdriver.Chrome(options=options, service=service)


def run_row(driver, by, page, tool, make_inputs, row, work):
    name, offset, sizes, shown, offers = row
    inputs, downloads = os.path.join(work, "inputs"), os.path.join(work, "downloads")
    os.makedirs(downloads)
    os.makedirs(inputs)
    subprocess.run([make_inputs, inputs, "v1"], check=True)
    for file, size in sizes.items():
        path = os.path.join(inputs, file)
        if size is None:
            os.remove(path)
        else:  # the sample's own pattern, cut short or carried on
            with open(path, "wb") as f:
                f.write(bytes((i * 7 + len(file)) & 0xFF for i in range(size)))
    reference = None
    if offers:
        subprocess.run([tool, "v1", offset], cwd=inputs, check=True)
        with open(os.path.join(inputs, "zemra8p6.d88"), "rb") as f:
            reference = f.read()
        os.remove(os.path.join(inputs, "zemra8p6.d88"))

    driver.execute_cdp_cmd("Browser.setDownloadBehavior",
                           {"behavior": "allow", "downloadPath": downloads})
    driver.get_log("performance")  # what came before this row
    driver.get(page)
    status = driver.find_element(by.ID, "status")
    if not wait_for(lambda: status.text):
        return "the page never started"
    driver.find_element(by.ID, "files").send_keys(
        "\n".join(os.path.join(inputs, f) for f in sorted(os.listdir(inputs))))
    field = driver.find_element(by.ID, "offset")
    field.clear()
    field.send_keys(offset)
    # Every file read: neither the first input missing nor any still being read.
    wait_for(lambda: not any(t in status.text for t in ("ipl1.bin", "Still reading")))
    driver.find_element(by.ID, "build").click()
    problems = []
    if offers:
        # Chromium may put the name in place before the bytes: wait for all of them.
        saved = os.path.join(downloads, "zemra8p6.d88")
        wait_for(lambda: os.listdir(downloads) == ["zemra8p6.d88"]
                 and os.path.getsize(saved) == len(reference))
        got = os.listdir(downloads)
        if got != ["zemra8p6.d88"]:
            problems.append("no zemra8p6.d88 downloaded (%s): %s" % (got, status.text))
        else:
            with open(saved, "rb") as f:
                image = f.read()
            if image != reference:
                problems.append("the downloaded image differs from the command line's")
            digest = driver.find_element(by.ID, "digest").text
            size = driver.find_element(by.ID, "size").text
            if digest != hashlib.sha256(reference).hexdigest() or size != f"{len(reference):,}":
                problems.append("the page shows %s bytes, SHA-256 %s" % (size, digest))
    else:
        time.sleep(1)
        if os.listdir(downloads) or driver.find_element(by.ID, "result").is_displayed():
            problems.append("a download was offered")
    text = driver.find_element(by.TAG_NAME, "body").text
    if shown not in text:
        problems.append("the page does not say '%s'" % shown)
    for entry in driver.get_log("performance"):
        message = json.loads(entry["message"])["message"]
        url = message.get("params", {}).get("request", {}).get("url", "")
        if message["method"] == "Network.requestWillBeSent" and url.startswith(NETWORK):
            problems.append("a network request: " + url)
    problems += ["browser log: " + e["message"] for e in driver.get_log("browser")
                 if e["level"] in ("SEVERE", "WARNING")]
    return "; ".join(problems)


def main():
    page, tool, make_inputs = sys.argv[1:4]
    if not page or not os.path.exists(page):
        skip("the page is not built (the build needs clang, lld, wasi-libc and libc++ for wasm32)")
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        from selenium.webdriver.common.by import By
    except ImportError:
        skip("selenium is not installed (Debian: python3-selenium)")
    if not shutil.which("chromium") or not shutil.which("chromedriver"):
        skip("chromium or chromedriver is not installed (Debian: chromium, chromium-driver)")
    with tempfile.TemporaryDirectory() as work:
        os.environ["HOME"] = work  # chromium keeps its own files there, whoever runs it
        driver = browser(webdriver, Service, os.path.join(work, "profile"))
        failures = 0
        try:
            for n, row in enumerate(ROWS):
                problems = run_row(driver, By, "file://" + os.path.abspath(page),
                                   os.path.abspath(tool), os.path.abspath(make_inputs), row,
                                   os.path.join(work, str(n)))
                failures += bool(problems)
                print("%s %s%s" % ("FAIL" if problems else "ok  ", row[0],
                                   ": " + problems if problems else ""))
        finally:
            driver.quit()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
