// The pages of the web UI. The login call only tells whether name and password match; the page remembers
// that for the tab (sessionStorage) and opens the control channel, over which every setting is read and
// changed and the status pushes arrive.
'use strict';

(() => {
  const $ = (id) => document.getElementById(id);
  const AUTH_KEY = 'briskbox.auth';
  const PAGES = ['status', 'input', 'ndi', 'network', 'streams', 'camera', 'language', 'password', 'reset'];
  const NDI_RETRY_MS = 15000;
  const channel = new ControlChannel();
  let ndiRetryTimer = null;

  // ---- helpers ----

  function show(id, visible) {
    $(id).hidden = !visible;
  }

  function message(id, key, kind) {
    const el = $(id);
    el.textContent = key ? I18n.t(key) : '';
    el.className = 'msg' + (kind ? ' ' + kind : '');
  }

  function rawMessage(id, text, kind) {
    const el = $(id);
    el.textContent = text;
    el.className = 'msg' + (kind ? ' ' + kind : '');
  }

  function isIpv4(text) {
    return /^(25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)(\.(25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)){3}$/.test(text);
  }

  function isMask(text) {
    if (!isIpv4(text)) return false;
    const bits = text.split('.').reduce((acc, part) => (acc << 8) | Number(part), 0) >>> 0;
    const inverted = (~bits) >>> 0;
    // A mask is ones followed by zeros: its inverse plus one is a power of two.
    return bits !== 0 && ((inverted + 1) & inverted) === 0;
  }

  function isStreamUrl(text) {
    return /^(rtsp|rtmp):\/\/[^\s/]+(\/\S*)?$/i.test(text);
  }

  async function request(direction, group, item, payload, msgId) {
    try {
      return await channel.request(direction, group, item, payload);
    } catch (e) {
      if (msgId) message(msgId, channel.connected ? 'common.failed' : 'common.offline', 'error');
      return null;
    }
  }

  const get = (group, item, msgId) => request(Frame.GET, group, item, {}, msgId);
  const set = (group, item, payload, msgId) => request(Frame.SET, group, item, payload, msgId);

  function replyOk(reply) {
    return reply !== null && reply.code === 0;
  }

  // ---- login ----

  function loggedIn() {
    return sessionStorage.getItem(AUTH_KEY) === '1';
  }

  async function login(event) {
    event.preventDefault();
    const userName = $('login-user').value.trim();
    const passw = $('login-password').value;
    if (!userName) {
      message('login-msg', 'login.missing', 'error');
      return;
    }
    try {
      const response = await fetch('/api/login/phone', {
        method: 'POST',
        headers: {'Content-Type': 'application/json'},
        body: JSON.stringify({userName, passw}),
      });
      const text = await response.text();
      if (response.status === 200 && text === 'ok') {
        sessionStorage.setItem(AUTH_KEY, '1');
        $('login-password').value = '';
        message('login-msg', '');
        if (!location.hash || location.hash === '#/login') location.hash = '#/status';
        route();
      } else {
        message('login-msg', response.status === 401 ? 'login.missing' : 'login.wrong', 'error');
      }
    } catch (e) {
      message('login-msg', 'login.failed', 'error');
    }
  }

  function logout(afterReset) {
    sessionStorage.removeItem(AUTH_KEY);
    channel.stop();
    location.hash = '#/login';
    route();
    if (afterReset) message('login-msg', 'login.afterReset', 'ok');
  }

  // ---- routing ----

  function currentPage() {
    const name = location.hash.replace(/^#\//, '');
    return PAGES.includes(name) ? name : 'status';
  }

  function route() {
    if (!loggedIn()) {
      show('app-view', false);
      show('login-view', true);
      $('login-user').focus();
      return;
    }
    show('login-view', false);
    show('app-view', true);
    channel.start();
    const page = currentPage();
    PAGES.forEach((p) => {
      show('page-' + p, p === page);
      $('nav-' + p).classList.toggle('active', p === page);
    });
    clearInterval(ndiRetryTimer);
    ndiRetryTimer = null;
    if (channel.connected) loadPage(page);
  }

  // A page is busy until the device's values have arrived: they fill the form, so a choice made before then
  // would be overwritten without a word. Busy pages take no clicks (style.css); every request times out.
  function loadPage(page) {
    const loaders = {
      status: loadStatus, input: loadInput, ndi: loadNdi, network: loadNetwork, streams: loadStreams,
      camera: loadCamera, language: loadLanguage, password: () => {}, reset: () => {},
    };
    const view = $('page-' + page);
    view.setAttribute('aria-busy', 'true');
    Promise.resolve(loaders[page]()).finally(() => view.removeAttribute('aria-busy'));
  }

  // ---- status ----

  let pushCount = 0;

  function showStats(data) {
    $('st-cpu').textContent = data.cpuOccupy + ' %';
    $('st-cpu-bar').style.width = Math.max(0, Math.min(100, data.cpuOccupy)) + '%';
    $('st-memory').textContent = data.memoriesOccupy + ' %';
    $('st-temperature').textContent = data.deviceTemperature + ' °C';
    const net = data.net || {};
    $('st-rx').textContent = (net.eth0RxRate || '–') + ' (' + data.downSpeed + ' KiB/s)';
    $('st-tx').textContent = (net.eth0TxRate || '–') + ' (' + data.upSpeed + ' KiB/s)';
    $('st-total-rx').textContent = net.totalRxRate || '–';
    $('st-total-tx').textContent = net.totalTxRate || '–';
  }

  function showPorts(list) {
    const body = $('st-ports');
    body.textContent = '';
    (list || []).forEach((port) => {
      const row = document.createElement('tr');
      const name = document.createElement('td');
      name.textContent = I18n.t('port.' + port.portType);
      const format = document.createElement('td');
      format.textContent = port.resolution || I18n.t('status.noSignal');
      format.className = port.resolution ? 'live' : 'idle';
      row.append(name, format);
      body.append(row);
    });
  }

  function showNdiSources(sources) {
    for (const id of ['st-ndi', 'ndi-sources']) {
      const list = $(id);
      list.textContent = '';
      if (!sources.length) {
        const item = document.createElement('li');
        item.className = 'idle';
        item.textContent = I18n.t('common.none');
        list.append(item);
        continue;
      }
      sources.forEach((source) => {
        const item = document.createElement('li');
        const label = document.createElement('span');
        const size = source.xres ?
            ' — ' + source.xres + 'x' + source.yres + ' @ ' + Number(source.fps).toFixed(2) : '';
        label.textContent = source.name + ' (' + source.address + ')' + size;
        item.append(label);
        if (id === 'ndi-sources') {
          const use = document.createElement('button');
          use.type = 'button';
          use.textContent = I18n.t('ndi.select');
          use.dataset.source = source.name;
          use.addEventListener('click', () => selectNdiSource(source.name));
          item.append(use);
        }
        list.append(item);
      });
    }
  }

  function searching() {
    for (const id of ['st-ndi', 'ndi-sources']) {
      const list = $(id);
      if (list.children.length) continue;
      const item = document.createElement('li');
      item.className = 'idle';
      item.textContent = I18n.t('status.searching');
      list.append(item);
    }
  }

  // The list comes as a reply while an NDI input decodes, else as a push some seconds later.
  async function askNdiSources() {
    searching();
    const reply = await get(0x04, 0x01);
    if (reply && reply.data && reply.data.ndisource) showNdiSources(reply.data.ndisource);
  }

  function keepAskingNdiSources() {
    askNdiSources();
    clearInterval(ndiRetryTimer);
    ndiRetryTimer = setInterval(askNdiSources, NDI_RETRY_MS);
  }

  async function loadStatus() {
    await showMonitor();
    const stats = await get(0x03, 0x35);
    if (stats && stats.data) showStats(stats.data);
    const ports = await get(0x03, 0x37);
    if (ports && ports.data) showPorts(ports.data.PortInfo);
    keepAskingNdiSources();
  }

  // The input on air can change from another tab; the status page re-reads it now and then.
  const MONITOR_REFRESH_MS = 5000;
  let monitorReadAt = 0;

  async function showMonitor() {
    monitorReadAt = Date.now();
    const monitor = await get(0x03, 0x36);
    if (monitor && monitor.data) {
      $('st-input').textContent = monitor.data.typeMonitor ? I18n.t('input.' + monitor.data.typeMonitor) : '–';
    }
  }

  channel.onPush((kind, data) => {
    if (kind === 'stats') {
      showStats(data);
      if (currentPage() === 'status' && Date.now() - monitorReadAt > MONITOR_REFRESH_MS) showMonitor();
      pushCount += 1;
      const stamp = $('st-updated');
      stamp.textContent = new Date().toLocaleTimeString();
      stamp.dataset.pushes = String(pushCount);
    } else if (kind === 'ndi' && Array.isArray(data.ndisource)) {
      showNdiSources(data.ndisource);
    } else if (kind === 'ports') {
      showPorts(data.PortInfo);
    }
  });

  // ---- input ----

  async function loadInput() {
    message('input-msg', '');
    const reply = await get(0x03, 0x36, 'input-msg');
    if (!reply || !reply.data) return;
    document.querySelectorAll('input[name=input]').forEach((radio) => {
      radio.checked = radio.value === reply.data.typeMonitor;
    });
  }

  async function saveInput() {
    const chosen = document.querySelector('input[name=input]:checked');
    if (!chosen) return;
    const reply = await set(0x03, 0x36, {typeMonitor: chosen.value}, 'input-msg');
    if (replyOk(reply)) message('input-msg', 'common.saved', 'ok');
    loadInputQuietly();
  }

  async function loadInputQuietly() {
    const reply = await get(0x03, 0x36);
    if (reply && reply.data) {
      document.querySelectorAll('input[name=input]').forEach((radio) => {
        radio.checked = radio.value === reply.data.typeMonitor;
      });
    }
  }

  // ---- NDI ----

  async function loadNdi() {
    message('ndi-send-msg', '');
    message('ndi-recv-msg', '');
    const send = await get(0x04, 0x00, 'ndi-send-msg');
    if (send && send.data) {
      $('ndi-send').checked = !!send.data.isPush;
      $('ndi-channel').textContent = (send.data.main && send.data.main.channelName) || '–';
    }
    const recv = await get(0x04, 0x02, 'ndi-recv-msg');
    if (recv && recv.data) {
      $('ndi-current').textContent = recv.data.ndi_switch && recv.data.ndi_pull_name ? recv.data.ndi_pull_name : '–';
    }
    keepAskingNdiSources();
  }

  async function setNdiSend() {
    const reply = await set(0x04, 0x02, {check: $('ndi-send').checked}, 'ndi-send-msg');
    if (replyOk(reply)) message('ndi-send-msg', 'common.saved', 'ok');
    // The sender takes its name a moment after it starts.
    setTimeout(async () => {
      const send = await get(0x04, 0x00);
      if (send && send.data) {
        $('ndi-send').checked = !!send.data.isPush;
        $('ndi-channel').textContent = (send.data.main && send.data.main.channelName) || '–';
      }
    }, 1500);
  }

  async function selectNdiSource(name) {
    const reply = await set(0x04, 0x01, {check: true, ndisource: {name}}, 'ndi-recv-msg');
    if (replyOk(reply)) message('ndi-recv-msg', 'common.saved', 'ok');
    const recv = await get(0x04, 0x02);
    if (recv && recv.data) {
      $('ndi-current').textContent = recv.data.ndi_switch && recv.data.ndi_pull_name ? recv.data.ndi_pull_name : '–';
    }
  }

  async function stopNdiInput() {
    const reply = await set(0x04, 0x01, {check: false}, 'ndi-recv-msg');
    if (replyOk(reply)) message('ndi-recv-msg', 'common.saved', 'ok');
    $('ndi-current').textContent = '–';
  }

  // ---- network ----

  function networkFieldsEnabled() {
    const isStatic = $('net-static').checked;
    ['net-ip', 'net-mask', 'net-gateway', 'net-dns'].forEach((id) => { $(id).disabled = !isStatic; });
  }

  async function loadNetwork() {
    message('net-msg', '');
    const reply = await get(0x03, 0x00, 'net-msg');
    if (!reply || !reply.data) return;
    const d = reply.data;
    $('net-dhcp').checked = !!d.dhcp;
    $('net-static').checked = !d.dhcp;
    $('net-ip').value = d.ip || '';
    $('net-mask').value = d.mask || '';
    $('net-gateway').value = d.gateway || '';
    $('net-dns').value = d.dns || '';
    $('net-mac').textContent = d.mac || '–';
    networkFieldsEnabled();
  }

  async function saveNetwork(event) {
    event.preventDefault();
    const dhcp = $('net-dhcp').checked;
    const fields = {ip: 'net-ip', mask: 'net-mask', gateway: 'net-gateway', dns: 'net-dns'};
    const values = {};
    let valid = true;
    for (const [key, id] of Object.entries(fields)) {
      values[key] = $(id).value.trim();
      let error = '';
      if (!dhcp) {
        if (key === 'mask' ? !isMask(values[key]) : !isIpv4(values[key])) {
          error = key === 'mask' ? 'net.badMask' : 'net.badIp';
        }
      }
      $(id + '-error').textContent = error ? I18n.t(error) : '';
      $(id).classList.toggle('invalid', !!error);
      if (error) valid = false;
    }
    if (!valid) {
      message('net-msg', '');
      return;
    }
    const reply = await set(0x03, 0x00, Object.assign(values, {switch: dhcp}), 'net-msg');
    if (replyOk(reply)) {
      message('net-msg', 'net.nextBoot', 'ok');
    } else if (reply) {
      message('net-msg', 'common.failed', 'error');
    }
  }

  // ---- streams ----

  async function loadStreams() {
    const host = location.hostname || '127.0.0.1';
    $('out-rtsp').textContent = 'rtsp://' + host + ':8554/live/main';
    message('ns-msg', '');
    message('rt-msg', '');
    const net = await get(0x05, 0x00, 'ns-msg');
    if (net && net.data && net.data.netinput && net.data.netinput[0]) {
      const e = net.data.netinput[0];
      $('ns-name').value = e.netName || '';
      $('ns-url').value = e.netUrl || '';
      $('ns-switch').checked = !!e.netSwitch;
    }
    const rtmp = await get(0x05, 0x01, 'rt-msg');
    if (rtmp && rtmp.data && rtmp.data.rtmpinput && rtmp.data.rtmpinput[0]) {
      const e = rtmp.data.rtmpinput[0];
      $('rt-name').value = e.netName || '';
      $('rt-url').value = e.netUrl || '';
      $('rt-switch').checked = !!e.netSwitch;
      $('out-rtmp').textContent = e.netUrl || '–';
    }
  }

  async function saveStream(prefix, item, event) {
    event.preventDefault();
    const url = $(prefix + '-url').value.trim();
    const on = $(prefix + '-switch').checked;
    const urlOk = url === '' ? !on : isStreamUrl(url);
    $(prefix + '-url-error').textContent = urlOk ? '' : I18n.t('streams.badUrl');
    $(prefix + '-url').classList.toggle('invalid', !urlOk);
    if (!urlOk) return;
    const entry = {netName: $(prefix + '-name').value.trim(), netUrl: url, netSwitch: on};
    const reply = await set(0x11, item, {netInpt: [entry]}, prefix + '-msg');
    if (!replyOk(reply)) return;
    if (reply.data && reply.data.check === false) {
      $(prefix + '-switch').checked = false;
      message(prefix + '-msg', 'streams.otherOn', 'error');
    } else {
      message(prefix + '-msg', 'common.saved', 'ok');
    }
  }

  // ---- camera ----

  async function loadCamera() {
    message('cam-msg', '');
    const reply = await get(0x03, 0x22, 'cam-msg');
    if (!reply || !reply.data) return;
    $('cam-4k').checked = reply.data.usbCamera === 1;
    $('cam-version').textContent = reply.data.version || '–';
  }

  async function saveCamera() {
    const reply = await set(0x03, 0x22, {type: $('cam-4k').checked ? 1 : 0}, 'cam-msg');
    if (replyOk(reply)) message('cam-msg', 'common.saved', 'ok');
  }

  // ---- language: the device keeps 0 for Chinese and 1 for English ----

  async function loadLanguage() {
    message('lang-msg', '');
    const reply = await get(0x03, 0x34, 'lang-msg');
    if (!reply || !reply.data) return;
    $('lang-zh').checked = reply.data.language === 0;
    $('lang-en').checked = reply.data.language === 1;
  }

  async function saveLanguage() {
    const locae = $('lang-en').checked ? 1 : 0;
    const reply = await set(0x03, 0x31, {languageData: {locae}}, 'lang-msg');
    if (replyOk(reply)) {
      I18n.set(locae === 1 ? 'en' : 'zh');
      message('lang-msg', 'common.saved', 'ok');
    }
  }

  async function syncLanguageFromDevice() {
    const reply = await get(0x03, 0x34);
    if (reply && reply.data && (reply.data.language === 0 || reply.data.language === 1)) {
      I18n.set(reply.data.language === 1 ? 'en' : 'zh');
    }
  }

  // ---- password: the device skips these checks, so the page makes them ----

  async function savePassword(event) {
    event.preventDefault();
    const oldPassw = $('pw-old').value;
    const passw = $('pw-new').value;
    const surePassw = $('pw-confirm').value;
    if (!passw) {
      message('pw-msg', 'pw.empty', 'error');
      return;
    }
    if (passw !== surePassw) {
      message('pw-msg', 'pw.mismatch', 'error');
      return;
    }
    try {
      const response = await fetch('/api/login/updatePassword', {
        method: 'POST',
        headers: {'Content-Type': 'application/json'},
        body: JSON.stringify({oldPassw, passw, surePassw}),
      });
      const text = await response.text();
      const known = {'ok': 'pw.ok', '新密码和确认密码不一致': 'pw.mismatch', '旧密码有误': 'pw.wrongOld'};
      if (known[text]) {
        message('pw-msg', known[text], text === 'ok' ? 'ok' : 'error');
      } else {
        rawMessage('pw-msg', text, 'error');
      }
      if (text === 'ok') ['pw-old', 'pw-new', 'pw-confirm'].forEach((id) => { $(id).value = ''; });
    } catch (e) {
      message('pw-msg', 'login.failed', 'error');
    }
  }

  // ---- factory reset ----

  async function confirmReset() {
    show('reset-confirm', false);
    const reply = await set(0x03, 0x32, {}, 'reset-msg');
    if (replyOk(reply)) {
      I18n.set('zh');
      logout(true);
    }
  }

  // ---- wiring ----

  document.addEventListener('DOMContentLoaded', () => {
    I18n.apply();
    $('login-form').addEventListener('submit', login);
    $('logout').addEventListener('click', () => logout(false));
    document.querySelectorAll('[data-ui-lang]').forEach((b) => {
      b.addEventListener('click', () => I18n.set(b.dataset.uiLang));
    });
    $('input-save').addEventListener('click', saveInput);
    $('ndi-send').addEventListener('change', setNdiSend);
    $('ndi-refresh').addEventListener('click', askNdiSources);
    $('ndi-stop').addEventListener('click', stopNdiInput);
    $('net-dhcp').addEventListener('change', networkFieldsEnabled);
    $('net-static').addEventListener('change', networkFieldsEnabled);
    $('net-form').addEventListener('submit', saveNetwork);
    $('ns-form').addEventListener('submit', (e) => saveStream('ns', 0x00, e));
    $('rt-form').addEventListener('submit', (e) => saveStream('rt', 0x01, e));
    $('cam-save').addEventListener('click', saveCamera);
    $('lang-save').addEventListener('click', saveLanguage);
    $('pw-form').addEventListener('submit', savePassword);
    $('reset-start').addEventListener('click', () => show('reset-confirm', true));
    $('reset-no').addEventListener('click', () => show('reset-confirm', false));
    $('reset-yes').addEventListener('click', confirmReset);
    channel.onState((connected) => {
      const state = $('conn-state');
      state.dataset.i18n = connected ? 'conn.on' : 'conn.off';
      state.textContent = I18n.t(state.dataset.i18n);
      state.className = 'conn ' + (connected ? 'on' : 'off');
      if (connected) {
        syncLanguageFromDevice();
        loadPage(currentPage());
      }
    });
    window.addEventListener('hashchange', route);
    route();
  });
})();
