#!/usr/bin/python3
"""Watches the line view's page in a real headless chromium while a batch
runs elsewhere: the page must show a board of BENCH in flight, then show
DONE boards done, without being reloaded. A screenshot of the page with
the boards in flight goes to PNG when given.

Usage: linepage_watch.py URL BENCH DONE [PNG]
Exit 0 when it saw both, 1 when not within a minute, 77 (skipped) when
chromium, its driver or selenium is not there."""
import shutil
import sys
import time

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
except ImportError:
    print("skipped: python3-selenium is not installed")
    sys.exit(77)


def main():
    url, bench, done = sys.argv[1], sys.argv[2], sys.argv[3]
    shot = sys.argv[4] if len(sys.argv) > 4 else None
    chromium = shutil.which("chromium") or "/usr/bin/chromium"
    driver = shutil.which("chromedriver") or "/usr/bin/chromedriver"
    if not shutil.os.path.exists(chromium) or not shutil.os.path.exists(driver):
        print("skipped: chromium or its driver is not installed")
        return 77
    opts = webdriver.ChromeOptions()
    opts.binary_location = chromium
    for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--window-size=1366,900"):
        opts.add_argument(a)
    browser = webdriver.Chrome(service=Service(driver), options=opts)
    try:
        browser.get(url)
        print("ready", flush=True)
        seen_flying = False
        deadline = time.time() + 60
        while time.time() < deadline:
            # Read in one go: the rows are drawn anew every second.
            rows = browser.execute_script(
                "return Array.from(document.querySelectorAll('#in-flight tbody tr')).map(r => r.innerText);")
            if not seen_flying and any(r.startswith(bench + "\t") or r.startswith(bench + " ") for r in rows):
                seen_flying = True
                if shot:
                    time.sleep(1)
                    browser.save_screenshot(shot)
            if seen_flying and browser.execute_script("return document.getElementById('done').textContent;") == done:
                return 0
            time.sleep(0.1)
        print("saw boards in flight: %s, done: %s" % (seen_flying, browser.find_element(By.ID, "done").text))
        return 1
    finally:
        browser.quit()


sys.exit(main())
