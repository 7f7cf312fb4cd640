// The console's page: three views (servers, a server, a queue) chosen by the
// address's fragment, refreshed every few seconds from the JSON API, and
// forms whose changes carry the session's CSRF token. A refresh updates the
// tables' rows in place, keyed by server, queue or job, so a ticked box,
// the focus or a selection in a row survives it.
'use strict';

const REFRESH_MS = 5000;
let csrf = '';
let busy = false;
let again = false;  // asked for while busy: once more, with what changed since
let serverData = null;

const $ = (selector, within = document) => within.querySelector(selector);
const esc = (text) => String(text ?? '').replace(/[&<>"']/g,
  (c) => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;' })[c]);
const shown = (value) => (value === undefined || value === null || value === '' ? '-' : String(value));
const yesNo = (value) => (value === true ? 'yes' : value === false ? 'no' : shown(value));
const link = (params) => '#' + new URLSearchParams(params).toString();

function route() {
  const p = new URLSearchParams(location.hash.slice(1));
  return { server: p.get('server'), queue: p.get('queue') };
}

async function getJson(url) {
  const answer = await fetch(url, { credentials: 'same-origin' });
  if (!answer.ok) throw new Error(`${answer.status} ${(await answer.text()).trim()}`);
  return answer.json();
}

function show(view) {
  for (const id of ['servers-view', 'server-view', 'queue-view']) $('#' + id).hidden = id !== view;
}

function failure(error, hint) {
  return `<span class="failure">${esc(error)}</span>${hint ? `<span class="hint">${esc(hint)}</span>` : ''}`;
}

// Changes the DOM only where the value changed, so a refresh that brings
// nothing new touches nothing.
function setText(node, text) {
  if (node.textContent !== text) node.textContent = text;
}
function setHtml(node, html) {
  if (node.dataset.html !== html) node.innerHTML = html, node.dataset.html = html;
}
function setLink(a, text, href) {
  setText(a, text);
  if (a.getAttribute('href') !== href) a.setAttribute('href', href);
}

// Keeps tbody's rows in step with items: one row per key(item), made from
// the template row proto the first time and then filled by fill(row, item)
// on every refresh; rows of items gone are removed, and the order follows
// items. An unchanged row is neither replaced nor moved.
function syncRows(tbody, proto, items, key, fill) {
  const old = new Map();
  for (const row of tbody.rows) old.set(row.dataset.key, row);
  let at = tbody.firstElementChild;
  for (const item of items) {
    const k = String(key(item));
    let row = old.get(k);
    if (row) {
      old.delete(k);
    } else {
      row = proto.cloneNode(true);
      row.dataset.key = k;
    }
    fill(row, item);
    if (row === at) at = at.nextElementSibling; else tbody.insertBefore(row, at);
  }
  for (const row of old.values()) row.remove();
}

function template(html) {
  const t = document.createElement('template');
  t.innerHTML = `<table><tbody>${html}</tbody></table>`;
  return t.content.querySelector('tr');
}

const SERVER_ROW = template(`<tr><td><input type="checkbox" name="server"></td><td><a></a></td>
  <td></td><td></td><td></td><td></td><td></td><td></td><td></td></tr>`);
const QUEUE_ROW = template('<tr role="row"><td role="cell"><a></a></td><td role="cell"></td><td role="cell"></td>' +
  '<td role="cell"></td><td role="cell"></td></tr>');
const JOB_ROW = template(`<tr><td></td><td></td><td></td><td></td><td></td><td></td>
  <td><button type="submit" name="action" value="cancel">Cancel</button></td></tr>`);

async function showServers() {
  const data = await getJson('/api/servers');
  syncRows($('#servers tbody'), SERVER_ROW, data.servers, (s) => s.host, (row, s) => {
    const c = row.cells;
    const box = $('input', c[0]);
    if (box.value !== s.host) box.value = s.host, box.setAttribute('aria-label', 'Select ' + s.host);
    setLink($('a', c[1]), s.host, link({ server: s.host }));
    const values = [s.reachable, s.system, s.version, s.queues, s.stoppedQueues, s.pendingJobs];
    values.forEach((v, i) => setText(c[i + 2], shown(v)));
    setHtml(c[8], s.lastError ? failure(s.lastError, s.hint) : '');
  });
  document.title = 'Servers - kqsd console';
  setText($('#crumbs'), '');
  show('servers-view');
}

function queueRows(queues, host) {
  const filter = $('#queue-filter').value.trim();
  const byName = (a, b) => (a.name < b.name ? -1 : a.name > b.name ? 1 : 0);
  const wanted = (filter ? queues.filter((q) => q.name.includes(filter)) : queues.slice()).sort(byName);
  syncRows($('#queues tbody'), QUEUE_ROW, wanted, (q) => q.name, (row, q) => {
    const c = row.cells;
    setLink($('a', c[0]), q.name, link({ server: host, queue: q.name }));
    setText(c[1], shown(q.state));
    setText(c[2], yesNo(q.accepting));
    setText(c[3], shown(q.jobs));
    setText(c[4], q.interfaceDirectory + '/' + q.name);
  });
  setText($('#queues-shown'), `${wanted.length} of ${queues.length} queues`);
}

function showServer(host) {
  const d = serverData;
  setText($('#server-title'), host);
  const errors = ['queuesError', 'modelsError', 'monitorsError'].filter((k) => d[k]).map((k) => d[k]);
  setHtml($('#server-error'), errors.length ? failure(errors[0].error, errors[0].hint) : '');
  $('#queues-loading').hidden = true;
  queueRows(d.queues || [], host);
  const models = (d.models || []).map((m) => m.model);
  const select = $('#q-model');
  if (select.dataset.models !== models.join('\n')) {
    const chosen = select.value;
    select.innerHTML = models.map((m) => `<option${m === chosen ? ' selected' : ''}>${esc(m)}</option>`).join('');
    select.dataset.models = models.join('\n');
    setHtml($('#models'), models.map((m) => `<li>${esc(m)}</li>`).join(''));
  }
  setHtml($('#monitors tbody'), (d.monitors || []).map((m) =>
    `<tr><td>${esc(m.name)}</td><td>${esc(m.product)}</td><td>${esc(m.revision)}</td></tr>`).join(''));
  document.title = `${host} - kqsd console`;
  setText($('#crumbs'), ` › ${host}`);
  show('server-view');
}

const SETTING_LABELS = {
  device: 'Device', ipPort: 'Printer port', class: 'Class', default: 'Default queue', model: 'Model',
  type: 'Printer type', devtype: 'Device type', export: 'Export', pslevel: 'PostScript level',
  personality: 'Personality', teoj: "Wait for the printer's end of job", jrecov: 'Retry a job the printer did not take',
  banner: 'Banner page',
};

function showQueue(host, name, d) {
  const q = d.queue;
  setText($('#queue-title'), `${name} on ${host}`);
  const error = d.queueError || d.jobsError;
  setHtml($('#queue-error'), error ? failure(error.error, error.hint) : '');
  const list = (pairs) => pairs.map(([k, v]) => `<dt>${esc(k)}</dt><dd>${esc(shown(v))}</dd>`).join('');
  const reasons = q ? (q.stateReasons || []).join(', ') : '';
  setHtml($('#queue-state'), q ? list([['State', q.state], ['Accepting jobs', yesNo(q.accepting)], ['Jobs', q.jobs],
    ['Message', [q.stateMessage, reasons && `(${reasons})`].filter(Boolean).join(' ')], ['Device URI', q.deviceUri]])
    : '');
  // The settings as given when the queue was added, under the add form's
  // labels; a queue added before they were kept shows what CUPS knows.
  const settings = q && (q.settings || { model: q.model, class: q.class, default: yesNo(q.default) });
  setHtml($('#queue-settings'), settings ? list(Object.entries(settings).map(([k, v]) => [SETTING_LABELS[k] || k, v]))
    : '');
  const jobs = d.jobs || [];
  syncRows($('#jobs tbody'), JOB_ROW, jobs, (j) => j.id, (row, j) => {
    const c = row.cells;
    [j.id, j.user, j.title, j.size, j.state, j.time && new Date(j.time * 1000).toLocaleString()]
      .forEach((v, i) => setText(c[i], shown(v)));
    const button = $('button', c[6]);
    if (button.dataset.job !== String(j.id)) {
      button.dataset.job = j.id;
      button.setAttribute('aria-label', `Cancel job ${j.id}`);
    }
  });
  $('#jobs').hidden = jobs.length === 0;
  $('#jobs-none').hidden = jobs.length !== 0;
  $('#r-name').value = name;
  document.title = `${name} on ${host} - kqsd console`;
  setHtml($('#crumbs'), ` › <a href="${esc(link({ server: host }))}">${esc(host)}</a> › ${esc(name)}`);
  show('queue-view');
}

async function refresh() {
  if (busy) {
    again = true;
    return;
  }
  busy = true;
  const { server, queue } = route();
  try {
    if (!server) {
      await showServers();
    } else if (queue) {
      showQueue(server, queue, await getJson(`/api/queue?${new URLSearchParams({ host: server, name: queue })}`));
    } else {
      serverData = await getJson('/api/server?host=' + encodeURIComponent(server));
      showServer(server);
    }
    setText($('#refreshed'), 'Refreshed at ' + new Date().toLocaleTimeString());
  } catch (error) {
    setText($('#refreshed'), 'Refresh failed: ' + error.message);
  } finally {
    busy = false;
    if (again) again = false, refresh();
  }
}

// One outcome a server: done, or its refusal with the next step.
function outcomes(results) {
  return '<ul>' + results.map((r) => (r.status === 0
    ? `<li class="ok">${esc(r.host)}: done</li>`
    : `<li>${esc(r.host)}: ${failure(r.error, r.hint)}</li>`)).join('') + '</ul>';
}

async function submit(event) {
  event.preventDefault();
  const form = event.target;
  const button = event.submitter;
  const api = (button && button.dataset.api) || form.dataset.api;
  const body = new URLSearchParams(new FormData(form));
  if (button && button.name) body.set(button.name, button.value);
  if (button && button.dataset.job) body.set('job', button.dataset.job);
  if (form.id === 'fleet-form') {
    for (const box of document.querySelectorAll('#servers input:checked')) body.append('server', box.value);
  } else {
    body.append('server', route().server);
  }
  if (form.id === 'ops-form') body.set('name', route().queue);
  const servers = body.getAll('server').join(', ');
  const question = button && button.dataset.confirm;
  if (question && !confirm(`${question} (${body.get('name')} on ${servers})`)) return;
  for (const rule of form.querySelectorAll('.rule')) rule.textContent = '';
  for (const field of form.querySelectorAll('[aria-invalid]')) field.removeAttribute('aria-invalid');
  const results = $('.results', form);
  results.textContent = 'Working...';
  const answer = await fetch('/api/' + api, { method: 'POST', headers: { 'X-CSRF-Token': csrf }, body });
  const type = answer.headers.get('Content-Type') || '';
  const data = type.startsWith('application/json') ? await answer.json() : { error: (await answer.text()).trim() };
  results.innerHTML = data.results ? outcomes(data.results) : failure(data.error || '');
  for (const [field, rule] of Object.entries(data.fields || {})) {
    $(`.rule[data-for="${field}"]`, form).textContent = rule;
    const input = form.elements[field];
    if (input) input.setAttribute('aria-invalid', 'true');
  }
  if (data.fields) results.textContent = 'Nothing was sent: correct the fields marked.';
  const first = $('[aria-invalid]', form);
  if (first) first.focus();
  if (form.elements.password) form.elements.password.value = '';
  if (form.id === 'remove-form' && data.results && data.results[0].status === 0) {
    location.hash = link({ server: route().server });
  }
  refresh();
}

async function start() {
  document.addEventListener('submit', submit);
  // Another view shows nothing of the one before it until its data is in.
  window.addEventListener('hashchange', () => {
    show('');
    setText($('#refreshed'), 'Loading...');
    refresh();
  });
  $('#queue-filter').addEventListener('input', () => serverData && queueRows(serverData.queues || [], route().server));
  // The page's data and the session's CSRF token are fetched side by side.
  const session = getJson('/api/session').then((s) => { csrf = s.csrf; }).catch((error) => {
    setText($('#refreshed'), 'No session: ' + error.message);
  });
  await Promise.all([session, refresh()]);
  setInterval(refresh, REFRESH_MS);
}

start();
