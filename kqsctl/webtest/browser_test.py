#!/usr/bin/env python3
"""kqsctl web in headless Chromium, run by browser_test.cpp with the console's
URL and a directory for screenshots; CUPS_SERVER names the private CUPS of
the server 127.0.0.2 (password "letmein"); 127.0.0.3 has it too but needs
none."""
import os
import subprocess
import sys
import tempfile
import urllib.error
import urllib.request

from selenium import webdriver
from selenium.common.exceptions import TimeoutException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

CUPSY, PLAIN = '127.0.0.2', '127.0.0.3'


class Unfollowed(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args):
        return None


def status_of(request):
    try:
        return urllib.request.build_opener(Unfollowed).open(request, timeout=10).status
    except urllib.error.HTTPError as error:
        return error.code


def chromium():
    options = webdriver.ChromeOptions()
    options.binary_location = '/usr/bin/chromium'
    for flag in ('--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
                 '--disable-background-networking', '--disable-component-update', '--disable-sync',
                 '--window-size=1280,1000', '--user-data-dir=' + tempfile.mkdtemp(prefix='kqs-chromium-')):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)


def in_cups(queue):
    return subprocess.run(['lpstat', '-p', queue], capture_output=True).returncode == 0


def main():
    url, artifacts = sys.argv[1], sys.argv[2]
    base = url.split('/?')[0]
    # No token, a wrong one (all of it but its last character), no session
    # cookie: refused before anything runs.
    assert status_of(base + '/api/servers') == 403
    assert status_of(url[:-1]) == 403
    assert status_of(urllib.request.Request(base + '/api/remove-queue', data=b'server=127.0.0.2&name=x')) == 403
    os.makedirs(artifacts, exist_ok=True)
    browser = chromium()
    wait = WebDriverWait(browser, 20)

    def until(condition, shown):
        try:
            wait.until(lambda b: condition())
        except TimeoutException:
            raise AssertionError('timed out; the page shows: ' + shown()) from None
    try:
        browser.get(url)
        assert 'token' not in browser.current_url, 'the token stays in the address bar'
        rows = lambda: browser.find_elements(By.CSS_SELECTOR, '#servers tbody tr')
        wait.until(lambda b: len(rows()) == 2 and all('yes' in r.text for r in rows()))
        assert [r.find_element(By.TAG_NAME, 'a').text for r in rows()] == [CUPSY, PLAIN]

        # The session cookie alone does not make a change: the CSRF token is missing.
        refused = browser.execute_async_script(
            'fetch("/api/remove-queue", {method: "POST", body: new URLSearchParams("server=127.0.0.3&name=x")})'
            '.then(r => arguments[0](r.status))')
        assert refused == 403, refused

        # A rule broken in the fleet form is named next to its field; nothing is sent.
        fleet = browser.find_element(By.ID, 'fleet-form')
        fleet.find_element(By.NAME, 'name').send_keys('-bad')
        fleet.find_element(By.CSS_SELECTOR, 'button[data-api=add-queue]').click()
        wait.until(lambda b: 'letter or digit' in fleet.find_element(By.CSS_SELECTOR, '.rule[data-for=name]').text)

        # A fleet action on both servers, one result each; the ticks outlive a refresh.
        for box in browser.find_elements(By.CSS_SELECTOR, '#servers input[type=checkbox]'):
            box.click()
        refreshed = lambda: browser.find_element(By.ID, 'refreshed').text
        before = refreshed()
        until(lambda: refreshed() != before, refreshed)
        assert len(browser.find_elements(By.CSS_SELECTOR, '#servers input:checked')) == 2
        fleet.find_element(By.NAME, 'name').clear()
        fleet.find_element(By.NAME, 'name').send_keys('fleetq')
        fleet.find_element(By.NAME, 'model').send_keys('standard')
        fleet.find_element(By.NAME, 'device').send_keys('127.0.0.1')
        fleet.find_element(By.NAME, 'password').send_keys('letmein')
        fleet.find_element(By.CSS_SELECTOR, 'button[data-api=add-queue]').click()
        results = lambda: fleet.find_element(By.CLASS_NAME, 'results').text
        until(lambda: results().count('done') == 2, results)
        assert in_cups('fleetq')
        fleet.find_element(By.CSS_SELECTOR, 'button[data-api=remove-queue]').click()
        browser.switch_to.alert.accept()
        until(lambda: results().count('done') == 2 and not in_cups('fleetq'), results)

        # A queue through the server's form: first a wrong password, then the right one.
        browser.find_element(By.LINK_TEXT, CUPSY).click()
        wait.until(lambda b: len(Select(b.find_element(By.ID, 'q-model')).options) > 0)
        form = browser.find_element(By.ID, 'queue-form')
        form.find_element(By.NAME, 'name').send_keys('weblab')
        Select(form.find_element(By.NAME, 'model')).select_by_visible_text('standard')
        form.find_element(By.NAME, 'device').send_keys('127.0.0.1')
        form.find_element(By.NAME, 'password').send_keys('wrong')
        form.find_element(By.TAG_NAME, 'button').click()
        outcome = lambda: form.find_element(By.CLASS_NAME, 'results').text
        until(lambda: 'KQS_NO_ACCESS' in outcome(), outcome)
        assert 'the password is wrong' in outcome(), outcome()
        assert not in_cups('weblab')
        form.find_element(By.NAME, 'password').send_keys('letmein')
        form.find_element(By.TAG_NAME, 'button').click()
        until(lambda: 'done' in outcome(), outcome)
        assert in_cups('weblab')
        wait.until(lambda b: b.find_elements(By.LINK_TEXT, 'weblab'))
        browser.save_screenshot(os.path.join(artifacts, 'server.png'))

        # Its page, and removal after a confirmation, with the password kept from before.
        browser.find_element(By.LINK_TEXT, 'weblab').click()
        wait.until(lambda b: 'weblab on 127.0.0.2' in b.find_element(By.ID, 'queue-title').text)

        # Stopped with a reason, a job waits; the servers page counts both; the job is cancelled.
        ops = browser.find_element(By.ID, 'ops-form')
        ops.find_element(By.NAME, 'reason').send_keys('toner')
        ops.find_element(By.CSS_SELECTOR, 'button[value=disable]').click()
        state = lambda: browser.find_element(By.ID, 'queue-state').text + ops.text
        until(lambda: 'stopped' in state() and 'toner' in state(), state)
        subprocess.run(['lp', '-d', 'weblab'], input=b'page\n', check=True, capture_output=True)
        until(lambda: browser.find_elements(By.CSS_SELECTOR, '#jobs tbody tr'), state)
        browser.save_screenshot(os.path.join(artifacts, 'queue.png'))
        browser.find_element(By.LINK_TEXT, 'Servers').click()
        cells = lambda: [c.text for c in rows()[0].find_elements(By.TAG_NAME, 'td')]
        until(lambda: cells()[6:8] == ['1', '1'], lambda: str(cells()))
        browser.save_screenshot(os.path.join(artifacts, 'servers.png'))
        browser.back()
        until(lambda: browser.find_element(By.CSS_SELECTOR, '#jobs tbody button').is_displayed(), state)
        browser.find_element(By.CSS_SELECTOR, '#jobs tbody button').click()
        until(lambda: not browser.find_elements(By.CSS_SELECTOR, '#jobs tbody tr'), state)
        assert not subprocess.run(['lpstat', '-o', 'weblab'], capture_output=True).stdout
        ops.find_element(By.CSS_SELECTOR, 'button[value=enable]').click()
        until(lambda: 'stopped' not in browser.find_element(By.ID, 'queue-state').text, state)
        browser.find_element(By.CSS_SELECTOR, '#remove-form button').click()
        browser.switch_to.alert.accept()
        wait.until(lambda b: b.find_element(By.ID, 'server-view').is_displayed())
        wait.until(lambda b: not b.find_elements(By.LINK_TEXT, 'weblab'))
        assert not in_cups('weblab')
    finally:
        browser.quit()
    print('browser test passed; screenshots in', artifacts)


if __name__ == '__main__':
    main()
