#!/usr/bin/env python3
"""Times the pages of kqsctl web (its URL the argument) in headless Chromium:
from navigation until the servers page shows its three servers, and until a
server's page shows its 1,000 queues; 10 runs each, fresh page loads."""
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'kqsctl', 'webtest'))
from browser_test import chromium  # noqa: E402 (the same browser as the test's)

URL = sys.argv[1]
BASE = URL.split('/?')[0]
RUNS = 10


def load(browser, address, selector, rows):
    """Milliseconds from navigation until selector matches rows rows."""
    browser.get('about:blank')
    start = time.perf_counter()
    browser.get(address)
    while browser.execute_script('return document.querySelectorAll(arguments[0]).length', selector) != rows:
        time.sleep(0.002)
    return (time.perf_counter() - start) * 1000


def main():
    browser = chromium()
    try:
        browser.get(URL)  # the token for the session cookie
        for name, address, selector, rows in (
                ('servers page, 3 servers', BASE + '/', '#servers tbody tr', 3),
                ('server page, 1,000 queues', BASE + '/#server=127.0.0.2', '#queues tbody tr', 1000)):
            load(browser, address, selector, rows)  # warm-up
            times = [load(browser, address, selector, rows) for _ in range(RUNS)]
            api = '/api/servers' if rows == 3 else '/api/server?host=127.0.0.2'
            fetches = [browser.execute_async_script(
                'const t = performance.now(); fetch(arguments[0]).then(r => r.text())'
                '.then(() => arguments[1](performance.now() - t))', api) for _ in range(RUNS)]
            print(f'{name}: median {statistics.median(times):.0f} ms, max {max(times):.0f} ms ({RUNS} loads); '
                  f'its data alone ({api}): median {statistics.median(fetches):.0f} ms')
    finally:
        browser.quit()


if __name__ == '__main__':
    main()
