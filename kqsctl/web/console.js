// The console's page: three views (servers, a server, a queue) chosen by the
// address's fragment, refreshed every few seconds from the JSON API, and
// forms whose changes carry the session's CSRF token.
'use strict';

const REFRESH_MS = 5000;
let csrf = '';
let busy = false;
let serverData = null;

const $ = (selector, within = document) => within.querySelector(selector);
const esc = (text) => String(text ?? '').replace(/[&<>"']/g,
  (c) => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;' })[c]);
const shown = (value) => (value === undefined || value === null || value === '' ? '-' : value);
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

async function showServers() {
  const data = await getJson('/api/servers');
  const checked = new Set([...document.querySelectorAll('#servers input:checked')].map((box) => box.value));
  $('#servers tbody').innerHTML = data.servers.map((s) => `<tr>
    <td><input type="checkbox" name="server" value="${esc(s.host)}" aria-label="Select ${esc(s.host)}"
      ${checked.has(s.host) ? 'checked' : ''}></td>
    <td><a href="${esc(link({ server: s.host }))}">${esc(s.host)}</a></td>
    <td>${esc(s.reachable)}</td><td>${esc(shown(s.system))}</td><td>${esc(shown(s.version))}</td>
    <td>${esc(shown(s.queues))}</td><td>${esc(shown(s.stoppedQueues))}</td><td>${esc(shown(s.pendingJobs))}</td>
    <td>${s.lastError ? failure(s.lastError, s.hint) : ''}</td></tr>`).join('');
  document.title = 'Servers - kqsd console';
  $('#crumbs').innerHTML = '';
  show('servers-view');
}

function queueRows(queues, host) {
  const filter = $('#queue-filter').value.trim();
  const wanted = filter ? queues.filter((q) => q.name.includes(filter)) : queues;
  $('#queues tbody').innerHTML = wanted.map((q) => `<tr>
    <td><a href="${esc(link({ server: host, queue: q.name }))}">${esc(q.name)}</a></td>
    <td>${esc(shown(q.state))}</td><td>${esc(shown(q.accepting))}</td><td>${esc(shown(q.jobs))}</td>
    <td>${esc(q.interfaceDirectory + '/' + q.name)}</td></tr>`).join('');
  $('#queues-shown').textContent = `${wanted.length} of ${queues.length} queues`;
}

function showServer(host) {
  const d = serverData;
  $('#server-title').textContent = host;
  const errors = ['queuesError', 'modelsError', 'monitorsError'].filter((k) => d[k]).map((k) => d[k]);
  $('#server-error').innerHTML = errors.length ? failure(errors[0].error, errors[0].hint) : '';
  queueRows(d.queues || [], host);
  const models = (d.models || []).map((m) => m.model);
  const select = $('#q-model');
  if (select.dataset.models !== models.join('\n')) {
    const chosen = select.value;
    select.innerHTML = models.map((m) => `<option${m === chosen ? ' selected' : ''}>${esc(m)}</option>`).join('');
    select.dataset.models = models.join('\n');
  }
  $('#models').innerHTML = models.map((m) => `<li>${esc(m)}</li>`).join('');
  $('#monitors tbody').innerHTML = (d.monitors || []).map((m) =>
    `<tr><td>${esc(m.name)}</td><td>${esc(m.product)}</td><td>${esc(m.revision)}</td></tr>`).join('');
  document.title = `${host} - kqsd console`;
  $('#crumbs').innerHTML = ` › ${esc(host)}`;
  show('server-view');
}

function showQueue(host, name) {
  const q = (serverData.queues || []).find((entry) => entry.name === name);
  $('#queue-title').textContent = `${name} on ${host}`;
  const settings = q ? [['Server', host], ['Queue', name], ['State', q.state], ['Accepting', q.accepting],
    ['Jobs', q.jobs], ['Interface script', q.interfaceDirectory + '/' + name]]
    : [['Queue', 'the server does not list this queue (now)']];
  $('#queue-settings').innerHTML = settings.map(([k, v]) => `<dt>${esc(k)}</dt><dd>${esc(shown(v))}</dd>`).join('');
  $('#r-name').value = name;
  document.title = `${name} on ${host} - kqsd console`;
  $('#crumbs').innerHTML = ` › <a href="${esc(link({ server: host }))}">${esc(host)}</a> › ${esc(name)}`;
  show('queue-view');
}

async function refresh() {
  if (busy) return;
  busy = true;
  const { server, queue } = route();
  try {
    if (!server) {
      await showServers();
    } else {
      serverData = await getJson('/api/server?host=' + encodeURIComponent(server));
      if (queue) showQueue(server, queue); else showServer(server);
    }
    $('#refreshed').textContent = 'Refreshed at ' + new Date().toLocaleTimeString();
  } catch (error) {
    $('#refreshed').textContent = 'Refresh failed: ' + error.message;
  } finally {
    busy = false;
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
  if (form.id === 'fleet-form') {
    for (const box of document.querySelectorAll('#servers input:checked')) body.append('server', box.value);
  } else {
    body.append('server', route().server);
  }
  const servers = body.getAll('server').join(', ');
  if (button && button.dataset.confirm && !confirm(`Remove the queue ${body.get('name')} from ${servers}?`)) return;
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
  try {
    csrf = (await getJson('/api/session')).csrf;
  } catch (error) {
    $('#refreshed').textContent = 'No session: ' + error.message;
  }
  document.addEventListener('submit', submit);
  window.addEventListener('hashchange', refresh);
  $('#queue-filter').addEventListener('input', () => serverData && queueRows(serverData.queues || [], route().server));
  await refresh();
  setInterval(refresh, REFRESH_MS);
}

start();
