// The control channel: one WebSocket to the device (port 8081, or the page's "?ws=PORT"), requests matched
// to their replies by the id in b0/b1, pushes handed to listeners by kind, a keep-alive "ping" and
// reconnection with a growing pause.
'use strict';

class ControlChannel {
  constructor() {
    const params = new URLSearchParams(location.search);
    const port = params.get('ws') || '8081';
    const host = location.hostname.includes(':') ? '[' + location.hostname + ']' : location.hostname;
    this.url = 'ws://' + (host || '127.0.0.1') + ':' + port + '/';
    this.socket = null;
    this.nextId = 1;
    this.pending = new Map();
    this.pushListeners = [];
    this.stateListeners = [];
    this.retryMs = 500;
    this.wanted = false;
    this.pingTimer = null;
  }

  get connected() {
    return this.socket !== null && this.socket.readyState === WebSocket.OPEN;
  }

  start() {
    this.wanted = true;
    if (!this.socket) this.connect();
  }

  stop() {
    this.wanted = false;
    if (this.socket) this.socket.close();
  }

  onPush(fn) {
    this.pushListeners.push(fn);
  }

  onState(fn) {
    this.stateListeners.push(fn);
  }

  connect() {
    const socket = new WebSocket(this.url);
    this.socket = socket;
    socket.onopen = () => {
      this.retryMs = 500;
      this.pingTimer = setInterval(() => this.sendText('ping'), 20000);
      this.stateListeners.forEach((fn) => fn(true));
    };
    socket.onmessage = (event) => this.receive(event.data);
    socket.onclose = () => {
      clearInterval(this.pingTimer);
      this.socket = null;
      for (const entry of this.pending.values()) entry.reject(new Error('disconnected'));
      this.pending.clear();
      this.stateListeners.forEach((fn) => fn(false));
      if (this.wanted) {
        setTimeout(() => this.wanted && !this.socket && this.connect(), this.retryMs);
        this.retryMs = Math.min(this.retryMs * 2, 8000);
      }
    };
  }

  sendText(text) {
    if (this.connected) this.socket.send(text);
  }

  // Resolves with the reply object ({deviceUuid, msg, data?, code}); rejects when not connected, on time-out
  // or when the connection drops.
  request(direction, group, item, payload) {
    if (!this.connected) return Promise.reject(new Error('not connected'));
    const id = this.nextId;
    this.nextId = this.nextId >= 0xffff ? 1 : this.nextId + 1;
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        this.pending.delete(id);
        reject(new Error('timeout'));
      }, 8000);
      this.pending.set(id, {
        direction, group, item,
        resolve: (reply) => { clearTimeout(timer); resolve(reply); },
        reject: (error) => { clearTimeout(timer); reject(error); },
      });
      this.socket.send(Frame.encode(id, direction, group, item, payload));
    });
  }

  get(group, item) {
    return this.request(Frame.GET, group, item, {});
  }

  set(group, item, payload) {
    return this.request(Frame.SET, group, item, payload);
  }

  receive(text) {
    if (text === 'ok') return; // the answer to "ping"
    const frame = Frame.decode(text);
    if (!frame || !frame.payload) return;
    const entry = this.pending.get(frame.id);
    // A reply has "msg"; a push reuses the header of an earlier request but never carries "msg".
    if (entry && 'msg' in frame.payload && entry.direction === frame.direction && entry.group === frame.group &&
        entry.item === frame.item) {
      this.pending.delete(frame.id);
      entry.resolve(frame.payload);
      return;
    }
    if ('msg' in frame.payload || !frame.payload.data) return;
    const kind = ControlChannel.pushKind(frame);
    if (kind) this.pushListeners.forEach((fn) => fn(kind, frame.payload.data));
  }

  // Pushes carry the header of the request that asked for them, or zeros before any was sent.
  static pushKind(frame) {
    const key = (frame.group << 8) | frame.item;
    if (key === 0x0335) return 'stats';
    if (key === 0x0401) return 'ndi';
    if (key === 0x0337) return 'ports';
    const data = frame.payload.data;
    if ('cpuOccupy' in data) return 'stats';
    if ('ndisource' in data) return 'ndi';
    if ('PortInfo' in data) return 'ports';
    return null;
  }
}
