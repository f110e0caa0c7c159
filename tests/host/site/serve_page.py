#!/usr/bin/env python3
"""vpihost serve's page in a real headless Chromium (Debian's, driven by Selenium): it loads
without console errors, shows every configured meter, its values change as metersim's do, the
H chart has its bars, the silent meter is marked, a meter on an unplugged adapter is marked
PORT CLOSED with the reason, it fits the narrowest window the headless
browser gives (500 px); a screenshot is saved in WORKDIR.
Usage: serve_page.py VPIHOST METERSIM WORKDIR. Exit 0 pass, 1 fail, 77 no Chromium/Selenium."""
import os
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
import serve_site  # noqa: E402
from serve_site import check  # noqa: E402


def browser(workdir):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic",
                 "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--no-proxy-server",
                 # A phone's width is asked for; headless Chromium gives its narrowest window
                 # instead, 500 px (Debian 12's), and the width check below says which it got.
                 "--window-size=412,1400",
                 "--user-data-dir=" + tempfile.mkdtemp(prefix="chromium-", dir=workdir)]:
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


# The narrowest window headless Chromium opens, whatever --window-size asks: the page is checked
# at that width, not at a phone's 412 px.
NARROWEST = 500

# Text of each value cell of meter `name`.
VALUES_JS = """return [...document.querySelectorAll('.meter[data-meter$="/' + arguments[0] + '"] td.value')]
  .map(td => td.textContent).join(' ');"""

# Ticks the chart box of the first value of a meter that the site file gives no name, unless it
# is ticked (the tables are drawn anew with each update: a click can meet a row on its way out);
# returns its gate and key as the table shows them ("0201 plain.3").
TICK_UNNAMED_JS = """const row = [...document.querySelectorAll('.meter[data-meter="' + arguments[0] + '"] tr')]
  .find(r => r.querySelector('input') && !r.children[3].textContent);
if (!row) return null;
const box = row.querySelector('input');
if (!box.checked) box.click();
return row.children[1].textContent + ' ' + row.children[2].textContent;"""

# The labels of the time chart's legend.
LEGEND_JS = """return [...document.querySelectorAll('#chart .u-legend .u-label')].map(e => e.textContent);"""

# How many pixels of the H chart's bars (their fill colour) its canvas shows.
BAR_PIXELS_JS = """const c = document.querySelector('[data-hgate] canvas');
if (!c) return -1;
const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
let n = 0;
for (let i = 0; i < d.length; i += 4) if (d[i] === 0x4a && d[i+1] === 0x78 && d[i+2] === 0xb5) n++;
return n;"""


def look(driver, site, workdir):
    driver.get(site.url + "/")
    meters = ["A/one", "B/two", "B/three"]
    shown = serve_site.wait_for(lambda: all(driver.execute_script(
        "return !!document.querySelector('#health tr[data-meter=\"%s\"]')" % m) for m in meters), 20)
    check(bool(shown), "every configured meter is in the health table")
    check(all(driver.execute_script(
        "return !!document.querySelector('.meter[data-meter=\"%s\"]')" % m) for m in meters),
        "every configured meter has its table of values")
    first = serve_site.wait_for(lambda: driver.execute_script(VALUES_JS, "two"), 10)
    changed = serve_site.wait_for(lambda: driver.execute_script(VALUES_JS, "two") != first, 15)
    check(bool(first) and bool(changed), "meter two's values change as metersim's do")
    pinned = driver.execute_script(
        "return document.querySelector('.meter[data-meter=\"A/one\"] td.value').textContent")
    check(pinned == "1250", "the pinned value is shown (got %r)" % pinned)
    bars = serve_site.wait_for(lambda: driver.execute_script(BAR_PIXELS_JS) > 200, 15)
    check(bool(bars), "the H chart has its bars (%s bar pixels)" % driver.execute_script(BAR_PIXELS_JS))
    silent = serve_site.wait_for(lambda: driver.execute_script(
        "const r = document.querySelector('#health tr[data-meter=\"B/three\"]');"
        "return !!r && r.classList.contains('silent') && r.textContent.includes('SILENT');"), 20)
    check(bool(silent), "the silent meter is marked SILENT")
    check(not driver.execute_script(
        "return document.querySelector('#health tr[data-meter=\"A/one\"]').classList.contains('silent')"),
        "an answering meter is not marked")
    # A value ticked for the chart is named in its legend by the key the site file names it by.
    key = driver.execute_script(TICK_UNNAMED_JS, "B/two")
    check(bool(key), "meter two has a value without a name to tick")
    legend = serve_site.wait_for(lambda: driver.execute_script(TICK_UNNAMED_JS, "B/two") and
                                 "two " + key in driver.execute_script(LEGEND_JS), 10)
    check(bool(legend), "the chart's legend names the value by its key %r (got %r)"
          % (key, driver.execute_script(LEGEND_JS)))
    wide, view = driver.execute_script(
        "return [document.documentElement.scrollWidth, window.innerWidth]")
    check(view <= NARROWEST, "the window is the narrowest headless Chromium gives (%d px, at most "
          "%d; 412 asked)" % (view, NARROWEST))
    check(wide <= view, "the page fits the %d px window without scrolling sideways (%d px wide)"
          % (view, wide))
    time.sleep(1.5)  # a chart or two more of updates before the picture
    shot = os.path.join(workdir, "serve-page.png")
    driver.save_screenshot(shot)
    check(os.path.getsize(shot) > 10000, "screenshot saved: " + shot)
    errors = [e for e in driver.get_log("browser") if e["level"] in ("SEVERE", "ERROR")]
    check(not errors, "no console errors: %s" % errors)
    unplugged(driver, site)


def unplugged(driver, site):
    """Line A's adapter goes: its meter is shown down, with the reason, in red."""
    site.unplug(0)
    row = "document.querySelector('#health tr[data-meter=\"A/one\"]')"
    shown = serve_site.wait_for(lambda: driver.execute_script(
        "const r = %s; return !!r && r.classList.contains('silent') && "
        "r.textContent.includes('PORT CLOSED') && r.textContent.includes('no such device');"
        % row), 30)
    check(bool(shown), "the unplugged line's meter is marked PORT CLOSED, with why (%r)" %
          driver.execute_script("const r = %s; return r && r.textContent;" % row))
    wide, view = driver.execute_script(
        "return [document.documentElement.scrollWidth, window.innerWidth]")
    check(wide <= view, "and the page still fits its window (%d px in %d)" % (wide, view))


def main():
    vpihost, metersim, workdir = sys.argv[1:4]
    try:
        import selenium  # noqa: F401
    except ImportError:
        print("SKIP: python3-selenium is not installed (tools/install-deps.sh --serve)")
        return 77
    if not os.path.exists("/usr/bin/chromium") or shutil.which("chromedriver") is None:
        print("SKIP: chromium or chromium-driver is not installed (tools/install-deps.sh --serve)")
        return 77
    os.makedirs(workdir, exist_ok=True)
    for name in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"):
        os.environ.pop(name, None)
    with serve_site.Site(vpihost, metersim) as site:
        driver = browser(workdir)
        try:
            look(driver, site, workdir)
        finally:
            driver.quit()
    return serve_site.finish()


if __name__ == "__main__":
    sys.exit(main())
