// The live view: one WebSocket from camera_view carries every camera's frames (binary: a 24-byte header and
// the Annex-B access unit as published) and the figures once a second (text, JSON). Each tile decodes its
// camera with a WebCodecs VideoDecoder and draws the pictures on a canvas. window.cameraView holds what the
// page counted, for people and for the tests.
//
// What the page says about lag is what it shows: each picture carries its publish stamp (the chunk's
// timestamp, in microseconds), and the moment the tile draws it, Date.now() minus that stamp is its
// publish-to-display latency. Both are the real-time clock (the application stamps frames with it), so on the
// machine camera_view runs on they need no alignment; a browser elsewhere needs a synchronized clock, and the
// page warns when its clock is provably behind camera_view's (a frame that arrives before camera_view
// received it).
'use strict';

const kCameras = 4;
const kFirstPlatformId = 8;
const kHeaderSize = 24;
// Chunks waiting in a decoder beyond which the tile skips ahead to the next key frame.
const kMaxDecodeQueue = 24;
// A tile whose picture on screen is older than this while newer frames come in says how far behind it is.
const kBehindAfterMs = 500;
// Frames came in this recently: the camera is still sending (a stopped camera's picture only ages).
const kSendingWithinMs = 1000;

const view = { connected: false, state: 'connecting', figuresReceived: 0, tiles: [], clockBehindMs: 0,
               clockLeadMinMs: Infinity };
window.cameraView = view;

function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
}

function cssState(state) { return 'state ' + String(state).toLowerCase().replace(/\s+/g, '-'); }

function makeTile(index) {
  const root = el('section', 'tile');
  const title = el('h2', '', 'cam_' + (kFirstPlatformId + index));
  const badge = el('span', 'state waiting', 'waiting');
  const behind = el('span', 'behind');
  behind.hidden = true;
  title.append(badge, behind);
  const canvas = el('canvas');
  // Drawn at a fixed size: scaling down in drawImage costs the browser less than compositing 720p canvases.
  canvas.width = 800;
  canvas.height = 450;
  const figures = el('div', 'figures');
  const cells = {};
  for (const [key, label] of [['fps', 'fps'], ['latency', 'latency p50 / p99'], ['bitrate', 'bit rate'],
                              ['key', 'key-frame interval'], ['lost', 'lost · damaged'], ['decoded', 'decoded'],
                              ['display', 'publish → shown p50 / max'], ['skipped', 'skipped here']]) {
    figures.appendChild(el('span', '', label));
    cells[key] = el('span', '', '–');
    figures.appendChild(cells[key]);
  }
  root.append(title, canvas, figures);
  document.getElementById('grid').appendChild(root);
  const tile = {
    decoded: 0, drawn: 0, pending: null, received: 0, skipped: 0, errors: 0, figuresShown: 0, codec: '', lastFrame: -1,
    waitingForKey: true, decoder: null,
    // Publish-to-display latencies (ms) of the pictures drawn in this figures window.
    displayLatencies: [],
    shownPublishMs: 0,  // the publish stamp of the picture on the canvas
    lastArrivalMs: 0,
    behindMs: 0,  // how far the picture on the canvas lags while newer frames come in; 0 when it does not
    ui: { badge, behind, canvas, context: canvas.getContext('2d'), cells },
  };
  view.tiles.push(tile);
  return tile;
}

for (let i = 0; i < kCameras; ++i) makeTile(i);

// The NAL units of an Annex-B access unit, as [start, end) of their payload after the start code.
function* nalUnits(bytes) {
  let start = -1;
  for (let i = 0; i + 2 < bytes.length; ++i) {
    if (bytes[i] === 0 && bytes[i + 1] === 0 && bytes[i + 2] === 1) {
      if (start >= 0) yield [start, i > 0 && bytes[i - 1] === 0 ? i - 1 : i];
      start = i + 3;
      i += 2;
    }
  }
  if (start >= 0 && start < bytes.length) yield [start, bytes.length];
}

function hex2(value) { return value.toString(16).padStart(2, '0'); }

// The WebCodecs codec string of an H.264 key frame, from its sequence parameter set; '' when it has none.
function codecOf(bytes) {
  for (const [start, end] of nalUnits(bytes)) {
    if ((bytes[start] & 0x1f) === 7 && end - start >= 4) {
      return 'avc1.' + hex2(bytes[start + 1]) + hex2(bytes[start + 2]) + hex2(bytes[start + 3]);
    }
  }
  return '';
}

let drawScheduled = false;

function drawPending() {
  drawScheduled = false;
  for (const tile of view.tiles) {
    if (!tile.pending) continue;
    const canvas = tile.ui.canvas;
    tile.ui.context.drawImage(tile.pending, 0, 0, canvas.width, canvas.height);
    const publishMs = tile.pending.timestamp / 1000;
    tile.shownPublishMs = publishMs;
    tile.displayLatencies.push(Date.now() - publishMs);
    tile.pending.close();
    tile.pending = null;
    ++tile.drawn;
  }
}

function resetDecoder(tile) {
  if (tile.pending) {
    tile.pending.close();
    tile.pending = null;
  }
  if (tile.decoder && tile.decoder.state !== 'closed') tile.decoder.close();
  tile.decoder = null;
  tile.waitingForKey = true;
}

function configure(tile, codec) {
  resetDecoder(tile);
  tile.codec = codec;
  tile.decoder = new VideoDecoder({
    output: (frame) => {
      ++tile.decoded;
      tile.size = `${frame.displayWidth} x ${frame.displayHeight}`;
      // Drawn at the next animation frame, newest only: a busy browser draws less often instead of falling
      // behind.
      if (tile.pending) tile.pending.close();
      tile.pending = frame;
      if (!drawScheduled) {
        drawScheduled = true;
        requestAnimationFrame(drawPending);
      }
    },
    error: () => { ++tile.errors; resetDecoder(tile); },
  });
  tile.decoder.configure({ codec, optimizeForLatency: true });
}

function onFrame(buffer) {
  if (buffer.byteLength < kHeaderSize) return;
  const header = new DataView(buffer, 0, kHeaderSize);
  const camera = header.getUint8(1);
  if (header.getUint8(0) !== 1 || camera >= kCameras) return;
  const tile = view.tiles[camera];
  const key = (header.getUint8(2) & 1) !== 0;
  const frameNumber = header.getUint32(4, true);
  const publishNs = header.getBigInt64(8, true);
  const receiveNs = header.getBigInt64(16, true);
  const bytes = new Uint8Array(buffer, kHeaderSize);
  const now = Date.now();
  ++tile.received;
  tile.lastArrivalMs = now;
  if (tile.lastFrame >= 0 && frameNumber > tile.lastFrame + 1) tile.skipped += frameNumber - tile.lastFrame - 1;
  tile.lastFrame = frameNumber;
  // Never negative with one clock: arrival comes after camera_view received the frame.
  view.clockLeadMinMs = Math.min(view.clockLeadMinMs, now - Number(receiveNs / 1000000n));

  if (key) {
    const codec = codecOf(bytes);
    if (codec && (codec !== tile.codec || !tile.decoder)) configure(tile, codec);
  }
  if (!tile.decoder) return;
  if (tile.waitingForKey && !key) { ++tile.skipped; return; }
  if (tile.decoder.decodeQueueSize > kMaxDecodeQueue) {
    tile.waitingForKey = true;  // this browser is behind: catch up at the next key frame
    ++tile.skipped;
    return;
  }
  tile.waitingForKey = false;
  try {
    tile.decoder.decode(new EncodedVideoChunk({
      type: key ? 'key' : 'delta', timestamp: Number(publishNs / 1000n), data: bytes }));
  } catch (e) {
    ++tile.errors;
    resetDecoder(tile);
  }
}

function median(values) {
  if (values.length === 0) return 0;
  const sorted = values.slice().sort((a, b) => a - b);
  return sorted[Math.floor((sorted.length - 1) / 2)];
}

function formatMs(ms) { return ms >= 1000 ? `${(ms / 1000).toFixed(1)} s` : `${ms.toFixed(0)} ms`; }

// Checked between draws too: a tile that stops drawing while frames still come in falls behind without
// drawing anything that would say so.
function updateBehind() {
  const now = Date.now();
  for (const tile of view.tiles) {
    const sending = now - tile.lastArrivalMs < kSendingWithinMs;
    const age = tile.shownPublishMs > 0 ? now - tile.shownPublishMs : 0;
    tile.behindMs = sending && age > kBehindAfterMs ? age : 0;
    tile.ui.behind.hidden = tile.behindMs === 0;
    if (tile.behindMs) tile.ui.behind.textContent = `behind by ${(tile.behindMs / 1000).toFixed(1)} s`;
  }
}
setInterval(updateBehind, 250);

function refusalText(refused) {
  if (!refused) return '';
  const total = refused.host + refused.origin + refused.viewers + refused.connections;
  if (total === 0) return '';
  return ` · refused ${total} (foreign host ${refused.host}, foreign page ${refused.origin},` +
    ` viewer cap ${refused.viewers}, connection cap ${refused.connections})`;
}

function onFigures(figures) {
  ++view.figuresReceived;
  view.state = figures.state;
  const state = document.getElementById('state');
  state.textContent = figures.state;
  state.className = cssState(figures.state);
  if (Number.isFinite(view.clockLeadMinMs)) {
    view.clockBehindMs = view.clockLeadMinMs < -5 ? -view.clockLeadMinMs : 0;
  }
  view.clockLeadMinMs = Infinity;
  const clock = view.clockBehindMs
    ? ` · this browser's clock is ${view.clockBehindMs.toFixed(0)} ms behind camera_view's: latencies read low`
    : '';
  document.getElementById('summary').textContent =
    `up ${figures.uptimeS.toFixed(0)} s · viewers ${figures.viewers} · samples missed ${figures.missedSamples}` +
    ` · undecodable ${figures.decodeFailures}` + refusalText(figures.refused) + clock;
  figures.cameras.forEach((camera, index) => {
    const tile = view.tiles[index];
    if (!tile) return;
    const c = tile.ui.cells;
    tile.ui.badge.textContent = camera.state;
    tile.ui.badge.className = cssState(camera.state);
    c.fps.textContent = camera.fps.toFixed(1);
    c.latency.textContent = `${camera.latencyP50Ms.toFixed(1)} / ${camera.latencyP99Ms.toFixed(1)} ms`;
    c.bitrate.textContent = `${(camera.bitRateKbps / 1000).toFixed(2)} Mbit/s`;
    c.key.textContent = camera.keyIntervalFrames > 0
      ? `${camera.keyIntervalFrames} frames · ${(camera.keyIntervalMs / 1000).toFixed(2)} s` : '–';
    c.lost.textContent = `${camera.lost} (total ${camera.lostTotal})` +
      (camera.damagedTotal ? ` · ${camera.damaged} damaged (total ${camera.damagedTotal})` : '');
    c.decoded.textContent = `${tile.decoded}` + (tile.errors ? ` · ${tile.errors} errors` : '');
    const shown = tile.displayLatencies;
    tile.displayP50Ms = shown.length ? median(shown) : null;
    tile.displayMaxMs = shown.length ? Math.max(...shown) : null;
    c.display.textContent = shown.length ? `${formatMs(tile.displayP50Ms)} / ${formatMs(tile.displayMaxMs)}` : '–';
    c.skipped.textContent = `${tile.skipped}`;
    shown.length = 0;
    tile.figures = camera;
    ++tile.figuresShown;
  });
}

function connect() {
  const socket = new WebSocket(`ws://${location.host}/ws`);
  socket.binaryType = 'arraybuffer';
  socket.onopen = () => { view.connected = true; };
  socket.onmessage = (event) => {
    if (typeof event.data === 'string') onFigures(JSON.parse(event.data));
    else onFrame(event.data);
  };
  socket.onclose = () => {
    view.connected = false;
    const state = document.getElementById('state');
    state.textContent = 'disconnected';
    state.className = cssState('disconnected');
    for (const tile of view.tiles) { resetDecoder(tile); tile.lastFrame = -1; }
    setTimeout(connect, 1000);
  };
}

if (typeof VideoDecoder === 'undefined') {
  document.getElementById('state').textContent = 'this browser has no WebCodecs VideoDecoder';
} else {
  connect();
}
