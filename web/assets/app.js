'use strict';
// The gateway's pages: one script, no libraries. Every change carries the
// session's CSRF token in a header; the session cookie itself is HttpOnly.
const $ = (id) => document.getElementById(id);
let csrf = '';

async function call(method, path, body, raw) {
  const opt = { method, headers: {}, credentials: 'same-origin' };
  if (csrf) opt.headers['X-CSRF-Token'] = csrf;
  if (raw !== undefined) { opt.body = raw; opt.headers['Content-Type'] = 'application/octet-stream'; }
  else if (body !== undefined) { opt.body = JSON.stringify(body); opt.headers['Content-Type'] = 'application/json'; }
  const r = await fetch(path, opt);
  let data = {};
  try { data = await r.json(); } catch (e) { data = {}; }
  if (r.status === 401 && document.body.dataset.page !== 'login') location.href = '/login';
  return { status: r.status, data };
}

function say(id, text, good) {
  const el = $(id);
  el.textContent = text;
  el.className = 'msg ' + (good ? 'ok' : 'bad');
}

function set(id, text) { const el = $(id); if (el) el.textContent = text; }
function bar(id, fraction) { $(id).style.width = Math.max(0, Math.min(1, fraction)) * 100 + '%'; }
function ago(s) { return s < 120 ? s + ' s' : s < 7200 ? Math.floor(s / 60) + ' min' : Math.floor(s / 3600) + ' h'; }

async function startSession() {
  const r = await call('GET', '/api/session');
  if (r.status === 200) csrf = r.data.csrf;
  const link = $('nav-' + document.body.dataset.page);
  if (link) link.className = 'on';
  $('logout').addEventListener('click', async () => {
    await call('POST', '/api/logout', {});
    location.href = '/login';
  });
}

function loginPage() {
  $('login-form').addEventListener('submit', async (ev) => {
    ev.preventDefault();
    const r = await call('POST', '/api/login', { password: $('password').value });
    if (r.status === 200) { location.href = '/status'; return; }
    say('login-error', r.data.error || 'login failed');
  });
}

function showStatus(s) {
  set('daemon', s.running ? 'running (pid ' + s.pid + ')' : s.present ? 'not running (status ' + ago(Math.floor(s.age_ms / 1000)) + ' old)' : 'no status yet');
  if (!s.present) return;
  const st = $('link-state');
  st.textContent = s.running ? s.link.state : 'gwlinkd stopped';
  st.className = 'pill ' + (!s.running ? 'bad' : s.link.state === 'logged in' ? 'ok' : 'warn');
  set('link-server', s.link.server);
  set('link-in-use', s.link.server_in_use);
  set('link-since', ago(s.link.since_s));
  set('link-logins', s.link.logins);
  set('link-reconnects', s.link.reconnects);
  set('link-losses', s.link.losses);
  set('radio', s.radio);
  set('codec', s.codec);
  set('crypto', ['off', 'voice key', 'voice key, TLS link'][s.crypto_mode] || s.crypto_mode);
  const p = $('ptt');
  p.textContent = s.ptt ? 'PTT on' : 'PTT off';
  p.className = 'pill ' + (s.ptt ? 'bad' : '');
  set('server-ptt', s.server_ptt ? 'talker' : 'none');
  set('squelch', s.squelch ? 'open (' + s.squelch + ')' : 'closed');
  set('gpio', s.gpio);
  const v = s.voice;
  set('v-sent', v.sent); set('v-received', v.received); set('v-late', v.late);
  set('v-lost', v.lost); set('v-dropped', v.dropped); set('v-underruns', v.underruns);
  set('v-alarm', v.alarm ? 'voice missing' : 'none');
  set('v-depth', v.jitter_depth + ' of ' + v.jitter_capacity);
  bar('v-depth-bar', v.jitter_capacity ? v.jitter_depth / v.jitter_capacity : 0);
  set('volume', s.amplifier.volume + ' / 63');
  bar('volume-bar', s.amplifier.volume / 63);
  set('amp', s.amplifier.muted ? 'muted (no voice)' : 'on');
  for (const [k, id] of [['speaker_level', 'spk'], ['mic_level', 'mic']]) {
    const has = s[k] !== undefined;
    $(id).hidden = !has; $(id + '-label').hidden = !has;
    if (has) bar(id + '-bar', s[k] / 100);
  }
  const log = $('log');
  const atEnd = log.scrollTop + log.clientHeight >= log.scrollHeight - 4;
  log.textContent = (s.log || []).join('\n');
  if (atEnd) log.scrollTop = log.scrollHeight;
}

function statusPage() {
  const tick = async () => {
    try {
      const r = await call('GET', '/api/status');
      if (r.status === 200) { set('status-error', ''); showStatus(r.data); }
      else set('status-error', r.data.error || 'status unavailable');
    } catch (e) { set('status-error', 'the gateway does not answer'); }
  };
  tick();
  setInterval(tick, 1000);
}

async function configPage() {
  const form = $('config-form');
  // The extensions' file is written only when one of its values changes, so
  // a gateway without it stays without it.
  const loaded = {};
  const load = async () => {
    const r = await call('GET', '/api/config');
    if (r.status !== 200) { say('config-msg', r.data.error || 'cannot read the configuration'); return; }
    for (const el of form.elements) {
      if (!el.name || !(el.name in r.data)) continue;
      el.value = el.name === 'blocked' ? r.data.blocked.join('\n') : String(r.data[el.name]);
      loaded[el.name] = el.value;
    }
    if (r.data.extra_error) say('config-msg', 'extra settings unusable: ' + r.data.extra_error);
  };
  await load();
  form.addEventListener('submit', async (ev) => {
    ev.preventDefault();
    const body = {};
    for (const el of form.elements) {
      if (!el.name) continue;
      if ('extra' in el.dataset && el.value.trim() === loaded[el.name]) continue;
      body[el.name] = el.name === 'blocked' ? el.value.split('\n').map((x) => x.trim()).filter((x) => x) : el.value.trim();
    }
    const r = await call('PUT', '/api/config', body);
    if (r.status === 200) say('config-msg', 'Saved. Apply restarts gwlinkd with it.', true);
    else say('config-msg', r.data.error || 'not saved');
  });
  $('apply').addEventListener('click', async () => {
    const r = await call('POST', '/api/apply', {});
    if (r.status === 200) say('config-msg', 'gwlinkd is restarting with the saved configuration.', true);
    else say('config-msg', r.data.error || 'cannot restart gwlinkd');
  });
  $('password-form').addEventListener('submit', async (ev) => {
    ev.preventDefault();
    const r = await call('POST', '/api/password', { current: $('pw-current').value, new: $('pw-new').value });
    if (r.status === 200) { say('password-msg', 'Changed: log in again with the new password.', true); setTimeout(() => { location.href = '/login'; }, 1500); }
    else say('password-msg', r.data.error || 'not changed');
  });
}

function firmwarePage() {
  const confirm = $('fw-confirm'), upgrade = $('fw-upgrade');
  confirm.addEventListener('change', () => { upgrade.disabled = !confirm.checked; });
  $('fw-upload').addEventListener('click', async () => {
    const file = $('fw-file').files[0];
    if (!file) { say('fw-msg', 'Choose an image file first.'); return; }
    confirm.checked = false; confirm.disabled = true; upgrade.disabled = true;
    say('fw-msg', 'Uploading ' + file.size + ' bytes ...', true);
    const r = await call('POST', '/api/firmware', undefined, file);
    const v = $('fw-verdict');
    v.hidden = !r.data.verdict; v.textContent = r.data.verdict || '';
    if (r.status === 200) { say('fw-msg', 'The image passed the check. Confirm to write it to flash.', true); confirm.disabled = false; }
    else say('fw-msg', 'Refused: ' + (r.data.error || 'upload failed'));
  });
  upgrade.addEventListener('click', async () => {
    if (!confirm.checked) return;
    const r = await call('POST', '/api/firmware/upgrade', { confirm: 'upgrade' });
    if (r.status === 202) say('fw-msg', 'Writing the flash; the gateway reboots when done.', true);
    else say('fw-msg', r.data.error || 'upgrade refused');
    upgrade.disabled = true; confirm.disabled = true;
  });
}

const pages = { login: loginPage, status: statusPage, config: configPage, firmware: firmwarePage };
(async () => {
  const page = document.body.dataset.page;
  if (page !== 'login') await startSession();
  pages[page]();
})();
