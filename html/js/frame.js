// The control frame of the WebSocket channel:
//   "<F" + b0..b7 as 16 lower-case hex digits + ">" + JSON payload + "0" (the trailer only after a payload)
// b2 = 0xE1 get / 0xE0 set, b3 = group, b4 = item, b5/b6 = payload bytes + 1 (little-endian),
// b7 = (b0 + ... + b6) & 0xFF. Lengths count UTF-8 bytes, not JavaScript characters.
'use strict';

const Frame = (() => {
  const GET = 0xe1;
  const SET = 0xe0;
  const HEAD_CHARS = 19;
  const MAX_PAYLOAD = 0xfffe;
  const encoder = new TextEncoder();

  function hex2(value) {
    return (value & 0xff).toString(16).padStart(2, '0');
  }

  // Builds the frame text; b0/b1 carry the request id and come back in the reply.
  function encode(id, direction, group, item, payload) {
    const json = JSON.stringify(payload === undefined ? {} : payload);
    const n = encoder.encode(json).length;
    if (n > MAX_PAYLOAD) throw new Error('payload too long');
    const b = [(id >> 8) & 0xff, id & 0xff, direction, group, item, (n + 1) & 0xff, ((n + 1) >> 8) & 0xff];
    b.push(b.reduce((sum, v) => sum + v, 0) & 0xff);
    return '<F' + b.map(hex2).join('') + '>' + json + '0';
  }

  // {b: [8 bytes], id, direction, group, item, payload (parsed JSON or null)}, or null for anything else.
  function decode(text) {
    if (typeof text !== 'string' || text.length < HEAD_CHARS || !text.startsWith('<F') || text[18] !== '>') {
      return null;
    }
    const b = [];
    for (let i = 0; i < 8; i++) {
      const v = parseInt(text.substr(2 + 2 * i, 2), 16);
      if (Number.isNaN(v)) return null;
      b.push(v);
    }
    const length = b[5] | (b[6] << 8);
    let payload = null;
    if (length > 0) {
      // The header is ASCII and the trailer one character, so the payload lies between them.
      try {
        payload = JSON.parse(text.slice(HEAD_CHARS, -1));
      } catch (e) {
        return null;
      }
    }
    return {b, id: (b[0] << 8) | b[1], direction: b[2], group: b[3], item: b[4], payload};
  }

  return {GET, SET, encode, decode};
})();
