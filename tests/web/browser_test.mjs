// A person's visit to the web UI in headless Chromium: log in (wrong, then right), watch the status update
// from the pushes, change settings on every page and find them in the settings files, change the password
// and log in with the new one, see the page reconnect after the server restarts, and reset the device behind
// its confirmation. A screenshot of every page is saved for a person to look at. The server runs on port 80
// (run this only inside the sandbox); its output goes to <shots>/server.log.
//   node browser_test.mjs --server BINARY --url URL --settings DIR --shots DIR [--fake]
import {spawn} from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import {chromium} from 'playwright-core';

const args = {};
for (let i = 2; i < process.argv.length; i++) {
  const name = process.argv[i].replace(/^--/, '');
  if (name === 'fake') args.fake = true;
  else args[name] = process.argv[++i];
}
const settingsDir = args.settings;
const shotsDir = args.shots;

let step = 0;
function log(text) {
  console.log(`[${++step}] ${text}`);
}

function fail(text) {
  throw new Error(text);
}

function settings(name = 'common.json') {
  try {
    return JSON.parse(fs.readFileSync(path.join(settingsDir, name), 'utf8'));
  } catch (e) {
    return null;
  }
}

// Waits until the settings file satisfies the check; the server saves before it replies, so this is short.
async function expectSettings(name, check, what) {
  const deadline = Date.now() + 5000;
  while (Date.now() < deadline) {
    const s = settings(name);
    if (s && check(s)) return s;
    await new Promise((r) => setTimeout(r, 50));
  }
  fail(`${name}: ${what}; it holds ${JSON.stringify(settings(name))}`);
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const serverLog = fs.openSync(path.join(shotsDir, 'server.log'), 'w');
let server = null;

function portOpen(port) {
  return new Promise((resolve) => {
    const socket = net.connect(port, '127.0.0.1');
    socket.once('connect', () => { socket.destroy(); resolve(true); });
    socket.once('error', () => resolve(false));
  });
}

// Starts the server and waits until port 80 answers; the appliance takes some seconds to start.
async function startServer() {
  const started = Date.now();
  server = spawn(args.server, [], {stdio: ['ignore', serverLog, serverLog]});
  server.exited = new Promise((resolve) => server.once('exit', resolve));
  while (!(await portOpen(80))) {
    if (server.exitCode !== null) fail('the server ended at start');
    if (Date.now() - started > 120000) fail('the server did not answer on port 80 within 120 s');
    await sleep(100);
  }
  console.log(`server answered on port 80 after ${((Date.now() - started) / 1000).toFixed(1)} s`);
}

// SIGINT, the appliance's stop signal; a server that has not ended ten seconds later is killed and the test
// fails.
async function stopServer() {
  if (!server || server.exitCode !== null) return;
  server.kill('SIGINT');
  const ended = await Promise.race([server.exited.then(() => true), sleep(10000).then(() => false)]);
  if (!ended) {
    server.kill('SIGKILL');
    await server.exited;
    fail('the server did not stop within 10 s of SIGINT');
  }
}

try {
  await startServer();
} catch (e) {
  console.error(String(e));
  if (server && server.exitCode === null) server.kill('SIGKILL');
  process.exit(1);
}
const browser = await chromium.launch({
  executablePath: '/usr/bin/chromium',
  headless: true,
  args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage', '--disable-background-networking',
    '--no-first-run', '--disable-quic', '--disable-component-update', '--disable-sync'],
});
const pageErrors = [];
// True from stopping the server until the page is connected again.
let deviceDown = false;
let ok = false;
try {
  const context = await browser.newContext({viewport: {width: 1280, height: 900}, locale: 'en-US'});
  const page = await context.newPage();
  page.setDefaultTimeout(30000);
  page.on('pageerror', (e) => pageErrors.push(String(e)));
  // Chromium logs every refused WebSocket attempt; while the server restarts those are expected, and so is
  // any other load the device refuses while it is down (Chromium now and then reports a refused attempt only
  // as a failed load). Any other error is a fault of the page.
  page.on('console', (m) => {
    if (m.type() !== 'error' || /^WebSocket connection to .* failed/.test(m.text())) return;
    if (deviceDown && /ERR_CONNECTION_REFUSED/.test(m.text())) return;
    const where = (m.location() && m.location().url) || '';
    pageErrors.push(m.text() + (where ? ' (' + where + ')' : ''));
  });
  page.on('dialog', (d) => d.dismiss());

  async function shot(name) {
    await page.screenshot({path: path.join(shotsDir, name + '.png'), fullPage: true});
  }

  async function open(name) {
    await page.click('#nav-' + name);
    await page.waitForSelector('#page-' + name + ':not([hidden])');
    // As a user does: the form is used once it shows the device's values.
    await page.waitForSelector('#page-' + name + ':not([aria-busy])');
  }

  async function expectMessage(id, kind) {
    await page.waitForSelector(`#${id}.msg.${kind}`);
    return page.textContent('#' + id);
  }

  async function logIn(user, password) {
    await page.fill('#login-user', user);
    await page.fill('#login-password', password);
    await page.click('#login-submit');
  }

  // Login: wrong, then right.
  await page.goto(args.url);
  await page.waitForSelector('#login-view:not([hidden])');
  await shot('01-login');
  await logIn('velto', 'not-the-password');
  await expectMessage('login-msg', 'error');
  if (await page.isVisible('#app-view')) fail('a wrong password opened the app');
  log('a wrong password is refused');
  await logIn('velto', 'velto');
  await page.waitForSelector('#app-view:not([hidden])');
  await page.waitForSelector('#conn-state.on');
  log('logged in; the control channel is open');

  // Language first, so the later pages show in English.
  await open('language');
  await page.check('#lang-en');
  await page.click('#lang-save');
  await expectMessage('lang-msg', 'ok');
  await expectSettings('common.json', (s) => s.user_language === true, 'user_language must be true');
  if ((await page.getAttribute('html', 'lang')) !== 'en') fail('the page did not switch to English');
  await shot('08-language');
  log('language saved (user_language true)');

  // Status: the figures move with every push.
  await open('status');
  const before = Number(await page.getAttribute('#st-updated', 'data-pushes'));
  await page.waitForFunction((n) => Number(document.getElementById('st-updated').dataset.pushes) >= n + 2, before);
  const cpu = await page.textContent('#st-cpu');
  if (!/^\d+ %$/.test(cpu)) fail('CPU shows ' + cpu);
  if (!/Mbps/.test(await page.textContent('#st-rx'))) fail('no receive rate');
  await page.waitForFunction(() => document.querySelectorAll('#st-ports tr').length >= 2);
  if (args.fake) {
    await page.waitForFunction(() => document.getElementById('st-ndi').textContent.includes('STUDIO-A'));
  }
  await shot('02-status');
  log('status updated from the pushes (CPU ' + cpu + ')');

  // Input on air.
  await open('input');
  await page.check('input[name=input][value=NDI]');
  await page.click('#input-save');
  await expectMessage('input-msg', 'ok');
  await expectSettings('common.json', (s) => s.user_signal === 1, 'user_signal must be 1');
  await shot('03-input');
  log('input on air set to NDI');

  // NDI send, and (with the fake sources) NDI receive.
  await open('ndi');
  await page.check('#ndi-send');
  await expectMessage('ndi-send-msg', 'ok');
  await expectSettings('common.json', (s) => s.ndi_encode === true, 'ndi_encode must be true');
  if (args.fake) {
    await page.click('#ndi-sources button[data-source="STUDIO-B (Camera 2)"]');
    await expectMessage('ndi-recv-msg', 'ok');
    await expectSettings('common.json', (s) => s.ndi_switch === true && s.ndi_pull_name === 'STUDIO-B (Camera 2)',
        'the chosen NDI source must be stored');
    await page.waitForFunction(() => document.getElementById('ndi-current').textContent === 'STUDIO-B (Camera 2)');
  }
  await shot('04-ndi');
  log('NDI send switched on' + (args.fake ? '; NDI source chosen' : ''));

  // Network: a bad address is caught in the page; a good one is stored.
  await open('network');
  await page.waitForFunction(() => document.getElementById('net-mac').textContent !== '–');
  const netBefore = settings('net.json');
  await page.check('#net-static');
  await page.fill('#net-ip', '10.20.30.400');
  await page.fill('#net-mask', '255.0.255.0');
  await page.fill('#net-gateway', '10.20.30.1');
  await page.fill('#net-dns', '10.20.30.2');
  await page.click('#net-save');
  await page.waitForSelector('#net-ip.invalid');
  await page.waitForSelector('#net-mask.invalid');
  if (JSON.stringify(settings('net.json')) !== JSON.stringify(netBefore)) fail('an invalid address was sent');
  await page.fill('#net-ip', '10.20.30.40');
  await page.fill('#net-mask', '255.255.255.0');
  await page.click('#net-save');
  await expectMessage('net-msg', 'ok');
  await expectSettings('net.json', (s) => s.eth0 && s.eth0.ip === '10.20.30.40' && s.eth0.dhcp === false &&
      s.eth0.mask === '255.255.255.0' && s.eth0.gw === '10.20.30.1' && s.eth0.dns === '10.20.30.2',
      'the static address must be stored');
  await shot('05-network');
  log('invalid address refused in the page; static address stored');

  // Stream addresses.
  await open('streams');
  await page.fill('#ns-name', 'studio');
  await page.fill('#ns-url', 'http://not-a-stream');
  await page.click('#ns-save');
  await page.waitForSelector('#ns-url.invalid');
  await page.fill('#ns-url', 'rtsp://127.0.0.1:8554/live/main');
  await page.uncheck('#ns-switch');
  await page.click('#ns-save');
  await expectMessage('ns-msg', 'ok');
  await expectSettings('common.json', (s) => s.netName === 'studio' && s.netUrl === 'rtsp://127.0.0.1:8554/live/main',
      'the network stream address must be stored');
  await shot('06-streams');
  log('stream address stored');

  // Camera.
  await open('camera');
  await page.waitForFunction(() => document.getElementById('cam-version').textContent !== '–');
  await page.check('#cam-4k');
  await page.click('#cam-save');
  await expectMessage('cam-msg', 'ok');
  await expectSettings('common.json', (s) => s.camera_value === true, 'camera_value must be true');
  await shot('07-camera');
  log('camera preference stored');

  // Password: the page checks the two new texts itself, then the device changes it.
  await open('password');
  await page.fill('#pw-old', 'velto');
  await page.fill('#pw-new', 'first-try');
  await page.fill('#pw-confirm', 'second-try');
  await page.click('#pw-save');
  await expectMessage('pw-msg', 'error');
  await page.fill('#pw-old', 'wrong-old');
  await page.fill('#pw-new', 'N3w-pass');
  await page.fill('#pw-confirm', 'N3w-pass');
  await page.click('#pw-save');
  await expectMessage('pw-msg', 'error');
  await expectSettings('common.json', (s) => s.user_passwd === 'velto', 'refused changes must not store anything');
  await page.fill('#pw-old', 'velto');
  await page.click('#pw-save');
  await expectMessage('pw-msg', 'ok');
  await expectSettings('common.json', (s) => s.user_passwd === 'N3w-pass', 'the new password must be stored');
  await shot('09-password');
  await page.click('#logout');
  await page.waitForSelector('#login-view:not([hidden])');
  await logIn('velto', 'velto');
  await expectMessage('login-msg', 'error');
  await logIn('velto', 'N3w-pass');
  await page.waitForSelector('#app-view:not([hidden])');
  log('password changed; the old one is refused, the new one logs in');

  // The page reconnects when the device comes back, and the pushes flow again.
  await page.waitForSelector('#conn-state.on');
  deviceDown = true;
  await stopServer();
  await page.waitForSelector('#conn-state.off');
  await startServer();
  await page.waitForSelector('#conn-state.on', {timeout: 60000});
  deviceDown = false;
  await open('status');
  const afterRestart = Number(await page.getAttribute('#st-updated', 'data-pushes'));
  await page.waitForFunction((n) => Number(document.getElementById('st-updated').dataset.pushes) >= n + 2,
      afterRestart);
  log('the page reconnected after the server restarted; pushes arrive again');

  // Factory reset, behind its confirmation.
  await open('reset');
  await page.click('#reset-start');
  await page.waitForSelector('#reset-confirm:not([hidden])');
  await shot('10-reset');
  await page.click('#reset-no');
  await page.waitForSelector('#reset-confirm', {state: 'hidden'});
  await expectSettings('common.json', (s) => s.user_passwd === 'N3w-pass', 'cancel must not reset');
  await page.click('#reset-start');
  await page.click('#reset-yes');
  await page.waitForSelector('#login-view:not([hidden])');
  await expectSettings('common.json', (s) => s.user_passwd === 'velto' && s.user_signal === 0 &&
      s.camera_value === false && s.ndi_encode === false && s.user_language === false, 'the settings must be reset');
  await expectSettings('net.json', (s) => s.eth0.ip === '192.168.5.100', 'the network must be reset');
  await shot('11-after-reset');
  await logIn('velto', 'velto');
  await page.waitForSelector('#app-view:not([hidden])');
  log('factory reset done after confirmation; the default password logs in');

  if (pageErrors.length) fail('errors in the page:\n' + pageErrors.join('\n'));
  ok = true;
} catch (e) {
  console.error('FAILED at step ' + (step + 1) + ': ' + (e && e.stack ? e.stack : e));
  if (pageErrors.length) console.error('page errors:\n' + pageErrors.join('\n'));
} finally {
  await browser.close();
  try {
    await stopServer();
  } catch (e) {
    console.error(String(e));
    ok = false;
  }
}
console.log(ok ? 'browser test passed; screenshots in ' + shotsDir : 'browser test failed');
process.exit(ok ? 0 : 1);
