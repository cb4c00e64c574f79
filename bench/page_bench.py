#!/usr/bin/python3
"""How big the page is and how fast it builds, in Debian's headless chromium.

Opens BUILD/gen_tarsilp6.html from file://, hands it the sample inputs made
by BUILD/make_sample_inputs, and measures inside the page, with its own clock:
  - from the file input's change event to the page saying it is ready to
    build (the files recognised and the table drawn);
  - from the click on Build to the download offered (the bytes the run takes
    read from each file, the image composed, its SHA-256 computed, the
    download link made and followed), RUNS times, the window offset changed
    between runs so that every run builds afresh.
Downloads are refused, so that nothing is written. Prints the figures and
exits 1 if a target is missed: the page at most 60 KB, the click to the
download under 50 ms (median).

Usage: bench/page_bench.py [BUILD [RUNS]]    (defaults: build, 200)
Needs chromium, chromium-driver and python3-selenium (Debian's /usr/bin/python3).
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

PAGE_LIMIT = 60 * 1000
CLICK_LIMIT_MS = 50


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 200
    page = os.path.abspath(os.path.join(build, "gen_tarsilp6.html"))
    with tempfile.TemporaryDirectory() as work:
        inputs = os.path.join(work, "inputs")
        os.mkdir(inputs)
        subprocess.run([os.path.join(build, "make_sample_inputs"), inputs, "v1"], check=True)
        options = webdriver.ChromeOptions()
        options.binary_location = shutil.which("chromium")
        for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync",
                     "--user-data-dir=" + os.path.join(work, "profile")):
            options.add_argument(flag)
        driver = webdriver.Chrome(options=options,
                                  service=Service(executable_path=shutil.which("chromedriver")))
        try:
            driver.execute_cdp_cmd("Browser.setDownloadBehavior", {"behavior": "deny"})
            driver.get("file://" + page)
            status = driver.find_element(By.ID, "status")
            while not status.text:
                time.sleep(0.01)
            driver.execute_script("""
                const status = document.getElementById('status');
                // Caught on the way down, before the page's own handler.
                document.addEventListener(
                    'change', () => { window.picked = performance.now(); }, true);
                new MutationObserver(() => {
                  if (status.textContent.includes('ready')) window.ready = performance.now();
                }).observe(status, {childList: true, characterData: true, subtree: true});""")
            driver.find_element(By.ID, "files").send_keys(
                "\n".join(os.path.join(inputs, f) for f in sorted(os.listdir(inputs))))
            while driver.execute_script("return window.ready === undefined"):
                time.sleep(0.01)
            read_ms = driver.execute_script("return window.ready - window.picked")
            driver.set_script_timeout(runs)  # seconds: a second a build at most
            clicks = driver.execute_async_script("""
                const [runs, done] = arguments;
                const field = document.getElementById('offset');
                const build = document.getElementById('build');
                const result = document.getElementById('result');
                const shown = () => new Promise((ok) => {
                  const watch = new MutationObserver(() => {
                    if (!result.hidden) { watch.disconnect(); ok(); }
                  });
                  watch.observe(result, {attributes: true});
                });
                (async () => {
                  const times = [];
                  for (let i = 0; i < runs; ++i) {
                    field.value = String(i % 600 - 100);
                    field.dispatchEvent(new Event('input'));
                    const offered = shown(), start = performance.now();
                    build.click();
                    await offered;
                    times.push(performance.now() - start);
                  }
                  return times;
                })().then(done, () => done(null));""", runs)
        finally:
            driver.quit()
    if clicks is None:
        print("FAIL: the page built nothing")
        return 1
    size = os.path.getsize(page)
    median, slowest = statistics.median(clicks), max(clicks)
    print(f"page: {size:,} bytes (target <= {PAGE_LIMIT:,}): "
          + ("met" if size <= PAGE_LIMIT else "MISSED"))
    print(f"files chosen to ready to build: {read_ms:.1f} ms")
    print(f"click to download offered over {runs} builds: first {clicks[0]:.1f} ms, "
          f"median {median:.1f} ms (target < {CLICK_LIMIT_MS} ms): "
          + ("met" if median < CLICK_LIMIT_MS else "MISSED") + f", slowest {slowest:.1f} ms")
    return 0 if size <= PAGE_LIMIT and median < CLICK_LIMIT_MS else 1


if __name__ == "__main__":
    sys.exit(main())
